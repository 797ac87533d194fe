#include <openssl/rand.h>

#include <cstring>

#include "api_common.h"
#include "pin.h"
#include "softtoken_api.h"
#include "softtoken_os.h"

namespace obkey::softtoken {

namespace {

constexpr uint32_t kRandomChunk = 1u << 20;

}  // namespace

int32_t ConnectEkey(int32_t device_index, XcHandle *out_session) {
  if (out_session == nullptr) return XCST_BAD_ARGUMENT;
  auto session = std::make_unique<Session>();
  // No store means an unplugged token; checking first keeps a connect to a
  // missing device from leaving lock files behind. A lock file this process
  // holds open is there already, and the store read finds a missing store.
  if (!StorePathsFor(device_index, &session->paths)) return XCST_NO_TOKEN;
  if (int32_t status = CheckTokenFolder(session->paths.dir)) return status;
  if (!StoreLock::IsKnown(session->paths.lock) && !os::FileExists(session->paths.store)) {
    return XCST_NO_TOKEN;
  }
  // The wait for another session's lock happens outside the process mutex,
  // so that sessions of this process can still disconnect meanwhile.
  if (int32_t status = session->lock.Acquire(session->paths.lock)) return status;
  LoadedStore loaded;
  if (int32_t status = LoadStore(session->paths, &loaded)) return status;
  session->committed = std::move(loaded.state);
  session->state = session->committed;
  session->stamp = loaded.stamp;
  os::ProcessStateGuard guard;
  *out_session = RegisterSession(std::move(session));
  return 0;
}

int32_t DisconnectEkey(XcHandle session) {
  std::unique_ptr<Session> closed;
  {
    os::ProcessStateGuard guard;
    closed = UnregisterSession(session);
  }
  if (closed == nullptr) return XCST_BAD_HANDLE;
  // The session is gone from the tables, so no other thread reaches it; the
  // lock is still held until `closed` is destroyed.
  const int32_t status = CommitSession(closed.get());
  if (status != 0) {
    // A login that moved the store to a new token key (or wrap) counts only
    // for the change just lost: its token key goes too.
    os::ProcessStateGuard guard;
    const std::string &store = closed->paths.store;
    if (IsLoggedIn(store, *closed->state) && !IsLoggedIn(store, *closed->committed)) {
      ForgetLogin(store);
    }
  }
  return status;
}

int32_t GenRandom(XcHandle session, uint8_t *out, uint32_t len) {
  os::ProcessStateGuard guard;
  if (FindSession(session) == nullptr) return XCST_BAD_HANDLE;
  if (out == nullptr && len != 0) return XCST_BAD_ARGUMENT;
  for (uint32_t done = 0; done < len;) {
    uint32_t chunk = len - done < kRandomChunk ? len - done : kRandomChunk;
    if (RAND_bytes(out + done, static_cast<int>(chunk)) != 1) return XCST_CRYPTO;
    done += chunk;
  }
  return 0;
}

int32_t GetEkeyParam(XcHandle session, uint32_t param, uint8_t *out, uint32_t *inout_len,
                     uint32_t /*flags*/) {
  SessionCall call(session);
  if (int32_t status = call.status()) return status;
  Session *s = FindSession(session);
  if (s == nullptr) return XCST_BAD_HANDLE;
  if (param != XC_EKEY_PARAM_CERT_COUNT) return XCST_BAD_PARAM;
  if (int32_t status = ReserveOutput(XC_EKEY_PARAM_SIZE, out, inout_len)) return status;
  std::memset(out, 0, XC_EKEY_PARAM_SIZE);
  out[0] = static_cast<uint8_t>(CertificateCount(*s->state));
  *inout_len = XC_EKEY_PARAM_SIZE;
  return 0;
}

}  // namespace obkey::softtoken
