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
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <libgen.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

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
    size_t n = strlen(list_buf);
    out_text(list_buf, n);
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
    t->size = -1;
    t->offset = 0;
    if (t->kind == K_PUT) {
        t->size = file_size(t->ldir, t->lname);
        if (t->size < 0) {
            msg("%s: %s", local, strerror(errno));
            fail(EX_LOCAL);
            return START_FAILED;
        }
    }
    if ((t->kind == K_PUT && !opt.resume) || snprintf(cmd, sizeof cmd, "SIZE %s", t->rname) >= (int)sizeof cmd) {
        t->phase = XFER_ARM;
        return arm_transfer(c, t);
    }
    t->phase = XFER_SIZE;
    return armed(c, t, zubCommand(c->ch, cmd));
}

static enum Start start_transfer(Chan *c, Task *t) {
    if (t->phase == XFER_PREPARE) return prepare_transfer(c, t);
    if (t->phase == XFER_ARM) return arm_transfer(c, t);
    return START_COMPLETE;
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
        return -1;
    }
    report_transfer(t, secs);
    t->phase = XFER_DONE;
    return 0;
}

static int done_transfer(Chan *c, Task *t) {
    if (t->phase == XFER_SIZE) return take_size(c, t);
    if (t->phase == XFER_MOVING) return check_transfer(c, t);
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
    if (bad || nw || !n) {
        free(tasks);
        return -1;
    }
    *out = tasks;
    *count = n;
    return 0;
}
