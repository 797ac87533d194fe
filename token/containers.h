// Containers, key-pair generation, key names and token random numbers.
#ifndef OBKEY_TOKEN_CONTAINERS_H
#define OBKEY_TOKEN_CONTAINERS_H

#include <stdint.h>

#include "obkey_types.h"
#include "xcsp_eclib.h"

namespace obkey {

// CreateOrOpenContainer asks the token to create the container (mode 2) and,
// when that fails, to open it (mode 1). Returns the status of the last call.
int32_t CreateOrOpenContainer(XcHandle session, const char *container_name,
                              XcHandle *out_container);

// CreateContainer creates or opens a named container; -1 for a null, empty
// or over-long name, or one with neither "SIG" nor "ENC".
int32_t CreateContainer(const char *container_name);

// GenerateKeyPair creates or opens the container, generates the pair of
// `key_type` in it and, whatever the generation said, writes the pair's two
// key names to the records' pbData. Arguments are checked before the token
// is touched (-1).
int32_t GenerateKeyPair(const char *container_name, DataBlob *out_key_name1,
                        DataBlob *out_key_name2, uint32_t key_type);

// FindContainerAndKeypair forms the four key names of a container without
// touching the token: the signature pair's into the first two records, the
// exchange pair's into the last two; every cbData becomes 151. A null name,
// a name longer than 147 characters, or a null record gives -1 and writes
// nothing.
int32_t FindContainerAndKeypair(const char *container_name, DataBlob *out_sig_name1,
                                DataBlob *out_sig_name2, DataBlob *out_exch_name1,
                                DataBlob *out_exch_name2);

// GenerateRandom fills cbData bytes at pbData from the token's generator.
int32_t GenerateRandom(DataBlob *out_random);

}  // namespace obkey

#endif  // OBKEY_TOKEN_CONTAINERS_H
