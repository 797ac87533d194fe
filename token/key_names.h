// Key names: a container name, a backslash and two digits. Containers are
// named by texts that hold "SIG" (signature) or "ENC" (exchange).
#ifndef OBKEY_TOKEN_KEY_NAMES_H
#define OBKEY_TOKEN_KEY_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include "obkey_types.h"

namespace obkey {

inline constexpr size_t kContainerNameMax = 47;
inline constexpr char kSignatureKeyword[] = "SIG";
inline constexpr char kExchangeKeyword[] = "ENC";

// The four key-name suffixes: exchange pair "\01", "\02"; signature pair
// "\03", "\04".
inline constexpr char kExchangeSuffix1[] = "\\01";
inline constexpr char kExchangeSuffix2[] = "\\02";
inline constexpr char kSignatureSuffix1[] = "\\03";
inline constexpr char kSignatureSuffix2[] = "\\04";

// ContainsKeyword is a case-sensitive substring test.
bool ContainsKeyword(const char *container_name, const char *keyword);

// NameFitsKeyType: key type 1 needs "ENC" in the name, key type 2 "SIG";
// any other key type fits no name.
bool NameFitsKeyType(const char *container_name, uint32_t key_type);

// WriteKeyName writes `container_name` + `suffix`, zero-terminated, to
// `out`; the caller provides room for the name, three characters and the
// terminator.
void WriteKeyName(uint8_t *out, const char *container_name, const char *suffix);

// KeyNameDigit finds the last backslash of `key_name` and returns the second
// character after it in `*out_digit`. Returns false for a null or empty name,
// a name without a backslash, or one with fewer than two characters after it.
bool KeyNameDigit(const char *key_name, char *out_digit);

// PairOfDigit: '1' or '2' name the exchange pair (key type 1), '3' or '4' the
// signature pair (key type 2); any other character gives 0.
uint32_t PairOfDigit(char digit);

// SlotOfKeyType: the container slot that holds the pair of `key_type`
// (1 exchange → slot 1, 2 signature → slot 0).
inline uint32_t SlotOfKeyType(uint32_t key_type) {
  return key_type == OB_KEY_TYPE_EXCHANGE ? OB_SLOT_EXCHANGE : OB_SLOT_SIGNATURE;
}

}  // namespace obkey

#endif  // OBKEY_TOKEN_KEY_NAMES_H
