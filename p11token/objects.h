// objects.h — the token objects the library keeps, and the few PKCS #11
// object calls it makes on them. README.md in this folder lists the labels.
#ifndef OBKEY_P11TOKEN_OBJECTS_H
#define OBKEY_P11TOKEN_OBJECTS_H

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "cryptoki.h"
#include "p11token_status.h"

namespace obkey::p11token {

using Bytes = std::vector<uint8_t>;

// Cryptoki is one open PKCS #11 session and the module it belongs to, with
// the slot and the connection (an XcHandle; 0: none) it was opened for.
struct Cryptoki {
  CK_FUNCTION_LIST *functions = nullptr;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_SLOT_ID slot = 0;
  uint32_t connection = 0;
};

// The value of CKA_APPLICATION on every data object of ours.
inline constexpr char kApplication[] = "obkey";
inline constexpr char kContainersLabel[] = "obkey containers";
inline constexpr size_t kContainerSlots = 2;
inline constexpr size_t kMaxContainerName = 47;

// KeyLabel is the CKA_LABEL of the key pair (both objects) and the
// certificate of `key_type` in the container `container_name`:
// "<name>/exchange" for type 1, "<name>/signature" for type 2.
std::string KeyLabel(const std::string &container_name, uint32_t key_type);

// KeyId is the CKA_ID given to the pair and the certificate that obkey
// makes: the container slot and the key type, one byte each.
Bytes KeyId(uint32_t container_slot, uint32_t key_type);

// FileLabel is the CKA_LABEL of user file `number`: "obkey file <number>".
std::string FileLabel(uint32_t number);

// Attr builds one template entry over `value`, which must outlive its use.
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void *value, size_t value_len);
CK_ATTRIBUTE BoolAttr(CK_ATTRIBUTE_TYPE type, bool value);
CK_ATTRIBUTE UlongAttr(CK_ATTRIBUTE_TYPE type, const CK_ULONG *value);

// FindObjects stores the handles of every object matching `tmpl`.
int32_t FindObjects(const Cryptoki &c, std::vector<CK_ATTRIBUTE> tmpl,
                    std::vector<CK_OBJECT_HANDLE> *out_objects);

// FindLabelled finds the objects of `object_class` with CKA_LABEL `label`.
int32_t FindLabelled(const Cryptoki &c, CK_OBJECT_CLASS object_class, const std::string &label,
                     std::vector<CK_OBJECT_HANDLE> *out_objects);

// ReadAttribute stores the value of one attribute of `object`.
int32_t ReadAttribute(const Cryptoki &c, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                      Bytes *out_value);

// DestroyObjects destroys every object of the list, and returns the first
// failure after trying them all.
int32_t DestroyObjects(const Cryptoki &c, const std::vector<CK_OBJECT_HANDLE> &objects);

// WhileReplaced runs `read` (a find, then reads of the objects it found)
// again while an object it found was gone before it was read
// (P11ST_BAD_HANDLE): readers take no lock, and another program's
// replacement destroys the old version once the new one is there. A few
// tries: each means another whole replacement ran meanwhile.
inline constexpr int kReadTries = 4;
template <typename Read>
int32_t WhileReplaced(Read read) {
  int32_t status = read();
  for (int tries = 1; status == P11ST_BAD_HANDLE && tries < kReadTries; ++tries) status = read();
  return status;
}

// DataRefusal is the status of a module's refusal `rv` to create one of
// obkey's data objects: the interface status of the CKR_ value where it has
// one (CKR_USER_NOT_LOGGED_IN: P11ST_NOT_LOGGED_IN), else the value in the
// range P11ST_DATA_REFUSED.
int32_t DataRefusal(CK_RV rv);

// ReadDataObject reads the value of our data object `label`; `*out_found`
// says whether there is one. Of two (a replacement interrupted between its
// two steps) it reads the first the module lists: each is a whole value.
int32_t ReadDataObject(const Cryptoki &c, const std::string &label, bool *out_found,
                       Bytes *out_value);

// ReplaceDataObject makes `value` the value of our data object `label`,
// which must still hold `expected` (null: must not exist), the value this
// connection read: another program (on another machine, where no lock
// reaches) may have written it since. The new object is created before the
// old ones are destroyed, so an interruption leaves one of the two; after
// the creation exactly the old objects and ours must exist. On any mismatch,
// or an old object that vanished, our new object goes again and the answer
// is P11ST_CHANGED: a write another writer overtook is never reported done.
// Public data objects are made where the module allows them, else private
// ones; when it takes neither, the module's refusal (DataRefusal).
int32_t ReplaceDataObject(const Cryptoki &c, const std::string &label, const Bytes *expected,
                          const Bytes &value);

// CommitReplacement makes the objects `created` (just made) the current ones
// in place of `old`, `now` being every such object found after the
// creation: unless `now` is exactly `old` and `created`, `created` is destroyed and the answer is
// P11ST_CHANGED; else `old` is destroyed.
int32_t CommitReplacement(const Cryptoki &c, const std::vector<CK_OBJECT_HANDLE> &old,
                          const std::vector<CK_OBJECT_HANDLE> &created,
                          const std::vector<CK_OBJECT_HANDLE> &now);

// RememberRead keeps the value of data object `label` as the connection
// read or wrote it, the value a later replacement by the connection must
// still find; RememberedRead gives it back (false: none kept).
void RememberRead(const Cryptoki &c, const std::string &label, const Bytes &value);
bool RememberedRead(const Cryptoki &c, const std::string &label, Bytes *out_value);
void ForgetRead(const Cryptoki &c, const std::string &label);
// RememberDeleted keeps that the connection deleted data object `label`:
// it must stay missing for FileReadsHold.
void RememberDeleted(const Cryptoki &c, const std::string &label);

// obkey opens what it could not create (a container, a user file), and
// passes the open's answer on. RememberFailedCreate keeps why the
// connection's create of `name` failed (0: it did not); the next open of
// `name` that fails with `open_status` is answered, once, with that cause
// by OpenAfterFailedCreate (open_status itself when there is none, 0 when
// the open succeeded). A create overtaken by another writer answers the
// open with P11ST_CHANGED even when the open succeeds.
void RememberFailedCreate(const Cryptoki &c, const std::string &name, int32_t status);
int32_t OpenAfterFailedCreate(const Cryptoki &c, const std::string &name, int32_t open_status);

// FileReadsHold checks that every user file the connection read or wrote
// is still as it left it, and every one it deleted still missing. A step of a read-modify-write
// spread over several calls (obkey's label directory and its data files) would otherwise act on a
// view another program changed meanwhile. File `read_now` is the one the step has just read, as
// `read_value` (null: missing), and is not read again. Returns P11ST_CHANGED, with the connection's
// file reads forgotten, when one changed or is gone.
int32_t FileReadsHold(const Cryptoki &c, uint32_t read_now, const Bytes *read_value);

// ForgetConnection drops what was kept for the connection.
void ForgetConnection(uint32_t connection);

// ContainerNames are the names in the two container slots ("" when empty).
using ContainerNames = std::array<std::string, kContainerSlots>;

// ReadContainerNames reads the container directory (none: both empty),
// once per connection: a connection sees the directory as it was at its
// first look, and a write over a directory changed since then fails.
int32_t ReadContainerNames(const Cryptoki &c, ContainerNames *out_names);
int32_t WriteContainerNames(const Cryptoki &c, const ContainerNames &names);

// RequireLogin returns 0 when the user is logged in to the session's token,
// P11ST_NOT_LOGGED_IN when not.
int32_t RequireLogin(const Cryptoki &c);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_OBJECTS_H
