/* listing.h - directory listings read into entries (listing.c).
 *
 * Two formats: MLSD lines of facts ("type=file;size=12;modify=...; name")
 * and the Unix "ls -l" lines that LIST gives on vsftpd, proftpd, pure-ftpd
 * and pyftpdlib. Plain C with no zub32 calls, so that a fuzz target can
 * build it on its own.
 */
#ifndef ZUBFTP_LISTING_H
#define ZUBFTP_LISTING_H

#include <stddef.h>
#include <stdint.h>

enum EntryType { ENTRY_FILE, ENTRY_DIR, ENTRY_LINK, ENTRY_OTHER };

typedef struct {
    const char *name;      /* points into the line; not NUL-terminated */
    size_t name_len;
    enum EntryType type;
    int64_t size;          /* -1: unknown */
    int64_t mtime;         /* seconds since 1970, UTC; valid when has_mtime */
    int has_mtime;         /* 1: from the line's date (a LIST date is to the minute at best) */
    int exact_mtime;       /* 1: MLSD's modify fact, to the second */
} ListEntry;

/* What one line gave. */
enum { LINE_ENTRY, LINE_SKIP, LINE_BAD };

/* One line of n bytes, without its line end. LINE_SKIP: empty, "total N",
 * or the directory itself or its parent ("." / ".." as directories, MLSD
 * cdir/pdir). */
int listing_line(const char *line, size_t n, int mlsd, ListEntry *e);

typedef struct {
    ListEntry *items;
    char **names;     /* each entry's name, NUL-terminated copies (a name may hold any byte but NUL) */
    int n, cap;
    int bad;          /* lines that could not be read */
} Listing;

/* Every line of text (n bytes; LF or CR LF ends) into *out, which starts
 * zeroed or from listing_free: 0, or -1 when memory ran out. */
int listing_parse(const char *text, size_t n, int mlsd, Listing *out);
void listing_free(Listing *l);

#endif /* ZUBFTP_LISTING_H */
