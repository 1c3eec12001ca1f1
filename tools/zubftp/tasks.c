/* tasks.c - the kinds of task zubftp runs on a channel.
 *
 * One row per kind says what the user types for it and gives its two
 * functions: the start arms the task's next engine operation, the done
 * handles that operation's success. Most kinds are one operation; get and
 * put go through the phases of enum Phase.
 *
 * Divisions: shared helpers, one-operation kinds, transfers, the table,
 * starting and ending operations, command parsing.
 */
#define _DEFAULT_SOURCE  /* timegm */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zub32.h"
#include "zubftp.h"

#define LIST_ROOM (16 * 1024 * 1024)

static char *list_buf;        /* every listing lands here */
static char last_dir[1100];   /* the directory the last pwd found */

/* Active mode: how often a transfer or listing is tried in all when the
 * server answers its command with 425, having failed to connect to our data
 * port. Processes started within the same few seconds get the same data
 * ports from the engine, and a server that connects from a fixed port (20,
 * say) cannot open a connection to a port another process has just used. A
 * 425 comes before any data, and every attempt listens on the next port of
 * the channel's range. */
#define DATA_TRIES 3

/* ---- shared helpers -------------------------------------------------------------------------- */
int tasks_open(void) {
    list_buf = malloc(LIST_ROOM);
    return list_buf ? 0 : -1;
}

void tasks_close(void) {
    free(list_buf);
    list_buf = NULL;
}

char *server_dir(void) { return last_dir; }
void forget_server_dir(void) { last_dir[0] = 0; }

int is_transfer(const Task *t) { return t->kind == K_GET || t->kind == K_PUT; }

static int64_t file_size(const char *dir, const char *name) {
    char path[1400];
    struct stat st;
    snprintf(path, sizeof path, "%s%s%s", dir, dir[0] ? "/" : "", name);
    return stat(path, &st) == 0 ? (int64_t)st.st_size : -1;
}

/* An engine call that arms an operation gave r: busy, or failed and said
 * so, naming the task by its argument or else the host. */
static enum Start armed(Chan *c, Task *t, int r) {
    if (r >= 0) return START_BUSY;
    char what[300];
    snprintf(what, sizeof what, "%s %s", kind_name(t->kind), t->a1 ? t->a1 : opt.host);
    report_error(c, what, r);
    return START_FAILED;
}

/* ---- one-operation kinds ------------------------------------------------------------------------- */
static enum Start start_connect(Chan *c, Task *t) {
    zubSetInteger(c->ch, ZUB_SET_SERVER_PORT, (uint32_t)opt.port);
    zubSetInteger(c->ch, ZUB_SET_PASSIVE, opt.active ? ZUB_ACTIVE : ZUB_PASSIVE);
    if (opt.verbose)
        msg("channel %d: connecting to %s:%d as %s%s", c->ch, opt.host, opt.port, opt.user,
            opt.tls == ZUB_TLS_IMPLICIT ? " (implicit TLS)" : opt.tls ? " (AUTH TLS)" : "");
    return armed(c, t, zubConnect(c->ch, opt.host, opt.user, opt.pass));
}

static int done_connect(Chan *c, Task *t) {
    (void)t;
    c->connected = 1;
    if (!opt.verbose) return 0;
    msg("channel %d: logged in", c->ch);
    if (!opt.tls) return 0;
    int v = zubGetInteger(c->ch, ZUB_GET_TLS_VERSION);
    char cipher[128] = "";
    int n = zubGetString(c->ch, ZUB_STR_TLS_CIPHER, cipher, sizeof cipher);
    cipher[n > 0 && n < (int)sizeof cipher ? n : 0] = 0;
    msg("channel %d: %s, cipher %s, certificate %s", c->ch, tls_version_name(v), cipher[0] ? cipher : "unknown",
        zubGetInteger(c->ch, ZUB_GET_TLS_VERIFIED) == 1 ? "verified" : "NOT verified");
    return 0;
}

static enum Start start_type(Chan *c, Task *t) {
    return armed(c, t, zubSetMode(c->ch, opt.ascii ? ZUB_MODE_ASCII : ZUB_MODE_BINARY));
}

static enum Start start_cwd(Chan *c, Task *t) { return armed(c, t, zubSetServerDir(c->ch, t->a1)); }
static enum Start start_rm(Chan *c, Task *t) { return armed(c, t, zubDelFile(c->ch, t->a1)); }
static enum Start start_mkdir(Chan *c, Task *t) { return armed(c, t, zubMakeServerDir(c->ch, t->a1)); }
static enum Start start_rmdir(Chan *c, Task *t) { return armed(c, t, zubDelServerDir(c->ch, t->a1)); }
static enum Start start_quote(Chan *c, Task *t) { return armed(c, t, zubCommand(c->ch, t->a1)); }

/* The session is over whatever QUIT gets: a refusal to send it is no error. */
static enum Start start_quit(Chan *c, Task *t) {
    (void)t;
    return zubCommand(c->ch, "QUIT") < 0 ? START_COMPLETE : START_BUSY;
}

/* "VERB argument" through zubCommand. */
static enum Start send_verb(Chan *c, Task *t, const char *verb, const char *arg) {
    char cmd[1100];
    if (snprintf(cmd, sizeof cmd, "%s %s", verb, arg) >= (int)sizeof cmd) {
        msg("%s: name too long", kind_name(t->kind));
        fail(EX_USAGE);
        return START_FAILED;
    }
    return armed(c, t, zubCommand(c->ch, cmd));
}

static enum Start start_size(Chan *c, Task *t) { return send_verb(c, t, "SIZE", t->a1); }
static enum Start start_mtime(Chan *c, Task *t) { return send_verb(c, t, "MDTM", t->a1); }

/* RNFR, then RNTO; a server that takes RNFR answers 350, which the engine
 * counts as done. */
static enum Start start_mv(Chan *c, Task *t) {
    if (t->phase == MV_DONE) return START_COMPLETE;
    const int from = t->phase == MV_FROM;
    t->phase = from ? MV_TO : MV_DONE;
    return send_verb(c, t, from ? "RNFR" : "RNTO", from ? t->a1 : t->a2);
}

/* The number of a "213 n" reply: 0, or -1 when the reply is not one. */
static int reply_number(Chan *c, const char *what, char *digits, size_t size) {
    char reply[1100];
    reply_text(c->ch, reply, sizeof reply);
    size_t n = strncmp(reply, "213 ", 4) ? 0 : strspn(reply + 4, "0123456789");
    if (n == 0 || n >= size) {
        msg("%s: unexpected reply: %s", what, reply);
        fail(EX_REFUSED);
        return -1;
    }
    memcpy(digits, reply + 4, n);
    digits[n] = 0;
    return 0;
}

static int done_size(Chan *c, Task *t) {
    char digits[32];
    if (reply_number(c, t->a1, digits, sizeof digits)) return -1;
    outf("%s\n", digits);
    return 0;
}

/* MDTM's "YYYYMMDDHHMMSS" (UTC, fractions ignored): 0, or -1. */
static int mdtm_time(const char *d, time_t *out) {
    struct tm tm = {0};
    if (strlen(d) < 14 || sscanf(d, "%4d%2d%2d%2d%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                                 &tm.tm_min, &tm.tm_sec) != 6)
        return -1;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    *out = timegm(&tm);
    return 0;
}

static int done_mtime(Chan *c, Task *t) {
    char digits[32];
    time_t when;
    if (reply_number(c, t->a1, digits, sizeof digits)) return -1;
    if (mdtm_time(digits, &when)) {
        msg("%s: not a time: %s", t->a1, digits);
        fail(EX_REFUSED);
        return -1;
    }
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", gmtime(&when));
    outf("%s\n", text);
    return 0;
}

static int done_quote(Chan *c, Task *t) {
    (void)t;
    char reply[1100];
    reply_text(c->ch, reply, sizeof reply);
    outf("%s\n", reply);
    return 0;
}

/* Stepped, the engine fills no buffer of ours: the directory is asked for
 * once the operation has finished. */
static enum Start start_pwd(Chan *c, Task *t) {
    char unused[300];
    return armed(c, t, zubGetServerDir(c->ch, unused, sizeof unused));
}

static int done_pwd(Chan *c, Task *t) {
    /* One byte kept back: the library may put its NUL behind size bytes. */
    int n = zubGetString(c->ch, ZUB_STR_SERVER_DIR, last_dir, (int)sizeof last_dir - 1);
    last_dir[n > 0 && n < (int)sizeof last_dir ? n : 0] = 0;
    if (!t->silent) outf("%s\n", last_dir);
    return 0;
}

static enum Start start_list(Chan *c, Task *t) {
    static const int32_t list_kinds[2][2] = {{ZUB_LIST, ZUB_LIST_ARG}, {ZUB_NLST, ZUB_NLST_ARG}};
    list_buf[0] = 0;
    if (t->a1) snprintf(list_buf, LIST_ROOM, "%s", t->a1);  /* the mask goes in the buffer */
    return armed(c, t, zubGetList(c->ch, list_kinds[t->kind == K_NLST][t->a1 != NULL], list_buf, LIST_ROOM));
}

static int done_list(Chan *c, Task *t) {
    (void)c;
    size_t n = strlen(list_buf), o = 0;
    /* The server's CR LF become LF, as lines are on this side; a lone CR
     * is part of a name and stays. */
    for (size_t i = 0; i < n; ++i)
        if (list_buf[i] != '\r' || list_buf[i + 1] != '\n') list_buf[o++] = list_buf[i];
    out_text(list_buf, o);
    /* Pieces that no longer fit are dropped silently in stepped mode. */
    if (n + 8192 >= LIST_ROOM) {
        msg("%s: listing too long for the buffer", kind_name(t->kind));
        fail(EX_REFUSED);
        return -1;
    }
    return 0;
}

/* ---- transfers ------------------------------------------------------------------------------------ */
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

/* The local path into local and the remote name into t->rname. A target
 * that is a directory gets the source's own name. */
static void transfer_names(Task *t, char *local, size_t size) {
    if (t->kind == K_GET) {
        struct stat st;
        const char *l = t->a2 ? t->a2 : remote_base(t->a1);
        size_t n = strlen(l);
        int dir = n && (l[n - 1] == '/' || (stat(l, &st) == 0 && S_ISDIR(st.st_mode)));
        snprintf(local, size, "%s%s%s", l, dir && l[n - 1] != '/' ? "/" : "", dir ? remote_base(t->a1) : "");
        snprintf(t->rname, sizeof t->rname, "%s", t->a1);
    } else {
        const char *r = t->a2 ? t->a2 : "";
        size_t n = strlen(r);
        snprintf(local, size, "%s", t->a1);
        snprintf(t->rname, sizeof t->rname, "%s%s", r, !n || r[n - 1] == '/' ? remote_base(t->a1) : "");
    }
}

static void local_path(const Task *t, const char *name, char *out, size_t size) {
    snprintf(out, size, "%s%s%s", t->ldir, t->ldir[0] ? "/" : "", name);
}

/* A get that does not resume writes into a hidden name beside its target
 * and takes the target's name only once it has succeeded: a download cut
 * short leaves an earlier local file as it was. */
static void use_temporary_name(Task *t) {
    static unsigned serial;
    snprintf(t->final_name, sizeof t->final_name, "%s", t->lname);
    snprintf(t->lname, sizeof t->lname, ".zubftp-%ld-%u.part", (long)getpid(), ++serial);
}

/* The get succeeded: its file takes the target's name (a download of no
 * byte may have made none). 0, or -1 (reported). */
static int keep_temporary(Task *t) {
    if (!t->final_name[0]) return 0;
    char from[1400], to[1400];
    local_path(t, t->lname, from, sizeof from);
    local_path(t, t->final_name, to, sizeof to);
    if (access(from, F_OK) != 0) {
        int fd = open(from, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) close(fd);
    }
    int r = rename(from, to);
    if (r != 0) {
        msg("%s: %s", to, strerror(errno));
        fail(EX_LOCAL);
        unlink(from);
    }
    snprintf(t->lname, sizeof t->lname, "%s", t->final_name);
    t->final_name[0] = 0;
    return r ? -1 : 0;
}

/* The get failed: its partial file goes, the target is not touched. */
static void drop_temporary(Task *t) {
    if (!t->final_name[0]) return;
    char from[1400];
    local_path(t, t->lname, from, sizeof from);
    unlink(from);
    snprintf(t->lname, sizeof t->lname, "%s", t->final_name);
    t->final_name[0] = 0;
}

/* A resumed get writes behind the partial local file: 0, or -1 (reported). */
static int resume_get(Chan *c, Task *t) {
    int64_t have = file_size(t->ldir, t->lname);
    if (have > (int64_t)UINT32_MAX) {
        /* The engine's restart offset is 32 bits: better no resume than a
         * REST that names another offset. */
        msg("%s: cannot resume behind 4 GiB", t->a1);
        fail(EX_LOCAL);
        return -1;
    }
    if (have > 0) {
        t->offset = have;
        zubSetInteger(c->ch, ZUB_SET_RESUME, 1);
        zubSetInteger(c->ch, ZUB_SET_RESTART_OFFSET, (uint32_t)have);
        /* The partial file is opened for writing, not appending: place the
         * writes behind what is there. */
        zubSetInteger(c->ch, ZUB_SET_APPEND_OFFSET, (uint32_t)have);
    }
    return 0;
}

/* XFER_ARM, run again for every try of the transfer: the engine uses up
 * the resume settings on each attempt, a refused one included. */
static enum Start arm_transfer(Chan *c, Task *t) {
    int get = t->kind == K_GET;
    char names[300];
    t->phase = XFER_MOVING;
    if (get) t->offset = 0;
    int r = zubSetLocalDir(c->ch, t->ldir);
    if (r < 0) {
        msg("%s: local directory not usable: %d", t->ldir, r);
        fail(EX_LOCAL);
        return START_FAILED;
    }
    if (get && opt.resume && resume_get(c, t)) return START_FAILED;
    if (!get && opt.resume) {
        /* The server's copy is the start of ours: send the rest. */
        zubSetInteger(c->ch, ZUB_SET_RESUME, 1);
        zubSetInteger(c->ch, ZUB_SET_APPEND_OFFSET, (uint32_t)t->offset);
    }
    if (snprintf(names, sizeof names, "%s" SEP "%s", get ? t->rname : t->lname, get ? t->lname : t->rname) >=
        (int)sizeof names) {
        msg("%s: name too long", t->rname);
        fail(EX_USAGE);
        return START_FAILED;
    }
    clock_gettime(CLOCK_MONOTONIC, &t->t0);
    return armed(c, t, get ? zubGetFile(c->ch, names) : zubPutFile(c->ch, names));
}

/* XFER_PREPARE: where the names go, and what size to expect, asked with
 * SIZE so that a refusal only costs the percentage. A put that does not
 * resume knows its size. */
static enum Start prepare_transfer(Chan *c, Task *t) {
    char local[1100], cmd[300];
    transfer_names(t, local, sizeof local);
    if (split_local(t, local)) {
        msg("%s: bad local name", local);
        fail(EX_USAGE);
        return START_FAILED;
    }
    if (!t->size_listed) t->size = -1;
    t->offset = 0;
    if (t->kind == K_GET && !opt.resume) use_temporary_name(t);
    if (t->kind == K_PUT) {
        t->size = file_size(t->ldir, t->lname);
        if (t->size < 0) {
            msg("%s: %s", local, strerror(errno));
            fail(EX_LOCAL);
            return START_FAILED;
        }
    }
    if ((t->kind == K_PUT && !opt.resume) || t->size_listed ||
        snprintf(cmd, sizeof cmd, "SIZE %s", t->rname) >= (int)sizeof cmd) {
        t->phase = XFER_ARM;
        return arm_transfer(c, t);
    }
    t->phase = XFER_SIZE;
    return armed(c, t, zubCommand(c->ch, cmd));
}

static enum Start start_transfer(Chan *c, Task *t) {
    if (t->phase == XFER_PREPARE) return prepare_transfer(c, t);
    if (t->phase == XFER_ARM) return arm_transfer(c, t);
    if (t->phase == XFER_TIME) return send_verb(c, t, "MDTM", t->rname);
    return START_COMPLETE;
}

/* --preserve-time: the MDTM reply becomes the local file's modification
 * time. The file itself is good either way: a time that cannot be had or
 * set is only said. */
static int take_time(Chan *c, Task *t) {
    char reply[1100], path[1400];
    time_t when;
    t->phase = XFER_DONE;
    reply_text(c->ch, reply, sizeof reply);
    local_path(t, t->lname, path, sizeof path);
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, 0}};
    if (strncmp(reply, "213 ", 4) || mdtm_time(reply + 4, &when)) {
        msg("get %s: no modification time in the reply: %s", t->a1, reply);
        return 0;
    }
    times[1].tv_sec = when;
    if (utimensat(AT_FDCWD, path, times, 0) != 0) msg("%s: cannot set its time: %s", path, strerror(errno));
    return 0;
}

/* The SIZE reply, "213 n": a get's whole size, a resumed put's offset. */
static int take_size(Chan *c, Task *t) {
    char reply[1100];
    long long v;
    reply_text(c->ch, reply, sizeof reply);
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
    t->phase = XFER_ARM;
    return 0;
}

/* A transfer the engine calls done moved what it should have. */
static int check_transfer(Chan *c, Task *t) {
    double secs = since(&t->t0);
    int get = t->kind == K_GET;
    t->done = (uint32_t)zubGetInteger(c->ch, get ? ZUB_GET_GET_BYTES : ZUB_GET_PUT_BYTES);
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
            msg("get %s: incomplete: %lld bytes received, %lld expected, local file holds %lld", t->a1,
                (long long)t->done, (long long)want, (long long)have);
        else
            msg("put %s: incomplete: %lld of %lld bytes sent", t->a1, (long long)t->done, (long long)want);
        fail(EX_CUT);
        drop_temporary(t);
        return -1;
    }
    if (keep_temporary(t)) return -1;
    report_transfer(t, secs);
    t->phase = get && opt.preserve_time ? XFER_TIME : XFER_DONE;
    return 0;
}

static int done_transfer(Chan *c, Task *t) {
    if (t->phase == XFER_SIZE) return take_size(c, t);
    if (t->phase == XFER_MOVING) return check_transfer(c, t);
    if (t->phase == XFER_TIME) return take_time(c, t);
    return 0;
}

/* ---- the table --------------------------------------------------------------------------------------- */
enum { NO_COMMAND = -1 };       /* min_args of the tool's own kinds: no word starts them */
enum { PHASED, ONE_OP };        /* how a kind counts its steps */

typedef struct {
    const char *name;        /* the command word, and the task's name in messages */
    int min_args, max_args;  /* arguments the command takes */
    int steps;               /* ONE_OP: ONE_START -> ONE_SENT; PHASED: the start follows enum Phase */
    enum Start (*start)(Chan *c, Task *t);
    int (*done)(Chan *c, Task *t);  /* 0 or -1 (reported); NULL: nothing to do */
} KindInfo;

static const KindInfo kinds[] = {
    [K_CONNECT] = {"connect", NO_COMMAND, NO_COMMAND, ONE_OP, start_connect, done_connect},
    [K_TYPE] = {"type", NO_COMMAND, NO_COMMAND, ONE_OP, start_type, NULL},
    [K_CWD] = {"cd", 1, 1, ONE_OP, start_cwd, NULL},
    [K_PWD] = {"pwd", 0, 0, ONE_OP, start_pwd, done_pwd},
    [K_LS] = {"ls", 0, 1, ONE_OP, start_list, done_list},
    [K_NLST] = {"nlst", 0, 1, ONE_OP, start_list, done_list},
    [K_GET] = {"get", 1, 2, PHASED, start_transfer, done_transfer},
    [K_PUT] = {"put", 1, 2, PHASED, start_transfer, done_transfer},
    [K_RM] = {"rm", 1, 1, ONE_OP, start_rm, NULL},
    [K_MKDIR] = {"mkdir", 1, 1, ONE_OP, start_mkdir, NULL},
    [K_RMDIR] = {"rmdir", 1, 1, ONE_OP, start_rmdir, NULL},
    [K_QUOTE] = {"quote", 1, 1, ONE_OP, start_quote, done_quote},
    [K_QUIT] = {"quit", NO_COMMAND, NO_COMMAND, ONE_OP, start_quit, NULL},
    [K_MV] = {"mv", 2, 2, PHASED, start_mv, NULL},
    [K_SIZE] = {"size", 1, 1, ONE_OP, start_size, done_size},
    [K_MTIME] = {"mtime", 1, 1, ONE_OP, start_mtime, done_mtime},
    /* mirror.c: run by run_tree, never started here. */
    [K_MIRROR] = {"mirror", 2, 2, ONE_OP, start_tree, NULL},
    [K_MGET] = {"mget", 1, 2, ONE_OP, start_tree, NULL},
    [K_MPUT] = {"mput", 1, 2, ONE_OP, start_tree, NULL},
};
#define NKINDS (sizeof kinds / sizeof kinds[0])

const char *kind_name(enum Kind k) { return kinds[k].name; }

/* ---- starting and ending operations ------------------------------------------------------------------ */
enum Start task_start(Chan *c) {
    Task *t = c->task;
    const KindInfo *k = &kinds[t->kind];
    if (t->not_before.tv_sec && since(&t->not_before) < 0) return START_WAIT;
    if (k->steps == ONE_OP) {
        if (t->phase != ONE_START) return START_COMPLETE;
        t->phase = ONE_SENT;
    }
    return k->start(c, t);
}

/* Whether the failed operation of c is tried again; if so its task is set
 * back to where the transfer command is armed anew. */
static int retry_data_refusal(Chan *c, int code) {
    Task *t = c->task;
    int list = t->kind == K_LS || t->kind == K_NLST;
    if (!opt.active || code != ZUB_E_SERVER_ERROR || zubGetInteger(c->ch, ZUB_GET_SERVER_CODE) != 425) return 0;
    if (!list && !(is_transfer(t) && t->phase == XFER_MOVING)) return 0;
    if (++t->tries >= DATA_TRIES || zubGetInteger(c->ch, ZUB_GET_CTRL_SOCK) <= 0) return 0;
    if (opt.verbose) {
        clear_progress_line();
        msg("channel %d: %s%s%s: the server could not connect to the data port (425); trying again (%d of %d)",
            c->ch, kind_name(t->kind), t->a1 ? " " : "", t->a1 ? t->a1 : "", t->tries + 1, DATA_TRIES);
    }
    /* A listing starts over; a transfer goes back to setting its offsets. */
    t->phase = list ? ONE_START : XFER_ARM;
    return 1;
}

/* --retry: whether the failed operation is tried again after a wait, and
 * if so the task is set back to the start of what failed. A connect is,
 * unless the server refused the login (5xx), the name did not resolve or
 * the encryption cannot be had or trusted; any other command when the
 * server answered 4xx (try later) on a session that is still open. The
 * waits double from 0.5 s, at most 30 s. */
static int retry_later(Chan *c, int code, const char *what) {
    Task *t = c->task;
    if (t->retries >= opt.retry) return 0;
    int server = zubGetInteger(c->ch, ZUB_GET_SERVER_CODE);
    if (t->kind == K_CONNECT) {
        if ((code == ZUB_E_SERVER_ERROR && server >= 500) || code == ZUB_E_CANNOT_COMPLY || code == -11001 ||
            code == ZUB_E_TLS_REFUSED || code == ZUB_E_TLS_UNAVAILABLE ||
            (code <= ZUB_E_TLS_UNTRUSTED && code >= ZUB_E_TLS_EXPIRED))
            return 0;
    } else if (code != ZUB_E_SERVER_ERROR || server < 400 || server >= 500 ||
               zubGetInteger(c->ch, ZUB_GET_CTRL_SOCK) <= 0 || (is_transfer(t) && t->phase != XFER_MOVING)) {
        return 0;
    }
    t->phase = is_transfer(t) ? XFER_ARM : t->kind == K_MV ? MV_FROM : ONE_START;
    double wait = 0.5;
    for (int i = 0; i < t->retries && wait < 30; ++i) wait *= 2;
    if (wait > 30) wait = 30;
    ++t->retries;
    clock_gettime(CLOCK_MONOTONIC, &t->not_before);
    t->not_before.tv_sec += (time_t)wait;
    t->not_before.tv_nsec += (long)((wait - (double)(time_t)wait) * 1e9);
    if (t->not_before.tv_nsec >= 1000000000L) t->not_before.tv_sec += 1, t->not_before.tv_nsec -= 1000000000L;
    char text[256], reply[1100] = "";
    error_text(c->ch, code, text, sizeof text);
    if (code == ZUB_E_SERVER_ERROR) reply_text(c->ch, reply, sizeof reply);
    msg("%s: %d %s%s%s%s [trying again in %.1f s, %d of %d]", what, code, text, reply[0] ? " (server: " : "",
        reply, reply[0] ? ")" : "", wait, t->retries, opt.retry);
    return 1;
}

/* An operation failed with code: 0 when the task goes on anyway. */
static int op_failed(Chan *c, int code) {
    Task *t = c->task;
    if (t->kind == K_QUIT) return 0;  /* the session is over either way */
    if (is_transfer(t) && t->phase == XFER_SIZE && code == ZUB_E_SERVER_ERROR) {
        t->phase = XFER_ARM;  /* SIZE refused: the size is simply unknown */
        return 0;
    }
    if (retry_data_refusal(c, code)) return 0;
    char what[600];
    if (t->kind == K_CONNECT)
        snprintf(what, sizeof what, "connect %s:%d", opt.host, opt.port);
    else
        snprintf(what, sizeof what, "%s%s%s", kind_name(t->kind), t->a1 ? " " : "", t->a1 ? t->a1 : "");
    clear_progress_line();
    if (t->kind == K_GET && t->phase == XFER_TIME) {
        /* The file is there and good; only its time is the local one. */
        msg("%s: the server gave no modification time", what);
        t->phase = XFER_DONE;
        return 0;
    }
    if (retry_later(c, code, what)) return 0;
    if (t->kind == K_GET) drop_temporary(t);
    report_error(c, what, code);
    if (t->tries >= DATA_TRIES)
        msg("%s: the server could not connect to the data port %d times in a row", what, t->tries);
    return -1;
}

int task_op_ended(Chan *c, int code) {
    if (code < 0) return op_failed(c, code);
    Task *t = c->task;
    if (opt.verbose) {
        char reply[1100];
        reply_text(c->ch, reply, sizeof reply);
        msg("channel %d: %s: %s", c->ch, kind_name(t->kind), reply);
    }
    return kinds[t->kind].done ? kinds[t->kind].done(c, t) : 0;
}

/* ---- command parsing ------------------------------------------------------------------------------------ */
#define MAX_WORDS 8

/* One command of nw words into t: 0, or -1 (reported). */
static int make_task(char **words, int nw, Task *t) {
    size_t k = 0;
    while (k < NKINDS && !(kinds[k].min_args != NO_COMMAND && !strcmp(words[0], kinds[k].name))) ++k;
    if (k == NKINDS) {
        msg("unknown command '%s'", words[0]);
        return -1;
    }
    if (k == K_MIRROR && tree_options(words, &nw, t)) return -1;
    if (nw - 1 < kinds[k].min_args || nw - 1 > kinds[k].max_args) {
        msg("%s: wrong number of arguments", words[0]);
        return -1;
    }
    t->kind = (enum Kind)k;
    t->a1 = nw > 1 ? words[1] : NULL;
    t->a2 = nw > 2 ? words[2] : NULL;
    return 0;
}

/* A ";" ends a command, as a word of its own (NULL: no word) or glued to
 * the end of one. */
static char *take_word(char *w, int *end) {
    if (!strcmp(w, ";")) {
        *end = 1;
        return NULL;
    }
    size_t len = strlen(w);
    if (len > 1 && w[len - 1] == ';') {
        w[len - 1] = 0;
        *end = 1;
    }
    return w;
}

/* Splits a line of a command file into words at blanks; '...' and "..."
 * keep blanks in a word. Words end up NUL-terminated in place; each is
 * passed to put. 0, or -1 for an unclosed quote. */
static int split_line(char *s, char **words, int *n) {
    while (*s) {
        while (*s == ' ' || *s == '\t') ++s;
        if (!*s) break;
        char *w = s, *o = s;
        while (*s && *s != ' ' && *s != '\t') {
            if (*s == '"' || *s == '\'') {
                char q = *s++;
                while (*s && *s != q) *o++ = *s++;
                if (*s != q) return -1;
                ++s;
            } else {
                *o++ = *s++;
            }
        }
        if (*s) ++s;
        *o = 0;
        words[(*n)++] = w;
    }
    return 0;
}

int read_command_file(const char *path, char ***words, int *n, char **text) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        msg("%s: %s", path, strerror(errno));
        return EX_LOCAL;
    }
    size_t len = 0, room = 4096;
    char *buf = malloc(room + 1);
    for (size_t got; buf && (got = fread(buf + len, 1, room - len, f)) > 0;) {
        len += got;
        if (len == room) {
            char *more = realloc(buf, 2 * room + 1);
            if (!more) free(buf);
            buf = more;
            room *= 2;
        }
    }
    fclose(f);
    if (!buf) return EX_LOCAL;
    buf[len] = 0;
    /* At most one word per two bytes, a ";" per line, and the command line's. */
    char **out = malloc((len + 2 + (size_t)*n) * sizeof *out);
    int count = 0, bad = !out || memchr(buf, 0, len) != NULL;
    for (char *line = buf, *next; !bad && line; line = next) {
        next = strchr(line, '\n');
        if (next) *next++ = 0;
        size_t l = strlen(line);
        if (l && line[l - 1] == '\r') line[l - 1] = 0;
        int before = count;
        if (line[strspn(line, " \t")] == '#') continue;  /* a comment */
        bad = split_line(line, out, &count);
        if (count > before) out[count++] = ";";
    }
    if (bad) {
        msg("%s: not a command file (a NUL byte, or a quote left open)", path);
        free(out);
        free(buf);
        return EX_USAGE;
    }
    for (int i = 0; i < *n; ++i) out[count++] = (*words)[i];
    *words = out;
    *n = count;
    *text = buf;
    return GO_ON;
}

int parse_commands(int argc, char **argv, Task **out, int *count) {
    Task *tasks = calloc((size_t)argc + 1, sizeof *tasks);
    char *words[MAX_WORDS];
    int n = 0, nw = 0, bad = 0;
    for (int i = 0; i <= argc && !bad; ++i) {
        int end = i == argc;
        char *w = end ? NULL : take_word(argv[i], &end);
        if (w && nw >= MAX_WORDS) break;
        if (w) words[nw++] = w;
        if (!end || nw == 0) continue;
        bad = make_task(words, nw, &tasks[n++]);
        nw = 0;
    }
    if (!bad && nw) msg("bad command list");
    if (!bad && !nw && !n) msg("no commands");
    if (bad || nw || !n) {
        free(tasks);
        return -1;
    }
    *out = tasks;
    *count = n;
    return 0;
}
