// Labelled data files on the token. A label names one user file through the
// label directory; the labels "LAB_USERCERT_SIG" and "LAB_USERCERT_ENC" also
// reach the token's signature and exchange certificates.
//
// Every call opens its own token session and closes it before returning. A
// store selector other than 0 leaves the directory alone: only the reserved
// labels of ImportLabelledFile and ExportLabelledFile still act, and the
// result is 0. Failures of the token library end the call with their status,
// unchanged; what was written before stays written.
#ifndef OBKEY_FILES_LABEL_FILES_H
#define OBKEY_FILES_LABEL_FILES_H

#include <stdint.h>

namespace obkey {

// ImportLabelledFile stores `data_len` bytes of `data` under `label`,
// replacing the data of a label already stored (its file is re-created with
// the new length). The data file is written before the directory. A null
// label or data, or a label longer than 18 bytes, gives -1 before any
// session; a new label when all ten records are in use gives -1 with nothing
// written to the store.
int32_t ImportLabelledFile(const char *label, uint32_t store_selector, const uint8_t *data,
                           uint32_t data_len);

// ExportLabelledFile reads the data of `label` into `out`; `*inout_len` is
// the capacity on entry and the length read on return. A label not in the
// directory gives -1. A reserved label is read from its certificate first
// (with the other key specification when the first read fails); with store
// selector 0 the labelled file then answers, overwriting it. A null label,
// buffer or length, or a label longer than 18 bytes, gives -1 before any
// session.
int32_t ExportLabelledFile(const char *label, uint32_t store_selector, uint8_t *out,
                           uint32_t *inout_len);

// DeleteLabelledFile frees the record of `label` and deletes its data file.
// An absent label succeeds. Reserved labels lose only their labelled file,
// never the certificate. A null label, or one longer than 18 bytes, gives -1
// before any session.
int32_t DeleteLabelledFile(const char *label, uint32_t store_selector);

// ReadLabelList stores the number of labels in `*out_count` and, unless
// `out_list` is null, each label's 19-byte field in consecutive 20-byte
// slots (the 20th byte of a slot is not written): room for 20 * count bytes
// is the caller's affair. A null count gives -1 before any session.
int32_t ReadLabelList(uint32_t store_selector, uint8_t *out_list, uint32_t *out_count);

}  // namespace obkey

#endif  // OBKEY_FILES_LABEL_FILES_H
