#include "store_format.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <stdexcept>

#include "byte_order.h"
#include "byte_reader.h"
#include "softtoken_status.h"

namespace obkey::softtoken {

namespace {

constexpr char kMagic[8] = {'O', 'B', 'K', 'E', 'Y', 'T', 'O', 'K'};
constexpr size_t kDigestSize = 32;
// A stored PBKDF2 count above this would let a forged store stall every login.
constexpr uint32_t kMaxPinIterations = 1000000;

using Digest = std::array<uint8_t, kDigestSize>;
using obkey::ByteReader;
using obkey::ByteWriter;

Digest Sha256(const uint8_t *data, size_t len) {
  Digest digest{};
  unsigned int digest_len = 0;
  if (EVP_Digest(data, len, digest.data(), &digest_len, EVP_sha256(), nullptr) != 1 ||
      digest_len != kDigestSize) {
    throw std::runtime_error("SHA-256 failed");
  }
  return digest;
}

// The admin PIN, and the user PIN of stores before version 4: PBKDF2.
void WritePbkdf2Hash(const PinHash &pin, ByteWriter *w) {
  if (pin.kdf != PinKdf::kPbkdf2Sha256) throw std::invalid_argument("scrypt in an old layout");
  w->Raw(pin.salt);
  w->Raw(pin.hash);
  w->U32(pin.iterations);
}

bool ReadPbkdf2Hash(ByteReader *r, PinHash *pin) {
  pin->kdf = PinKdf::kPbkdf2Sha256;
  return r->Raw(&pin->salt) && r->Raw(&pin->hash) && r->U32(&pin->iterations) &&
         pin->iterations > 0 && pin->iterations <= kMaxPinIterations;
}

// The user PIN from version 4 on: its derivation's kind, then its fields.
void WriteUserPinHash(const PinHash &pin, uint32_t version, ByteWriter *w) {
  if (version < kStoreFormatVersion) return WritePbkdf2Hash(pin, w);
  w->U8(static_cast<uint8_t>(pin.kdf));
  if (pin.kdf == PinKdf::kPbkdf2Sha256) return WritePbkdf2Hash(pin, w);
  w->Raw(pin.salt);
  w->U8(pin.scrypt.log2_n);
  w->U32(pin.scrypt.r);
  w->U32(pin.scrypt.p);
  w->Raw(pin.hash);
}

bool ReadUserPinHash(ByteReader *r, uint32_t version, PinHash *pin) {
  if (version < kStoreFormatVersion) return ReadPbkdf2Hash(r, pin);
  uint8_t kdf = 0;
  if (!r->U8(&kdf)) return false;
  if (kdf == static_cast<uint8_t>(PinKdf::kPbkdf2Sha256)) return ReadPbkdf2Hash(r, pin);
  if (kdf != static_cast<uint8_t>(PinKdf::kScrypt)) return false;
  pin->kdf = PinKdf::kScrypt;
  return r->Raw(&pin->salt) && r->U8(&pin->scrypt.log2_n) && r->U32(&pin->scrypt.r) &&
         r->U32(&pin->scrypt.p) && ScryptCostAllowed(pin->scrypt) && r->Raw(&pin->hash);
}

// How a key pair is kept (version 3 on): none, in the clear (a store written
// before keys were sealed, not yet unlocked), or sealed beside its public
// part.
enum KeyForm : uint8_t { kNoKey = 0, kClearKey = 1, kSealedKey = 2 };

// Version 3 knew only the own-salt form, as a present byte; version 4
// writes the form itself.
void WriteTokenKeyWrap(const TokenKeyWrap &wrap, uint32_t version, ByteWriter *w) {
  if (version < kStoreFormatVersion && wrap.form == WrapForm::kUserPin) {
    throw std::invalid_argument("scrypt wrap in an old layout");
  }
  w->U8(static_cast<uint8_t>(wrap.form));
  if (wrap.form == WrapForm::kOwnSalt) {
    w->Raw(wrap.salt);
    w->U32(wrap.iterations);
  }
  if (wrap.present()) w->Raw(wrap.sealed);
}

bool ReadTokenKeyWrap(ByteReader *r, uint32_t version, TokenKeyWrap *wrap) {
  uint8_t form = 0;
  const uint8_t last_form =
      static_cast<uint8_t>(version < kStoreFormatVersion ? WrapForm::kOwnSalt : WrapForm::kUserPin);
  if (!r->U8(&form) || form > last_form) return false;
  wrap->form = static_cast<WrapForm>(form);
  if (wrap->form == WrapForm::kOwnSalt &&
      (!r->Raw(&wrap->salt) || !r->U32(&wrap->iterations) || wrap->iterations == 0 ||
       wrap->iterations > kMaxPinIterations)) {
    return false;
  }
  return !wrap->present() || r->Raw(&wrap->sealed);
}

void WriteContainer(const Container &c, uint32_t version, ByteWriter *w) {
  w->U8(c.present ? 1 : 0);
  if (!c.present) return;
  w->U8(static_cast<uint8_t>(c.name.size()));
  w->Raw(reinterpret_cast<const uint8_t *>(c.name.data()), c.name.size());
  for (const KeySlot &slot : c.keys) {
    if (version < kStoreFormatVersion3) {
      if (!slot.sealed_key.empty()) throw std::invalid_argument("sealed key in an old layout");
      w->Blob16(slot.private_key_der);
      w->Blob16(slot.certificate);
      continue;
    }
    if (!slot.sealed_key.empty()) {
      w->U8(kSealedKey);
      w->Blob16(slot.public_key_der);
      w->Blob16(slot.sealed_key);
    } else if (!slot.private_key_der.empty()) {
      w->U8(kClearKey);
      w->Blob16(slot.private_key_der);
    } else {
      w->U8(kNoKey);
    }
    w->Blob16(slot.certificate);
  }
}

bool ReadKeySlot(ByteReader *r, uint32_t version, KeySlot *slot) {
  if (version < kStoreFormatVersion3) {
    return r->Blob16(kMaxPrivateKeyDer, &slot->private_key_der) &&
           r->Blob16(kMaxCertificate, &slot->certificate);
  }
  uint8_t form = 0;
  if (!r->U8(&form)) return false;
  switch (form) {
    case kNoKey:
      break;
    case kClearKey:
      if (!r->Blob16(kMaxPrivateKeyDer, &slot->private_key_der) || slot->private_key_der.empty()) {
        return false;
      }
      break;
    case kSealedKey:
      if (!r->Blob16(kMaxPublicKeyDer, &slot->public_key_der) || slot->public_key_der.empty() ||
          !r->Blob16(kMaxSealedKey, &slot->sealed_key) ||
          slot->sealed_key.size() <= kSealOverhead) {
        return false;
      }
      break;
    default:
      return false;
  }
  return r->Blob16(kMaxCertificate, &slot->certificate);
}

bool ReadContainer(ByteReader *r, uint32_t version, Container *c) {
  uint8_t present = 0;
  if (!r->U8(&present) || present > 1) return false;
  c->present = present == 1;
  if (!c->present) return true;
  uint8_t name_len = 0;
  std::vector<uint8_t> name;
  if (!r->U8(&name_len) || name_len == 0 || name_len > kMaxContainerName ||
      !r->Bytes(name_len, &name) || std::memchr(name.data(), 0, name.size()) != nullptr) {
    return false;
  }
  c->name.assign(name.begin(), name.end());
  for (KeySlot &slot : c->keys) {
    if (!ReadKeySlot(r, version, &slot)) return false;
  }
  return true;
}

void WriteUserFiles(const TokenState &state, ByteWriter *w) {
  w->U16(static_cast<uint16_t>(state.user_files.size()));
  for (const auto &[number, contents] : state.user_files) {
    w->U32(number);
    w->U32(static_cast<uint32_t>(contents.size()));
    w->Raw(contents.data(), contents.size());
  }
}

bool ReadUserFiles(ByteReader *r, TokenState *state) {
  uint16_t count = 0;
  if (!r->U16(&count) || count > kMaxUserFiles) return false;
  uint64_t total = 0;
  for (uint16_t i = 0; i < count; ++i) {
    uint32_t number = 0;
    uint32_t size = 0;
    if (!r->U32(&number) || !r->U32(&size)) return false;
    total += size;
    if (total > kUserFileCapacity) return false;
    // Numbers ascend strictly, as the writer emits them; a duplicate is damage.
    if (!state->user_files.empty() && number <= state->user_files.rbegin()->first) return false;
    if (!r->Bytes(size, &state->user_files[number])) return false;
  }
  return true;
}

SecretBytes SerializeBody(const TokenState &state, uint32_t version) {
  ByteWriter w;
  w.Raw(state.login_epoch);
  WritePbkdf2Hash(state.admin_pin, &w);
  WriteUserPinHash(state.user_pin.hash, version, &w);
  w.U8(state.user_pin.tries_left);
  if (version >= kStoreFormatVersion3) {
    WriteTokenKeyWrap(state.token_key_wrap, version, &w);
  } else if (state.token_key_wrap.present()) {
    throw std::invalid_argument("token key in an old layout");
  }
  for (const Container &c : state.containers) WriteContainer(c, version, &w);
  WriteUserFiles(state, &w);
  return std::move(w.bytes());
}

bool ParseBody(const uint8_t *body, size_t len, uint32_t version, TokenState *state) {
  ByteReader r(body, len);
  if (!r.Raw(&state->login_epoch) || !ReadPbkdf2Hash(&r, &state->admin_pin) ||
      !ReadUserPinHash(&r, version, &state->user_pin.hash) || !r.U8(&state->user_pin.tries_left) ||
      state->user_pin.tries_left > kUserPinTries) {
    return false;
  }
  if (version >= kStoreFormatVersion3 && !ReadTokenKeyWrap(&r, version, &state->token_key_wrap)) {
    return false;
  }
  // Only the user PIN's scrypt run gives the key of the kUserPin form.
  if (state->token_key_wrap.form == WrapForm::kUserPin &&
      state->user_pin.hash.kdf != PinKdf::kScrypt) {
    return false;
  }
  for (Container &c : state->containers) {
    if (!ReadContainer(&r, version, &c)) return false;
  }
  return ReadUserFiles(&r, state) && r.AtEnd();
}

// HasClearKey says whether any key pair of `state` is in the clear.
bool HasClearKey(const TokenState &state) {
  for (const Container &c : state.containers) {
    for (const KeySlot &slot : c.keys) {
      if (!slot.private_key_der.empty()) return true;
    }
  }
  return false;
}

uint64_t ReadLe64(const uint8_t *p) {
  return static_cast<uint64_t>(LoadLe32(p)) | (static_cast<uint64_t>(LoadLe32(p + 4)) << 32);
}

bool IsKnownVersion(uint32_t version) {
  return version == kStoreFormatVersion || version == kStoreFormatVersion3 ||
         version == kStoreFormatVersion2 || version == kStoreFormatVersion1;
}

size_t HeaderSizeOf(uint32_t version) {
  return version == kStoreFormatVersion1 ? kStoreHeaderSize1 : kStoreHeaderSize;
}

}  // namespace

SecretBytes SerializeStore(const TokenState &state, uint64_t generation, uint32_t format_version) {
  if (format_version != kStoreFormatVersion && format_version != kStoreFormatVersion3 &&
      format_version != kStoreFormatVersion2) {
    throw std::invalid_argument("store version not written");
  }
  SecretBytes body = SerializeBody(state, format_version);
  ByteWriter covered;
  covered.U32(static_cast<uint32_t>(generation));
  covered.U32(static_cast<uint32_t>(generation >> 32));
  covered.Raw(body.data(), body.size());
  SecretBytes &tail = covered.bytes();
  ByteWriter w;
  w.Raw(reinterpret_cast<const uint8_t *>(kMagic), sizeof(kMagic));
  w.U32(format_version);
  w.U32(static_cast<uint32_t>(tail.size() - (kStoreHeaderSize - kStoreChecksummedOffset)));
  w.Raw(Sha256(tail.data(), tail.size()));
  w.Raw(tail.data(), tail.size());
  return std::move(w.bytes());
}

bool ReadStoreStamp(const uint8_t *header, size_t len, StoreStamp *out_stamp) {
  if (len < kStoreHeaderSize1 || std::memcmp(header, kMagic, sizeof(kMagic)) != 0) return false;
  uint32_t version = LoadLe32(header + 8);
  if (!IsKnownVersion(version)) return false;
  if (len < HeaderSizeOf(version)) return false;
  StoreStamp stamp;
  std::memcpy(stamp.checksum.data(), header + kStoreChecksumOffset, kStoreChecksumSize);
  if (version != kStoreFormatVersion1) {
    stamp.generation = ReadLe64(header + kStoreChecksummedOffset);
  }
  *out_stamp = stamp;
  return true;
}

int32_t CheckStoreFile(const uint8_t *file_data, size_t file_len, StoreStamp *out_stamp) {
  // Magic before version so that any foreign file reads as corrupt, and
  // version before length so that a future layout is named as such.
  if (file_len < 12 || std::memcmp(file_data, kMagic, sizeof(kMagic)) != 0) {
    return XCST_STORE_CORRUPT;
  }
  uint32_t version = LoadLe32(file_data + 8);
  if (!IsKnownVersion(version)) return XCST_STORE_VERSION;
  const size_t header_size = HeaderSizeOf(version);
  if (file_len < header_size || file_len > kMaxStoreSize) return XCST_STORE_CORRUPT;
  if (LoadLe32(file_data + 12) != file_len - header_size) return XCST_STORE_CORRUPT;
  const uint8_t *covered = file_data + kStoreChecksummedOffset;
  Digest digest = Sha256(covered, file_len - kStoreChecksummedOffset);
  if (CRYPTO_memcmp(digest.data(), file_data + kStoreChecksumOffset, kDigestSize) != 0) {
    return XCST_STORE_CORRUPT;
  }
  ReadStoreStamp(file_data, header_size, out_stamp);
  return 0;
}

int32_t ParseStore(const uint8_t *file_data, size_t file_len, TokenState *out_state,
                   StoreStamp *out_stamp) {
  StoreStamp stamp;
  if (int32_t status = CheckStoreFile(file_data, file_len, &stamp)) return status;
  const uint32_t version = LoadLe32(file_data + 8);
  const size_t header_size = HeaderSizeOf(version);
  const uint8_t *body = file_data + header_size;
  const size_t body_len = file_len - header_size;
  TokenState parsed;
  if (!ParseBody(body, body_len, version, &parsed)) return XCST_STORE_CORRUPT;
  // Keys are sealed once a token key exists: a clear one beside it was put
  // there by someone who wants it used without the PIN.
  if (parsed.token_key_wrap.present() && HasClearKey(parsed)) return XCST_STORE_BAD_KEY;
  // A user PIN under scrypt was only ever written with the token key wrapped
  // under it (and so every key sealed). A store that says otherwise was
  // written by someone without the PIN, so that the PIN's next check would
  // seal their clear key in as the user's.
  if (parsed.user_pin.hash.kdf == PinKdf::kScrypt &&
      parsed.token_key_wrap.form != WrapForm::kUserPin) {
    return XCST_STORE_BAD_KEY;
  }
  *out_state = std::move(parsed);
  if (out_stamp != nullptr) *out_stamp = stamp;
  return 0;
}

}  // namespace obkey::softtoken
