// Exported entry points of the token file store. Each one only forwards to
// its subsystem inside the boundary guard.
#include "api_guard.h"
#include "label_files.h"
#include "obkey.h"

using obkey::Guarded;

extern "C" {

int32_t OBAPI OBCA_ImportFile(const char *label, uint32_t store_selector, const uint8_t *data,
                              uint32_t data_len) {
  return Guarded([&] { return obkey::ImportLabelledFile(label, store_selector, data, data_len); });
}

int32_t OBAPI OBCA_ExportFile(const char *label, uint32_t store_selector, uint8_t *out,
                              uint32_t *inout_len) {
  return Guarded([&] { return obkey::ExportLabelledFile(label, store_selector, out, inout_len); });
}

int32_t OBAPI OBCA_DeleteFile(const char *label, uint32_t store_selector) {
  return Guarded([&] { return obkey::DeleteLabelledFile(label, store_selector); });
}

int32_t OBAPI OBCA_ReadLabelList(uint32_t store_selector, uint8_t *out_list, uint32_t *out_count) {
  return Guarded([&] { return obkey::ReadLabelList(store_selector, out_list, out_count); });
}

}  // extern "C"
