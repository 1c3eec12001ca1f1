// fuzz_listutil.cpp - the three list utilities through their exports.
//
// Input: four argument bytes, then the pattern, a NUL, and the listing
// text (no NUL: an empty pattern and the rest as text). Argument bytes are
// signed numbers, with 127 and -128 standing for the 32-bit extremes.
// Output buffers are allocated at exactly the size each call is allowed to
// write. zubFileLength is also compared with a plain field-by-field search
// built on zubExtract, which picks lines and fields the same way.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zub32.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

int32_t Arg(uint8_t b) {
    const int8_t v = static_cast<int8_t>(b);
    if (v == 127) return INT32_MAX;
    if (v == -128) return INT32_MIN;
    return v;
}

bool AllDigits(const char *s, int32_t n, int32_t *value) {
    if (n <= 0) return false;
    int64_t v = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
        if (v > INT32_MAX) v = INT32_MAX;
    }
    *value = static_cast<int32_t>(v);
    return true;
}

// The first all-digit field in [first, last) of the last LF-ended line;
// quadratic in the line, so only used on short texts.
int32_t FileLengthByExtract(const std::string &text, int32_t first, int32_t last) {
    int32_t lines = 0;
    for (char c : text) lines += c == '\n';
    std::vector<char> field(text.size() + 1);
    const int32_t room = static_cast<int32_t>(text.size());
    for (int64_t f = first < 0 ? 0 : first; f < last; ++f) {
        const int32_t n = zubExtract(text.c_str(), lines, static_cast<int32_t>(f), field.data(), room);
        if (n <= 0) break;  // no such field (or an empty line as field 0)
        int32_t value = 0;
        if (AllDigits(field.data(), n, &value)) return value;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const int32_t a = Arg(data[0]), b = Arg(data[1]), c = Arg(data[2]);
    const int32_t exact = data[3] & 1;
    const char *rest = reinterpret_cast<const char *>(data + 4);
    const size_t restLen = size - 4;
    const char *sep = static_cast<const char *>(std::memchr(rest, 0, restLen));
    const std::string pattern = sep ? std::string(rest, sep) : std::string();
    const std::string text = sep ? std::string(sep + 1, rest + restLen) : std::string(rest, restLen);
    const char *t = text.c_str();
    const int32_t textLen = static_cast<int32_t>(std::strlen(t));

    // zubMatchFile: walk the text from offset `a` (clamped to it) with a
    // line buffer of c & 0x3F bytes; offsets only move forward.
    {
        const int32_t lineSize = static_cast<int32_t>(data[2] & 0x3F);
        std::vector<char> line(static_cast<size_t>(lineSize) + 1);
        char *out = lineSize > 0 ? line.data() + 1 : nullptr;  // exactly lineSize bytes
        int32_t offset = a < 0 ? a : a % (textLen + 1);
        for (int32_t round = 0; round <= textLen + 1; ++round) {
            const int32_t next = zubMatchFile(t, offset, out, lineSize, pattern.c_str(), exact);
            if (out) Check(std::memchr(out, 0, static_cast<size_t>(lineSize)) != nullptr);
            if (next == 0) break;
            Check(next > offset && next <= textLen);
            offset = next;
        }
    }

    // zubExtract: line a, field b, into c characters plus the NUL.
    {
        const int32_t destSize = c < 0 ? c : c % 64;
        std::vector<char> dest(static_cast<size_t>(destSize > 0 ? destSize : 0) + 2);
        char *out = dest.data() + 1;  // exactly destSize + 1 bytes
        const int32_t n = zubExtract(t, a, b, out, destSize);
        Check(n >= 0 && n <= (destSize > 0 ? destSize : 0));
        if (destSize > 0) Check(static_cast<int32_t>(std::strlen(out)) == n);
        Check(zubExtract(t, a, b, nullptr, destSize) == n);
    }

    // zubFileLength: fields a..b of the last line.
    {
        const int32_t r = zubFileLength(t, a, b);
        Check(r >= -1);
        if (textLen <= 1024) Check(r == FileLengthByExtract(text.substr(0, textLen), a, b));
    }
    return 0;
}
