// win32_net.cpp - Win32 backend of the platform layer: Windows Sockets 1.1.
//
// Divisions: handle and address conversion, start-up and errors, socket
// calls, readiness, sockets of either family, bulk data, resolver. Every
// call goes through ZP_OS (win32_sys.h).
//
// IPv6 sockets are made and used with the same WSOCK32 calls, which pass
// them on to the Windows Sockets 2 stack; only the resolver of either
// family is WS2_32's own (getaddrinfo), found at run time.
#include "platform/win32_sys.h"

#include <atomic>
#include <cstring>

// ---- handle and address conversion ------------------------------------------
// SOCKET values fit in 32 bits on both word sizes; they travel as int32_t.
static SOCKET ToSocket(int32_t h) { return static_cast<SOCKET>(static_cast<uint32_t>(h)); }

// Handle 0 (and anything negative) means "no socket" and never reaches
// Windows.
static bool NoSocket(int32_t h) {
    if (h > 0) return false;
    ZP_OS(WSASetLastError)(WSAENOTSOCK);
    return true;
}

// A new SOCKET as a handle. Windows does not hand out 0 or values beyond
// 31 bits in practice; should it, the socket is refused rather than turned
// into "none" or a negative result.
static int32_t FromSocket(SOCKET s) {
    if (s == INVALID_SOCKET) return -1;
    if (s != 0 && s <= 0x7FFFFFFF) return static_cast<int32_t>(s);
    if (s != 0) ZP_OS(closesocket)(s);
    ZP_OS(WSASetLastError)(WSAEMFILE);
    return -1;
}

// Addresses and ports arrive in host order; the record wants network order.
static sockaddr_in MakeAddr(uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    unsigned char *p = reinterpret_cast<unsigned char *>(&sa.sin_port);
    p[0] = static_cast<unsigned char>(port >> 8);
    p[1] = static_cast<unsigned char>(port);
    unsigned char *a = reinterpret_cast<unsigned char *>(&sa.sin_addr);
    for (int i = 0; i < 4; ++i) a[i] = static_cast<unsigned char>(addr >> (24 - 8 * i));
    return sa;
}

static uint32_t NetToHost32(const void *src) {
    const unsigned char *a = static_cast<const unsigned char *>(src);
    return (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
}

static void ReadAddr(const sockaddr_in &sa, uint32_t *addr, uint16_t *port) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&sa.sin_port);
    if (addr != nullptr) *addr = NetToHost32(&sa.sin_addr);
    if (port != nullptr) *port = static_cast<uint16_t>((p[0] << 8) | p[1]);
}

static int Status(int rc) { return rc == SOCKET_ERROR ? -1 : 0; }

// Room for a socket address of any family (as sockaddr_storage).
union AnyAddr {
    sockaddr_in v4;
    zp_win32::SockAddrIn6 v6;
    char room[128];
};

// ---- start-up and errors ------------------------------------------------------
int zp_net_startup(char *description, size_t size) {
    WSADATA data;
    std::memset(&data, 0, sizeof data);
    int rc = ZP_OS(WSAStartup)(0x0101, &data);
    if (rc != 0) return rc;
    if (description != nullptr && size > 0) {
        size_t n = 0;
        while (n + 1 < size && n < WSADESCRIPTION_LEN && data.szDescription[n] != '\0') {
            description[n] = data.szDescription[n];
            ++n;
        }
        description[n] = '\0';
    }
    return 0;
}

// Balances WSAStartup. It closes nothing while the host process holds a
// WinSock reference of its own, so release closes the sockets beforehand.
void zp_net_cleanup() { ZP_OS(WSACleanup)(); }

int zp_last_error() { return ZP_OS(WSAGetLastError)(); }

void zp_set_last_error(int code) { ZP_OS(WSASetLastError)(code); }

// ---- socket calls ------------------------------------------------------------------
int32_t zp_socket_os() { return FromSocket(ZP_OS(socket)(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

int zp_set_nonblocking(int32_t s, int on) {
    if (NoSocket(s)) return -1;
    u_long arg = on ? 1 : 0;
    return Status(ZP_OS(ioctlsocket)(ToSocket(s), FIONBIO, &arg));
}

int zp_connect_os(int32_t s, uint32_t addr, uint16_t port) {
    if (NoSocket(s)) return -1;
    sockaddr_in sa = MakeAddr(addr, port);
    return Status(ZP_OS(connect)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa));
}

// Windows lets a listener bind a port whose old connections linger without
// SO_REUSEADDR; setting it there would let another socket steal the port.
int zp_bind_os(int32_t s, uint32_t addr, uint16_t port) {
    if (NoSocket(s)) return -1;
    sockaddr_in sa = MakeAddr(addr, port);
    return Status(ZP_OS(bind)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa));
}

int zp_listen_os(int32_t s, int backlog) {
    if (NoSocket(s)) return -1;
    return Status(ZP_OS(listen)(ToSocket(s), backlog));
}

int32_t zp_accept_os(int32_t s, uint32_t *addr, uint16_t *port) {
    if (NoSocket(s)) return -1;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    int len = sizeof sa;
    int32_t h = FromSocket(ZP_OS(accept)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), &len));
    if (h > 0) ReadAddr(sa, addr, port);
    return h;
}

int32_t zp_send_os(int32_t s, const void *buf, int32_t n) {
    if (NoSocket(s)) return -1;
    int r = ZP_OS(send)(ToSocket(s), static_cast<const char *>(buf), n, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int32_t zp_recv_os(int32_t s, void *buf, int32_t n) {
    if (NoSocket(s)) return -1;
    int r = ZP_OS(recv)(ToSocket(s), static_cast<char *>(buf), n, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

// Windows Sockets 1.1 has no per-call "don't wait": ask select first. The
// backend's own calls are used, not the table's entries, so a test that
// counts the engine's polls or receives sees this as one call of its own.
int32_t zp_recv_now_os(int32_t s, void *buf, int32_t n) {
    if (!(zp_poll_all_os(s) & (1 << ZP_POLL_READABLE))) {
        ZP_OS(WSASetLastError)(WSAEWOULDBLOCK);
        return -1;
    }
    return zp_recv_os(s, buf, n);
}

int zp_shutdown_send_os(int32_t s) {
    if (NoSocket(s)) return -1;
    const int sendSide = 1;  // SD_SEND, which only winsock2.h names
    return Status(ZP_OS(shutdown)(ToSocket(s), sendSide));
}

int zp_close_socket_os(int32_t s) {
    if (NoSocket(s)) return -1;
    return Status(ZP_OS(closesocket)(ToSocket(s)));
}

int zp_getsockname(int32_t s, uint32_t *addr, uint16_t *port) {
    if (NoSocket(s)) return -1;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    int len = sizeof sa;
    if (ZP_OS(getsockname)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), &len) == SOCKET_ERROR)
        return -1;
    ReadAddr(sa, addr, port);
    return 0;
}

// SO_ERROR holds the outcome of a non-blocking connect; reading it clears it.
int zp_connect_error(int32_t s) {
    if (s <= 0) return WSAENOTSOCK;
    int err = 0;
    int len = sizeof err;
    if (ZP_OS(getsockopt)(ToSocket(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err),
                          &len) == SOCKET_ERROR)
        return ZP_OS(WSAGetLastError)();
    return err;
}

// ---- readiness ------------------------------------------------------------------
// A socket that was never bound nor connected (getsockname refuses it with
// WSAEINVAL; a connect under way has bound it) can never become readable or
// writable, and select reports nothing for it. It counts as in the error
// condition, as it does in the POSIX backend, so that a wait for it to
// become writable (the close after a failed name lookup) ends. The caller's
// last error is left as it was.
static bool NeverConnected(int32_t s) {
    const int saved = ZP_OS(WSAGetLastError)();
    AnyAddr sa;  // room for an IPv6 socket's address too
    std::memset(&sa, 0, sizeof sa);
    int len = sizeof sa;
    const bool fresh = ZP_OS(getsockname)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), &len) == SOCKET_ERROR &&
                       ZP_OS(WSAGetLastError)() == WSAEINVAL;
    ZP_OS(WSASetLastError)(saved);
    return fresh;
}

// One select with the socket in all three sets, zero timeout. A socket that
// is "none" or that select rejects is reported in the error condition and
// as neither readable nor writable, so callers turn to its error instead
// of waiting.
int zp_poll_all_os(int32_t s) {
    if (s <= 0) return 1 << ZP_POLL_ERROR;
    fd_set sets[3];
    for (fd_set &set : sets) {
        set.fd_count = 1;
        set.fd_array[0] = ToSocket(s);
    }
    timeval zero = {0, 0};
    if (ZP_OS(select)(0, &sets[0], &sets[1], &sets[2], &zero) == SOCKET_ERROR) return 1 << ZP_POLL_ERROR;
    int answers = 0;
    if (ZP_OS(__WSAFDIsSet)(ToSocket(s), &sets[0])) answers |= 1 << ZP_POLL_READABLE;
    if (ZP_OS(__WSAFDIsSet)(ToSocket(s), &sets[1])) answers |= 1 << ZP_POLL_WRITABLE;
    if (ZP_OS(__WSAFDIsSet)(ToSocket(s), &sets[2])) answers |= 1 << ZP_POLL_ERROR;
    if (answers == 0 && NeverConnected(s)) answers = 1 << ZP_POLL_ERROR;
    return answers;
}

// One mode's answer out of the three (a mode outside 1..3 holds never).
int zp_poll_os(int32_t s, int mode) {
    if (mode < ZP_POLL_READABLE || mode > ZP_POLL_ERROR) return 0;
    return (zp_poll_all(s) >> mode) & 1;
}

int zp_wait_os(int32_t s, int mode, uint32_t ms) {
    if (s <= 0) return 1;
    fd_set set, errors;
    set.fd_count = errors.fd_count = 1;
    set.fd_array[0] = errors.fd_array[0] = ToSocket(s);
    timeval wait = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    const bool writable = mode == ZP_POLL_WRITABLE;
    int r = ZP_OS(select)(0, writable ? nullptr : &set, writable ? &set : nullptr, &errors, &wait);
    return r == 0 ? 0 : 1;
}

// Both sockets in one select; each one's answers as zp_poll_all gives them.
int zp_poll_pair_os(int32_t a, int32_t b) {
    if (a <= 0 || b <= 0 || a == b) return zp_poll_all_os(a) | zp_poll_all_os(b) << ZP_POLL_PAIR_SHIFT;
    fd_set sets[3];
    for (fd_set &set : sets) {
        set.fd_count = 2;
        set.fd_array[0] = ToSocket(a);
        set.fd_array[1] = ToSocket(b);
    }
    timeval zero = {0, 0};
    if (ZP_OS(select)(0, &sets[0], &sets[1], &sets[2], &zero) == SOCKET_ERROR)
        return 1 << ZP_POLL_ERROR | 1 << (ZP_POLL_ERROR + ZP_POLL_PAIR_SHIFT);
    int answers = 0;
    const int32_t socks[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        const int shift = i * ZP_POLL_PAIR_SHIFT;
        int one = 0;
        if (ZP_OS(__WSAFDIsSet)(ToSocket(socks[i]), &sets[0])) one |= 1 << ZP_POLL_READABLE;
        if (ZP_OS(__WSAFDIsSet)(ToSocket(socks[i]), &sets[1])) one |= 1 << ZP_POLL_WRITABLE;
        if (ZP_OS(__WSAFDIsSet)(ToSocket(socks[i]), &sets[2])) one |= 1 << ZP_POLL_ERROR;
        if (one == 0 && NeverConnected(socks[i])) one = 1 << ZP_POLL_ERROR;
        answers |= one << shift;
    }
    return answers;
}

int zp_is_blocking() { return ZP_OS(WSAIsBlocking)() ? 1 : 0; }

// ---- sockets of either family ------------------------------------------------------
namespace {
int Fail(int code) {
    ZP_OS(WSASetLastError)(code);
    return -1;
}

void PutPort(u_short *field, uint16_t port) {
    unsigned char *p = reinterpret_cast<unsigned char *>(field);
    p[0] = static_cast<unsigned char>(port >> 8);
    p[1] = static_cast<unsigned char>(port);
}

uint16_t GetPort(const u_short *field) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(field);
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// The system's record of a; its length, or 0 (last error set) for a null
// address or one of another family.
int ToAnyAddr(const zp_addr *a, AnyAddr *sa) {
    std::memset(sa, 0, sizeof *sa);
    if (a == nullptr) {
        Fail(WSAEFAULT);
        return 0;
    }
    if (a->family == 4) {
        sa->v4.sin_family = AF_INET;
        PutPort(&sa->v4.sin_port, a->port);
        std::memcpy(&sa->v4.sin_addr, a->addr, 4);
        return sizeof sa->v4;
    }
    if (a->family == 6) {
        sa->v6.sin6_family = zp_win32::kAfInet6;
        PutPort(&sa->v6.sin6_port, a->port);
        std::memcpy(sa->v6.sin6_addr, a->addr, 16);
        sa->v6.sin6_scope_id = a->scope;
        return sizeof sa->v6;
    }
    Fail(WSAEAFNOSUPPORT);
    return 0;
}

// a from the system's record of len bytes; false (a all zeros) for
// another family.
bool FromAnyAddr(const void *record, size_t len, zp_addr *a) {
    AnyAddr sa;
    std::memset(&sa, 0, sizeof sa);
    std::memcpy(&sa, record, len < sizeof sa ? len : sizeof sa);
    std::memset(a, 0, sizeof *a);
    if (sa.v4.sin_family == AF_INET) {
        a->family = 4;
        a->port = GetPort(&sa.v4.sin_port);
        std::memcpy(a->addr, &sa.v4.sin_addr, 4);
        return true;
    }
    if (sa.v6.sin6_family == zp_win32::kAfInet6) {
        a->family = 6;
        a->port = GetPort(&sa.v6.sin6_port);
        std::memcpy(a->addr, sa.v6.sin6_addr, 16);
        a->scope = sa.v6.sin6_scope_id;
        return true;
    }
    return false;
}

// getsockname or getpeername of s into a.
int NameOf(int32_t s, zp_addr *a, bool peer) {
    if (NoSocket(s)) return -1;
    if (a == nullptr) return Fail(WSAEFAULT);
    AnyAddr sa;
    std::memset(&sa, 0, sizeof sa);
    int len = sizeof sa;
    sockaddr *record = reinterpret_cast<sockaddr *>(&sa);
    const int rc = peer ? ZP_OS(getpeername)(ToSocket(s), record, &len)
                        : ZP_OS(getsockname)(ToSocket(s), record, &len);
    if (rc == SOCKET_ERROR) return -1;
    return FromAnyAddr(&sa, static_cast<size_t>(len), a) ? 0 : Fail(WSAEAFNOSUPPORT);
}
}  // namespace

int32_t zp_socket_family_os(int family) {
    if (family != 4 && family != 6) return Fail(WSAEAFNOSUPPORT);
    return FromSocket(ZP_OS(socket)(family == 4 ? AF_INET : zp_win32::kAfInet6, SOCK_STREAM, IPPROTO_TCP));
}

int zp_connect_addr_os(int32_t s, const zp_addr *a) {
    if (NoSocket(s)) return -1;
    AnyAddr sa;
    const int len = ToAnyAddr(a, &sa);
    if (len == 0) return -1;
    return Status(ZP_OS(connect)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), len));
}

// No SO_REUSEADDR, as in zp_bind. IPV6_V6ONLY is on by default here and
// unknown before Windows Vista, whose IPv6 sockets take IPv6 peers only
// anyway: a refusal of it is no failure.
int zp_bind_addr_os(int32_t s, const zp_addr *a) {
    if (NoSocket(s)) return -1;
    AnyAddr sa;
    const int len = ToAnyAddr(a, &sa);
    if (len == 0) return -1;
    if (a->family == 6) {
        const int saved = ZP_OS(WSAGetLastError)();
        DWORD one = 1;
        ZP_OS(setsockopt)(ToSocket(s), zp_win32::kIpprotoIpv6, zp_win32::kIpv6V6only,
                          reinterpret_cast<const char *>(&one), sizeof one);
        ZP_OS(WSASetLastError)(saved);
    }
    return Status(ZP_OS(bind)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), len));
}

int32_t zp_accept_addr_os(int32_t s, zp_addr *peer) {
    if (NoSocket(s)) return -1;
    AnyAddr sa;
    std::memset(&sa, 0, sizeof sa);
    int len = sizeof sa;
    int32_t h = FromSocket(ZP_OS(accept)(ToSocket(s), reinterpret_cast<sockaddr *>(&sa), &len));
    if (h > 0 && peer != nullptr) FromAnyAddr(&sa, static_cast<size_t>(len), peer);
    return h;
}

int zp_getsockname_addr_os(int32_t s, zp_addr *a) { return NameOf(s, a, false); }

int zp_getpeername_addr_os(int32_t s, zp_addr *a) { return NameOf(s, a, true); }

// ---- bulk data ------------------------------------------------------------------
// Windows has no pipe that splices a socket to a file: the engine moves
// bulk data through its own large buffer instead.
namespace {
int32_t NotOnThisSystem() {
    ZP_OS(WSASetLastError)(WSAEOPNOTSUPP);
    return -1;
}
}  // namespace

int zp_pipe_open_os(int32_t *, int32_t *) { return NotOnThisSystem(); }
int32_t zp_splice_in_os(int32_t, int32_t, int32_t) { return NotOnThisSystem(); }
int32_t zp_splice_out_os(int32_t, int32_t, int32_t) { return NotOnThisSystem(); }
int32_t zp_send_file_os(int32_t, int32_t, int32_t) { return NotOnThisSystem(); }

// ---- resolver ------------------------------------------------------------------
// An empty name would make gethostbyname answer for this machine; the
// engine means "no name" by it.
int zp_resolve_os(const char *name, uint32_t *addrs, int max) {
    if (name == nullptr || name[0] == '\0') {
        ZP_OS(WSASetLastError)(WSAHOST_NOT_FOUND);
        return -1;
    }
    const hostent *he = ZP_OS(gethostbyname)(name);
    if (he == nullptr) {
        if (ZP_OS(WSAGetLastError)() == 0) ZP_OS(WSASetLastError)(WSAHOST_NOT_FOUND);
        return -1;
    }
    if (he->h_addrtype != AF_INET || he->h_length != 4 || he->h_addr_list == nullptr ||
        he->h_addr_list[0] == nullptr) {
        ZP_OS(WSASetLastError)(WSANO_DATA);
        return -1;
    }
    int n = 0;
    while (addrs != nullptr && n < max && he->h_addr_list[n] != nullptr) {
        addrs[n] = NetToHost32(he->h_addr_list[n]);
        ++n;
    }
    return n;
}

// The resolver of either family: WS2_32's getaddrinfo, looked up in the
// DLL the first time it is called. Where it is missing (Windows before XP),
// the IPv4 lookup above answers for families 0 and 4, and a name it finds
// has no IPv6 address here (11004).
namespace {
HMODULE Ws2Module() {
    static std::atomic<HMODULE> module{nullptr};
    HMODULE m = module.load();
    if (m == nullptr) {
        m = ZP_OS(LoadLibraryA)("ws2_32.dll");
        if (m != nullptr) module.store(m);
    }
    return m;
}

template <typename Fn>
Fn Ws2Function(const char *name) {
    const HMODULE m = Ws2Module();
    if (m == nullptr) return nullptr;
    // Through the generic function type, which converts to any other.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(ZP_OS(GetProcAddress)(m, name)));
}
}  // namespace

namespace zp_win32 {
int WINAPI getaddrinfo(const char *node, const char *service, const AddrInfo *hints, AddrInfo **res) {
    const auto fn = Ws2Function<decltype(&getaddrinfo)>("getaddrinfo");
    return fn != nullptr ? fn(node, service, hints, res) : WSAEOPNOTSUPP;
}

void WINAPI freeaddrinfo(AddrInfo *ai) {
    const auto fn = Ws2Function<decltype(&freeaddrinfo)>("freeaddrinfo");
    if (fn != nullptr && ai != nullptr) fn(ai);
}
}  // namespace zp_win32

namespace {
// Adds a to out[0..n) unless it is there already; the new count.
int AddUnique(zp_addr *out, int n, const zp_addr &a) {
    for (int i = 0; i < n; ++i)
        if (std::memcmp(&out[i], &a, sizeof a) == 0) return n;
    out[n] = a;
    return n + 1;
}

// The resolver's answer does not exist on this system.
constexpr int kNoResolver = -2;

// The addresses of one getaddrinfo answer of the family asked for (0:
// either): how many were stored, at most max; -1 with the last error set;
// or kNoResolver.
int LookUp(const char *name, int family, zp_addr *out, int max) {
    zp_win32::AddrInfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = family == 4 ? AF_INET : family == 6 ? zp_win32::kAfInet6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address; no AI_ADDRCONFIG: ::1 on any host
    zp_win32::AddrInfo *res = nullptr;
    const int rc = ZP_OS_LOADED(getaddrinfo)(name, nullptr, &hints, &res);
    if (rc == WSAEOPNOTSUPP) return kNoResolver;
    // Its results are Windows Sockets numbers; one outside them (Wine passes
    // some of its host's own on) is a failure without a better name.
    if (rc != 0) return Fail(rc >= 10000 && rc < 12000 ? rc : WSANO_RECOVERY);
    int n = 0;
    for (const zp_win32::AddrInfo *ai = res; ai != nullptr && n < max; ai = ai->ai_next) {
        zp_addr a;
        if (ai->ai_addr == nullptr || !FromAnyAddr(ai->ai_addr, ai->ai_addrlen, &a)) continue;
        if ((family == 4 || family == 6) && a.family != family) continue;
        a.port = 0;
        n = AddUnique(out, n, a);
    }
    ZP_OS_LOADED(freeaddrinfo)(res);
    return n == 0 ? Fail(WSANO_DATA) : n;
}

// The IPv4 lookup in place of getaddrinfo.
int LookUpIpv4(const char *name, int family, zp_addr *out, int max) {
    uint32_t found[8];
    const int got = zp_resolve_os(name, found, 8);
    if (got < 0) return -1;
    if (family == 6) return Fail(WSANO_DATA);
    int n = 0;
    for (int i = 0; i < got && n < max; ++i) {
        zp_addr a;
        std::memset(&a, 0, sizeof a);
        a.family = 4;
        for (int b = 0; b < 4; ++b) a.addr[b] = static_cast<uint8_t>(found[i] >> (24 - 8 * b));
        n = AddUnique(out, n, a);
    }
    return n;
}
}  // namespace

int zp_resolve_addrs_os(const char *name, int family, zp_addr *out, int max) {
    if (family != 0 && family != 4 && family != 6) return Fail(WSAEAFNOSUPPORT);
    if (out == nullptr || max < 1) return Fail(WSAEFAULT);
    if (name == nullptr || name[0] == '\0') return Fail(WSAHOST_NOT_FOUND);
    int n = LookUp(name, family, out, max);
    if (n == kNoResolver) return LookUpIpv4(name, family, out, max);
    // getaddrinfo calls a name without addresses of the family asked for
    // unknown (or fails otherwise): known with the other family, it is a
    // name without data of this one.
    const int error = ZP_OS(WSAGetLastError)();
    if (n < 0 && family != 0 && error != WSATRY_AGAIN && error != WSANO_DATA) {
        zp_addr other;
        if (LookUp(name, 0, &other, 1) > 0) return Fail(WSANO_DATA);
        ZP_OS(WSASetLastError)(error);
    }
    return n;
}

int zp_gethostname_os(char *buf, int size) {
    if (buf == nullptr || size <= 0) {
        ZP_OS(WSASetLastError)(WSAEFAULT);
        return -1;
    }
    return Status(ZP_OS(gethostname)(buf, size));
}
