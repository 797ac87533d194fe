// Exported entry points of the token keys: containers, key pairs, random
// numbers, RSA operations, key import and export.
#include "api_guard.h"
#include "asymmetric.h"
#include "containers.h"
#include "key_transfer.h"
#include "obkey.h"

using obkey::Guarded;

extern "C" {

int32_t OBAPI OB_CreateContainer(const char *container_name) {
  return Guarded([&] { return obkey::CreateContainer(container_name); });
}

int32_t OBAPI OB_FindContainerAndKeypair(const char *container_name, DataBlob *out_sig_name1,
                                         DataBlob *out_sig_name2, DataBlob *out_exch_name1,
                                         DataBlob *out_exch_name2) {
  return Guarded([&] {
    return obkey::FindContainerAndKeypair(container_name, out_sig_name1, out_sig_name2,
                                          out_exch_name1, out_exch_name2);
  });
}

int32_t OBAPI OB_GenAsymmetricKey(const char *container_name, DataBlob *out_key_name1,
                                  DataBlob *out_key_name2, uint32_t, uint32_t, uint32_t key_type) {
  return Guarded([&] {
    return obkey::GenerateKeyPair(container_name, out_key_name1, out_key_name2, key_type);
  });
}

int32_t OBAPI OB_GenRandom(DataBlob *out_random) {
  return Guarded([&] { return obkey::GenerateRandom(out_random); });
}

int32_t OBAPI OB_AsymmetricEncrypt(const DataBlob *, uint32_t, uint32_t, uint8_t *out,
                                   uint32_t *inout_out_len, const uint8_t *in, uint32_t in_len,
                                   uint32_t alg_id) {
  return Guarded([&] { return obkey::AsymmetricEncrypt(out, inout_out_len, in, in_len, alg_id); });
}

int32_t OBAPI OB_AsymmetricDecrypt(const DataBlob *, uint32_t, uint32_t, uint8_t *out,
                                   uint32_t *inout_out_len, const uint8_t *in, uint32_t in_len,
                                   uint32_t alg_id) {
  return Guarded([&] { return obkey::AsymmetricDecrypt(out, inout_out_len, in, in_len, alg_id); });
}

int32_t OBAPI OB_AsymmetricSignData(const DataBlob *, const uint8_t *data, uint32_t data_len,
                                    uint8_t *out_signature, uint32_t *inout_signature_len,
                                    uint32_t) {
  return Guarded(
      [&] { return obkey::AsymmetricSign(data, data_len, out_signature, inout_signature_len); });
}

int32_t OBAPI OB_AsymmetricVerifySign(const DataBlob *, uint8_t *out_block,
                                      uint32_t *inout_block_len, const uint8_t *signature,
                                      uint32_t signature_len, uint32_t) {
  return Guarded([&] {
    return obkey::AsymmetricVerify(out_block, inout_block_len, signature, signature_len);
  });
}

int32_t OBAPI OB_ImportPublicKey(const DataBlob *public_key, uint32_t key_type, uint32_t) {
  return Guarded([&] { return obkey::ImportPublicKey(public_key, key_type); });
}

int32_t OBAPI OB_ExportPublicKey(const DataBlob *key_name, DataBlob *out_blob) {
  return Guarded([&] { return obkey::ExportPublicKey(key_name, out_blob); });
}

int32_t OBAPI OB_ImportPrivateKey(const void *handle, const DataBlob *private_key_blob,
                                  uint32_t key_type, uint32_t, uint32_t) {
  return Guarded([&] { return obkey::ImportPrivateKey(handle, private_key_blob, key_type); });
}

}  // extern "C"
