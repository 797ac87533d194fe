#include "softhsm_key.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace obkey_bench {

std::string SoftHsmModulePath() {
  if (const char *configured = std::getenv("OBKEY_SOFTHSM2_MODULE")) return configured;
  return OBKEY_SOFTHSM2_MODULE;
}

void CheckSoftHsm(CK_RV rv, const char *what) {
  if (rv != CKR_OK) {
    char text[96];
    std::snprintf(text, sizeof(text), "SoftHSMv2 %s: 0x%lx", what, static_cast<unsigned long>(rv));
    throw std::runtime_error(text);
  }
}

CK_SLOT_ID InitialisedTokenSlot(CK_FUNCTION_LIST *module, const unsigned char *label) {
  CK_ULONG count = 0;
  CheckSoftHsm(module->C_GetSlotList(CK_TRUE, nullptr, &count), "C_GetSlotList");
  std::vector<CK_SLOT_ID> slots(count);
  CheckSoftHsm(module->C_GetSlotList(CK_TRUE, slots.data(), &count), "C_GetSlotList");
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info{};
    if (module->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
        (info.flags & CKF_TOKEN_INITIALIZED) != 0 &&
        std::memcmp(info.label, label, sizeof(info.label)) == 0) {
      return slots[i];
    }
  }
  throw std::runtime_error("SoftHSMv2 token not found");
}

CK_OBJECT_HANDLE PrepareSigningKey(CK_FUNCTION_LIST *module, CK_SESSION_HANDLE session,
                                   const std::string &so_pin, const std::string &user_pin) {
  std::string so = so_pin, user = user_pin;
  auto *so_bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(so.data());
  auto *user_bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(user.data());
  CheckSoftHsm(module->C_Login(session, CKU_SO, so_bytes, so.size()), "C_Login SO");
  CheckSoftHsm(module->C_InitPIN(session, user_bytes, user.size()), "C_InitPIN");
  CheckSoftHsm(module->C_Logout(session), "C_Logout");
  CheckSoftHsm(module->C_Login(session, CKU_USER, user_bytes, user.size()), "C_Login");
  CK_BBOOL yes = CK_TRUE;
  CK_ULONG bits = 1024;
  CK_BYTE exponent[] = {0x01, 0x00, 0x01};
  CK_ATTRIBUTE public_template[] = {
      {CKA_TOKEN, &yes, sizeof(yes)},
      {CKA_VERIFY, &yes, sizeof(yes)},
      {CKA_MODULUS_BITS, &bits, sizeof(bits)},
      {CKA_PUBLIC_EXPONENT, exponent, sizeof(exponent)},
  };
  CK_ATTRIBUTE private_template[] = {
      {CKA_TOKEN, &yes, sizeof(yes)},
      {CKA_PRIVATE, &yes, sizeof(yes)},
      {CKA_SENSITIVE, &yes, sizeof(yes)},
      {CKA_SIGN, &yes, sizeof(yes)},
  };
  CK_MECHANISM generate = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE public_key = 0, private_key = 0;
  CheckSoftHsm(module->C_GenerateKeyPair(session, &generate, public_template,
                                         std::size(public_template), private_template,
                                         std::size(private_template), &public_key, &private_key),
               "C_GenerateKeyPair");
  return private_key;
}

}  // namespace obkey_bench
