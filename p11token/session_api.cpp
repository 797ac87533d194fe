// Sessions, the user PIN, random numbers, the token parameter and
// formatting.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "module.h"
#include "p11token_api.h"
#include "p11token_os.h"
#include "p11token_status.h"
#include "secret_array.h"

namespace obkey::p11token {

namespace {

constexpr char kDefaultUserPin[] = "12345678";
// The label a first format gives a token, followed by the device number
// (and a letter, when another token has that label already), unless
// $OBKEY_PKCS11_TOKEN_LABEL chooses one.
constexpr char kTokenLabelPrefix[] = "obkey-";
constexpr char kTokenLabelVariable[] = "OBKEY_PKCS11_TOKEN_LABEL";

enum class Kind { kSession, kContainer, kFile };

struct Entry {
  Kind kind = Kind::kSession;
  XcHandle session = 0;  // the session a container or file belongs to
  CK_SLOT_ID slot_id = 0;
  CK_SESSION_HANDLE ck_session = CK_INVALID_HANDLE;
  uint32_t number = 0;  // container slot or file number
};

// The tables below are used under the tables lock (os::TablesGuard).
CK_FUNCTION_LIST *module_functions = nullptr;
std::map<XcHandle, Entry> handles;
XcHandle last_handle = 0;
// One session per slot kept open for the process: a PKCS #11 login lasts
// while the application has a session on the token, and obkey opens and
// closes one for every call.
std::map<CK_SLOT_ID, CK_SESSION_HANDLE> keep_open_sessions;
// What a connection needs to know of the module, learned once per
// initialisation (ModuleGeneration): the device's slot, known to hold an
// initialised token, and the kept session checked.
struct KnownDevices {
  uint64_t generation = 0;
  std::map<int32_t, CK_SLOT_ID> slots;
} known;

// NewHandle adds `entry` (a session's entry, of its own session, when its
// session is 0), with the tables lock held.
XcHandle NewHandle(const Entry &entry) {
  do {
    ++last_handle;
  } while (last_handle == 0 || handles.count(last_handle) != 0);
  Entry &added = handles[last_handle];
  added = entry;
  if (added.session == 0) added.session = last_handle;
  return last_handle;
}

// Find copies the entry of `handle`, which must be of `kind`, and holds its
// connection's lock for the rest of the step.
bool Find(XcHandle handle, Kind kind, Entry *out) {
  {
    os::TablesGuard tables;
    auto it = handles.find(handle);
    if (handle == 0 || it == handles.end() || it->second.kind != kind) return false;
    *out = it->second;
  }
  os::ProcessStateGuard::HoldConnection(out->session);
  return true;
}

XcHandle ChildHandle(XcHandle session, Kind kind, uint32_t number) {
  os::TablesGuard tables;
  for (const auto &[handle, entry] : handles) {
    if (entry.kind == kind && entry.session == session && entry.number == number) return handle;
  }
  Entry parent = handles.at(session);
  parent.kind = kind;
  parent.session = session;
  parent.number = number;
  return NewHandle(parent);
}

// IsOurSession: with the tables lock held.
bool IsOurSession(CK_SESSION_HANDLE ck_session) {
  return std::any_of(handles.begin(), handles.end(), [&](const auto &item) {
    return item.second.kind == Kind::kSession && item.second.ck_session == ck_session;
  });
}

// KeepSlotOpen makes sure the slot's kept session is open. Formatting closes
// every session of the slot, and the module may then reuse the number. With
// the tables lock held.
int32_t KeepSlotOpen(CK_FUNCTION_LIST *f, CK_SLOT_ID slot) {
  if (known.generation != ModuleGeneration()) known = KnownDevices{ModuleGeneration(), {}};
  auto it = keep_open_sessions.find(slot);
  if (it != keep_open_sessions.end()) {
    CK_SESSION_INFO info{};
    if (!IsOurSession(it->second) && f->C_GetSessionInfo(it->second, &info) == CKR_OK &&
        info.slotID == slot) {
      return 0;
    }
    keep_open_sessions.erase(it);
  }
  CK_SESSION_HANDLE kept = CK_INVALID_HANDLE;
  CK_RV rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &kept);
  if (rv != CKR_OK) return StatusFromCkr(rv);
  keep_open_sessions[slot] = kept;
  return 0;
}

// The PIN that last logged in on each slot through this process, as a
// SHA-256 over a random salt of the process's and the PIN.
using PinHash = SecretArray<32>;
std::map<CK_SLOT_ID, PinHash> remembered_pins;

bool HashPin(const uint8_t *pin, uint32_t pin_len, PinHash *out) {
  static std::array<uint8_t, 32> salt{};
  static bool salted = false;
  if (!salted && RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return false;
  salted = true;
  EVP_MD_CTX *context = EVP_MD_CTX_new();
  unsigned int len = 0;
  bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 &&
            EVP_DigestUpdate(context, salt.data(), salt.size()) == 1 &&
            EVP_DigestUpdate(context, pin, pin_len) == 1 &&
            EVP_DigestFinal_ex(context, out->data(), &len) == 1 && len == 32;
  EVP_MD_CTX_free(context);
  return ok;
}

void RememberPin(CK_SLOT_ID slot, const uint8_t *pin, uint32_t pin_len) {
  if (!HashPin(pin, pin_len, &remembered_pins[slot])) remembered_pins.erase(slot);
}

bool IsRememberedPin(CK_SLOT_ID slot, const uint8_t *pin, uint32_t pin_len) {
  auto it = remembered_pins.find(slot);
  PinHash candidate;
  return it != remembered_pins.end() && HashPin(pin, pin_len, &candidate) &&
         CRYPTO_memcmp(candidate.data(), it->second.data(), 32) == 0;
}

void ForgetPins() {
  remembered_pins.clear();
}

int32_t CheckPin(const uint8_t *pin, uint32_t pin_len) {
  if (pin == nullptr) return P11ST_BAD_ARGUMENT;
  if (pin_len == 0) return P11ST_PIN_LENGTH;
  return 0;
}

bool TokenFlag(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, CK_FLAGS flag) {
  CK_TOKEN_INFO info{};
  return f->C_GetTokenInfo(slot, &info) == CKR_OK && (info.flags & flag) != 0;
}

bool TokenInitialized(CK_FUNCTION_LIST *f, CK_SLOT_ID slot) {
  return TokenFlag(f, slot, CKF_TOKEN_INITIALIZED);
}

std::set<CK_SLOT_ID> InitializedSlots(CK_FUNCTION_LIST *f) {
  std::set<CK_SLOT_ID> initialized;
  for (int32_t index = 0;; ++index) {
    CK_SLOT_ID slot = 0;
    if (FindDeviceSlot(f, index, &slot) != 0) break;
    if (TokenInitialized(f, slot)) initialized.insert(slot);
  }
  return initialized;
}

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

// LearnDevice finds the device's slot, which must hold an initialised
// token, and keeps a session open on it; once per module initialisation.
int32_t LearnDevice(CK_FUNCTION_LIST *f, int32_t device_index, CK_SLOT_ID *out_slot) {
  os::TablesGuard tables;
  if (known.generation != ModuleGeneration()) known = KnownDevices{ModuleGeneration(), {}};
  if (int32_t status = FindDeviceSlot(f, device_index, out_slot)) return status;
  // A token never formatted is no token yet, as a missing store is for
  // the software token.
  if (!TokenInitialized(f, *out_slot)) return P11ST_NO_TOKEN;
  if (int32_t status = KeepSlotOpen(f, *out_slot)) return status;
  known.slots[device_index] = *out_slot;
  return 0;
}

bool KnownSlot(int32_t device_index, CK_SLOT_ID *out_slot) {
  os::TablesGuard tables;
  if (known.generation != ModuleGeneration()) return false;
  auto it = known.slots.find(device_index);
  if (it == known.slots.end()) return false;
  *out_slot = it->second;
  return true;
}

// OpenConnection opens the PKCS #11 session of a connection: the device's
// slot and the kept session are learned once per module initialisation.
int32_t OpenConnection(CK_FUNCTION_LIST *f, int32_t device_index, CK_SLOT_ID *out_slot,
                       CK_SESSION_HANDLE *out_session) {
  bool was_known = KnownSlot(device_index, out_slot);
  if (!was_known) {
    if (int32_t status = LearnDevice(f, device_index, out_slot)) return status;
  }
  CK_RV rv = f->C_OpenSession(*out_slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                              out_session);
  // A token gone or renumbered since: learn the device again, once.
  if (rv != CKR_OK && was_known) {
    {
      os::TablesGuard tables;
      known.slots.erase(device_index);
    }
    return OpenConnection(f, device_index, out_slot, out_session);
  }
  return StatusFromCkr(rv);
}

bool DeviceKnown(int32_t device_index) {
  CK_SLOT_ID slot = 0;
  return KnownSlot(device_index, &slot);
}

// FormatLocked formats the device's token, with the module's lock held.
int32_t FormatLocked(CK_FUNCTION_LIST *f, int32_t device_index, const char *admin_pin) {
  CK_SLOT_ID slot = 0;
  if (int32_t status = FindDeviceSlot(f, device_index, &slot)) return status;
  return InitializeToken(f, slot, admin_pin, device_index);
}

}  // namespace

namespace {

// CryptokiOf is the PKCS #11 session of the connection of `entry`.
Cryptoki CryptokiOf(const Entry &entry) {
  os::TablesGuard tables;
  return Cryptoki{module_functions, entry.ck_session, entry.slot_id, entry.session};
}

}  // namespace

int32_t SessionOf(XcHandle session, Cryptoki *out) {
  Entry entry;
  if (!Find(session, Kind::kSession, &entry)) return P11ST_BAD_HANDLE;
  *out = CryptokiOf(entry);
  return 0;
}

int32_t ContainerOf(XcHandle container, Cryptoki *out, uint32_t *out_slot) {
  Entry entry;
  if (!Find(container, Kind::kContainer, &entry)) return P11ST_BAD_HANDLE;
  *out = CryptokiOf(entry);
  *out_slot = entry.number;
  return 0;
}

int32_t FileOf(XcHandle file, Cryptoki *out, uint32_t *out_number) {
  Entry entry;
  if (!Find(file, Kind::kFile, &entry)) return P11ST_BAD_HANDLE;
  *out = CryptokiOf(entry);
  *out_number = entry.number;
  return 0;
}

XcHandle ContainerHandle(XcHandle session, uint32_t slot) {
  return ChildHandle(session, Kind::kContainer, slot);
}

XcHandle FileHandle(XcHandle session, uint32_t number) {
  return ChildHandle(session, Kind::kFile, number);
}

void ForgetFileHandles(XcHandle file, uint32_t number) {
  Entry entry;
  if (!Find(file, Kind::kFile, &entry)) return;
  CK_SLOT_ID slot = entry.slot_id;
  os::TablesGuard tables;
  for (auto it = handles.begin(); it != handles.end();) {
    bool same_file =
        it->second.kind == Kind::kFile && it->second.slot_id == slot && it->second.number == number;
    it = same_file ? handles.erase(it) : std::next(it);
  }
}

int32_t GenerateRandom(const Cryptoki &c, uint8_t *out, size_t len) {
  return StatusFromCkr(c.functions->C_GenerateRandom(c.session, out, static_cast<CK_ULONG>(len)));
}

int32_t ConnectEkey(int32_t device_index, XcHandle *out_session) {
  if (out_session == nullptr) return P11ST_BAD_ARGUMENT;
  // A device this process found before is connected to without the lock:
  // a session changes nothing on the token.
  TokenStep step;
  if (int32_t status =
          step.Begin(DeviceKnown(device_index) ? StepKind::kRead : StepKind::kChange)) {
    return status;
  }
  CK_SESSION_HANDLE ck_session = CK_INVALID_HANDLE;
  CK_SLOT_ID slot = 0;
  if (int32_t status = OpenConnection(step.functions(), device_index, &slot, &ck_session)) {
    return status;
  }
  Entry entry;
  entry.slot_id = slot;
  entry.ck_session = ck_session;
  os::TablesGuard tables;
  module_functions = step.functions();
  *out_session = NewHandle(entry);
  return 0;
}

int32_t DisconnectEkey(XcHandle session) {
  Entry entry;
  if (!Find(session, Kind::kSession, &entry)) return P11ST_BAD_HANDLE;
  // A session that formatting closed is gone already; there is nothing to
  // report.
  CryptokiOf(entry).functions->C_CloseSession(entry.ck_session);
  ForgetConnection(session);
  os::TablesGuard tables;
  for (auto it = handles.begin(); it != handles.end();) {
    it = it->second.session == session ? handles.erase(it) : std::next(it);
  }
  return 0;
}

int32_t VerifyPin(XcHandle session, const uint8_t *pin, uint32_t pin_len, uint32_t pin_type) {
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (pin_type != XC_PIN_USER) return P11ST_BAD_PIN_TYPE;
  if (int32_t status = CheckPin(pin, pin_len)) return status;
  CK_UTF8CHAR_PTR pin_text = const_cast<CK_UTF8CHAR_PTR>(pin);
  CK_RV rv = c.functions->C_Login(c.session, CKU_USER, pin_text, pin_len);
  // A login in force makes the module take any PIN unchecked. The PIN that
  // logged in through this process is known again without ending the login
  // (which other programs sharing the module's login, through one p11-kit
  // server, would lose); any other one ends it and is checked, so that a
  // wrong PIN also ends the login, as on a card.
  if (rv == CKR_USER_ALREADY_LOGGED_IN && IsRememberedPin(c.slot, pin, pin_len)) return 0;
  if (rv == CKR_USER_ALREADY_LOGGED_IN) {
    c.functions->C_Logout(c.session);
    rv = c.functions->C_Login(c.session, CKU_USER, pin_text, pin_len);
  }
  if (rv == CKR_OK) {
    RememberPin(c.slot, pin, pin_len);
  } else {
    ForgetPins();
  }
  return StatusFromCkr(rv);
}

int32_t ChangePin(XcHandle session, const uint8_t *old_pin, uint32_t old_len,
                  const uint8_t *new_pin, uint32_t new_len, uint32_t pin_type) {
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (pin_type != XC_PIN_USER) return P11ST_BAD_PIN_TYPE;
  if (int32_t status = CheckPin(old_pin, old_len)) return status;
  if (int32_t status = CheckPin(new_pin, new_len)) return status;
  TokenStep step;
  if (int32_t status = step.Begin()) return status;
  auto set_pin = [&] {
    return c.functions->C_SetPIN(c.session, const_cast<CK_UTF8CHAR_PTR>(old_pin), old_len,
                                 const_cast<CK_UTF8CHAR_PTR>(new_pin), new_len);
  };
  CK_RV rv = set_pin();
  // Some modules (tpm2-pkcs11) change the PIN only for a logged-in user: the
  // old PIN logs in first.
  if (rv == CKR_USER_NOT_LOGGED_IN) {
    rv = c.functions->C_Login(c.session, CKU_USER, const_cast<CK_UTF8CHAR_PTR>(old_pin), old_len);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) rv = set_pin();
  }
  ForgetPins();
  // A changed PIN ends the login, as it does on the software token.
  if (rv == CKR_OK) c.functions->C_Logout(c.session);
  return StatusFromCkr(rv);
}

int32_t GenRandom(XcHandle session, uint8_t *out, uint32_t len) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (len == 0) return 0;
  if (out == nullptr) return P11ST_BAD_ARGUMENT;
  return GenerateRandom(c, out, len);
}

int32_t GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out, uint32_t *inout_len,
                     uint32_t /*flags*/) {
  TokenStep step;
  if (int32_t status = step.Begin(StepKind::kRead)) return status;
  Cryptoki c;
  if (int32_t status = SessionOf(session, &c)) return status;
  if (param != XC_EKEY_PARAM_CERT_COUNT) return P11ST_BAD_PARAM;
  if (int32_t status = ReserveOutput(XC_EKEY_PARAM_SIZE, out, inout_len)) return status;
  uint32_t count = 0;
  if (int32_t status = CountCertificates(c, &count)) return status;
  std::memset(out, 0, XC_EKEY_PARAM_SIZE);
  out[0] = static_cast<uint8_t>(count);
  *inout_len = XC_EKEY_PARAM_SIZE;
  return 0;
}

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
