/* options.c - zubftp's options and its URL.
 *
 * Divisions: usage text, the URL, the options, the checks that options
 * and URL make sense together.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zub32.h"
#include "zubftp.h"

Options opt = {.parallel = 1, .block = 8192, .family = 1};

static const char *usage_text =
    "usage: zubftp [options] ftp[s]://[user[:password]@]host[:port][/dir] COMMAND [ARGS] [; COMMAND ...]\n"
    "       zubftp [options] -f FILE ftp[s]://...   (commands from FILE, one a line)\n"
    "\n"
    "commands:\n"
    "  ls [mask]  nlst [mask]  get REMOTE [LOCAL]  put LOCAL [REMOTE]\n"
    "  rm NAME  mkdir DIR  rmdir DIR  cd DIR  pwd  quote \"RAW\"\n"
    "  mv FROM TO  size NAME  mtime NAME\n"
    "  mirror [--delete] REMOTE LOCAL  mirror -R [--delete] LOCAL REMOTE\n"
    "  mget PATTERN [LOCALDIR]  mput PATTERN [REMOTEDIR]   (* and ?; --parallel spreads them)\n"
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
    "  --library-defaults  the library's own transfer settings: no bulk path, and its\n"
    "                      pauses after closes, PASS and an upload's last block\n"
    "                      (default: large pieces, no pauses)\n"
    "  --small-files       accepted for older scripts; no pauses is now the default\n"
    "  --epsv              passive data connections ask EPSV first, PASV if refused\n"
    "  --preserve-time     get: the local file takes the server's modification time\n"
    "  --retry N           try a failed connect or a command answered 4xx again,\n"
    "                      up to N more times, waiting 0.5 s, 1 s, 2 s ... (at most 30 s)\n"
    "  --limit-rate RATE   bytes per second per transfer (suffix k, m, g: x1024)\n"
    "  -f FILE             run the commands in FILE, one a line, before those given here\n"
    "  -4, -6              IPv4 or IPv6 only (default: either, as the name resolves;\n"
    "                      an IPv6 address goes in brackets: ftp://[::1]:2121/)\n"
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
    "  or an encrypted connection broken after login)\n"
    "  mirror, mget: a name from the server refused as unsafe is 7; no match: mget 5, mput 7\n";

/* ---- the URL ------------------------------------------------------------------------------ */
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

/* "user[:password]@" from a to at. */
static int parse_userinfo(const char *a, const char *at) {
    const char *colon = memchr(a, ':', (size_t)(at - a));
    const char *ue = colon ? colon : at;
    if (pct_decode(a, (size_t)(ue - a), opt.user, sizeof opt.user)) return -1;
    opt.have_user = opt.user[0] != 0;
    if (colon) {
        if (pct_decode(colon + 1, (size_t)(at - colon - 1), opt.pass, sizeof opt.pass)) return -1;
        opt.have_pass = 1;
    }
    return 0;
}

/* "host[:port]" or "[ipv6]:port" from a to end; the port defaults to the
 * scheme's. The brackets stay in the host: the library takes them. */
static int parse_hostport(const char *a, const char *end, int default_port) {
    const char *pc = NULL, *from = a;
    if (*a == '[') {
        const char *close = memchr(a, ']', (size_t)(end - a));
        if (!close || close == a + 1 || (close + 1 < end && close[1] != ':')) return -1;
        from = close + 1;
    }
    for (const char *p = from; p < end; ++p)
        if (*p == ':') pc = p;
    const char *he = pc ? pc : end;
    if (he == a || (size_t)(he - a) >= sizeof opt.host) return -1;
    memcpy(opt.host, a, (size_t)(he - a));
    opt.host[he - a] = 0;
    opt.port = default_port;
    if (pc) {
        char *e;
        long p = strtol(pc + 1, &e, 10);
        if (e != end || p < 1 || p > 65535) return -1;
        opt.port = (int)p;
    }
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
        if (parse_userinfo(a, at)) return -1;
        a = at + 1;
    }
    if (parse_hostport(a, end, ftps ? 990 : 21)) return -1;
    /* The path is relative to the login directory, as in a browser. */
    if (slash && slash[1] && pct_decode(slash + 1, strlen(slash + 1), opt.dir, sizeof opt.dir)) return -1;
    return 0;
}

/* ---- the options --------------------------------------------------------------------------------- */
/* Options without a value: the flag each one sets. --small-files asked
 * for what is now the default; it is still taken and changes nothing. */
static int *flag_option(const char *a) {
    static int small_files;
    static const struct {
        const char *name;
        int *flag;
    } flags[] = {{"--active", &opt.active},   {"--ascii", &opt.ascii},       {"--resume", &opt.resume},
                 {"--library-defaults", &opt.library_defaults}, {"--small-files", &small_files},
                 {"--epsv", &opt.epsv}, {"--insecure", &opt.insecure}, {"--preserve-time", &opt.preserve_time},
                 {"-q", &opt.quiet},           {"-v", &opt.verbose}};
    for (size_t i = 0; i < sizeof flags / sizeof flags[0]; ++i)
        if (!strcmp(a, flags[i].name)) return flags[i].flag;
    return NULL;
}

/* Options with a text value: where it goes. */
static const char **text_option(const char *a) {
    if (!strcmp(a, "--cacert")) return &opt.cacert;
    if (!strcmp(a, "--log")) return &opt.log;
    if (!strcmp(a, "--password-file")) return &opt.password_file;
    if (!strcmp(a, "-f")) return &opt.command_file;
    return NULL;
}

/* --limit-rate's value: bytes per second, k/m/g multiply by 1024: 0, or
 * -1 for a value that is not one. */
static int parse_rate(const char *val) {
    char *e;
    errno = 0;
    long long v = strtoll(val, &e, 10);
    const char *units = "kmg";
    const char *u = *e ? strchr(units, e[0] | 0x20) : NULL;
    if (errno || e == val || v <= 0 || (*e && (!u || e[1]))) return -1;
    for (long k = u ? (long)(u - units) + 1 : 0; k > 0; --k) {
        if (v > (1LL << 50)) return -1;
        v *= 1024;
    }
    opt.limit_rate = v;
    return 0;
}

/* --timeout, --block-size, --parallel, --retry, --limit-rate: 1 taken, 0
 * not one of them, -1 a bad value (reported). */
static int number_option(const char *a, const char *val) {
    if (!strcmp(a, "--limit-rate")) {
        if (parse_rate(val) == 0) return 1;
        msg("%s: bad value '%s'", a, val);
        return -1;
    }
    if (strcmp(a, "--timeout") && strcmp(a, "--block-size") && strcmp(a, "--parallel") && strcmp(a, "--retry"))
        return 0;
    char *e;
    long v = strtol(val, &e, 10);
    int ok = *e == 0 && v > 0;
    if (a[2] == 'r' && *e == 0 && v >= 0 && v <= 100) opt.retry = (int)v;
    else if (a[2] == 't' && ok && v <= 86400) opt.timeout_ms = v * 1000;
    else if (a[2] == 'b' && ok && v >= 128 && v <= 8192) opt.block = (int)v;
    else if (a[2] == 'p' && ok && v <= MAX_CHANNELS) opt.parallel = (int)v;
    else {
        msg("%s: bad value '%s'", a, val);
        return -1;
    }
    return 1;
}

/* The options before the URL; *i is left on the first word that is not one. */
static int parse_options(int argc, char **argv, int *i) {
    for (; *i < argc && argv[*i][0] == '-'; ++*i) {
        const char *a = argv[*i];
        const char *val = *i + 1 < argc ? argv[*i + 1] : NULL;
        int *flag, number;
        const char **text;
        if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            fputs(usage_text, stdout);
            return EX_OK;
        } else if ((flag = flag_option(a))) {
            *flag = 1;
        } else if (!strcmp(a, "-4") || !strcmp(a, "-6")) {
            opt.family = a[1] == '4' ? 0 : 2;
        } else if (!strcmp(a, "--tls")) {
            if (opt.tls == ZUB_TLS_NONE) opt.tls = ZUB_TLS_EXPLICIT;
        } else if (val && (text = text_option(a))) {
            *text = val, ++*i;
        } else if (val && (number = number_option(a, val))) {
            if (number < 0) return EX_USAGE;
            ++*i;
        } else {
            msg("unknown option '%s' (try --help)", a);
            return EX_USAGE;
        }
    }
    return GO_ON;
}

/* ---- options and URL together ------------------------------------------------------------------- */
static int check_options(void) {
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
    return GO_ON;
}

int parse_command_line(int argc, char **argv, int *first) {
    int i = 1, st = parse_options(argc, argv, &i);
    if (st != GO_ON) return st;
    /* With -f the commands may all come from the file. */
    if (i + (opt.command_file ? 1 : 2) > argc) {
        fputs(usage_text, stderr);
        return EX_USAGE;
    }
    /* --tls seen before the URL set opt.tls; ftps:// makes it implicit. */
    int tls = opt.tls;
    if (parse_url(argv[i])) {
        msg("bad URL (want ftp[s]://[user[:password]@]host[:port][/dir])");
        return EX_USAGE;
    }
    if (opt.tls == ZUB_TLS_NONE) opt.tls = tls;
    *first = i;
    return check_options();
}
