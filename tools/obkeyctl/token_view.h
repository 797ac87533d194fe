// What obkeyctl reads back from the token to check a change and to list it:
// the two containers, their key pairs and certificates, the labelled files.
// Every read is an ordinary library call, the way any client asks.
#ifndef OBKEY_TOOLS_OBKEYCTL_TOKEN_VIEW_H
#define OBKEY_TOOLS_OBKEYCTL_TOKEN_VIEW_H

#include <stdint.h>

#include <string>
#include <vector>

#include "cli.h"

namespace obkeyctl {

// A container slot: 0 holds the signature container and its signature pair
// (key names \03 \04), 1 the exchange container and its exchange pair (\01 \02).
struct Slot {
  int index;
  uint32_t key_type;
  const char *role;    // "signature", "exchange"
  const char *suffix;  // the first key name's suffix
};
const Slot &SlotOf(uint32_t key_type);
const Slot *Slots();  // two

// ContainerNames asks the token for the name in each slot (empty for none);
// a failure to reach the token stops the command.
void ContainerNames(Context &context, std::string out_names[2]);

// PublicKeyBlob reads the public-key blob of `key_name`; false when the
// token has no such pair.
bool PublicKeyBlob(Context &context, const std::string &key_name, std::vector<uint8_t> *out_blob);

// CertificateOf reads the certificate of `key_type` (DER); false when none.
bool CertificateOf(Context &context, uint32_t key_type, std::vector<uint8_t> *out_der);

// LabelsOf lists the labels of the label directory.
std::vector<std::string> Labels(Context &context);

// KeyNameContainer is the container part of a key name ("A_SIG\03" -> "A_SIG").
std::string KeyNameContainer(const std::string &key_name);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_TOKEN_VIEW_H
