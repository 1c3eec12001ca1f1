// fuzz_address.cpp - address literals of either family: the reader on any
// text, and the canonical text of what it read into a buffer of any size.
// A text taken must read back as the same address through its canonical
// text; on a bare IPv6 text (no brackets, no scope, not a dotted quad) the
// reader must agree with the system's inet_pton.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/address6.h"
#include "net/text.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Byte 0: a buffer size; the rest: the text.
    if (size < 1) return 0;
    const int32_t bufSize = data[0] % (zub::kAddressTextSize + 8);
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const char *s = text.c_str();

    zp_addr a;
    std::memset(&a, 0xA5, sizeof a);
    const zp_addr before = a;
    const bool taken = zub::ParseAddressLiteral(s, &a);
    if (!taken) Check(std::memcmp(&a, &before, sizeof a) == 0);

    const bool bare = std::strpbrk(s, "[]%") == nullptr && !zub::IsDottedQuad(s);
    if (bare) {
        uint8_t want[16];
        const bool system = inet_pton(AF_INET6, s, want) == 1;
        Check(taken == system);
        if (system) Check(a.family == 6 && std::memcmp(a.addr, want, 16) == 0);
    }
    if (!taken) return 0;
    Check((a.family == 4 || a.family == 6) && a.port == 0);

    char canon[zub::kAddressTextSize];
    const int32_t n = zub::FormatAddress(&a, canon, sizeof canon);
    Check(n > 0 && canon[n] == 0 && static_cast<size_t>(n) == std::strlen(canon));
    zp_addr again;
    Check(zub::ParseAddressLiteral(canon, &again) && std::memcmp(&a, &again, sizeof a) == 0);

    // All or nothing into exactly bufSize bytes.
    std::vector<char> buf(static_cast<size_t>(bufSize) + 1, '#');
    const int32_t m = zub::FormatAddress(&a, buf.data(), bufSize);
    Check(buf[static_cast<size_t>(bufSize)] == '#');
    if (bufSize > n) {
        Check(m == n && std::memcmp(buf.data(), canon, static_cast<size_t>(n) + 1) == 0);
    } else {
        Check(m == 0 && (bufSize == 0 || buf[0] == 0));
    }
    return 0;
}
