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
 * Options before the command:
 *   -b N   BlockSize (setting 11)
 *   -f     small-file settings turned down: no close lingers, no pauses
 *          after PASS or after an upload's last block
 *
 * Divisions: clock and errors, sessions, commands, raw TCP, main.
 */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
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
static const char *gHost, *gUser, *gPass;
static int gPort, gBlock, gFast;

static void settings(int ch) {
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
}

static int open_session(int ch) {
    int32_t r;
    settings(ch);
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
    settings(0);
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

/* ---- main ------------------------------------------------------------------ */
int main(int argc, char **argv) {
    int i = 1, rc = 2;
    const char *cmd;
    while (i < argc && argv[i][0] == '-') {
        if (!strcmp(argv[i], "-f")) {
            gFast = 1;
            ++i;
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
    fprintf(stderr, "usage: zubbench [-b N] [-f] get|put|login|hello|list|small|multi HOST PORT USER PASS ...\n"
                    "       zubbench tcp READSIZE BYTES\n");
    return 2;
}
