// none.cpp - the TLS backend of a build without TLS: no connection can be
// made, and every TLS setting's operation ends with ZUB_E_TLS_UNAVAILABLE.
// Every other call can only be given the null connection, and answers it
// as tls_backend.h says every backend does.
#include "net/tls_backend.h"
#include "zub32.h"

namespace zub {

bool TlsBackendBuilt() { return false; }

TlsConn *TlsConnNew(int32_t, const TlsParams &, TlsConn *, int32_t *error) {
    *error = ZUB_E_TLS_UNAVAILABLE;
    return nullptr;
}

int32_t TlsConnHandshake(TlsConn *) { return ZUB_E_TLS_HANDSHAKE; }
int32_t TlsConnRead(TlsConn *, char *, int32_t) { return ZUB_E_TLS_BROKEN; }
int32_t TlsConnWrite(TlsConn *, const char *, int32_t) { return ZUB_E_TLS_BROKEN; }
bool TlsConnPending(TlsConn *) { return false; }
void TlsConnReadAhead(TlsConn *) {}
bool TlsConnClose(TlsConn *) { return false; }
int32_t TlsConnVersion(TlsConn *) { return 0; }
const char *TlsConnCipher(TlsConn *) { return ""; }
bool TlsConnVerified(TlsConn *) { return false; }
bool TlsConnResumed(TlsConn *) { return false; }

}  // namespace zub
