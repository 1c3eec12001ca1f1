/* zubftp.c - command-line FTP client on the public zub32 interface.
 *
 * Every channel runs with AUTO_CALL off and is stepped from the one loop in
 * run_tasks(), so a single session and --parallel N share the same code: a
 * channel is either busy with one engine operation or takes its next task.
 *
 * Divisions: terminal output, options and URL, credentials, tasks, the
 * stepping loop, progress, command parsing, main.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <langinfo.h>
#include <libgen.h>
#include <locale.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "zub32.h"

enum {
    EX_OK = 0, EX_USAGE = 2, EX_CONNECT = 3, EX_LOGIN = 4, EX_REFUSED = 5,
    EX_TIMEOUT = 6, EX_LOCAL = 7, EX_CUT = 8
};

/* Names go to the engine as "first<SEP>second"; 1 never occurs in a file
 * name, so a ':' in a name is just a character. */
#define SEP "\001"
#define LIST_ROOM (16 * 1024 * 1024)

/* ---- terminal output ------------------------------------------------------------ */
/* Listings, directory names and replies are the server's text. On a
 * terminal a control character in them would be obeyed: move the cursor,
 * clear the screen, retitle the window, write the clipboard (OSC 52). */
static int tty, err_tty;  /* stdout, stderr is a terminal */
static int utf8_locale;   /* the terminal's text is taken as UTF-8 */

static int locale_is_utf8(void) {
    int utf8 = setlocale(LC_CTYPE, "") && !strcmp(nl_langinfo(CODESET), "UTF-8");
    setlocale(LC_CTYPE, "C");  /* nothing else here depends on it */
    return utf8;
}

static void init_terminals(void) {
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

/* printf to stdout, through put_text. */
static void outf(const char *fmt, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) put_text(stdout, tty, buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1);
}

/* A message on stderr: "zubftp: " and a line, through put_text. */
static void msg(const char *fmt, ...) {
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

/* ---- options and URL ----------------------------------------------------------- */
static const char *usage_text =
    "usage: zubftp [options] ftp[s]://[user[:password]@]host[:port][/dir] COMMAND [ARGS] [; COMMAND ...]\n"
    "\n"
    "commands:\n"
    "  ls [mask]  nlst [mask]  get REMOTE [LOCAL]  put LOCAL [REMOTE]\n"
    "  rm NAME  mkdir DIR  rmdir DIR  cd DIR  pwd  quote \"RAW\"\n"
    "\n"
    "options:\n"
    "  --active            active mode (default: passive)\n"
    "  --ascii             ASCII type (default: binary)\n"
    "  --resume            get: continue a partial local file (REST);\n"
    "                      put: append the rest of the local file (APPE)\n"
    "  --log FILE          engine log (channel N>0 writes FILE.N)\n"
    "  --timeout SECONDS   connect, reply and data waits\n"
    "  --block-size N      upload block size, 128..8192 (default 8192)\n"
    "  --password-file F   password from the first line of F\n"
    "  --parallel N        run consecutive get/put commands on N sessions (1..32)\n"
    "  --small-files       no pauses after closes, PASS and an upload's last block\n"
    "  --epsv              passive data connections ask EPSV first, PASV if refused\n"
    "\n"
    "encryption (ftps:// is TLS from the first byte, default port 990):\n"
    "  --tls               ftp:// with AUTH TLS; control and data are encrypted\n"
    "  --cacert FILE       trust the authorities in this PEM file (default: the system's)\n"
    "  --insecure          do not check the server's certificate (warns on stderr)\n"
    "  -q, -v              quiet, verbose\n"
    "  -h, --help          this text\n"
    "\n"
    "password: URL, --password-file, $ZUBFTP_PASSWORD, ~/.netrc; no user: anonymous\n"
    "\n"
    "exit status: 0 ok, 2 usage (also: this build has no TLS; ~/.netrc with a\n"
    "  password open to others), 3 connect failed\n"
    "  (also: TLS handshake or certificate check failed), 4 login refused,\n"
    "  5 server refused a command (also: AUTH TLS, PBSZ or PROT), 6 timeout\n"
    "  (also: a server that never greets),\n"
    "  7 local file problem, 8 transfer or connection cut (incomplete transfer,\n"
    "  or an encrypted connection broken after login)\n";

static struct {
    int active, ascii, resume, quiet, verbose, parallel, block, small_files;
    int tls, epsv, insecure;  /* tls: ZUB_TLS_NONE, _EXPLICIT or _IMPLICIT */
    long timeout_ms;
    const char *log, *password_file, *cacert;
    char host[256], user[256], pass[256], dir[1024];
    int port, have_user, have_pass;
} opt = {.parallel = 1, .block = 8192};


static int hexval(int c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* Decodes %XX into out (size n); 0, or -1 for a bad escape, a NUL or a
 * text that does not fit. */
static int pct_decode(const char *s, size_t len, char *out, size_t n) {
    size_t o = 0;
    for (size_t i = 0; i < len; ++i) {
        int c = (unsigned char)s[i];
        if (c == '%') {
            if (i + 2 >= len) return -1;
            int h = hexval(s[i + 1]), l = hexval(s[i + 2]);
            if (h < 0 || l < 0 || (h == 0 && l == 0)) return -1;
            c = h * 16 + l;
            i += 2;
        }
        if (o + 1 >= n) return -1;
        out[o++] = (char)c;
    }
    out[o] = 0;
    return 0;
}

/* Fills opt from the URL; ftps:// turns on implicit TLS. */
static int parse_url(const char *url) {
    int ftps = strncmp(url, "ftps://", 7) == 0;
    if (!ftps && strncmp(url, "ftp://", 6) != 0) return -1;
    if (ftps) opt.tls = ZUB_TLS_IMPLICIT;
    const char *a = url + (ftps ? 7 : 6), *slash = strchr(a, '/');
    const char *end = slash ? slash : a + strlen(a);
    const char *at = NULL;
    for (const char *p = a; p < end; ++p)
        if (*p == '@') at = p;
    if (at) {
        const char *colon = memchr(a, ':', (size_t)(at - a));
        const char *ue = colon ? colon : at;
        if (pct_decode(a, (size_t)(ue - a), opt.user, sizeof opt.user)) return -1;
        opt.have_user = opt.user[0] != 0;
        if (colon) {
            if (pct_decode(colon + 1, (size_t)(at - colon - 1), opt.pass, sizeof opt.pass)) return -1;
            opt.have_pass = 1;
        }
        a = at + 1;
    }
    const char *pc = NULL;
    for (const char *p = a; p < end; ++p)
        if (*p == ':') pc = p;
    const char *he = pc ? pc : end;
    if (he == a || (size_t)(he - a) >= sizeof opt.host) return -1;
    memcpy(opt.host, a, (size_t)(he - a));
    opt.host[he - a] = 0;
    opt.port = ftps ? 990 : 21;
    if (pc) {
        char *e;
        long p = strtol(pc + 1, &e, 10);
        if (e != end || p < 1 || p > 65535) return -1;
        opt.port = (int)p;
    }
    /* The path is relative to the login directory, as in a browser. */
    if (slash && slash[1] && pct_decode(slash + 1, strlen(slash + 1), opt.dir, sizeof opt.dir)) return -1;
    return 0;
}

/* ---- credentials ---------------------------------------------------------------- */
static int read_password_file(const char *path) {
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    char line[256] = "";
    int ok = fgets(line, sizeof line, f) != NULL || feof(f);
    fclose(f);
    if (!ok) return -1;
    line[strcspn(line, "\r\n")] = 0;
    snprintf(opt.pass, sizeof opt.pass, "%s", line);
    opt.have_pass = 1;
    return 0;
}

/* A netrc file that holds a password must be its owner's alone, as other
 * netrc readers demand: one that others can read keeps no secret, and one
 * that someone else owns can say what login is used. */
static int netrc_exposed(FILE *f, const char *path) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return 0;
    if (st.st_uid != getuid()) {
        msg("%s holds a password but is not owned by you: not used", path);
        return 1;
    }
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        msg("%s holds a password but the group or others may access it: not used (chmod 600 %s)", path, path);
        return 1;
    }
    return 0;
}

/* ~/.netrc: the first entry for our host (or "default") whose login matches
 * the user given, or gives the user when none was. EX_USAGE when the file
 * holds a password and is not safe (see netrc_exposed). */
static int read_netrc(void) {
    const char *home = getenv("HOME");
    char path[1024], tok[256], machine[256] = "", login[256] = "", pass[256] = "";
    char use_login[256] = "", use_pass[256] = "";
    if (!home) return EX_OK;
    snprintf(path, sizeof path, "%s/.netrc", home);
    FILE *f = fopen(path, "r");
    if (!f) return EX_OK;
    /* The whole file is read: a password anywhere in it asks for care. */
    int in = 0, found = 0, any_pass = 0;
    for (;;) {
        int more = fscanf(f, "%255s", tok) == 1;
        int boundary = !more || !strcmp(tok, "machine") || !strcmp(tok, "default");
        if (boundary && in && !found && (!opt.have_user || !strcmp(login, opt.user)) && (login[0] || pass[0])) {
            found = 1;
            strcpy(use_login, login);
            strcpy(use_pass, pass);
        }
        if (!more) break;
        if (!strcmp(tok, "machine")) {
            if (fscanf(f, "%255s", machine) != 1) break;
            in = !strcmp(machine, opt.host);
            login[0] = pass[0] = 0;
        } else if (!strcmp(tok, "default")) {
            in = 1;
            login[0] = pass[0] = 0;
        } else if (!strcmp(tok, "login")) {
            if (fscanf(f, "%255s", login) != 1) break;
        } else if (!strcmp(tok, "password")) {
            if (fscanf(f, "%255s", pass) != 1) break;
            any_pass = 1;
        }
    }
    int exposed = any_pass && netrc_exposed(f, path);
    fclose(f);
    if (exposed) return EX_USAGE;
    if (!found) return EX_OK;
    if (!opt.have_user && use_login[0]) {
        snprintf(opt.user, sizeof opt.user, "%s", use_login);
        opt.have_user = 1;
    }
    if (opt.have_user && use_pass[0]) {
        snprintf(opt.pass, sizeof opt.pass, "%s", use_pass);
        opt.have_pass = 1;
    }
    return EX_OK;
}

static int settle_credentials(void) {
    if (!opt.have_pass && opt.password_file) {
        if (read_password_file(opt.password_file)) {
            msg("%s: cannot read password file", opt.password_file);
            return EX_LOCAL;
        }
    }
    const char *env = getenv("ZUBFTP_PASSWORD");
    if (!opt.have_pass && opt.have_user && env) {
        snprintf(opt.pass, sizeof opt.pass, "%s", env);
        opt.have_pass = 1;
    }
    if (!opt.have_pass) {
        int st = read_netrc();
        if (st) return st;
    }
    if (!opt.have_user) {
        strcpy(opt.user, "anonymous");
        if (!opt.have_pass) strcpy(opt.pass, "zubftp@");
    }
    return EX_OK;
}

/* ---- tasks --------------------------------------------------------------------------- */
enum Kind { K_CONNECT, K_TYPE, K_CWD, K_PWD, K_LS, K_NLST, K_GET, K_PUT, K_RM, K_MKDIR, K_RMDIR, K_QUOTE, K_QUIT };
static const char *const kind_name[] = {"connect", "type", "cd", "pwd", "ls", "nlst",
                                        "get", "put", "rm", "mkdir", "rmdir", "quote", "quit"};

typedef struct {
    enum Kind kind;
    char *a1, *a2;       /* arguments as given; a2 may be NULL */
    int phase;           /* next engine operation of this task */
    int64_t size;        /* expected total size of the file, -1 unknown */
    int64_t offset;      /* resume offset */
    int64_t done;        /* bytes moved this time */
    char ldir[1024];     /* local directory, "" = current */
    char lname[256];     /* local name within ldir */
    char rname[1024];    /* remote name */
    struct timespec t0;
    int silent;          /* pwd: only note the directory */
    int tries;           /* data connections the server could not open (425) */
} Task;

typedef struct {
    int ch, busy, dead, connected;
    int last_state;       /* what the driver last returned */
    int64_t last_bytes;   /* transfer counter at the last step */
    Task *task;           /* current task */
    Task own[3];          /* the channel's own prelude: connect, type, cwd */
    int own_n, own_i;
} Chan;

static int is_own(const Chan *c) { return c->task >= c->own && c->task < c->own + 3; }

static char *list_buf;
static char pwd[1100];  /* the directory the last pwd found */
static int failure;  /* first exit status that is not 0 */

static void fail(int status) {
    if (!failure) failure = status;
}

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static double since(const struct timespec *t0) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)(t.tv_sec - t0->tv_sec) + (t.tv_nsec - t0->tv_nsec) / 1e9;
}

static int64_t file_size(const char *dir, const char *name) {
    char path[1400];
    struct stat st;
    snprintf(path, sizeof path, "%s%s%s", dir, dir[0] ? "/" : "", name);
    return stat(path, &st) == 0 ? (int64_t)st.st_size : -1;
}

/* The last reply line, without its line end. */
static void reply_text(int ch, char *buf, int size) {
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

static void report_error(Chan *c, const char *what, int code) {
    char text[256] = "", reply[1024] = "";
    int wants_tls = 0;
    zubErrorText(c->ch, code, text, sizeof text);
    /* The text may end in a line end, and for -18 already hold the reply. */
    for (char *p = text; *p; ++p)
        if (*p == '\r' || *p == '\n') *p = ' ';
    for (size_t n = strlen(text); n && text[n - 1] == ' ';) text[--n] = 0;
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

/* Splits a local path into the channel's local directory and a bare name. */
static int split_local(Task *t, const char *path) {
    char a[1024], b[1024];
    if (strlen(path) >= sizeof a || !path[0]) return -1;
    strcpy(a, path);
    strcpy(b, path);
    const char *base = basename(b), *dir = dirname(a);
    if (strlen(base) >= sizeof t->lname || !strcmp(base, "/") || !strcmp(base, ".") || !strcmp(base, ".."))
        return -1;
    snprintf(t->lname, sizeof t->lname, "%s", base);
    snprintf(t->ldir, sizeof t->ldir, "%s", strcmp(dir, ".") ? dir : "");
    return 0;
}

static const char *remote_base(const char *r) {
    const char *s = strrchr(r, '/');
    return s && s[1] ? s + 1 : r;
}

/* Starts the task's next engine operation: 0 started, 1 the task is
 * complete, <0 an immediate refusal (already reported). */
static int start_op(Chan *c) {
    Task *t = c->task;
    int ch = c->ch, r = 0;
    char cmd[300];
    switch (t->kind) {
    case K_CONNECT:
        if (t->phase++) return 1;
        zubSetInteger(ch, ZUB_SET_SERVER_PORT, (uint32_t)opt.port);
        zubSetInteger(ch, ZUB_SET_PASSIVE, opt.active ? 0 : 1);
        if (opt.verbose)
            msg("channel %d: connecting to %s:%d as %s%s", ch, opt.host, opt.port, opt.user,
                opt.tls == ZUB_TLS_IMPLICIT ? " (implicit TLS)" : opt.tls ? " (AUTH TLS)" : "");
        r = zubConnect(ch, opt.host, opt.user, opt.pass);
        break;
    case K_TYPE:
        if (t->phase++) return 1;
        r = zubSetMode(ch, opt.ascii ? 'A' : 'B');
        break;
    case K_CWD:
        if (t->phase++) return 1;
        r = zubSetServerDir(ch, t->a1);
        break;
    case K_RM:
    case K_MKDIR:
    case K_RMDIR:
        if (t->phase++) return 1;
        r = t->kind == K_RM ? zubDelFile(ch, t->a1) : t->kind == K_MKDIR ? zubMakeServerDir(ch, t->a1)
                                                                      : zubDelServerDir(ch, t->a1);
        break;
    case K_QUOTE:
    case K_QUIT:
        if (t->phase++) return 1;
        r = zubCommand(ch, t->kind == K_QUIT ? "QUIT" : t->a1);
        if (t->kind == K_QUIT && r < 0) return 1;
        break;
    case K_PWD:
        if (t->phase++) return 1;
        r = zubGetServerDir(ch, cmd, sizeof cmd);
        break;
    case K_LS:
    case K_NLST:
        if (t->phase++) return 1;
        list_buf[0] = 0;
        if (t->a1) snprintf(list_buf, LIST_ROOM, "%s", t->a1);
        r = zubGetList(ch, (t->kind == K_LS ? ZUB_LIST : ZUB_NLST) + (t->a1 ? 2 : 0), list_buf, LIST_ROOM);
        break;
    case K_GET:
    case K_PUT:
        if (t->phase == 0) {
            /* Where the names go, and what size to expect: asked with SIZE
             * so that a refusal only costs the percentage. */
            int get = t->kind == K_GET;
            char local[1100];
            /* A target that is a directory gets the source's own name. */
            if (get) {
                struct stat st;
                const char *l = t->a2 ? t->a2 : remote_base(t->a1);
                size_t n = strlen(l);
                int dir = n && (l[n - 1] == '/' || (stat(l, &st) == 0 && S_ISDIR(st.st_mode)));
                snprintf(local, sizeof local, "%s%s%s", l, dir && l[n - 1] != '/' ? "/" : "",
                         dir ? remote_base(t->a1) : "");
                snprintf(t->rname, sizeof t->rname, "%s", t->a1);
            } else {
                const char *r = t->a2 ? t->a2 : "";
                size_t n = strlen(r);
                snprintf(local, sizeof local, "%s", t->a1);
                snprintf(t->rname, sizeof t->rname, "%s%s", r,
                         !n || r[n - 1] == '/' ? remote_base(t->a1) : "");
            }
            if (split_local(t, local)) {
                msg("%s: bad local name", local);
                fail(EX_USAGE);
                return -1;
            }
            t->size = -1;
            t->offset = 0;
            if (!get) {
                t->size = file_size(t->ldir, t->lname);
                if (t->size < 0) {
                    msg("%s: %s", local, strerror(errno));
                    fail(EX_LOCAL);
                    return -1;
                }
                if (!opt.resume) {
                    t->phase = 2;
                    return start_op(c);
                }
            }
            t->phase = 1;
            if (snprintf(cmd, sizeof cmd, "SIZE %s", t->rname) >= (int)sizeof cmd) {
                t->phase = 2;
                return start_op(c);
            }
            r = zubCommand(ch, cmd);
            break;
        }
        if (t->phase == 2) {
            /* Run again for every try of the transfer: the engine uses up
             * the resume settings on each attempt, a refused one included. */
            int get = t->kind == K_GET;
            t->phase = 3;
            if (get) t->offset = 0;
            r = zubSetLocalDir(ch, t->ldir);
            if (r < 0) {
                msg("%s: local directory not usable: %d", t->ldir, r);
                fail(EX_LOCAL);
                return -1;
            }
            if (get && opt.resume) {
                int64_t have = file_size(t->ldir, t->lname);
                if (have > (int64_t)UINT32_MAX) {
                    /* The engine's restart offset is 32 bits: better no
                     * resume than a REST that names another offset. */
                    msg("%s: cannot resume behind 4 GiB", t->a1);
                    fail(EX_LOCAL);
                    return -1;
                }
                if (have > 0) {
                    t->offset = have;
                    zubSetInteger(ch, ZUB_SET_RESUME, 1);
                    zubSetInteger(ch, ZUB_SET_RESTART_OFFSET, (uint32_t)have);
                    /* The partial file is opened for writing, not appending:
                     * place the writes behind what is there. */
                    zubSetInteger(ch, ZUB_SET_APPEND_OFFSET, (uint32_t)have);
                }
            }
            if (!get && opt.resume) {
                /* The server's copy is the start of ours: send the rest. */
                zubSetInteger(ch, ZUB_SET_RESUME, 1);
                zubSetInteger(ch, ZUB_SET_APPEND_OFFSET, (uint32_t)t->offset);
            }
            if (snprintf(cmd, sizeof cmd, "%s" SEP "%s", get ? t->rname : t->lname,
                         get ? t->lname : t->rname) >= (int)sizeof cmd) {
                msg("%s: name too long", t->rname);
                fail(EX_USAGE);
                return -1;
            }
            clock_gettime(CLOCK_MONOTONIC, &t->t0);
            r = get ? zubGetFile(ch, cmd) : zubPutFile(ch, cmd);
            break;
        }
        return 1;
    }
    if (r < 0) {
        snprintf(cmd, sizeof cmd, "%s %s", kind_name[t->kind], t->a1 ? t->a1 : opt.host);
        report_error(c, cmd, r);
        return r;
    }
    return 0;
}

static void human(double v, char *out, size_t n) {
    const char *u[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int i = 0;
    while (v >= 1024 && i < 4) v /= 1024, ++i;
    snprintf(out, n, i ? "%.1f %s" : "%.0f %s", v, u[i]);
}

/* A message about a transfer starts on a line of its own, not behind the
 * progress line. */
static void clear_progress_line(void) {
    if (tty && !opt.quiet) fputs("\r\033[K", stdout), fflush(stdout);
}

/* What an operation's end means for its task; returns 0 to go on with the
 * task, <0 when the task has failed. */
static int op_done(Chan *c) {
    Task *t = c->task;
    int ch = c->ch;
    char reply[1100];
    switch (t->kind) {
    case K_CONNECT:
        c->connected = 1;
        if (opt.verbose) msg("channel %d: logged in", ch);
        if (opt.verbose && opt.tls) {
            int v = zubGetInteger(ch, ZUB_GET_TLS_VERSION);
            char cipher[128] = "";
            int n = zubGetString(ch, ZUB_STR_TLS_CIPHER, cipher, sizeof cipher);
            cipher[n > 0 && n < (int)sizeof cipher ? n : 0] = 0;
            msg("channel %d: %s, cipher %s, certificate %s", ch,
                v == 0x0304 ? "TLS 1.3" : v == 0x0303 ? "TLS 1.2" : v > 0 ? "TLS (other version)" : "no TLS",
                cipher[0] ? cipher : "unknown",
                zubGetInteger(ch, ZUB_GET_TLS_VERIFIED) == 1 ? "verified" : "NOT verified");
        }
        break;
    case K_PWD: {
        /* 257 "dir" with "" standing for a quote inside the name. */
        reply_text(ch, reply, sizeof reply);
        char *p = strchr(reply, '"'), dir[1100];
        size_t o = 0;
        if (p)
            for (++p; *p && o + 1 < sizeof dir; ++p) {
                if (*p == '"') {
                    if (p[1] != '"') break;
                    ++p;
                }
                dir[o++] = *p;
            }
        dir[o] = 0;
        snprintf(pwd, sizeof pwd, "%s", p ? dir : "");
        if (!t->silent) outf("%s\n", p ? dir : reply);
        break;
    }
    case K_LS:
    case K_NLST: {
        size_t n = strlen(list_buf);
        put_text(stdout, tty, list_buf, n);
        /* Pieces that no longer fit are dropped silently in stepped mode. */
        if (n + 8192 >= LIST_ROOM) {
            msg("%s: listing too long for the buffer", kind_name[t->kind]);
            fail(EX_REFUSED);
            return -1;
        }
        break;
    }
    case K_QUOTE:
        reply_text(ch, reply, sizeof reply);
        outf("%s\n", reply);
        break;
    case K_GET:
    case K_PUT:
        if (t->phase == 1) { /* the SIZE reply: "213 n" */
            reply_text(ch, reply, sizeof reply);
            long long v;
            if (sscanf(reply, "213 %lld", &v) == 1 && v >= 0) {
                if (t->kind == K_GET) {
                    t->size = v;
                } else if (v <= t->size) {
                    t->offset = v;
                } else {
                    msg("put %s: the server's copy is longer than the local file", t->a1);
                    fail(EX_LOCAL);
                    return -1;
                }
            }
            t->phase = 2;
            break;
        }
        if (t->phase == 3) {
            double secs = since(&t->t0);
            int get = t->kind == K_GET;
            t->done = (uint32_t)zubGetInteger(ch, get ? ZUB_GET_GET_BYTES : ZUB_GET_PUT_BYTES);
            int64_t want = t->size >= 0 ? t->size - t->offset : -1;
            int64_t have = get ? file_size(t->ldir, t->lname) : -1;
            int bad = 0;
            if (opt.ascii) {
                /* Line ends change size on the way: nothing to compare. */
            } else if (want >= 0 && t->done != (int64_t)(uint32_t)want) {
                /* The engine counts in 32 bits: compare what it can hold. */
                bad = 1;
            } else if (get && (want >= 0 ? have != t->size : (uint32_t)(have - t->offset) != t->done)) {
                bad = 1;
            }
            if (bad) {
                clear_progress_line();
                if (get)
                    msg("get %s: incomplete: %lld bytes received, %lld expected, local file holds %lld",
                        t->a1, (long long)t->done, (long long)want, (long long)have);
                else
                    msg("put %s: incomplete: %lld of %lld bytes sent", t->a1, (long long)t->done,
                        (long long)want);
                fail(EX_CUT);
                return -1;
            }
            if (!opt.quiet) {
                char b[32], rate[32];
                human((double)t->done, b, sizeof b);
                human(secs > 0 ? t->done / secs : 0, rate, sizeof rate);
                if (tty) fputs("\r\033[K", stdout);
                outf("%s %s: %lld bytes (%s) in %.2f s, %s/s%s\n", kind_name[t->kind], t->a1,
                       (long long)t->done, b, secs, rate, t->offset ? " (resumed)" : "");
            }
            t->phase = 4;
        }
        break;
    default:
        break;
    }
    return 0;
}

/* ---- the stepping loop ----------------------------------------------------------------- */
typedef struct {
    Task **items;
    int n, next;
} Queue;

static double last_draw;

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

static void draw_progress(Chan *chans, int nchan, int force) {
    if (!tty || opt.quiet) return;
    double now = now_s();
    if (!force && now - last_draw < 0.2) return;
    int64_t bytes = 0;
    int n = 0, unknown = 0;
    double secs = 0, total = 0;  /* sizes come from the server: any 64-bit value */
    const char *name = "";
    for (int i = 0; i < nchan; ++i) {
        Task *t = chans[i].task;
        if (!chans[i].busy || !t || (t->kind != K_GET && t->kind != K_PUT) || t->phase != 3) continue;
        int64_t b = (uint32_t)zubGetInteger(chans[i].ch, t->kind == K_GET ? ZUB_GET_GET_BYTES : ZUB_GET_PUT_BYTES);
        bytes += b;
        if (t->size >= 0)
            total += (double)(t->size - t->offset);
        else
            unknown = 1;
        double s = since(&t->t0);
        if (s > secs) secs = s;
        name = t->a1;
        ++n;
    }
    if (!n) return;
    last_draw = now;
    char b[32], r[32], line[300];
    double rate = secs > 0 ? bytes / secs : 0;
    human((double)bytes, b, sizeof b);
    human(rate, r, sizeof r);
    int len = n > 1 ? snprintf(line, sizeof line, "%d transfers  %s  %s/s", n, b, r)
                    : snprintf(line, sizeof line, "%.40s  %s  %s/s", name, b, r);
    if (!unknown && total > 0 && len > 0 && len < (int)sizeof line) {
        char eta[32];
        format_eta(rate > 0 ? (total - (double)bytes) / rate : -1, eta, sizeof eta);
        double pct = 100.0 * (double)bytes / total;
        snprintf(line + len, sizeof line - (size_t)len, "  %3d%%  ETA %s", pct < 100 ? (int)pct : 100, eta);
    }
    fputs("\r\033[K", stdout);
    put_text(stdout, tty, line, strlen(line));
    fflush(stdout);
}

/* Active mode: how often a transfer or listing is tried in all when the
 * server answers its command with 425, having failed to connect to our data
 * port. Processes started within the same few seconds get the same data
 * ports from the engine, and a server that connects from a fixed port (20,
 * say) cannot open a connection to a port another process has just used. A
 * 425 comes before any data, and every attempt listens on the next port of
 * the channel's range. */
#define DATA_TRIES 3

/* Whether the failed operation of c is tried again; if so its task is set
 * back to where the transfer command is armed anew. */
static int retry_data_refusal(Chan *c, int code) {
    Task *t = c->task;
    int list = t->kind == K_LS || t->kind == K_NLST;
    if (!opt.active || code != ZUB_E_SERVER_ERROR || zubGetInteger(c->ch, ZUB_GET_SERVER_CODE) != 425)
        return 0;
    if (!list && !((t->kind == K_GET || t->kind == K_PUT) && t->phase == 3)) return 0;
    if (++t->tries >= DATA_TRIES || zubGetInteger(c->ch, ZUB_GET_CTRL_SOCK) <= 0) return 0;
    if (opt.verbose) {
        clear_progress_line();
        msg("channel %d: %s%s%s: the server could not connect to the data port (425); trying again (%d of %d)",
            c->ch, kind_name[t->kind], t->a1 ? " " : "", t->a1 ? t->a1 : "", t->tries + 1, DATA_TRIES);
    }
    /* A listing starts over; a transfer goes back to setting its offsets. */
    t->phase = list ? 0 : 2;
    return 1;
}

/* Runs until every channel has nothing more to do. A channel whose own
 * prelude (login, type, directory) fails takes no more work; a failed task
 * on a channel that is still logged in lets the channel go on. Returns the
 * number of failed tasks. */
static int run_tasks(Chan *chans, int nchan, Queue *q, int stop_on_error) {
    int failed = 0, idle_rounds = 0;
    for (;;) {
        int any = 0, progress = 0;
        for (int i = 0; i < nchan; ++i) {
            Chan *c = &chans[i];
            while (!c->busy && !c->dead) {
                if (!c->task) {
                    if (c->own_i < c->own_n)
                        c->task = &c->own[c->own_i++];
                    else if (q->next < q->n && !(stop_on_error && failed))
                        c->task = q->items[q->next++];
                    else
                        break;
                }
                int r = start_op(c);
                if (r == 0) {
                    c->busy = 1;
                } else {
                    if (r < 0) {
                        ++failed;
                        if (is_own(c)) c->dead = 1;
                    }
                    c->task = NULL;
                }
            }
            if (!c->busy) continue;
            any = 1;
            int r = zubDriver(c->ch);
            if (r == ZUB_PACING) continue;  /* the engine slept for us */
            if (r > 0) {
                /* A state that returns itself with no byte moved is waiting
                 * on the network. */
                int64_t b = (int64_t)zubGetInteger(c->ch, ZUB_GET_GET_BYTES) + zubGetInteger(c->ch, ZUB_GET_PUT_BYTES);
                if (r != c->last_state || b != c->last_bytes) progress = 1;
                c->last_state = r;
                c->last_bytes = b;
                continue;
            }
            c->busy = 0;
            progress = 1;
            int bad = r < 0;
            if (bad) {
                char what[600];
                Task *t = c->task;
                snprintf(what, sizeof what, "%s%s%s", kind_name[t->kind], t->a1 ? " " : "",
                         t->a1 ? t->a1 : "");
                if (t->kind == K_CONNECT) snprintf(what, sizeof what, "connect %s:%d", opt.host, opt.port);
                if (t->kind == K_QUIT) {
                    bad = 0;  /* the session is over either way */
                } else if ((t->kind == K_GET || t->kind == K_PUT) && t->phase == 1 && r == ZUB_E_SERVER_ERROR) {
                    /* SIZE refused: the size is simply unknown. */
                    t->phase = 2;
                    bad = 0;
                } else if (retry_data_refusal(c, r)) {
                    bad = 0;
                } else {
                    clear_progress_line();
                    report_error(c, what, r);
                    if (t->tries >= DATA_TRIES)
                        msg("%s: the server could not connect to the data port %d times in a row", what, t->tries);
                }
            } else {
                if (opt.verbose) {
                    char reply[1100];
                    reply_text(c->ch, reply, sizeof reply);
                    msg("channel %d: %s: %s", c->ch, kind_name[c->task->kind], reply);
                }
                bad = op_done(c) < 0;
            }
            if (bad) {
                ++failed;
                if (is_own(c) || zubGetInteger(c->ch, ZUB_GET_CTRL_SOCK) <= 0) c->dead = 1;
                c->task = NULL;
            }
        }
        draw_progress(chans, nchan, 0);
        if (!any) break;
        /* Nobody moved: a short nap instead of spinning on empty sockets. */
        if (progress) {
            idle_rounds = 0;
        } else if (++idle_rounds > 32) {
            struct timespec ns = {0, 1000000};
            nanosleep(&ns, NULL);
        }
    }
    return failed;
}

/* ---- command parsing ---------------------------------------------------------------------- */
static int parse_commands(int argc, char **argv, Task **out, int *count) {
    Task *tasks = calloc((size_t)argc + 1, sizeof *tasks);
    int n = 0;
    char *words[8];
    int nw = 0;
    for (int i = 0; i <= argc; ++i) {
        int end = i == argc;
        char *w = end ? NULL : argv[i];
        if (w && !strcmp(w, ";")) {
            end = 1;
            w = NULL;
        } else if (w) {
            size_t len = strlen(w);
            if (len > 1 && w[len - 1] == ';') {
                w[len - 1] = 0;
                end = 1;
            }
        }
        if (w) {
            if (nw >= 8) goto bad;
            words[nw++] = w;
        }
        if (!end || nw == 0) continue;
        static const struct {
            const char *name;
            enum Kind kind;
            int min, max;
        } table[] = {{"ls", K_LS, 0, 1},    {"nlst", K_NLST, 0, 1},   {"get", K_GET, 1, 2},
                     {"put", K_PUT, 1, 2},  {"rm", K_RM, 1, 1},       {"mkdir", K_MKDIR, 1, 1},
                     {"rmdir", K_RMDIR, 1, 1}, {"cd", K_CWD, 1, 1},   {"pwd", K_PWD, 0, 0},
                     {"quote", K_QUOTE, 1, 1}};
        size_t k;
        for (k = 0; k < sizeof table / sizeof table[0]; ++k)
            if (!strcmp(words[0], table[k].name)) break;
        if (k == sizeof table / sizeof table[0]) {
            msg("unknown command '%s'", words[0]);
            goto fail;
        }
        if (nw - 1 < table[k].min || nw - 1 > table[k].max) {
            msg("%s: wrong number of arguments", words[0]);
            goto fail;
        }
        tasks[n].kind = table[k].kind;
        tasks[n].a1 = nw > 1 ? words[1] : NULL;
        tasks[n].a2 = nw > 2 ? words[2] : NULL;
        ++n;
        nw = 0;
    }
    if (nw) goto bad;
    *out = tasks;
    *count = n;
    return n ? 0 : -1;
bad:
    msg("bad command list");
fail:
    free(tasks);
    return -1;
}

/* ---- the end of the sessions ------------------------------------------------------------------ */
#define QUIT_WAIT_MS 1000

/* QUIT on every session at once, then let go: zubClose lingers 250 ms per
 * control socket with the whole loop waiting, zubRelease does not. The
 * session is over whatever QUIT gets, so its reply is waited for at most
 * QUIT_WAIT_MS: after a server that stopped answering, not a whole
 * --timeout again. The reply waits are library settings; nothing runs on
 * the library after this, so they are not put back. */
static void quit_sessions(Chan *chans, int nchan) {
    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, QUIT_WAIT_MS);  /* never above --timeout: 1 s at the least */
    zubSetInteger(0, ZUB_SET_REPLY_LINE_WAIT, QUIT_WAIT_MS);
    Queue none = {NULL, 0, 0};
    for (int c = 0; c < nchan; ++c) {
        chans[c].own_n = chans[c].own_i = 0;
        chans[c].task = NULL;
        if (chans[c].connected && zubGetInteger(c, ZUB_GET_CTRL_SOCK) > 0) {
            chans[c].dead = 0;
            chans[c].own[chans[c].own_n++] = (Task){.kind = K_QUIT};
        }
    }
    run_tasks(chans, nchan, &none, 0);
}

/* ---- main ----------------------------------------------------------------------------------- */
static int is_xfer(const Task *t) { return t->kind == K_GET || t->kind == K_PUT; }

int main(int argc, char **argv) {
    init_terminals();
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const char *a = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : NULL;
        if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            fputs(usage_text, stdout);
            return EX_OK;
        } else if (!strcmp(a, "--active")) {
            opt.active = 1;
        } else if (!strcmp(a, "--ascii")) {
            opt.ascii = 1;
        } else if (!strcmp(a, "--resume")) {
            opt.resume = 1;
        } else if (!strcmp(a, "--small-files")) {
            opt.small_files = 1;
        } else if (!strcmp(a, "--tls")) {
            if (opt.tls == ZUB_TLS_NONE) opt.tls = ZUB_TLS_EXPLICIT;
        } else if (!strcmp(a, "--epsv")) {
            opt.epsv = 1;
        } else if (!strcmp(a, "--insecure")) {
            opt.insecure = 1;
        } else if (val && !strcmp(a, "--cacert")) {
            opt.cacert = val, ++i;
        } else if (!strcmp(a, "-q")) {
            opt.quiet = 1;
        } else if (!strcmp(a, "-v")) {
            opt.verbose = 1;
        } else if (val && !strcmp(a, "--log")) {
            opt.log = val, ++i;
        } else if (val && !strcmp(a, "--password-file")) {
            opt.password_file = val, ++i;
        } else if (val && (!strcmp(a, "--timeout") || !strcmp(a, "--block-size") || !strcmp(a, "--parallel"))) {
            char *e;
            long v = strtol(val, &e, 10);
            ++i;
            int ok = *e == 0 && v > 0;
            if (a[2] == 't' && ok && v <= 86400) opt.timeout_ms = v * 1000;
            else if (a[2] == 'b' && ok && v >= 128 && v <= 8192) opt.block = (int)v;
            else if (a[2] == 'p' && ok && v <= 32) opt.parallel = (int)v;
            else {
                msg("%s: bad value '%s'", a, val);
                return EX_USAGE;
            }
        } else {
            msg("unknown option '%s' (try --help)", a);
            return EX_USAGE;
        }
    }
    if (i + 2 > argc) {
        fputs(usage_text, stderr);
        return EX_USAGE;
    }
    {
        /* --tls seen before the URL set opt.tls; ftps:// makes it implicit. */
        int tls = opt.tls;
        if (parse_url(argv[i])) {
            msg("bad URL (want ftp[s]://[user[:password]@]host[:port][/dir])");
            return EX_USAGE;
        }
        if (opt.tls == ZUB_TLS_NONE) opt.tls = tls;
    }
    /* Certificate options without encryption would let the password go out
     * in clear text while the user thinks otherwise. */
    if (!opt.tls && (opt.cacert || opt.insecure)) {
        msg("%s needs an encrypted session (ftps:// or --tls)", opt.cacert ? "--cacert" : "--insecure");
        return EX_USAGE;
    }
    if (opt.epsv && opt.active) {
        msg("--epsv asks for passive data connections; it does not go with --active");
        return EX_USAGE;
    }
    if (opt.cacert && access(opt.cacert, R_OK) != 0) {
        msg("%s: cannot read CA file: %s", opt.cacert, strerror(errno));
        return EX_LOCAL;
    }
    if (opt.insecure) msg("warning: --insecure: the server's certificate is not checked");
    Task *tasks;
    int ntasks;
    if (parse_commands(argc - i - 1, argv + i + 1, &tasks, &ntasks)) return EX_USAGE;
    int st = settle_credentials();
    if (!st) list_buf = malloc(LIST_ROOM);
    if (st || !list_buf) {
        free(tasks);  /* nothing is left behind, also for a leak checker */
        return st ? st : EX_LOCAL;
    }

    /* Extra sessions only pay off when two transfers follow each other. */
    int nchan = 1;
    for (int k = 0; k + 1 < ntasks; ++k)
        if (is_xfer(&tasks[k]) && is_xfer(&tasks[k + 1])) nchan = opt.parallel;
    int r = zubAttach(nchan, 0);
    if (r < 0) {
        msg("attach: %d", r);
        return EX_LOCAL;
    }
    if (opt.tls && zubGetInteger(0, ZUB_GET_TLS_BUILT) != 1) {
        msg("this zub32 library has no TLS: ftps:// and --tls cannot work");
        zubRelease();
        return EX_USAGE;
    }
    /* Library-wide: waits, block size, pacing nap, name separator. */
    zubSetInteger(0, ZUB_SET_SLEEP_TIME, 1);
    zubSetInteger(0, ZUB_SET_BLOCK_SIZE, (uint32_t)opt.block);
    zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, 1);
    if (opt.small_files) {
        /* The fixed pauses that make up most of a small transfer's time. */
        zubSetInteger(0, ZUB_SET_LINGER_LIMIT, 0);
        zubSetInteger(0, ZUB_SET_PASS_DELAY, 0);
        zubSetInteger(0, ZUB_SET_PASS_SLEEP, 0);
        zubSetInteger(0, ZUB_SET_END_DELAY, 0);
    }
    if (opt.timeout_ms) {
        zubSetInteger(0, ZUB_SET_CONNECT_WAIT, (uint32_t)opt.timeout_ms);
        zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, (uint32_t)opt.timeout_ms);
        zubSetInteger(0, ZUB_SET_DATA_WAIT, (uint32_t)opt.timeout_ms);
        zubSetInteger(0, ZUB_SET_BLOCK_WAIT, (uint32_t)opt.timeout_ms);  /* an upload block */
    }
    Chan chans[32];
    memset(chans, 0, sizeof chans);
    for (int c = 0; c < nchan; ++c) {
        chans[c].ch = c;
        zubSetInteger(c, ZUB_SET_AUTO_CALL, 0);
        /* Encryption and EPSV are channel settings: every session needs
         * them before it connects. A library that does not know a setting
         * answers -1; going on would mean clear text. */
        if ((opt.tls && (zubSetInteger(c, ZUB_SET_SECURITY, (uint32_t)opt.tls) != opt.tls ||
                         zubSetInteger(c, ZUB_SET_VERIFY, opt.insecure ? 0 : 1) != !opt.insecure)) ||
            (opt.epsv && zubSetInteger(c, ZUB_SET_EPSV, 1) != 1)) {
            msg("this zub32 library does not know the %s settings", opt.tls ? "TLS" : "EPSV");
            zubRelease();
            return EX_USAGE;
        }
        if (opt.cacert) zubSetString(c, ZUB_STR_CA_FILE, opt.cacert);
        if (opt.log) {
            char path[1100];
            snprintf(path, sizeof path, c ? "%s.%d" : "%s", opt.log, c);
            if (zubSetString(c, ZUB_STR_OPEN_LOG, path) <= 0) msg("%s: cannot open log", path);
        }
    }

    /* Channel 0: login, type, the URL's directory, then the commands in
     * order; a run of transfers goes out on every channel at once. */
    Chan *c0 = &chans[0];
    c0->own[0] = (Task){.kind = K_CONNECT};
    c0->own[1] = (Task){.kind = K_TYPE};
    c0->own_n = 2;
    if (opt.dir[0]) c0->own[c0->own_n++] = (Task){.kind = K_CWD, .a1 = opt.dir};
    Queue none = {NULL, 0, 0};
    run_tasks(chans, 1, &none, 1);
    for (int k = 0; k < ntasks && !failure && !c0->dead;) {
        int end = k + 1;
        while (nchan > 1 && end < ntasks && is_xfer(&tasks[k]) && is_xfer(&tasks[end])) ++end;
        Task *items[512];
        Queue q = {items, 0, 0};
        for (int m = k; m < end && q.n < 512; ++m) q.items[q.n++] = &tasks[m];
        end = k + q.n;
        int width = 1;
        if (q.n > 1) {
            /* The other sessions work in channel 0's current directory. */
            c0->own[0] = (Task){.kind = K_PWD, .silent = 1};
            c0->own_n = 1;
            c0->own_i = 0;
            pwd[0] = 0;
            run_tasks(chans, 1, &none, 1);
            width = q.n < nchan ? q.n : nchan;
            for (int c = 1; c < width; ++c) {
                Chan *x = &chans[c];
                x->own_n = x->own_i = 0;
                if (!x->connected && !x->dead) {
                    x->own[x->own_n++] = (Task){.kind = K_CONNECT};
                    x->own[x->own_n++] = (Task){.kind = K_TYPE};
                }
                if (pwd[0]) x->own[x->own_n++] = (Task){.kind = K_CWD, .a1 = pwd};
            }
        }
        run_tasks(chans, width, &q, 1);
        draw_progress(chans, width, 1);
        k = end;
    }
    quit_sessions(chans, nchan);
    zubRelease();
    fflush(stdout);
    free(list_buf);
    free(tasks);
    return failure;
}
