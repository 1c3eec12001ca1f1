/* report.c - what zubftp tells the user.
 *
 * Divisions: terminal-safe output, exit statuses and error texts, session
 * facts, progress.
 */
#define _POSIX_C_SOURCE 200809L
#include <langinfo.h>
#include <locale.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include "zub32.h"
#include "zubftp.h"

/* ---- terminal-safe output ------------------------------------------------------------------- */
/* Listings, directory names and replies are the server's text. On a
 * terminal a control character in them would be obeyed: move the cursor,
 * clear the screen, retitle the window, write the clipboard (OSC 52). */
static int tty;          /* stdout is a terminal */
static int err_tty;      /* stderr is a terminal */
static int utf8_locale;  /* the terminal's text is taken as UTF-8 */

static int locale_is_utf8(void) {
    int utf8 = setlocale(LC_CTYPE, "") && !strcmp(nl_langinfo(CODESET), "UTF-8");
    setlocale(LC_CTYPE, "C");  /* nothing else here depends on it */
    return utf8;
}

void init_terminals(void) {
    tty = isatty(STDOUT_FILENO);
    err_tty = isatty(STDERR_FILENO);
    utf8_locale = locale_is_utf8();
}

/* Length of the well-formed UTF-8 character at s (n bytes left), 0 if the
 * bytes there are not one. Overlong forms and surrogates are not. */
static size_t utf8_char_len(const unsigned char *s, size_t n) {
    unsigned c = s[0];
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (!len || len > n) return 0;
    unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    return len;
}

/* Bytes at s that a terminal would obey: 0 for none (print them), else
 * how many to show as one '?'. Tab, line feed and the CR of a CR LF stay;
 * the other C0 controls, DEL and the C1 controls go, C1 both as a UTF-8
 * character (U+0080..U+009F) and as a lone byte, which an 8-bit terminal
 * takes as one (0x9B is CSI). */
static size_t control_len(const unsigned char *s, size_t n) {
    unsigned c = s[0];
    if (c == '\t' || c == '\n' || (c == '\r' && n > 1 && s[1] == '\n')) return 0;
    if (c < 0x20 || c == 0x7F) return 1;
    if (c < 0x80) return 0;
    size_t len = utf8_locale ? utf8_char_len(s, n) : 0;
    if (len == 2 && c == 0xC2 && s[1] <= 0x9F) return 2;
    if (len) return 0;
    return c <= 0x9F;
}

/* Writes n bytes of text to f: on a terminal with its controls made '?',
 * to a pipe or a file as they are. */
static void put_text(FILE *f, int on_tty, const char *text, size_t n) {
    const unsigned char *s = (const unsigned char *)text;
    size_t start = 0, i = 0;
    while (on_tty && i < n) {
        size_t bad = control_len(s + i, n - i);
        if (!bad) {
            size_t len = s[i] >= 0x80 && utf8_locale ? utf8_char_len(s + i, n - i) : 0;
            i += len ? len : 1;
            continue;
        }
        fwrite(s + start, 1, i - start, f);
        fputc('?', f);
        i += bad;
        start = i;
    }
    fwrite(s + start, 1, n - start, f);
}

void out_text(const char *text, size_t n) { put_text(stdout, tty, text, n); }

/* printf to stdout, through put_text. */
void outf(const char *fmt, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) put_text(stdout, tty, buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1);
}

/* A message on stderr: "zubftp: " and a line, through put_text. */
void msg(const char *fmt, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) n = 0;
    fputs("zubftp: ", stderr);
    put_text(stderr, err_tty, buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1);
    fputc('\n', stderr);
}

/* ---- exit statuses and error texts ------------------------------------------------------------ */
static int first_failure;

void fail(int status) {
    if (!first_failure) first_failure = status;
}

int failure(void) { return first_failure; }

/* The last reply line, without its line end. */
void reply_text(int ch, char *buf, int size) {
    int n = zubGetString(ch, ZUB_STR_REPLY, buf, size);
    if (n < 0) n = 0;
    buf[n < size ? n : size - 1] = 0;
    buf[strcspn(buf, "\r\n")] = 0;
}

/* Maps an engine code to an exit status, given what was going on. */
static int status_for(const Chan *c, int code) {
    int server = zubGetInteger(c->ch, ZUB_GET_SERVER_CODE);
    enum Kind k = c->task->kind;
    if (code == ZUB_E_CANNOT_OPEN_FILE || code == ZUB_E_FILE_WRITE) return EX_LOCAL;
    /* Encryption: a refusal is the server's answer to AUTH TLS, PBSZ or
     * PROT; a failed handshake or certificate means no trusted connection
     * was made; a broken connection after login cut what was under way. */
    if (code == ZUB_E_TLS_REFUSED) return EX_REFUSED;
    if (code == ZUB_E_TLS_UNAVAILABLE) return EX_USAGE;
    if (code == ZUB_E_TLS_BROKEN) return k == K_CONNECT ? EX_CONNECT : EX_CUT;
    if (code <= ZUB_E_TLS_HANDSHAKE && code >= ZUB_E_TLS_EXPIRED) return EX_CONNECT;
    /* A deadline that passed is a timeout in every phase, a server that
     * accepts the connection and never greets included. */
    if (code == ZUB_E_TIMEOUT || code == ZUB_E_ACCEPT_TIMEOUT || code == ZUB_E_NO_LISTEN_RESPONSE)
        return EX_TIMEOUT;
    if (k == K_CONNECT) {
        if (code == ZUB_E_SERVER_ERROR) return server == 421 ? EX_CONNECT : EX_LOGIN;
        return EX_CONNECT;
    }
    if (code == ZUB_E_SERVER_ERROR) {
        /* 426/451: the server itself says the transfer broke off. */
        if ((k == K_GET || k == K_PUT) && (server == 426 || server == 451 || server == 425)) return EX_CUT;
        return EX_REFUSED;
    }
    if (code == ZUB_E_CANNOT_COMPLY) return EX_USAGE;
    return EX_CUT;
}

/* Whether a refused login asks for encryption. Servers word it each their
 * own way ("must use encryption", "TLS required", "SSL/TLS required on the
 * control channel", "cleartext sessions ... are not accepted") and answer
 * 530, 534 or, refusing USER itself, 550 or 421 (pure-ftpd, which then
 * closes the connection). All lines of the reply are looked at. */
static int login_wants_tls(int server, const char *reply) {
    if (server != 530 && server != 534 && server != 550 && server != 421) return 0;
    char low[1024];
    size_t n = 0;
    for (; reply[n] && n + 1 < sizeof low; ++n)
        low[n] = (char)(reply[n] >= 'A' && reply[n] <= 'Z' ? reply[n] - 'A' + 'a' : reply[n]);
    low[n] = 0;
    return strstr(low, "encrypt") || strstr(low, "tls") || strstr(low, "ssl") || strstr(low, "cleartext");
}

/* The library's text for code on one line, without trailing blanks. */
void error_text(int ch, int code, char *text, int size) {
    zubErrorText(ch, code, text, size);
    /* The text may end in a line end, and for -18 already hold the reply. */
    for (char *p = text; *p; ++p)
        if (*p == '\r' || *p == '\n') *p = ' ';
    for (size_t n = strlen(text); n && text[n - 1] == ' ';) text[--n] = 0;
}

void report_error(Chan *c, const char *what, int code) {
    char text[256] = "", reply[1024] = "";
    int wants_tls = 0;
    error_text(c->ch, code, text, sizeof text);
    if (code == ZUB_E_SERVER_ERROR) {
        int n = zubGetString(c->ch, ZUB_STR_ERROR_TEXT, reply, sizeof reply);
        if (n < 0) n = 0;
        reply[n < (int)sizeof reply ? n : (int)sizeof reply - 1] = 0;
        wants_tls = c->task->kind == K_CONNECT && !opt.tls &&
                    login_wants_tls(zubGetInteger(c->ch, ZUB_GET_SERVER_CODE), reply);
        reply[strcspn(reply, "\r\n")] = 0;
    }
    if (reply[0] && !strstr(text, reply))
        msg("%s: %d %s (server: %s)", what, code, text, reply);
    else
        msg("%s: %d %s", what, code, text);
    if (code == ZUB_E_TLS_UNAVAILABLE) msg("this zub32 library has no TLS: ftps:// and --tls cannot work");
    if (wants_tls) msg("the server requires encryption: try --tls");
    if (code <= ZUB_E_TLS_UNTRUSTED && code >= ZUB_E_TLS_EXPIRED && !opt.insecure)
        msg("the server's certificate was not accepted (see --cacert; --insecure skips the check)");
    /* A login refused for want of encryption is a refused login, also when
     * the server said so with 421 and hung up. */
    fail(wants_tls ? EX_LOGIN : status_for(c, code));
}

/* ---- session facts ------------------------------------------------------------------------------- */
/* The name of a ZUB_GET_TLS_VERSION answer (the protocol's own numbers). */
const char *tls_version_name(int version) {
    static const struct {
        int version;
        const char *name;
    } names[] = {{0x0304, "TLS 1.3"}, {0x0303, "TLS 1.2"}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (names[i].version == version) return names[i].name;
    return version > 0 ? "TLS (other version)" : "no TLS";
}

/* ---- progress ------------------------------------------------------------------------------------ */
static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

double since(const struct timespec *t0) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)(t.tv_sec - t0->tv_sec) + (t.tv_nsec - t0->tv_nsec) / 1e9;
}

static void human(double v, char *out, size_t n) {
    const char *u[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int i = 0;
    while (v >= 1024 && i < 4) v /= 1024, ++i;
    snprintf(out, n, i ? "%.1f %s" : "%.0f %s", v, u[i]);
}

/* A message about a transfer starts on a line of its own, not behind the
 * progress line. */
void clear_progress_line(void) {
    if (tty && !opt.quiet) fputs("\r\033[K", stdout), fflush(stdout);
}

/* The summary of a transfer that completed. */
void report_transfer(const Task *t, double secs) {
    if (opt.quiet) return;
    char b[32], rate[32];
    human((double)t->done, b, sizeof b);
    human(secs > 0 ? t->done / secs : 0, rate, sizeof rate);
    if (tty) fputs("\r\033[K", stdout);
    outf("%s %s: %lld bytes (%s) in %.2f s, %s/s%s\n", kind_name(t->kind), t->a1, (long long)t->done, b, secs,
         rate, t->offset ? " (resumed)" : "");
}

/* Time left as "mm:ss" or "h:mm:ss"; "--:--" when there is no estimate:
 * nothing moved yet, or a size (a lying SIZE, say) that puts the end past
 * 100 hours or out of any number's reach. */
static void format_eta(double secs, char *out, size_t n) {
    if (!(secs >= 0 && secs < 100.0 * 3600)) {  /* NaN fails both */
        snprintf(out, n, "--:--");
        return;
    }
    int s = (int)secs;
    if (s >= 3600)
        snprintf(out, n, "%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(out, n, "%02d:%02d", s / 60, s % 60);
}

/* What the transfers under way add up to. */
typedef struct {
    int n, unknown;   /* transfers, one of them of unknown size */
    int64_t bytes;    /* moved so far */
    double secs;      /* the longest running */
    double total;     /* bytes to move in all; sizes come from the server: any 64-bit value */
    const char *name; /* the last one's */
} Moving;

static Moving moving_now(Chan *chans, int nchan) {
    Moving m = {0, 0, 0, 0, 0, ""};
    for (int i = 0; i < nchan; ++i) {
        Task *t = chans[i].task;
        if (!chans[i].busy || !t || !is_transfer(t) || t->phase != XFER_MOVING) continue;
        m.bytes += (uint32_t)zubGetInteger(chans[i].ch, t->kind == K_GET ? ZUB_GET_GET_BYTES : ZUB_GET_PUT_BYTES);
        if (t->size >= 0)
            m.total += (double)(t->size - t->offset);
        else
            m.unknown = 1;
        double s = since(&t->t0);
        if (s > m.secs) m.secs = s;
        m.name = t->a1;
        ++m.n;
    }
    return m;
}

static double last_draw;

void draw_progress(Chan *chans, int nchan, int force) {
    if (!tty || opt.quiet) return;
    double now = now_s();
    if (!force && now - last_draw < 0.2) return;
    Moving m = moving_now(chans, nchan);
    if (!m.n) return;
    last_draw = now;
    char b[32], r[32], line[300];
    double rate = m.secs > 0 ? m.bytes / m.secs : 0;
    human((double)m.bytes, b, sizeof b);
    human(rate, r, sizeof r);
    int len = m.n > 1 ? snprintf(line, sizeof line, "%d transfers  %s  %s/s", m.n, b, r)
                      : snprintf(line, sizeof line, "%.40s  %s  %s/s", m.name, b, r);
    if (!m.unknown && m.total > 0 && len > 0 && len < (int)sizeof line) {
        char eta[32];
        format_eta(rate > 0 ? (m.total - (double)m.bytes) / rate : -1, eta, sizeof eta);
        double pct = 100.0 * (double)m.bytes / m.total;
        snprintf(line + len, sizeof line - (size_t)len, "  %3d%%  ETA %s", pct < 100 ? (int)pct : 100, eta);
    }
    fputs("\r\033[K", stdout);
    put_text(stdout, tty, line, strlen(line));
    fflush(stdout);
}
