// fuzz_quad.cpp - dotted quads: the recogniser, the parser and the field
// scanner on any text, and formatting any address into a buffer of any
// size. A text taken as a quad must give back its address through the
// formatted form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/text.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Bytes 0..3: an address; byte 4: a buffer size; the rest: the text.
    if (size < 5) return 0;
    const uint32_t addr = static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                          static_cast<uint32_t>(data[2]) << 8 | data[3];
    const int32_t bufSize = data[4] % 32;
    const std::string text(reinterpret_cast<const char *>(data + 5), size - 5);
    const char *s = text.c_str();
    const char *nul = s + std::strlen(s);

    const int is = zub::IsDottedQuad(s);
    const uint32_t parsed = zub::ParseDottedQuad(s);
    Check(is == 0 || is == 1);
    if (!is) Check(parsed == 0);

    char canon[17];
    if (is) {
        Check(zub::FormatDottedQuad(parsed, canon, sizeof canon) > 0);
        Check(zub::IsDottedQuad(canon) == 1 && zub::ParseDottedQuad(canon) == parsed);
    }

    // The field scanner walks the text until it refuses or reaches the NUL.
    const char *pos = s;
    for (int field = 0; field < 8 && pos; ++field) {
        uint32_t v = 0;
        const char *next = zub::ScanQuadField(pos, &v);
        if (!next) break;
        Check(next >= pos && next <= nul && v < 256);
        if (next == pos && *next == 0) break;
        pos = next;
    }

    // Formatting writes nothing into a buffer under 17 bytes.
    std::vector<char> buf(static_cast<size_t>(bufSize) + 1);
    char *out = buf.data() + 1;  // exactly bufSize bytes
    const int32_t n = zub::FormatDottedQuad(addr, out, bufSize);
    if (bufSize < 17) {
        Check(n == 0);
    } else {
        Check(n >= 7 && n <= 15 && out[n] == 0);
        Check(zub::IsDottedQuad(out) == 1 && zub::ParseDottedQuad(out) == addr);
    }
    return 0;
}
