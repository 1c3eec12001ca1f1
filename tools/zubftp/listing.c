/* listing.c - MLSD and Unix LIST lines read into entries.
 *
 * The text comes from the server and may hold any bytes: every read is
 * bounded by the line's length, numbers are checked before they are
 * added up, and a line that does not fit either format is counted, not
 * guessed at.
 *
 * Divisions: small readers, dates, MLSD lines, LIST lines, whole listings.
 */
#include "listing.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

/* ---- small readers -------------------------------------------------------------------------- */
static int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

/* Whether the n bytes at s are word, ignoring case. */
static int same_word(const char *s, size_t n, const char *word) {
    size_t w = strlen(word);
    if (n != w) return 0;
    for (size_t i = 0; i < n; ++i)
        if (lower((unsigned char)s[i]) != word[i]) return 0;
    return 1;
}

static int all_digits(const char *s, size_t n) {
    if (!n) return 0;
    for (size_t i = 0; i < n; ++i)
        if (s[i] < '0' || s[i] > '9') return 0;
    return 1;
}

/* The decimal number in the n bytes at s, -1 when it is not one or does
 * not fit 63 bits. */
static int64_t number(const char *s, size_t n) {
    if (!all_digits(s, n)) return -1;
    int64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (v > (INT64_MAX - 9) / 10) return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

static int is_dot_name(const char *s, size_t n) {
    return (n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.');
}

/* ---- dates ----------------------------------------------------------------------------------- */
/* Days from 1970-01-01 to the given date of the proleptic Gregorian
 * calendar (no library call: no time zone, no range to trip over). */
static int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

static int valid_date(int64_t y, int mo, int d, int h, int mi, int s) {
    return y >= 1900 && y <= 9999 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h >= 0 && h <= 23 && mi >= 0 &&
           mi <= 59 && s >= 0 && s <= 60;
}

static int64_t utc_seconds(int64_t y, int mo, int d, int h, int mi, int s) {
    return days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

/* ---- MLSD lines ------------------------------------------------------------------------------- */
/* "modify=YYYYMMDDHHMMSS[.sss]". */
static int mlsd_time(const char *v, size_t n, int64_t *out) {
    if (n < 14 || !all_digits(v, 14) || (n > 14 && v[14] != '.')) return 0;
    int64_t y = number(v, 4);
    int mo = (int)number(v + 4, 2), d = (int)number(v + 6, 2);
    int h = (int)number(v + 8, 2), mi = (int)number(v + 10, 2), s = (int)number(v + 12, 2);
    if (!valid_date(y, mo, d, h, mi, s)) return 0;
    *out = utc_seconds(y, mo, d, h, mi, s);
    return 1;
}

/* One fact of the n bytes at f: type, size or modify; others are ignored.
 * *skip is set for the listed directory itself and its parent. */
static void mlsd_fact(const char *f, size_t n, ListEntry *e, int *skip) {
    const char *eq = memchr(f, '=', n);
    if (!eq) return;
    size_t kn = (size_t)(eq - f), vn = n - kn - 1;
    const char *v = eq + 1;
    if (same_word(f, kn, "type")) {
        if (same_word(v, vn, "file")) e->type = ENTRY_FILE;
        else if (same_word(v, vn, "dir")) e->type = ENTRY_DIR;
        else if (same_word(v, vn, "cdir") || same_word(v, vn, "pdir")) *skip = 1;
        else if (vn >= 13 && same_word(v, 13, "os.unix=slink")) e->type = ENTRY_LINK;
        else if (same_word(v, vn, "os.unix=symlink")) e->type = ENTRY_LINK;
        else e->type = ENTRY_OTHER;
    } else if (same_word(f, kn, "size")) {
        e->size = number(v, vn);
    } else if (same_word(f, kn, "modify")) {
        e->has_mtime = e->exact_mtime = mlsd_time(v, vn, &e->mtime);
    }
}

/* "fact=value;fact=value; name": the name is everything after the first
 * space, spaces of its own included. */
static int mlsd_line(const char *line, size_t n, ListEntry *e) {
    const char *sp = memchr(line, ' ', n);
    if (!sp || sp == line || (size_t)(sp - line) + 1 >= n) return LINE_BAD;
    int skip = 0, typed = 0;
    e->type = ENTRY_OTHER;
    for (const char *f = line; f < sp;) {
        const char *semi = memchr(f, ';', (size_t)(sp - f));
        const char *end = semi ? semi : sp;
        if ((size_t)(end - f) >= 5 && same_word(f, 5, "type=")) typed = 1;
        mlsd_fact(f, (size_t)(end - f), e, &skip);
        f = end + 1;
    }
    if (!typed) return LINE_BAD;
    e->name = sp + 1;
    e->name_len = n - (size_t)(sp - line) - 1;
    if (skip || (e->type == ENTRY_DIR && is_dot_name(e->name, e->name_len))) return LINE_SKIP;
    return LINE_ENTRY;
}

/* ---- LIST lines ------------------------------------------------------------------------------ */
static const char *const months[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                       "jul", "aug", "sep", "oct", "nov", "dec"};

static int month_of(const char *s, size_t n) {
    for (int m = 0; m < 12; ++m)
        if (same_word(s, n, months[m])) return m + 1;
    return 0;
}

typedef struct {
    const char *s;
    size_t n;
} Token;

#define LIST_TOKENS 10

/* The date "Mon DD HH:MM" (this year, or last year when that would lie
 * ahead by more than a day, as ls shows recent files) or "Mon DD YYYY". */
static int list_time(const Token *t, int64_t *out) {
    int mo = month_of(t[0].s, t[0].n);
    int64_t d = t[1].n <= 2 ? number(t[1].s, t[1].n) : -1;
    if (!mo || d < 1) return 0;
    if (t[2].n == 4 && all_digits(t[2].s, 4)) {
        int64_t y = number(t[2].s, 4);
        if (!valid_date(y, mo, (int)d, 0, 0, 0)) return 0;
        *out = utc_seconds(y, mo, (int)d, 0, 0, 0);
        return 1;
    }
    const char *c = t[2].n >= 4 && t[2].n <= 5 ? memchr(t[2].s, ':', t[2].n) : NULL;
    if (!c) return 0;
    size_t hn = (size_t)(c - t[2].s), mn = t[2].n - hn - 1;
    int64_t h = hn >= 1 && hn <= 2 ? number(t[2].s, hn) : -1, mi = mn == 2 ? number(c + 1, 2) : -1;
    time_t now = time(NULL);
    struct tm tm;
    if (h < 0 || mi < 0 || !gmtime_r(&now, &tm)) return 0;
    int64_t y = tm.tm_year + 1900;
    if (!valid_date(y, mo, (int)d, (int)h, (int)mi, 0)) return 0;
    *out = utc_seconds(y, mo, (int)d, (int)h, (int)mi, 0);
    if (*out > (int64_t)now + 86400) *out = utc_seconds(y - 1, mo, (int)d, (int)h, (int)mi, 0);
    return 1;
}

/* "-rw-r--r--  1 owner group  SIZE Mon DD HH:MM name": the size, month,
 * day and time (or year) are found as a group, since some servers leave
 * out the group or the link count. The name starts one space behind the
 * time; a link's " -> target" is cut off. */
static int list_line(const char *line, size_t n, ListEntry *e) {
    static const char kinds[] = "-dlbcps";
    const char *k = memchr(kinds, line[0], sizeof kinds - 1);
    if (!k || n < 10) return LINE_BAD;
    e->type = *k == '-' ? ENTRY_FILE : *k == 'd' ? ENTRY_DIR : *k == 'l' ? ENTRY_LINK : ENTRY_OTHER;
    Token t[LIST_TOKENS];
    int nt = 0;
    for (size_t i = 0; i < n && nt < LIST_TOKENS;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < n && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) t[nt++] = (Token){line + start, i - start};
    }
    for (int i = 2; i + 2 < nt; ++i) {
        if (!all_digits(t[i - 1].s, t[i - 1].n) || !month_of(t[i].s, t[i].n)) continue;
        int64_t when;
        if (!list_time(&t[i], &when)) continue;
        const char *name = t[i + 2].s + t[i + 2].n + 1;
        if (name >= line + n) return LINE_BAD;
        e->name = name;
        e->name_len = (size_t)(line + n - name);
        e->size = number(t[i - 1].s, t[i - 1].n);
        e->mtime = when;
        e->has_mtime = 1;
        if (e->type == ENTRY_LINK) {
            for (size_t j = 0; j + 4 <= e->name_len; ++j)
                if (!memcmp(e->name + j, " -> ", 4)) {
                    e->name_len = j;
                    break;
                }
        }
        if (!e->name_len) return LINE_BAD;
        if (e->type == ENTRY_DIR && is_dot_name(e->name, e->name_len)) return LINE_SKIP;
        return LINE_ENTRY;
    }
    return LINE_BAD;
}

int listing_line(const char *line, size_t n, int mlsd, ListEntry *e) {
    *e = (ListEntry){.size = -1};
    if (!n) return LINE_SKIP;
    if (!mlsd && n >= 6 && same_word(line, 6, "total ")) return LINE_SKIP;
    return mlsd ? mlsd_line(line, n, e) : list_line(line, n, e);
}

/* ---- whole listings --------------------------------------------------------------------------- */
static int add_entry(Listing *l, const ListEntry *e) {
    if (l->n == l->cap) {
        int cap = l->cap ? l->cap * 2 : 64;
        ListEntry *items = realloc(l->items, (size_t)cap * sizeof *items);
        if (!items) return -1;
        l->items = items;
        char **names = realloc(l->names, (size_t)cap * sizeof *names);
        if (!names) return -1;
        l->names = names;
        l->cap = cap;
    }
    char *copy = malloc(e->name_len + 1);
    if (!copy) return -1;
    memcpy(copy, e->name, e->name_len);
    copy[e->name_len] = 0;
    l->items[l->n] = *e;
    l->items[l->n].name = copy;
    l->names[l->n++] = copy;
    return 0;
}

int listing_parse(const char *text, size_t n, int mlsd, Listing *out) {
    for (size_t i = 0; i < n;) {
        const char *nl = memchr(text + i, '\n', n - i);
        size_t end = nl ? (size_t)(nl - text) : n, len = end - i;
        if (len && text[end - 1] == '\r') --len;
        ListEntry e;
        int r = listing_line(text + i, len, mlsd, &e);
        if (r == LINE_BAD) ++out->bad;
        if (r == LINE_ENTRY && add_entry(out, &e)) return -1;
        i = end + 1;
    }
    return 0;
}

void listing_free(Listing *l) {
    for (int i = 0; i < l->n; ++i) free(l->names[i]);
    free(l->items);
    free(l->names);
    *l = (Listing){0};
}
