// session.h — the connections of the process and the handles that name
// them, their containers and their files (SessionOf and the others of
// p11token_api.h resolve them). Handles are nonzero 32-bit ids, unique in
// the process, valid until the disconnect of their connection.
#ifndef OBKEY_P11TOKEN_SESSION_H
#define OBKEY_P11TOKEN_SESSION_H

#include "cryptoki.h"
#include "xcsp_eclib.h"

namespace obkey::p11token {

// AddConnection registers a connection's PKCS #11 session, on `slot` of the
// module `functions`, and returns its handle.
XcHandle AddConnection(CK_FUNCTION_LIST *functions, CK_SLOT_ID slot, CK_SESSION_HANDLE ck_session);

// EndConnectionHandles ends the handles of connection `session` and of the
// containers and files it opened.
void EndConnectionHandles(XcHandle session);

// IsConnectionSession says whether `ck_session` is a connection's PKCS #11
// session. With the tables lock held.
bool IsConnectionSession(CK_SESSION_HANDLE ck_session);

}  // namespace obkey::p11token

#endif  // OBKEY_P11TOKEN_SESSION_H
