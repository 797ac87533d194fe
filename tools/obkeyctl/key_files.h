// Private key files as obkeyctl imports them: every form a certificate
// authority or a tool hands out, their passwords, and the certificate a
// PKCS #12 bundle carries beside its key.
#ifndef OBKEY_TOOLS_OBKEYCTL_KEY_FILES_H
#define OBKEY_TOOLS_OBKEYCTL_KEY_FILES_H

#include <stdint.h>

#include <string>

#include "cli.h"
#include "private_key_file.h"

namespace obkeyctl {

// ReadKeyFile reads the private key file of `import-key`: its password from
// --pass-file or --pass-stdin, else asked on a terminal when the file is
// encrypted. Stops, naming the file's form, when it holds no key obkeyctl
// reads, when it needs a password none gave, when the password does not
// open it, and when the key is not one the token keeps (a 1024-bit RSA
// key with exponent 65537). Nothing has touched the token then.
PrivateKeyFile ReadKeyFile(const Args &args);

// StoreBundledCertificate stores the certificate a PKCS #12 file carried
// beside its key, as the certificate of `key_type`, once the key is on the
// token in `container`; it checks that the certificate holds the key the
// token now has. Returns the certificate's subject.
std::string StoreBundledCertificate(Context &context, const PrivateKeyFile &read, uint32_t key_type,
                                    const std::string &container);

}  // namespace obkeyctl

#endif  // OBKEY_TOOLS_OBKEYCTL_KEY_FILES_H
