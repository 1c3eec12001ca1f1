/* zubbench.c - the library's side of the benchmarks in bench/run.py.
 *
 * Drives zub32 only through its public header and prints one line of
 * "key=value" pairs for the harness to read: "seconds" is the time of the
 * measured work alone (login and close are outside it unless they are what
 * is measured).
 *
 * Commands (HOST PORT USER PASS come first for all but tcp):
 *   get REMOTE LOCAL            one binary passive download
 *   put LOCAL REMOTE            one binary passive upload
 *   login                       connect and log in
 *   hello N                     N NOOP round trips
 *   list DIR                    one LIST of DIR
 *   small DIR N LOCALDIR        N uploads of LOCALDIR/small.bin to
 *                               DIR/s<i>.bin, then N downloads of them
 *   multi N REMOTE LOCALDIR     N channels each download REMOTE at once,
 *                               stepped from this thread with AUTO_CALL off
 *   tcp READSIZE BYTES          raw loopback copy (no library): the ceiling
 *   copyget READSIZE WRITESIZE REMOTE LOCAL
 *                               one passive download without the library:
 *                               recv() of at most READSIZE, a write() each
 *                               time WRITESIZE bytes are gathered
 *   copyput BLOCK LOCAL REMOTE  one passive upload without the library:
 *                               read() BLOCK bytes, send() them all
 * Options before the command:
 *   -b N   BlockSize (setting 11)
 *   -f     small-file settings turned down: no close lingers, no pauses
 *          after PASS or after an upload's last block
 *   -B     bulk transfers (setting 33) on every channel; a library that
 *          does not know the setting is said so once on stderr and used
 *          as it is
 *   -t CA  explicit TLS (AUTH TLS, PROT P), the server's certificate
 *          checked against the PEM file CA ("-": not checked)
 *
 * Divisions: clock and errors, sessions, commands, raw TCP, copy loop, main.
 */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "zub32.h"

/* ---- clock and errors ---------------------------------------------------- */
static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int fail(int ch, const char *what, int32_t r) {
    char text[512];
    zubErrorText(ch, r, text, (int32_t)sizeof text);
    fprintf(stderr, "zubbench: %s: %d %s\n", what, (int)r, text);
    return 1;
}

/* ---- sessions ------------------------------------------------------------ */
static const char *gHost, *gUser, *gPass, *gCaFile;
static int gPort, gBlock, gFast, gBulk;

/* Bulk transfers on channel ch: 0, or 1 after a failure (reported). A
 * library without the setting answers -1: the run goes on without it. */
static int bulk_on(int ch) {
    static int told;
    int32_t r = zubSetInteger(ch, ZUB_SET_BULK, 1);
    if (r == -1) {
        if (!told) fprintf(stderr, "zubbench: this library has no bulk path (setting 33 unknown); going on\n");
        told = 1;
        return 0;
    }
    return r < 0 ? fail(ch, "bulk setting", r) : 0;
}

/* Explicit TLS on channel ch: 0, or 1 after a failure (reported). */
static int tls_on(int ch) {
    int verify = strcmp(gCaFile, "-") != 0;
    int32_t r = zubSetInteger(ch, ZUB_SET_SECURITY, ZUB_TLS_EXPLICIT);
    if (r != ZUB_TLS_EXPLICIT) return fail(ch, "TLS setting", r);
    if ((r = zubSetInteger(ch, ZUB_SET_VERIFY, (uint32_t)verify)) != verify) return fail(ch, "verify setting", r);
    if (verify && (r = zubSetString(ch, ZUB_STR_CA_FILE, gCaFile)) < 0) return fail(ch, "CA file", r);
    return 0;
}

/* Channel ch's settings: 0, or 1 after a failure (reported). */
static int settings(int ch) {
    if (gBulk && bulk_on(ch)) return 1;
    if (gCaFile && tls_on(ch)) return 1;
    zubSetInteger(ch, ZUB_SET_SERVER_PORT, (uint32_t)gPort);
    zubSetInteger(ch, ZUB_SET_PASSIVE, ZUB_PASSIVE);
    if (gBlock) zubSetInteger(ch, ZUB_SET_BLOCK_SIZE, (uint32_t)gBlock);
#ifdef ZUB_SET_LINGER_LIMIT
    if (gFast) {
        zubSetInteger(ch, ZUB_SET_LINGER_LIMIT, 0);
        zubSetInteger(ch, ZUB_SET_PASS_DELAY, 0);
        zubSetInteger(ch, ZUB_SET_PASS_SLEEP, 0);
        zubSetInteger(ch, ZUB_SET_END_DELAY, 0);
    }
#endif
    return 0;
}

static int open_session(int ch) {
    int32_t r;
    if (settings(ch)) return 1;
    r = zubConnect(ch, gHost, gUser, gPass);
    if (r < 0) return fail(ch, "connect", r);
    r = zubSetMode(ch, ZUB_MODE_BINARY);
    if (r < 0) return fail(ch, "TYPE I", r);
    return 0;
}

/* ---- commands ------------------------------------------------------------- */
static int cmd_transfer(int put, const char *a, const char *b) {
    char name[600];
    double t0, t1;
    int32_t r;
    if (open_session(0)) return 1;
    snprintf(name, sizeof name, "%s:%s", a, b);
    t0 = now_s();
    r = put ? zubPutFile(0, name) : zubGetFile(0, name);
    t1 = now_s();
    if (r < 0) return fail(0, put ? "put" : "get", r);
    printf("seconds=%.6f bytes=%u\n", t1 - t0,
           (unsigned)zubGetInteger(0, put ? ZUB_GET_PUT_BYTES : ZUB_GET_GET_BYTES));
    zubClose(0);
    return 0;
}

static int cmd_login(void) {
    double t0 = now_s(), t1;
    int32_t r;
    if (settings(0)) return 1;
    r = zubConnect(0, gHost, gUser, gPass);
    t1 = now_s();
    if (r < 0) return fail(0, "connect", r);
    printf("seconds=%.6f\n", t1 - t0);
    zubClose(0);
    return 0;
}

static int cmd_hello(int n) {
    double t0;
    int i;
    if (open_session(0)) return 1;
    t0 = now_s();
    for (i = 0; i < n; ++i) {
        int32_t r = zubHello(0);
        if (r < 0) return fail(0, "hello", r);
    }
    printf("seconds=%.6f\n", now_s() - t0);
    zubClose(0);
    return 0;
}

static int cmd_list(const char *dir) {
    enum { kListMax = 16 << 20 };
    char *buf = malloc(kListMax);
    double t0;
    int32_t r;
    if (!buf || open_session(0)) return 1;
    snprintf(buf, kListMax, "%s", dir);
    t0 = now_s();
    r = zubGetList(0, ZUB_LIST_ARG, buf, kListMax);
    if (r < 0) return fail(0, "list", r);
    printf("seconds=%.6f bytes=%d lines=%d\n", now_s() - t0, (int)r,
           (int)zubGetString(0, ZUB_STR_LINE_COUNT, buf, kListMax));
    zubClose(0);
    free(buf);
    return 0;
}

static int cmd_small(const char *dir, int n, const char *local) {
    char name[600];
    double t0;
    int i;
    int32_t r;
    if (open_session(0)) return 1;
    if ((r = zubSetLocalDir(0, local)) < 0) return fail(0, "local dir", r);
    t0 = now_s();
    for (i = 0; i < n; ++i) {
        snprintf(name, sizeof name, "small.bin:%s/s%d.bin", dir, i);
        if ((r = zubPutFile(0, name)) < 0) return fail(0, "put", r);
    }
    for (i = 0; i < n; ++i) {
        snprintf(name, sizeof name, "%s/s%d.bin:back%d.bin", dir, i, i);
        if ((r = zubGetFile(0, name)) < 0) return fail(0, "get", r);
    }
    printf("seconds=%.6f\n", now_s() - t0);
    zubClose(0);
    return 0;
}

static int cmd_multi(int n, const char *remote, const char *local) {
    char name[600];
    int32_t result[32];
    double t0;
    int ch, running = 0;
    unsigned long long bytes = 0;
    for (ch = 0; ch < n; ++ch) {
        if (open_session(ch)) return 1;
        zubSetInteger(ch, ZUB_SET_AUTO_CALL, ZUB_AUTO_CALL_OFF);
    }
    t0 = now_s();
    for (ch = 0; ch < n; ++ch) {
        snprintf(name, sizeof name, "%s:%s/m%d.bin", remote, local, ch);
        result[ch] = zubGetFile(ch, name);
        if (result[ch] < 0) return fail(ch, "get", result[ch]);
        result[ch] = 1;
        ++running;
    }
    while (running > 0) {
        for (ch = 0; ch < n; ++ch) {
            if (result[ch] <= 0) continue;
            result[ch] = zubDriver(ch);
            if (result[ch] < 0) return fail(ch, "step", result[ch]);
            if (result[ch] == 0) --running;
        }
    }
    printf("seconds=%.6f", now_s() - t0);
    for (ch = 0; ch < n; ++ch) bytes += (unsigned)zubGetInteger(ch, ZUB_GET_GET_BYTES);
    printf(" bytes=%llu\n", bytes);
    for (ch = 0; ch < n; ++ch) {
        zubSetInteger(ch, ZUB_SET_AUTO_CALL, ZUB_AUTO_CALL_ON);
        zubClose(ch);
    }
    return 0;
}

/* ---- raw TCP -------------------------------------------------------------- */
/* A child writes BYTES in 256 KiB writes; this process reads them with
 * reads of READSIZE and drops them. */
static int cmd_tcp(long readsize, long long total) {
    static char buf[256 * 1024];
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    int lsock = socket(AF_INET, SOCK_STREAM, 0), s, status;
    long long got = 0;
    double t0;
    pid_t pid;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lsock, (struct sockaddr *)&sa, sizeof sa) < 0 || listen(lsock, 1) < 0 ||
        getsockname(lsock, (struct sockaddr *)&sa, &len) < 0) {
        perror("zubbench: listen");
        return 1;
    }
    if (readsize < 1 || readsize > (long)sizeof buf) readsize = sizeof buf;
    pid = fork();
    if (pid == 0) {
        long long sent = 0;
        int c = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(c, (struct sockaddr *)&sa, sizeof sa) < 0) _exit(1);
        while (sent < total) {
            long long want = total - sent < (long long)sizeof buf ? total - sent : (long long)sizeof buf;
            ssize_t w = write(c, buf, (size_t)want);
            if (w <= 0) _exit(1);
            sent += w;
        }
        _exit(0);
    }
    s = accept(lsock, NULL, NULL);
    t0 = now_s();
    for (;;) {
        ssize_t r = read(s, buf, (size_t)readsize);
        if (r <= 0) break;
        got += r;
    }
    printf("seconds=%.6f bytes=%lld\n", now_s() - t0, got);
    waitpid(pid, &status, 0);
    return got == total ? 0 : 1;
}

/* ---- copy loop --------------------------------------------------------------- */
/* The same transfer as get and put with plain sockets and no library: what
 * a straightforward client reaches with the same read and write sizes. */
typedef struct {
    int fd;
    char buf[4096];
    size_t have;
} Ctrl;

static int tcp_connect(const char *host, int port) {
    struct sockaddr_in sa;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    if (s < 0 || inet_pton(AF_INET, host, &sa.sin_addr) != 1 || connect(s, (struct sockaddr *)&sa, sizeof sa) < 0) {
        perror("zubbench: connect");
        if (s >= 0) close(s);
        return -1;
    }
    return s;
}

/* One line of the control connection into line (NUL-ended, CR LF cut):
 * 0, or -1 when the connection ended. */
static int ctrl_line(Ctrl *c, char *line, size_t size) {
    for (;;) {
        char *nl = memchr(c->buf, '\n', c->have);
        if (nl) {
            size_t n = (size_t)(nl - c->buf) + 1, keep = n - 1 < size - 1 ? n - 1 : size - 1;
            memcpy(line, c->buf, keep);
            line[keep] = 0;
            if (keep && line[keep - 1] == '\r') line[keep - 1] = 0;
            memmove(c->buf, c->buf + n, c->have - n);
            c->have -= n;
            return 0;
        }
        if (c->have == sizeof c->buf) c->have = 0;  /* a line longer than the buffer: its start is dropped */
        ssize_t r = recv(c->fd, c->buf + c->have, sizeof c->buf - c->have, 0);
        if (r <= 0) return -1;
        c->have += (size_t)r;
    }
}

/* A whole reply, multi-line ones included: its code (the text of its last
 * line in text), or -1 when the connection ended. */
static int ctrl_reply(Ctrl *c, char *text, size_t size) {
    if (ctrl_line(c, text, size)) return -1;
    int code = atoi(text);
    if (strlen(text) > 3 && text[3] == '-') {
        char end[4];
        memcpy(end, text, 3);
        end[3] = ' ';
        do {
            if (ctrl_line(c, text, size)) return -1;
        } while (strncmp(text, end, 4) != 0);
    }
    return code;
}

/* Sends a command and reads its reply: the code, or -1. */
static int ctrl_cmd(Ctrl *c, const char *cmd, char *text, size_t size) {
    char line[1100];
    int n = snprintf(line, sizeof line, "%s\r\n", cmd);
    if (send(c->fd, line, (size_t)n, 0) != n) return -1;
    return ctrl_reply(c, text, size);
}

/* Logs in, TYPE I, PASV: the data socket, connected, or -1 (reported). */
static int copy_session(Ctrl *c) {
    char text[1100], cmd[600];
    int h[6];
    c->fd = tcp_connect(gHost, gPort);
    if (c->fd < 0) return -1;
    if (ctrl_reply(c, text, sizeof text) != 220) goto refused;
    snprintf(cmd, sizeof cmd, "USER %s", gUser);
    int code = ctrl_cmd(c, cmd, text, sizeof text);
    if (code == 331) {
        snprintf(cmd, sizeof cmd, "PASS %s", gPass);
        code = ctrl_cmd(c, cmd, text, sizeof text);
    }
    if (code != 230 || ctrl_cmd(c, "TYPE I", text, sizeof text) != 200 ||
        ctrl_cmd(c, "PASV", text, sizeof text) != 227)
        goto refused;
    const char *p = strchr(text, '(');
    if (!p || sscanf(p, "(%d,%d,%d,%d,%d,%d)", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) != 6) goto refused;
    return tcp_connect(gHost, h[4] * 256 + h[5]);
refused:
    fprintf(stderr, "zubbench: server said: %s\n", text);
    return -1;
}

/* The transfer command and its preliminary reply: 0, or -1 (reported). */
static int copy_start(Ctrl *c, const char *verb, const char *remote) {
    char text[1100], cmd[700];
    snprintf(cmd, sizeof cmd, "%s %s", verb, remote);
    int code = ctrl_cmd(c, cmd, text, sizeof text);
    if (code == 150 || code == 125) return 0;
    fprintf(stderr, "zubbench: %s: %s\n", verb, text);
    return -1;
}

/* The end of the transfer: 0 after a 226 (or 250), else -1 (reported). */
static int copy_end(Ctrl *c) {
    char text[1100];
    int code = ctrl_reply(c, text, sizeof text);
    if (code == 226 || code == 250) return 0;
    fprintf(stderr, "zubbench: transfer end: %s\n", text);
    return -1;
}

static int cmd_copyget(long readsize, long writesize, const char *remote, const char *local) {
    Ctrl c = {.fd = -1};
    long long got = 0;
    size_t fill = 0;
    if (readsize < 1 || writesize < readsize) {
        fprintf(stderr, "zubbench: copyget wants 1 <= READSIZE <= WRITESIZE\n");
        return 2;
    }
    char *buf = malloc((size_t)writesize);
    int data = copy_session(&c), out = open(local, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!buf || data < 0 || out < 0) return 1;
    double t0 = now_s();
    if (copy_start(&c, "RETR", remote)) return 1;
    for (;;) {
        size_t room = (size_t)writesize - fill;
        ssize_t r = recv(data, buf + fill, room < (size_t)readsize ? room : (size_t)readsize, 0);
        if (r < 0) {
            perror("zubbench: recv");
            return 1;
        }
        fill += (size_t)r;
        got += r;
        if (fill == (size_t)writesize || (r == 0 && fill)) {
            if (write(out, buf, fill) != (ssize_t)fill) {
                perror("zubbench: write");
                return 1;
            }
            fill = 0;
        }
        if (r == 0) break;
    }
    close(data);
    if (copy_end(&c)) return 1;
    double t1 = now_s();
    printf("seconds=%.6f bytes=%lld\n", t1 - t0, got);
    close(out);
    close(c.fd);
    free(buf);
    return 0;
}

static int cmd_copyput(long block, const char *local, const char *remote) {
    Ctrl c = {.fd = -1};
    long long sent = 0;
    if (block < 1) {
        fprintf(stderr, "zubbench: copyput wants BLOCK >= 1\n");
        return 2;
    }
    char *buf = malloc((size_t)block);
    int in = open(local, O_RDONLY), data = in < 0 ? -1 : copy_session(&c);
    if (!buf || in < 0 || data < 0) return 1;
    double t0 = now_s();
    if (copy_start(&c, "STOR", remote)) return 1;
    for (;;) {
        ssize_t n = read(in, buf, (size_t)block);
        if (n < 0) {
            perror("zubbench: read");
            return 1;
        }
        if (n == 0) break;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = send(data, buf + off, (size_t)(n - off), 0);
            if (w <= 0) {
                perror("zubbench: send");
                return 1;
            }
            off += w;
        }
        sent += n;
    }
    close(data);
    if (copy_end(&c)) return 1;
    double t1 = now_s();
    printf("seconds=%.6f bytes=%lld\n", t1 - t0, sent);
    close(in);
    close(c.fd);
    free(buf);
    return 0;
}

/* ---- main ------------------------------------------------------------------ */
int main(int argc, char **argv) {
    int i = 1, rc = 2;
    const char *cmd;
    while (i < argc && argv[i][0] == '-') {
        if (!strcmp(argv[i], "-f")) {
            gFast = 1;
            ++i;
        } else if (!strcmp(argv[i], "-B")) {
            gBulk = 1;
            ++i;
        } else if (!strcmp(argv[i], "-t") && i + 1 < argc) {
            gCaFile = argv[i + 1];
            i += 2;
        } else if (!strcmp(argv[i], "-b") && i + 1 < argc) {
            gBlock = atoi(argv[i + 1]);
            i += 2;
        } else {
            break;
        }
    }
    if (i >= argc) goto usage;
    cmd = argv[i++];
    if (!strcmp(cmd, "tcp")) {
        if (argc - i != 2) goto usage;
        return cmd_tcp(atol(argv[i]), atoll(argv[i + 1]));
    }
    if (argc - i < 4) goto usage;
    gHost = argv[i];
    gPort = atoi(argv[i + 1]);
    gUser = argv[i + 2];
    gPass = argv[i + 3];
    i += 4;
    /* The copy loop runs without the library. */
    if (!strcmp(cmd, "copyget") && argc - i == 4)
        return cmd_copyget(atol(argv[i]), atol(argv[i + 1]), argv[i + 2], argv[i + 3]);
    if (!strcmp(cmd, "copyput") && argc - i == 3) return cmd_copyput(atol(argv[i]), argv[i + 1], argv[i + 2]);
    if (zubAttach(32, 0) != 1) {
        fprintf(stderr, "zubbench: attach failed\n");
        return 1;
    }
    if (!strcmp(cmd, "get") && argc - i == 2) rc = cmd_transfer(0, argv[i], argv[i + 1]);
    else if (!strcmp(cmd, "put") && argc - i == 2) rc = cmd_transfer(1, argv[i], argv[i + 1]);
    else if (!strcmp(cmd, "login") && argc - i == 0) rc = cmd_login();
    else if (!strcmp(cmd, "hello") && argc - i == 1) rc = cmd_hello(atoi(argv[i]));
    else if (!strcmp(cmd, "list") && argc - i == 1) rc = cmd_list(argv[i]);
    else if (!strcmp(cmd, "small") && argc - i == 3) rc = cmd_small(argv[i], atoi(argv[i + 1]), argv[i + 2]);
    else if (!strcmp(cmd, "multi") && argc - i == 3) rc = cmd_multi(atoi(argv[i]), argv[i + 1], argv[i + 2]);
    zubRelease();
    if (rc != 2) return rc;
usage:
    fprintf(stderr, "usage: zubbench [-b N] [-f] [-B] [-t CAFILE] get|put|login|hello|list|small|multi"
                    " HOST PORT USER PASS ...\n"
                    "       zubbench copyget|copyput HOST PORT USER PASS ... (see the file's head)\n"
                    "       zubbench tcp READSIZE BYTES\n");
    return 2;
}
