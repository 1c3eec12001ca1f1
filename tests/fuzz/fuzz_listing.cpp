// fuzz_listing.cpp - zubftp's listing parser (tools/zubftp/listing.c).
//
// Input: one byte whose lowest bit picks the format (1 MLSD, 0 LIST), then
// the listing text, handed over in a buffer of exactly its size with no
// terminator. Every entry must be a name of at least one byte with no line
// end in it, a type of the four, a size of -1 or more; "." and ".." never
// come back as directories; entries and unread lines together never
// outnumber the lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include "listing.h"
}

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int mlsd = data[0] & 1;
    std::vector<char> text(data + 1, data + size);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    lines += !text.empty() && text.back() != '\n';
    Listing l = {};
    if (listing_parse(text.data(), text.size(), mlsd, &l)) return 0;  // out of memory
    Check(l.n >= 0 && static_cast<size_t>(l.n) + static_cast<size_t>(l.bad) <= lines);
    for (int i = 0; i < l.n; ++i) {
        const ListEntry &e = l.items[i];
        Check(e.name == l.names[i] && e.name_len >= 1 && e.name[e.name_len] == 0);
        Check(!memchr(e.name, '\n', e.name_len));
        Check(e.type >= ENTRY_FILE && e.type <= ENTRY_OTHER && e.size >= -1);
        const bool dot = (e.name_len == 1 && e.name[0] == '.') ||
                         (e.name_len == 2 && e.name[0] == '.' && e.name[1] == '.');
        Check(!(dot && e.type == ENTRY_DIR));
        Check(!e.exact_mtime || e.has_mtime);
    }
    listing_free(&l);
    return 0;
}
