// connection_reads.h — what each connection read, wrote or deleted of
// obkey's data objects, and why its last create of one failed. A label call
// of obkey spreads one read-modify-write over several calls; these let each
// call check that what the connection saw still holds. Used under the
// tables lock.
#ifndef OBKEY_P11TOKEN_CONNECTION_READS_H
#define OBKEY_P11TOKEN_CONNECTION_READS_H

#include <stdint.h>

#include <string>

#include "objects.h"

namespace obkey::p11token {

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

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_CONNECTION_READS_H
