// Exported entry points of the software symmetric keys.
#include "api_guard.h"
#include "key_export.h"
#include "key_lifecycle.h"
#include "obkey.h"
#include "symmetric_cipher.h"

using obkey::Guarded;

extern "C" {

int32_t OBAPI OB_GenSymmetricKey(uint32_t alg_id, DataBlob *key, uint32_t) {
  return Guarded([&] { return obkey::GenerateSymmetricKey(alg_id, key); });
}

int32_t OBAPI OB_ImportSymmetricKey(const DataBlob *key_blob, uint32_t alg_id, DataBlob *out_key) {
  return Guarded([&] { return obkey::ImportSymmetricKey(key_blob, alg_id, out_key); });
}

int32_t OBAPI OB_GetKeyProperty(const DataBlob *key_name, uint32_t property, uint8_t *out,
                                uint32_t *inout_len) {
  return Guarded([&] { return obkey::GetKeyProperty(key_name, property, out, inout_len); });
}

int32_t OBAPI OB_SymmetricEncrypt(DataBlob *key, uint32_t, uint32_t, const uint8_t *in,
                                  uint32_t in_len, uint8_t *out, uint32_t *inout_out_len,
                                  uint32_t alg_id, uint32_t mode) {
  return Guarded([&] {
    return obkey::SymmetricCrypt(obkey::CipherDirection::kEncrypt, key, in, in_len, out,
                                 inout_out_len, alg_id, mode);
  });
}

int32_t OBAPI OB_SymmetryDecrypt(DataBlob *key, uint32_t, uint32_t, const uint8_t *in,
                                 uint32_t in_len, uint8_t *out, uint32_t *inout_out_len,
                                 uint32_t alg_id, uint32_t mode) {
  return Guarded([&] {
    return obkey::SymmetricCrypt(obkey::CipherDirection::kDecrypt, key, in, in_len, out,
                                 inout_out_len, alg_id, mode);
  });
}

int32_t OBAPI OB_ExportSymmetricKey(const DataBlob *key, const DataBlob *wrapping_key,
                                    DataBlob *inout_blob, uint32_t alg_id) {
  return Guarded([&] { return obkey::ExportSymmetricKey(key, wrapping_key, inout_blob, alg_id); });
}

}  // extern "C"
