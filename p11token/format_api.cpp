// Formatting (FormatMWKey): the token initialised afresh, or erased where
// the module will not initialise it again, with the default user PIN.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "container_directory.h"
#include "devices.h"
#include "module.h"
#include "p11token_api.h"
#include "p11token_status.h"

namespace obkey::p11token {

namespace {

constexpr char kDefaultUserPin[] = "12345678";
// The label a first format gives a token, followed by the device number
// (and a letter, when another token has that label already), unless
// $OBKEY_PKCS11_TOKEN_LABEL chooses one.
constexpr char kTokenLabelPrefix[] = "obkey-";
constexpr char kTokenLabelVariable[] = "OBKEY_PKCS11_TOKEN_LABEL";

// SetDefaultUserPin logs in as the security officer and sets the user PIN
// of a freshly initialised token.
int32_t SetDefaultUserPin(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, const char *admin_pin) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_RV rv =
      f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  rv = f->C_Login(session, CKU_SO, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(admin_pin)),
                  static_cast<CK_ULONG>(std::strlen(admin_pin)));
  if (rv == CKR_OK) {
    rv = f->C_InitPIN(session,
                      reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(kDefaultUserPin)),
                      static_cast<CK_ULONG>(std::strlen(kDefaultUserPin)));
    f->C_Logout(session);
  }
  f->C_CloseSession(session);
  return rv == CKR_PIN_INCORRECT ? P11ST_ADMIN_PIN_INCORRECT : StatusFromCkr(rv);
}

// TokenLabel is the 32-byte, blank-padded label for C_InitToken, followed by
// a terminating zero for the modules (and p11-kit's remote client) that read
// it as a C string. An initialised token keeps its label, so that a server
// exporting it by label goes on exporting it.
using TokenLabel = std::array<CK_UTF8CHAR, 33>;

std::string CurrentLabel(CK_FUNCTION_LIST *f, CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  if (f->C_GetTokenInfo(slot, &info) != CKR_OK) return "";
  std::string label(reinterpret_cast<const char *>(info.label), sizeof(info.label));
  return label.substr(0, label.find_last_not_of(' ') + 1);
}

TokenLabel ChooseLabel(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, int32_t device_index) {
  std::string label;
  if (TokenInitialized(f, slot)) label = CurrentLabel(f, slot);
  if (label.empty()) {
    const char *chosen = std::getenv(kTokenLabelVariable);
    std::string base = chosen != nullptr && chosen[0] != '\0'
                           ? chosen
                           : kTokenLabelPrefix + std::to_string(device_index);
    std::set<std::string> taken;
    for (CK_SLOT_ID other : InitializedSlots(f)) taken.insert(CurrentLabel(f, other));
    label = base;
    for (char suffix = 'a'; taken.count(label) != 0 && suffix <= 'z'; ++suffix) {
      label = base + "-" + suffix;
    }
  }
  TokenLabel padded{};
  std::memset(padded.data(), ' ', 32);
  std::memcpy(padded.data(), label.data(), std::min<size_t>(label.size(), 32));
  padded[32] = 0;
  return padded;
}

// OurObjects lists every object of obkey's on the token: its data objects
// and the keys and certificates of the containers.
int32_t OurObjects(const Cryptoki &c, std::vector<CK_OBJECT_HANDLE> *out) {
  const CK_OBJECT_CLASS data_class = CKO_DATA;
  std::vector<CK_OBJECT_HANDLE> found;
  if (int32_t status = FindObjects(c,
                                   {Attr(CKA_CLASS, &data_class, sizeof(data_class)),
                                    Attr(CKA_APPLICATION, kApplication, std::strlen(kApplication))},
                                   out)) {
    return status;
  }
  ContainerNames names;
  if (int32_t status = ReadContainerNames(c, &names)) return status;
  for (const std::string &name : names) {
    if (name.empty()) continue;
    for (uint32_t key_type : {XC_KEY_EXCHANGE, XC_KEY_SIGNATURE}) {
      for (CK_OBJECT_CLASS object_class : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_CERTIFICATE}) {
        if (int32_t status = FindLabelled(c, object_class, KeyLabel(name, key_type), &found)) {
          return status;
        }
        out->insert(out->end(), found.begin(), found.end());
      }
    }
  }
  return 0;
}

// EraseOurObjects destroys obkey's objects. Done when none is left: a module
// may refuse to destroy a handle it gave out twice (tpm2-pkcs11) once the
// object behind it is gone.
int32_t EraseOurObjects(const Cryptoki &c) {
  std::vector<CK_OBJECT_HANDLE> doomed;
  if (int32_t status = OurObjects(c, &doomed)) return status;
  int32_t destroy_status = DestroyObjects(c, doomed);
  if (int32_t status = OurObjects(c, &doomed)) return status;
  return doomed.empty() ? 0 : (destroy_status != 0 ? destroy_status : P11ST_INTERNAL);
}

// EraseToken formats a token the module will not initialise again: the SO
// resets the user PIN, and the user's session erases obkey's objects.
int32_t EraseToken(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, const char *admin_pin) {
  if (int32_t status = SetDefaultUserPin(f, slot, admin_pin)) return status;
  Cryptoki c{f, CK_INVALID_HANDLE, slot, 0};
  CK_RV rv =
      f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &c.session);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  rv = f->C_Login(c.session, CKU_USER,
                  reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(kDefaultUserPin)),
                  static_cast<CK_ULONG>(std::strlen(kDefaultUserPin)));
  int32_t status = rv == CKR_OK ? EraseOurObjects(c) : StatusFromCkr(rv);
  f->C_Logout(c.session);
  f->C_CloseSession(c.session);
  ForgetModuleKnowledge();
  return status;
}

int32_t InitializeToken(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, const char *admin_pin,
                        int32_t device_index) {
  std::set<CK_SLOT_ID> initialized_before = InitializedSlots(f);
  TokenLabel label = ChooseLabel(f, slot, device_index);
  // C_InitToken refuses a token with open sessions; formatting ends every
  // session and login on it, in this process's token library too.
  f->C_CloseAllSessions(slot);
  ForgetModuleKnowledge();
  CK_RV rv = f->C_InitToken(slot, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(admin_pin)),
                            static_cast<CK_ULONG>(std::strlen(admin_pin)), label.data());
  if (rv == CKR_PIN_INCORRECT) return P11ST_ADMIN_PIN_INCORRECT;
  // Some modules (tpm2-pkcs11) initialise a token once only: erase obkey's
  // objects and reset the user PIN instead, which is a format to obkey.
  if (rv != CKR_OK && rv != CKR_PIN_LOCKED && initialized_before.count(slot) != 0) {
    return EraseToken(f, slot, admin_pin);
  }
  if (rv != CKR_OK) return StatusFromCkr(rv);
  // Initialising a token ends its user PIN. One that keeps it was left as it
  // was by a module that answers CKR_OK and does nothing: it is formatted
  // by erasing, as one the module will not initialise again.
  if (initialized_before.count(slot) != 0 && TokenFlag(f, slot, CKF_USER_PIN_INITIALIZED)) {
    return EraseToken(f, slot, admin_pin);
  }
  // Some modules (SoftHSMv2) give a token initialised in their free slot a
  // slot of its own: find it as the one initialised token that is new.
  if (!TokenInitialized(f, slot)) {
    std::vector<CK_SLOT_ID> fresh;
    for (CK_SLOT_ID candidate : InitializedSlots(f)) {
      if (initialized_before.count(candidate) == 0) fresh.push_back(candidate);
    }
    if (fresh.empty()) return P11ST_INIT_IGNORED;
    if (fresh.size() != 1) return P11ST_NO_TOKEN;
    slot = fresh.front();
  }
  return SetDefaultUserPin(f, slot, admin_pin);
}

// FormatLocked formats the device's token, with the module's lock held.
int32_t FormatLocked(CK_FUNCTION_LIST *f, int32_t device_index, const char *admin_pin) {
  CK_SLOT_ID slot = 0;
  if (int32_t status = FindDeviceSlot(f, device_index, &slot)) return status;
  return InitializeToken(f, slot, admin_pin, device_index);
}

}  // namespace

int32_t FormatToken(const char *admin_pin, const char *second_text, int32_t device_index) {
  if (admin_pin == nullptr || second_text == nullptr || device_index < 0) {
    return P11ST_BAD_ARGUMENT;
  }
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  ForgetPins();
  return FormatLocked(step.functions(), device_index, admin_pin);
}

}  // namespace obkey::p11token
