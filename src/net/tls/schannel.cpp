// schannel.cpp - the TLS backend on SChannel (secur32 and crypt32, both part
// of Windows, so the DLL ships alone).
//
// SChannel never touches the socket here: every byte it wants comes from
// zp_recv_now into the connection's input buffer, and every token it makes
// goes out through zp_send. The certificate is checked by this file
// (SCH_CRED_MANUAL_CRED_VALIDATION), with crypt32's chain engine and the
// SSL chain policy, so that the result codes and the CA file behave as on
// the other backends.
//
// Divisions: Windows headers, the connection, small helpers (input and
// sending), credentials, the CA file, the certificate check, what the
// handshake agreed, the handshake, records, the interface.
#include "net/tls_backend.h"

#include <cstring>
#include <initializer_list>

// Before windows.h, whose YieldProcessor macro would replace net.h's name.
#include "net/net.h"
#include "platform/platform.h"
#include "zub32.h"

// ---- Windows headers ---------------------------------------------------------
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// SCH_CREDENTIALS and TLS_PARAMETERS (whose CRYPTO_SETTINGS need
// UNICODE_STRING from subauth.h).
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <subauth.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

namespace zub {

// ---- the connection ------------------------------------------------------------
namespace {

// One credentials handle serves a control connection and every data
// connection that resumes its session: SChannel keeps its session cache per
// credentials handle and target name.
struct SharedCred {
    CredHandle handle;
    volatile LONG refs;
};

// Room for a whole handshake flight (a long certificate chain) or for many
// records at once; a single record is at most 16 KiB plus 2 KiB of overhead.
constexpr int32_t kInCap = 64 * 1024;
constexpr int32_t kPlainCap = 16 * 1024 + 2048;
constexpr int32_t kOutCap = 5 + 16 * 1024 + 2048;
constexpr int32_t kRecordHeader = 5;
constexpr char kAlertRecord = 0x15;      // record content types
constexpr char kHandshakeRecord = 0x16;

enum class Phase { Start, Handshake, Open, PeerClosed, Failed };

const DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                              ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS;

}  // namespace

struct TlsConn {
    int32_t sock;
    SharedCred *cred;
    CtxtHandle ctx;
    bool haveCtx;
    Phase phase;
    int32_t failure;       // the code every call returns once Phase::Failed
    bool renegotiating;    // a handshake message arrived after the handshake
    bool needMore;         // the handshake waits for bytes from the server
    bool fullHandshake;    // this renegotiation exchanged more than one flight
    bool sawServerBytes;   // the first byte from the server was checked
    bool verify;
    bool verified;
    bool resumed;
    bool dottedQuad;       // the name is an address: no SNI, checked against the IP names
    BYTE address[16];      // that address
    DWORD addressLength;   // 4 or 16
    HCERTSTORE caStore;    // the CA file's certificates; null = the system's roots
    SecPkgContext_StreamSizes sizes;
    int32_t version;
    char cipher[96];
    char serverName[256];
    int32_t inLen;         // received bytes not yet taken by SChannel
    int32_t plainOff;      // decrypted bytes not yet read: plain[plainOff, plainLen)
    int32_t plainLen;
    char in[kInCap];
    char plain[kPlainCap];
    char out[kOutCap];
};

namespace {

// ---- small helpers -------------------------------------------------------------
int32_t Fail(TlsConn *c, int32_t code) {
    if (c->phase != Phase::Failed) {
        c->phase = Phase::Failed;
        c->failure = code;
    }
    return c->failure;
}

// Drops the first `used` bytes of the input buffer.
void ConsumeInput(TlsConn *c, int32_t used) {
    if (used >= c->inLen) {
        c->inLen = 0;
        return;
    }
    std::memmove(c->in, c->in + used, static_cast<size_t>(c->inLen - used));
    c->inLen -= used;
}

// What an input SecBuffer array left unread: the SECBUFFER_EXTRA bytes are
// the tail of the input buffer, which is kept; the rest was consumed.
void KeepExtra(TlsConn *c, const SecBuffer *bufs, int count) {
    int32_t extra = 0;
    for (int i = 0; i < count; ++i)
        if (bufs[i].BufferType == SECBUFFER_EXTRA) extra = static_cast<int32_t>(bufs[i].cbBuffer);
    ConsumeInput(c, c->inLen - extra);
}

// Takes what the socket holds now. > 0 bytes added, 0 nothing there yet,
// < 0 the connection's result for a closed or failed socket.
int32_t ReceiveNow(TlsConn *c) {
    if (c->inLen >= kInCap)
        return Fail(c, c->phase == Phase::Open ? ZUB_E_TLS_BROKEN : ZUB_E_TLS_HANDSHAKE);
    zp_set_last_error(0);
    int32_t n = zp_recv_now(c->sock, c->in + c->inLen, kInCap - c->inLen);
    if (n > 0) {
        c->inLen += n;
        return n;
    }
    if (n == 0) return Fail(c, c->phase == Phase::Open ? ZUB_E_TLS_BROKEN : ZUB_E_TLS_HANDSHAKE);
    int32_t e = NegatedLastError();
    if (e == -ZP_WSAEWOULDBLOCK) return 0;
    return Fail(c, e);
}

// Sends a token SChannel allocated and frees it; 0 or the send's error.
int32_t SendToken(TlsConn *c, SecBuffer *token) {
    int32_t r = 0;
    if (token->pvBuffer != nullptr) {
        if (token->cbBuffer > 0)
            r = TlsSendBlocking(c->sock, static_cast<const char *>(token->pvBuffer),
                                static_cast<int32_t>(token->cbBuffer));
        FreeContextBuffer(token->pvBuffer);
        token->pvBuffer = nullptr;
    }
    return r;
}

// One call of InitializeSecurityContext after a control token (shutdown,
// alert) was applied: the record it makes is sent once, its failure ignored.
void SendControlRecord(TlsConn *c, DWORD *token, DWORD tokenSize) {
    SecBuffer in = {tokenSize, SECBUFFER_TOKEN, token};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 1, &in};
    if (ApplyControlToken(&c->ctx, &inDesc) != SEC_E_OK) return;
    SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
    DWORD attrs = 0;
    TimeStamp expiry;
    SECURITY_STATUS st = InitializeSecurityContextA(&c->cred->handle, &c->ctx, c->dottedQuad ? nullptr : c->serverName,
                                                    kContextRequest, 0, 0, nullptr, 0, nullptr, &outDesc, &attrs,
                                                    &expiry);
    if (out.pvBuffer != nullptr) {
        if ((st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED) && out.cbBuffer > 0)
            zp_send(c->sock, out.pvBuffer, static_cast<int32_t>(out.cbBuffer));
        FreeContextBuffer(out.pvBuffer);
    }
}

// ---- credentials -------------------------------------------------------------------
// TLS 1.2 and later. SCH_CREDENTIALS first, which Windows needs for TLS 1.3;
// systems that predate it take SCHANNEL_CRED, with TLS 1.2 only.
SharedCred *AcquireCred(int32_t *error) {
    auto *cred = static_cast<SharedCred *>(zp_alloc_zero(sizeof(SharedCred)));
    *error = ZUB_E_NO_MEMORY;
    if (cred == nullptr) return nullptr;
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry;

    TLS_PARAMETERS tls;
    std::memset(&tls, 0, sizeof tls);
    tls.grbitDisabledProtocols =
        SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS modern;
    std::memset(&modern, 0, sizeof modern);
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &tls;
    SECURITY_STATUS st = AcquireCredentialsHandleA(nullptr, const_cast<char *>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                                   nullptr, &modern, nullptr, nullptr, &cred->handle, &expiry);
    if (st != SEC_E_OK) {
        SCHANNEL_CRED older;
        std::memset(&older, 0, sizeof older);
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.dwFlags = flags;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        st = AcquireCredentialsHandleA(nullptr, const_cast<char *>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                       &older, nullptr, nullptr, &cred->handle, &expiry);
    }
    if (st != SEC_E_OK) {
        zp_free(cred);
        *error = ZUB_E_TLS_UNAVAILABLE;  // no SChannel that speaks TLS 1.2
        return nullptr;
    }
    cred->refs = 1;
    return cred;
}

void ReleaseCred(SharedCred *cred) {
    if (cred == nullptr || InterlockedDecrement(&cred->refs) != 0) return;
    FreeCredentialsHandle(&cred->handle);
    zp_free(cred);
}

// ---- the CA file ----------------------------------------------------------------------
// The whole file, NUL-terminated, in memory from zp_alloc_zero; null when it
// cannot be read. A CA bundle is rarely past a few hundred KiB.
char *ReadWholeFile(const char *path) {
    constexpr int64_t kMaxFile = 8 * 1024 * 1024;
    int32_t h = zp_file_open(path, ZP_OPEN_READ);
    if (h <= 0) return nullptr;
    char *text = nullptr;
    const int64_t size = zp_file_seek(h, 0, ZP_SEEK_END);
    if (size >= 0 && size <= kMaxFile && zp_file_seek(h, 0, ZP_SEEK_SET) == 0) {
        text = static_cast<char *>(zp_alloc_zero(static_cast<size_t>(size) + 1));
        int32_t got = 0;
        while (text != nullptr && got < size) {
            int32_t n = zp_file_read(h, text + got, static_cast<uint32_t>(size - got));
            if (n <= 0) break;
            got += n;
        }
        if (text != nullptr && got != size) {
            zp_free(text);
            text = nullptr;
        }
    }
    zp_file_close(h);
    return text;
}

// Every "BEGIN CERTIFICATE" block of the PEM file, in a memory store; null
// when the file cannot be read or holds no certificate.
HCERTSTORE LoadCaFile(const char *path) {
    char *text = ReadWholeFile(path);
    if (text == nullptr) return nullptr;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    int added = 0;
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    for (char *at = std::strstr(text, kBegin); store != nullptr && at != nullptr; at = std::strstr(at, kBegin)) {
        char *end = std::strstr(at, kEnd);
        if (end == nullptr) break;
        end += sizeof kEnd - 1;
        const DWORD blockLen = static_cast<DWORD>(end - at);
        DWORD derLen = 0;
        if (CryptStringToBinaryA(at, blockLen, CRYPT_STRING_BASE64HEADER, nullptr, &derLen, nullptr, nullptr) &&
            derLen > 0) {
            auto *der = static_cast<BYTE *>(zp_alloc_zero(derLen));
            if (der != nullptr &&
                CryptStringToBinaryA(at, blockLen, CRYPT_STRING_BASE64HEADER, der, &derLen, nullptr, nullptr) &&
                CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derLen, CERT_STORE_ADD_ALWAYS,
                                                 nullptr))
                ++added;
            zp_free(der);
        }
        at = end;
    }
    zp_free(text);
    if (store != nullptr && added == 0) {
        CertCloseStore(store, 0);
        store = nullptr;
    }
    return store;
}

// ---- the certificate check -------------------------------------------------------------
// SECURITY_FLAG_IGNORE_UNKNOWN_CA of the SSL policy (defined by wininet.h).
constexpr DWORD kIgnoreUnknownCa = 0x100;

int32_t PolicyResult(DWORD error) {
    switch (error) {
    case 0:
        return 1;
    case static_cast<DWORD>(CERT_E_EXPIRED):
        return ZUB_E_TLS_EXPIRED;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
        return ZUB_E_TLS_NAME;
    default:
        return ZUB_E_TLS_UNTRUSTED;
    }
}

// Whether the certificate's subject alternative names hold the address
// (4 bytes IPv4, 16 IPv6).
bool HasAddressName(PCCERT_CONTEXT cert, const BYTE *addr, DWORD length) {
    PCERT_EXTENSION ext =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    if (ext == nullptr) return false;
    CERT_ALT_NAME_INFO *names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY &e = names->rgAltEntry[i];
        found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == length &&
                std::memcmp(e.IPAddress.pbData, addr, length) == 0;
    }
    LocalFree(names);
    return found;
}

// Whether the chain ends at one of the CA file's certificates.
bool EndsAtFileRoot(const TlsConn *c, PCCERT_CHAIN_CONTEXT chain) {
    const CERT_SIMPLE_CHAIN *last = chain->rgpChain[chain->cChain - 1];
    if (c->caStore == nullptr || last->cElement == 0) return false;
    PCCERT_CONTEXT root = last->rgpElement[last->cElement - 1]->pCertContext;
    PCCERT_CONTEXT match = CertFindCertificateInStore(c->caStore, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
    if (match == nullptr) return false;
    CertFreeCertificateContext(match);
    return true;
}

// The chain's own verdict, taken before the SSL policy's because some
// versions of that policy let a partial chain pass. Revocation was not
// asked for, so its "unknown" is no fault.
int32_t ChainVerdict(PCCERT_CHAIN_CONTEXT chain, bool fileRoot) {
    DWORD faults = chain->TrustStatus.dwErrorStatus &
                   ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (fileRoot) faults &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    const DWORD timeFaults = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
    if (faults & ~timeFaults) return ZUB_E_TLS_UNTRUSTED;
    if (faults & timeFaults) return ZUB_E_TLS_EXPIRED;
    return 1;
}

// The SSL policy with the server name (and whatever else it checks). A
// dotted-quad name is matched against the certificate's IP addresses here
// instead: not every version of the policy knows them.
int32_t NameVerdict(const TlsConn *c, PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT cert, bool fileRoot) {
    WCHAR wideName[sizeof c->serverName];
    size_t n = 0;
    for (; c->serverName[n] != '\0'; ++n) wideName[n] = static_cast<unsigned char>(c->serverName[n]);
    wideName[n] = 0;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = fileRoot ? kIgnoreUnknownCa : 0;
    ssl.pwszServerName = c->dottedQuad ? nullptr : wideName;
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.dwFlags = fileRoot ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
        return ZUB_E_TLS_UNTRUSTED;
    int32_t result = PolicyResult(status.dwError);
    if (result == 1 && c->dottedQuad && !HasAddressName(cert, c->address, c->addressLength)) result = ZUB_E_TLS_NAME;
    return result;
}

// The chain from the server's certificate (and the intermediates it sent)
// to a root, then the name. With a CA file the chain must end at one of its
// certificates, which then counts as trusted; the system's roots count
// only without one.
int32_t CheckServerCertificate(TlsConn *c) {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesA(&c->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || cert == nullptr)
        return ZUB_E_TLS_UNTRUSTED;
    HCERTSTORE extra = cert->hCertStore;
    HCERTSTORE both = nullptr;
    if (c->caStore != nullptr) {
        both = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
        if (both != nullptr) {
            CertAddStoreToCollection(both, cert->hCertStore, 0, 0);
            CertAddStoreToCollection(both, c->caStore, 0, 0);
            extra = both;
        }
    }
    CERT_CHAIN_PARA chainPara;
    std::memset(&chainPara, 0, sizeof chainPara);
    chainPara.cbSize = sizeof chainPara;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // Only what is at hand: no intermediate or revocation list is fetched.
    int32_t result = ZUB_E_TLS_UNTRUSTED;
    if (CertGetCertificateChain(nullptr, cert, nullptr, extra, &chainPara, CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                nullptr, &chain) &&
        chain != nullptr && chain->cChain > 0) {
        const bool fileRoot = EndsAtFileRoot(c, chain);
        result = c->caStore != nullptr && !fileRoot ? ZUB_E_TLS_UNTRUSTED : ChainVerdict(chain, fileRoot);
        if (result == 1) result = NameVerdict(c, chain, cert, fileRoot);
    }
    if (chain != nullptr) CertFreeCertificateChain(chain);
    if (both != nullptr) CertCloseStore(both, 0);
    CertFreeCertificateContext(cert);
    return result;
}

// A fatal alert that names the certificate's fault; SChannel versions that
// cannot make one send nothing.
void SendCertificateAlert(TlsConn *c, int32_t fault) {
    SCHANNEL_ALERT_TOKEN alert;
    alert.dwTokenType = SCHANNEL_ALERT;
    alert.dwAlertType = TLS1_ALERT_FATAL;
    alert.dwAlertNumber = fault == ZUB_E_TLS_EXPIRED   ? TLS1_ALERT_CERTIFICATE_EXPIRED
                          : fault == ZUB_E_TLS_NAME    ? TLS1_ALERT_BAD_CERTIFICATE
                                                       : TLS1_ALERT_UNKNOWN_CA;
    SendControlRecord(c, reinterpret_cast<DWORD *>(&alert), sizeof alert);
}

// ---- what the handshake agreed --------------------------------------------------------
const char *HashName(ALG_ID hash) {
    switch (hash) {
    case CALG_SHA1: return "SHA";
    case CALG_SHA_256: return "SHA256";
    case CALG_SHA_384: return "SHA384";
    case CALG_SHA_512: return "SHA512";
    default: return nullptr;
    }
}

// A name from the connection's algorithms, for systems without the cipher
// suite's own name: "ECDHE_AES_256_SHA384" and the like.
void NameFromAlgorithms(char *out, size_t size, const SecPkgContext_ConnectionInfo &info) {
    const char *exch = info.aiExch == CALG_ECDH_EPHEM ? "ECDHE_"
                       : info.aiExch == CALG_DH_EPHEM ? "DHE_"
                       : info.aiExch == CALG_RSA_KEYX ? "RSA_"
                       : info.aiExch == CALG_ECDH     ? "ECDH_"
                                                      : "";
    const char *cipher = info.aiCipher == CALG_AES_128 ? "AES_128"
                         : info.aiCipher == CALG_AES_256 ? "AES_256"
                         : info.aiCipher == CALG_3DES    ? "3DES"
                                                         : "CIPHER";
    const char *hash = HashName(info.aiHash);
    out[0] = '\0';
    for (const char *part : {exch, cipher, hash != nullptr ? "_" : "", hash != nullptr ? hash : ""})
        std::strncat(out, part, size - 1 - std::strlen(out));
}

void ReadConnectionFacts(TlsConn *c) {
    SecPkgContext_ConnectionInfo info;
    std::memset(&info, 0, sizeof info);
    if (QueryContextAttributesA(&c->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
        if (info.dwProtocol & SP_PROT_TLS1_3)
            c->version = 0x0304;
        else if (info.dwProtocol & SP_PROT_TLS1_2)
            c->version = 0x0303;
        else if (info.dwProtocol & SP_PROT_TLS1_1)
            c->version = 0x0302;
        else if (info.dwProtocol & SP_PROT_TLS1_0)
            c->version = 0x0301;
    }
    // The suite's name where SChannel gives it; some versions leave its hash
    // part as "<unknown>", which the connection's hash algorithm fills in.
    SecPkgContext_CipherInfo suite;
    std::memset(&suite, 0, sizeof suite);
    suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    size_t n = 0;
    if (QueryContextAttributesW(&c->ctx, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK) {
        for (; n + 1 < sizeof c->cipher && suite.szCipherSuite[n] > 0 && suite.szCipherSuite[n] < 0x80 &&
               suite.szCipherSuite[n] != '<';
             ++n)
            c->cipher[n] = static_cast<char>(suite.szCipherSuite[n]);
        c->cipher[n] = '\0';
        if (n > 0 && suite.szCipherSuite[n] == '<') {
            const char *hash = HashName(info.aiHash);
            if (hash != nullptr && n + std::strlen(hash) + 1 < sizeof c->cipher)
                std::strcpy(c->cipher + n, hash);
            else if (c->cipher[n - 1] == '_')
                c->cipher[n - 1] = '\0';
        }
    }
    if (c->cipher[0] == '\0') NameFromAlgorithms(c->cipher, sizeof c->cipher, info);

    SecPkgContext_SessionInfo session;
    std::memset(&session, 0, sizeof session);
    c->resumed = QueryContextAttributesA(&c->ctx, SECPKG_ATTR_SESSION_INFO, &session) == SEC_E_OK &&
                 (session.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

// ---- the handshake ------------------------------------------------------------------------
// What ends a handshake round: the record sizes for EncryptMessage, and on
// the first round (or a renegotiation that brought a new certificate) the
// check.
int32_t FinishHandshake(TlsConn *c) {
    if (QueryContextAttributesA(&c->ctx, SECPKG_ATTR_STREAM_SIZES, &c->sizes) != SEC_E_OK)
        return Fail(c, ZUB_E_TLS_HANDSHAKE);
    const bool first = c->phase != Phase::Open;
    if (c->verify && (first || c->fullHandshake)) {
        int32_t check = CheckServerCertificate(c);
        if (check != 1) {
            SendCertificateAlert(c, check);
            return Fail(c, check);
        }
        c->verified = true;
    }
    if (first) ReadConnectionFacts(c);
    c->phase = Phase::Open;
    c->renegotiating = false;
    return 1;
}

// One round of InitializeSecurityContext on what the input buffer holds.
// 1 done, 0 not yet (needMore says whether input must come first), < 0
// failed.
int32_t HandshakeRound(TlsConn *c) {
    SecBuffer in[2] = {{static_cast<unsigned long>(c->inLen), SECBUFFER_TOKEN, c->in}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
    DWORD attrs = 0;
    TimeStamp expiry;
    const bool first = !c->haveCtx;
    SECURITY_STATUS st = InitializeSecurityContextA(
        &c->cred->handle, first ? nullptr : &c->ctx, c->dottedQuad ? nullptr : c->serverName, kContextRequest, 0, 0,
        first ? nullptr : &inDesc, 0, first ? &c->ctx : nullptr, &outDesc, &attrs, &expiry);
    if (first && (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED)) c->haveCtx = true;

    // A token goes out whatever the status: on failure it is the alert.
    int32_t sent = SendToken(c, &out);
    if (sent < 0 && (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED)) return Fail(c, sent);

    c->needMore = false;
    switch (st) {
    case SEC_E_OK:
        if (!first) KeepExtra(c, in, 2);
        return FinishHandshake(c);
    case SEC_I_CONTINUE_NEEDED:
        if (first) {
            c->needMore = true;
            return 0;
        }
        c->fullHandshake = true;
        KeepExtra(c, in, 2);
        c->needMore = c->inLen == 0;
        return 0;
    case SEC_E_INCOMPLETE_MESSAGE:
        c->needMore = true;
        return 0;
    case SEC_I_INCOMPLETE_CREDENTIALS:
        // The server asked for a client certificate; there is none, and the
        // next round says so.
        return 0;
    default:
        return Fail(c, ZUB_E_TLS_HANDSHAKE);
    }
}

// Moves the handshake (or a renegotiation) on as far as the input allows.
int32_t StepHandshake(TlsConn *c) {
    // Each round either consumes input or asks for more; the bound only
    // guards against a provider that does neither.
    for (int round = 0; round < 64; ++round) {
        if (c->needMore) {
            int32_t got = ReceiveNow(c);
            if (got <= 0) return got;
            // A TLS server's first record is a handshake message or an
            // alert; anything else (a plain "220 ..." greeting) is no TLS.
            if (!c->sawServerBytes && c->phase != Phase::Open) {
                c->sawServerBytes = true;
                if (c->in[0] != kHandshakeRecord && c->in[0] != kAlertRecord) return Fail(c, ZUB_E_TLS_HANDSHAKE);
            }
        }
        int32_t r = HandshakeRound(c);
        if (r != 0) return r;
    }
    return Fail(c, ZUB_E_TLS_HANDSHAKE);
}

// ---- records --------------------------------------------------------------------------------
// Whether DecryptMessage's buffers hold no decrypted bytes.
bool NoData(const SecBuffer *bufs) {
    for (int i = 0; i < 4; ++i)
        if (bufs[i].BufferType == SECBUFFER_DATA && bufs[i].cbBuffer > 0) return false;
    return true;
}

// Whether the input buffer starts with a whole record.
bool WholeRecordHeld(const TlsConn *c) {
    if (c->inLen < kRecordHeader) return false;
    const int32_t body = (static_cast<unsigned char>(c->in[3]) << 8) | static_cast<unsigned char>(c->in[4]);
    return c->inLen >= kRecordHeader + body;
}

// Decrypts records from the input buffer until one yields data. > 0 bytes
// now in plain, 0 more input needed, < 0 closed or failed.
int32_t DecryptHeld(TlsConn *c) {
    while (c->inLen > 0) {
        const int32_t held = c->inLen;
        SecBuffer bufs[4] = {{static_cast<unsigned long>(c->inLen), SECBUFFER_DATA, c->in},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
        const bool alertRecord = c->in[0] == kAlertRecord;
        SECURITY_STATUS st = DecryptMessage(&c->ctx, &desc, 0, nullptr);
        if (st == SEC_E_INCOMPLETE_MESSAGE) return 0;
        // The peer's close notify. Some SChannel versions (Wine's) report it
        // as an alert record that decrypts to nothing; a warning alert other
        // than close notify is taken the same way, as the peer is leaving.
        if (st == SEC_I_CONTEXT_EXPIRED || (st == SEC_E_OK && alertRecord && NoData(bufs))) {
            c->inLen = 0;  // what follows it is not read
            c->phase = Phase::PeerClosed;
            return ZUB_E_SOCKET_CLOSED;
        }
        if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE) return Fail(c, ZUB_E_TLS_BROKEN);

        int32_t got = 0;
        for (const SecBuffer &b : bufs) {
            if (b.BufferType != SECBUFFER_DATA || b.cbBuffer == 0) continue;
            if (b.cbBuffer > static_cast<unsigned long>(kPlainCap)) return Fail(c, ZUB_E_TLS_BROKEN);
            // The data lies inside the input buffer, before what is kept.
            std::memmove(c->plain, b.pvBuffer, b.cbBuffer);
            got = static_cast<int32_t>(b.cbBuffer);
        }
        KeepExtra(c, bufs, 4);
        c->plainOff = 0;
        c->plainLen = got;
        if (st == SEC_I_RENEGOTIATE) {
            // A handshake message after the handshake: a TLS 1.3 session
            // ticket or key update, or a TLS 1.2 renegotiation. The kept
            // input goes to InitializeSecurityContext.
            c->renegotiating = true;
            c->fullHandshake = false;
            c->needMore = false;
            if (got > 0) return got;
            int32_t r = StepHandshake(c);
            if (r <= 0) return r;
        }
        if (got > 0) return got;
        // A round that gave nothing and took nothing would come round
        // again for ever: more input first.
        if (c->inLen >= held) return 0;
    }
    return 0;
}

int32_t TakePlain(TlsConn *c, char *buf, int32_t size) {
    int32_t n = c->plainLen - c->plainOff;
    if (n > size) n = size;
    std::memcpy(buf, c->plain + c->plainOff, static_cast<size_t>(n));
    c->plainOff += n;
    if (c->plainOff == c->plainLen) c->plainOff = c->plainLen = 0;
    return n;
}

}  // namespace

// ---- the interface ------------------------------------------------------------------------------
bool TlsBackendBuilt() { return true; }

TlsConn *TlsConnNew(int32_t sock, const TlsParams &params, TlsConn *resume, int32_t *error) {
    auto *c = static_cast<TlsConn *>(zp_alloc_zero(sizeof(TlsConn)));
    if (c == nullptr) {
        *error = ZUB_E_NO_MEMORY;
        return nullptr;
    }
    c->sock = sock;
    c->phase = Phase::Start;
    c->verify = params.verify;
    std::strncpy(c->serverName, params.serverName, sizeof c->serverName - 1);
    c->dottedQuad = params.nameIsAddress;
    std::memcpy(c->address, params.address, sizeof c->address);
    c->addressLength = static_cast<DWORD>(params.addressLength);
    if (params.caFile != nullptr) {
        c->caStore = LoadCaFile(params.caFile);
        if (c->caStore == nullptr) {
            zp_free(c);
            *error = ZUB_E_TLS_UNTRUSTED;
            return nullptr;
        }
    }
    if (resume != nullptr && resume->cred != nullptr) {
        c->cred = resume->cred;
        InterlockedIncrement(&c->cred->refs);
    } else {
        c->cred = AcquireCred(error);
    }
    if (c->cred == nullptr) {
        if (c->caStore != nullptr) CertCloseStore(c->caStore, 0);
        zp_free(c);
        return nullptr;
    }
    *error = 0;
    return c;
}

int32_t TlsConnHandshake(TlsConn *c) {
    if (c == nullptr) return ZUB_E_TLS_HANDSHAKE;
    switch (c->phase) {
    case Phase::Failed:
        return c->failure;
    case Phase::Open:
    case Phase::PeerClosed:
        return 1;
    case Phase::Start:
        c->phase = Phase::Handshake;
        break;
    case Phase::Handshake:
        break;
    }
    return StepHandshake(c);
}

int32_t TlsConnRead(TlsConn *c, char *buf, int32_t size) {
    if (c == nullptr) return ZUB_E_TLS_BROKEN;
    if (c->phase == Phase::Failed) return c->failure;
    if (c->plainLen > c->plainOff) return size > 0 ? TakePlain(c, buf, size) : 0;
    if (c->phase == Phase::PeerClosed) return ZUB_E_SOCKET_CLOSED;
    if (c->phase != Phase::Open || size <= 0) return 0;
    if (c->renegotiating) {
        int32_t r = StepHandshake(c);
        if (r <= 0) return r;
    }
    // Records already held first; then one receive of what has arrived.
    for (int pass = 0; pass < 2; ++pass) {
        int32_t r = DecryptHeld(c);
        if (r > 0) return TakePlain(c, buf, size);
        if (r < 0) return r;
        // A renegotiation that began in there has taken what the socket
        // held; the next read moves it on.
        if (c->renegotiating) return 0;
        if (pass == 0) {
            int32_t got = ReceiveNow(c);
            if (got <= 0) return got;
        }
    }
    return 0;
}

int32_t TlsConnWrite(TlsConn *c, const char *buf, int32_t size) {
    if (c == nullptr) return ZUB_E_TLS_BROKEN;
    if (c->phase == Phase::Failed) return c->failure;
    if (c->phase == Phase::PeerClosed) return ZUB_E_SOCKET_CLOSED;
    if (c->phase != Phase::Open) return ZUB_E_TLS_HANDSHAKE;
    const int32_t header = static_cast<int32_t>(c->sizes.cbHeader);
    const int32_t trailer = static_cast<int32_t>(c->sizes.cbTrailer);
    int32_t chunkMax = static_cast<int32_t>(c->sizes.cbMaximumMessage);
    if (chunkMax > kOutCap - header - trailer) chunkMax = kOutCap - header - trailer;
    if (chunkMax <= 0) return Fail(c, ZUB_E_TLS_BROKEN);
    for (int32_t done = 0; done < size;) {
        const int32_t n = size - done < chunkMax ? size - done : chunkMax;
        std::memcpy(c->out + header, buf + done, static_cast<size_t>(n));
        SecBuffer bufs[4] = {{static_cast<unsigned long>(header), SECBUFFER_STREAM_HEADER, c->out},
                             {static_cast<unsigned long>(n), SECBUFFER_DATA, c->out + header},
                             {static_cast<unsigned long>(trailer), SECBUFFER_STREAM_TRAILER, c->out + header + n},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
        if (EncryptMessage(&c->ctx, 0, &desc, 0) != SEC_E_OK) return Fail(c, ZUB_E_TLS_BROKEN);
        // The trailer may come out shorter than its room: the record is the
        // three buffers back to back.
        const int32_t record = static_cast<int32_t>(bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer);
        int32_t sent = TlsSendBlocking(c->sock, c->out, record);
        if (sent < 0) return Fail(c, sent);
        done += n;
    }
    return size;
}

// SChannel's reads fill the connection's own buffer already.
void TlsConnReadAhead(TlsConn *) {}

bool TlsConnPending(TlsConn *c) {
    if (c == nullptr) return false;
    if (c->plainLen > c->plainOff) return true;
    // The peer's close notify (or a failure) is news that no poll shows: a
    // server may send it and keep the connection open until the client
    // closes. Each later read reports it.
    if (c->phase == Phase::PeerClosed || c->phase == Phase::Failed) return true;
    // A renegotiation that waits for more of the server's flight has no
    // record to give yet.
    return c->phase == Phase::Open && !(c->renegotiating && c->needMore) && WholeRecordHeld(c);
}

bool TlsConnClose(TlsConn *c) {
    if (c == nullptr) return false;
    // The close notify, on a connection that finished its handshake and
    // has not failed since; only then is the stream in order.
    const bool inOrder = c->haveCtx && (c->phase == Phase::Open || c->phase == Phase::PeerClosed);
    if (inOrder) {
        DWORD token = SCHANNEL_SHUTDOWN;
        SendControlRecord(c, &token, sizeof token);
    }
    if (c->haveCtx) DeleteSecurityContext(&c->ctx);
    ReleaseCred(c->cred);
    if (c->caStore != nullptr) CertCloseStore(c->caStore, 0);
    zp_free(c);
    return inOrder;
}

int32_t TlsConnVersion(TlsConn *c) { return c != nullptr ? c->version : 0; }
const char *TlsConnCipher(TlsConn *c) { return c != nullptr ? c->cipher : ""; }
bool TlsConnVerified(TlsConn *c) { return c != nullptr && c->verified; }
bool TlsConnResumed(TlsConn *c) { return c != nullptr && c->resumed; }

}  // namespace zub
