/* mirror.c - mirror, mget and mput: commands that find their files first.
 *
 * Each is a walk, then transfers. The walk runs on channel 0, one engine
 * operation at a time: it lists remote directories (MLSD where the server
 * has it, else LIST -a), reads local ones, makes the directories the
 * target lacks, removes what --delete asks for, and notes the files to
 * move. Then those files go out as a queue of ordinary get/put tasks over
 * --parallel sessions (run_generated in run.c), so that they are checked
 * and reported like any other transfer.
 *
 * A name from the server is only ever used as one path component: a name
 * that is empty, "." or "..", or holds '/', '\', NUL, CR, LF or the
 * engine's name separator is refused (said on stderr, exit status 7) and
 * the rest goes on.
 *
 * Divisions: channel 0 one operation at a time, remote listings, names
 * and paths, the plan of transfers, mirror down, mirror up, --delete,
 * mget and mput, the command's entry points.
 */
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "listing.h"
#include "zub32.h"
#include "zubftp.h"

#define LBUF_ROOM (16 * 1024 * 1024)
#define PIECE 4096  /* the engine stores a listing in pieces of at most this */

/* ---- channel 0, one operation at a time ------------------------------------------------------ */
/* Steps the operation that an engine call armed (r >= 0) to its end: 0, or
 * the engine's code. A step that moved nothing is followed by a short nap
 * after a few, as in run.c's loop. */
static int wait_op(Chan *c, int r) {
    if (r < 0) return r;
    int last = -1, idle = 0;
    for (;;) {
        r = zubDriver(c->ch);
        if (r == ZUB_PACING) continue;
        if (r <= 0) return r;
        if (r == last && ++idle > 4) {
            struct timespec ns = {0, 100000};
            nanosleep(&ns, NULL);
        } else if (r != last) {
            idle = 0;
        }
        last = r;
    }
}

/* Reports a failed operation of kind k on what, with the channel's reply. */
static void report_op(Chan *c, enum Kind k, const char *what, int code) {
    Task tmp = {.kind = k, .a1 = (char *)what};
    Task *keep = c->task;
    c->task = &tmp;
    report_error(c, what, code);
    c->task = keep;
}

/* ---- remote listings ----------------------------------------------------------------------------- */
static char *lbuf;       /* listings land here during a walk; zeroed again after each */
static int mlsd_asked;   /* the library knows setting 34 and it is on */
static int list_only;    /* the server answered MLSD with LIST: ask LIST -a from now on */

/* The listing's length. The engine stops copying a piece at a NUL byte but
 * goes on behind it, so text can follow a gap of zeros: it is cleared
 * here, and *cut says that the listing held a NUL. */
static size_t listing_length(int *cut) {
    size_t len = strlen(lbuf), pos = len;
    *cut = 0;
    for (;;) {
        size_t look = pos + 1, lim = pos + PIECE < LBUF_ROOM ? pos + PIECE : LBUF_ROOM;
        while (look < lim && !lbuf[look]) ++look;
        if (look >= lim) break;
        *cut = 1;
        size_t n = strnlen(lbuf + look, LBUF_ROOM - look);
        memset(lbuf + look, 0, n);
        pos = look + n;
    }
    return len;
}

/* Lists directory dir (CWD into it, then MLSD or LIST -a) into *out: 0,
 * or -1 (reported). */
static int list_remote(Chan *c, const char *dir, Listing *out) {
    int r = wait_op(c, zubSetServerDir(c->ch, dir));
    if (r < 0) {
        report_op(c, K_CWD, dir, r);
        return -1;
    }
    for (;;) {
        int mlsd = mlsd_asked && !list_only;
        const char *arg = mlsd ? "" : "-a";
        strcpy(lbuf, arg);
        r = wait_op(c, zubGetList(c->ch, mlsd ? ZUB_MLSD : ZUB_LIST_ARG, lbuf, LBUF_ROOM));
        if (r < 0) {
            report_op(c, K_LS, dir, r);
            memset(lbuf, 0, strlen(lbuf));
            return -1;
        }
        int format = zubGetInteger(c->ch, ZUB_GET_LIST_FORMAT);
        int cut, facts = mlsd && format == 1;
        size_t len = listing_length(&cut);
        if (mlsd && !facts) {
            /* LIST came instead: without -a it leaves out dot files. */
            list_only = 1;
            memset(lbuf, 0, len);
            continue;
        }
        if (cut) {
            msg("listing of %s holds a NUL byte: the rest of it is not used", dir);
            fail(EX_LOCAL);
        }
        if (len + PIECE >= LBUF_ROOM) {
            msg("listing of %s too long for the buffer", dir);
            fail(EX_REFUSED);
        }
        /* Every line of a listing ends in a line end. A last line without
         * one was cut short: by a NUL byte, whose piece the engine stores
         * only up to it, or by the end of the buffer. It is left out, and
         * so is the argument that an empty listing leaves in the buffer. */
        size_t whole = len, used = len;
        while (used && lbuf[used - 1] != '\n') --used;
        int bad = listing_parse(lbuf, used, facts, out);
        out->bad += used < whole && strcmp(lbuf, arg);
        memset(lbuf, 0, whole);
        if (bad) {
            msg("out of memory");
            fail(EX_LOCAL);
            return -1;
        }
        if (out->bad && opt.verbose) msg("%s: %d listing lines not understood", dir, out->bad);
        return 0;
    }
}

static const ListEntry *find_entry(const Listing *l, const char *name) {
    for (int i = 0; i < l->n; ++i)
        if (!strcmp(l->names[i], name) && strlen(l->names[i]) == l->items[i].name_len) return &l->items[i];
    return NULL;
}

/* ---- names and paths ---------------------------------------------------------------------------- */
/* Why a name cannot be one path component, NULL when it can. */
static const char *unsafe_name(const char *name, size_t n) {
    if (!n) return "empty";
    if ((n == 1 && name[0] == '.') || (n == 2 && name[0] == '.' && name[1] == '.')) return "a directory itself";
    for (size_t i = 0; i < n; ++i) {
        if (name[i] == '/' || name[i] == '\\') return "holds a slash";
        if (!name[i] || name[i] == '\r' || name[i] == '\n' || name[i] == SEP_CHAR) return "holds a control character";
    }
    return NULL;
}

/* "a/b" in a new string, with no doubled slash; "" leaves the other. */
static char *join(const char *a, const char *b) {
    size_t na = strlen(a), nb = strlen(b);
    char *p = malloc(na + nb + 2);
    if (!p) abort();
    int slash = na && nb && a[na - 1] != '/';
    memcpy(p, a, na);
    if (slash) p[na] = '/';
    memcpy(p + na + slash, b, nb + 1);
    return p;
}

/* mkdir -p: 0, or -1 (reported). */
static int make_local_dirs(const char *path) {
    char *p = join(path, "");
    for (char *s = p + 1;; ++s) {
        int end = !*s;
        if (*s != '/' && !end) continue;
        *s = 0;
        struct stat st;
        if (mkdir(p, 0777) && errno != EEXIST) break;
        if (stat(p, &st) || !S_ISDIR(st.st_mode)) break;
        if (end) {
            free(p);
            return 0;
        }
        *s = '/';
    }
    msg("%s: cannot make the directory: %s", p, strerror(errno ? errno : ENOTDIR));
    fail(EX_LOCAL);
    free(p);
    return -1;
}

/* ---- the plan of transfers ------------------------------------------------------------------------ */
typedef struct {
    Task *tasks;
    int64_t *mtimes;       /* a mirrored download's server time, -1 none */
    int n, cap;
    int same, removed, refused;
    int delete, up;        /* mirror's -R and --delete */
    const char *what;      /* the command's name, for messages */
} Plan;

static void refuse(Plan *p, const char *dir, const char *name, const char *why) {
    msg("%s: refused the server's name \"%s\" in %s (%s)", p->what, name, dir[0] ? dir : ".", why);
    fail(EX_LOCAL);
    ++p->refused;
}

/* A get (from remote to local) or a put (from local to remote); a get's
 * size from the listing (-1 unknown) spares the SIZE command. */
static void plan_transfer(Plan *p, enum Kind k, const char *from, const char *to, int64_t mtime, int64_t size) {
    if (p->n == p->cap) {
        p->cap = p->cap ? p->cap * 2 : 64;
        p->tasks = realloc(p->tasks, (size_t)p->cap * sizeof *p->tasks);
        p->mtimes = realloc(p->mtimes, (size_t)p->cap * sizeof *p->mtimes);
        if (!p->tasks || !p->mtimes) abort();
    }
    p->tasks[p->n] = (Task){.kind = k, .a1 = join(from, ""), .a2 = join(to, ""), .size = size,
                            .size_listed = k == K_GET && size >= 0};
    p->mtimes[p->n++] = mtime;
}

/* The transfers over the sessions; a mirrored download then gets the
 * server's time, so that the next mirror finds it the same. */
static void run_plan(Chan *chans, int nchan, Plan *p) {
    int moved = 0;
    long long bytes = 0;
    Task **items = malloc((size_t)(p->n ? p->n : 1) * sizeof *items);
    if (!items) abort();
    for (int i = 0; i < p->n; ++i) items[i] = &p->tasks[i];
    if (p->n) run_generated(chans, nchan, items, p->n);
    for (int i = 0; i < p->n; ++i) {
        Task *t = &p->tasks[i];
        if (t->phase != XFER_DONE) continue;
        ++moved;
        bytes += t->done;
        if (p->mtimes[i] >= 0) {
            struct timespec ts[2] = {{p->mtimes[i], 0}, {p->mtimes[i], 0}};
            utimensat(AT_FDCWD, t->a2, ts, 0);
        }
    }
    if (!opt.quiet)
        outf("%s: %d files moved (%lld bytes), %d the same, %d removed, %d refused\n", p->what, moved, bytes,
             p->same, p->removed, p->refused);
    for (int i = 0; i < p->n; ++i) free(p->tasks[i].a1), free(p->tasks[i].a2);
    free(items);
    free(p->tasks);
    free(p->mtimes);
}

/* ---- --delete --------------------------------------------------------------------------------------- */
static void removed(Plan *p, const char *path) {
    outf("removed %s\n", path);
    ++p->removed;
}

/* A local file, or a directory with all it holds. */
static void remove_local(Plan *p, const char *path) {
    struct stat st;
    if (lstat(path, &st)) return;
    if (S_ISDIR(st.st_mode)) {
        DIR *d = opendir(path);
        struct dirent *de;
        while (d && (de = readdir(d))) {
            if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
            char *sub = join(path, de->d_name);
            remove_local(p, sub);
            free(sub);
        }
        if (d) closedir(d);
    }
    if (S_ISDIR(st.st_mode) ? rmdir(path) : unlink(path)) {
        msg("%s: cannot remove: %s", path, strerror(errno));
        fail(EX_LOCAL);
        return;
    }
    removed(p, path);
}

/* What the local directory holds that the listing does not. */
static void delete_local_extras(Plan *p, const char *ldir, const Listing *l) {
    DIR *d = opendir(ldir);
    struct dirent *de;
    while (d && (de = readdir(d))) {
        if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..") || find_entry(l, de->d_name)) continue;
        char *path = join(ldir, de->d_name);
        remove_local(p, path);
        free(path);
    }
    if (d) closedir(d);
}

/* A remote file, or a directory with all it holds: files first, then the
 * emptied directories. */
static void remove_remote(Chan *c, Plan *p, const char *path, int dir, const char *home) {
    if (dir) {
        Listing l = {0};
        if (list_remote(c, path, &l)) {
            listing_free(&l);
            return;
        }
        for (int pass = 0; pass < 2; ++pass)
            for (int i = 0; i < l.n; ++i) {
                const ListEntry *e = &l.items[i];
                if ((e->type == ENTRY_DIR) != pass) continue;
                const char *why = unsafe_name(e->name, e->name_len);
                if (why) {
                    refuse(p, path, l.names[i], why);
                    continue;
                }
                char *sub = join(path, l.names[i]);
                remove_remote(c, p, sub, pass, home);
                free(sub);
            }
        listing_free(&l);
        /* Out of the directory before it goes. */
        wait_op(c, zubSetServerDir(c->ch, home));
    }
    int r = wait_op(c, dir ? zubDelServerDir(c->ch, path) : zubDelFile(c->ch, path));
    if (r < 0) {
        report_op(c, dir ? K_RMDIR : K_RM, path, r);
        return;
    }
    removed(p, path);
}

/* ---- mirror down ------------------------------------------------------------------------------------ */
typedef struct {
    char **items;
    int n, cap, next;
} Dirs;

static void push_dir(Dirs *q, char *rel) {
    if (q->n == q->cap) {
        q->cap = q->cap ? q->cap * 2 : 32;
        q->items = realloc(q->items, (size_t)q->cap * sizeof *q->items);
        if (!q->items) abort();
    }
    q->items[q->n++] = rel;
}

static void free_dirs(Dirs *q) {
    for (int i = 0; i < q->n; ++i) free(q->items[i]);
    free(q->items);
}

/* One remote entry against the local directory. */
static void mirror_down_entry(Plan *p, Dirs *q, const ListEntry *e, const char *name, const char *rel,
                              const char *rpath, const char *lpath) {
    char *lp = join(lpath, name), *rp = join(rpath, name);
    struct stat st;
    int have = lstat(lp, &st) == 0;
    if (e->type == ENTRY_DIR) {
        if (have && !S_ISDIR(st.st_mode)) {
            msg("mirror: %s: a directory on the server, not here", lp);
            fail(EX_LOCAL);
        } else if (have || !make_local_dirs(lp)) {
            push_dir(q, join(rel, name));
        }
    } else if (e->type == ENTRY_FILE) {
        if (have && !S_ISREG(st.st_mode)) {
            msg("mirror: %s: a file on the server, not here", lp);
            fail(EX_LOCAL);
        } else if (have && st.st_size == e->size && (!e->exact_mtime || st.st_mtime == e->mtime)) {
            ++p->same;
        } else {
            plan_transfer(p, K_GET, rp, lp, e->has_mtime ? e->mtime : -1, e->size);
        }
    } else if (opt.verbose) {
        msg("mirror: %s: not a plain file or directory, left out", rp);
    }
    free(lp);
    free(rp);
}

static void mirror_down(Chan *c, Plan *p, const char *rbase, const char *lbase) {
    Dirs q = {0};
    push_dir(&q, join("", ""));
    while (q.next < q.n) {
        const char *rel = q.items[q.next++];
        char *rpath = join(rbase, rel), *lpath = join(lbase, rel);
        Listing l = {0};
        /* The local top is made once the server's is known to be there. */
        int r = list_remote(c, rpath, &l);
        if (!r && q.next == 1) r = make_local_dirs(lbase);
        for (int i = 0; !r && i < l.n; ++i) {
            const char *why = unsafe_name(l.items[i].name, l.items[i].name_len);
            if (why)
                refuse(p, rpath, l.names[i], why);
            else
                mirror_down_entry(p, &q, &l.items[i], l.names[i], rel, rpath, lpath);
        }
        if (!r && p->delete) delete_local_extras(p, lpath, &l);
        listing_free(&l);
        free(rpath);
        free(lpath);
    }
    free_dirs(&q);
}

/* ---- mirror up -------------------------------------------------------------------------------------- */
/* The remote root of mirror -R: made with its parents when CWD cannot
 * enter it. 0, or -1 (reported). */
static int make_remote_root(Chan *c, const char *rbase) {
    if (wait_op(c, zubSetServerDir(c->ch, rbase)) >= 0) return 0;
    char *p = join(rbase, "");
    for (char *s = p + 1; *s; ++s) {
        if (*s != '/') continue;
        *s = 0;
        wait_op(c, zubMakeServerDir(c->ch, p));  /* most exist already */
        *s = '/';
    }
    int r = wait_op(c, zubMakeServerDir(c->ch, p));
    free(p);
    if (r < 0 && wait_op(c, zubSetServerDir(c->ch, rbase)) < 0) {
        report_op(c, K_MKDIR, rbase, r);
        return -1;
    }
    return 0;
}

/* A directory made in this run goes on the queue with a leading SEP_CHAR,
 * which no name holds. */
static char *marked_fresh(const char *rel) {
    size_t n = strlen(rel);
    char *p = malloc(n + 2);
    if (!p) abort();
    p[0] = SEP_CHAR;
    memcpy(p + 1, rel, n + 1);
    return p;
}

/* A local name that cannot go into a command line. */
static int unsendable(const char *name) { return strpbrk(name, "\r\n" SEP) != NULL; }

/* One local entry against the remote directory's listing. */
static void mirror_up_entry(Chan *c, Plan *p, Dirs *q, const Listing *l, const char *name, const char *rel,
                            const char *lpath, const char *rpath) {
    char *lp = join(lpath, name), *rp = join(rpath, name);
    struct stat st;
    const ListEntry *e = find_entry(l, name);
    if (unsendable(name)) {
        msg("mirror: %s: the name cannot be sent to the server", lp);
        fail(EX_LOCAL);
    } else if (lstat(lp, &st) == 0 && S_ISDIR(st.st_mode)) {
        /* Made now: known to be empty, no need to list it. A 550 may
         * mean it is there after all; the listing will tell. */
        int r = e ? 0 : wait_op(c, zubMakeServerDir(c->ch, rp));
        char *sub = join(rel, name);
        if (e && e->type != ENTRY_DIR) {
            msg("mirror: %s: a directory here, not on the server", lp);
            fail(EX_LOCAL);
        } else if (r < 0 && zubGetInteger(c->ch, ZUB_GET_SERVER_CODE) != 550) {
            report_op(c, K_MKDIR, rp, r);
        } else {
            push_dir(q, r == 0 && !e ? marked_fresh(sub) : join(sub, ""));
        }
        free(sub);
    } else if (stat(lp, &st) == 0 && S_ISREG(st.st_mode)) {
        if (e && e->type == ENTRY_FILE && e->size == st.st_size && !(e->exact_mtime && st.st_mtime > e->mtime))
            ++p->same;
        else
            plan_transfer(p, K_PUT, lp, rp, -1, -1);
    } else if (opt.verbose) {
        msg("mirror: %s: not a plain file or directory, left out", lp);
    }
    free(lp);
    free(rp);
}

static void mirror_up(Chan *c, Plan *p, const char *lbase, const char *rbase, const char *home) {
    Dirs q = {0};
    struct stat st;
    if (stat(lbase, &st) || !S_ISDIR(st.st_mode)) {
        msg("mirror: %s: not a directory", lbase);
        fail(EX_LOCAL);
        return;
    }
    if (make_remote_root(c, rbase)) return;
    push_dir(&q, join("", ""));
    while (q.next < q.n) {
        /* marked_fresh: a directory made in this run. */
        const char *item = q.items[q.next++];
        int fresh = item[0] == SEP_CHAR;
        const char *rel = item + fresh;
        char *rpath = join(rbase, rel), *lpath = join(lbase, rel);
        Listing l = {0};
        DIR *d = NULL;
        int r = fresh ? 0 : list_remote(c, rpath, &l);
        if (!r && !(d = opendir(lpath))) {
            msg("%s: %s", lpath, strerror(errno));
            fail(EX_LOCAL);
        }
        struct dirent *de;
        while (d && (de = readdir(d)))
            if (strcmp(de->d_name, ".") && strcmp(de->d_name, ".."))
                mirror_up_entry(c, p, &q, &l, de->d_name, rel, lpath, rpath);
        int read = d != NULL;
        if (d) closedir(d);
        for (int i = 0; read && p->delete && i < l.n; ++i) {
            const ListEntry *e = &l.items[i];
            char *lp = join(lpath, l.names[i]);
            const char *why = unsafe_name(e->name, e->name_len);
            if (why) {
                refuse(p, rpath, l.names[i], why);
            } else if (lstat(lp, &st)) {
                char *rp = join(rpath, l.names[i]);
                remove_remote(c, p, rp, e->type == ENTRY_DIR, home);
                free(rp);
            }
            free(lp);
        }
        listing_free(&l);
        free(rpath);
        free(lpath);
    }
    free_dirs(&q);
}

/* ---- mget and mput ---------------------------------------------------------------------------------- */
static void mget(Chan *c, Plan *p, const char *pattern, const char *ldir, const char *home) {
    const char *slash = strrchr(pattern, '/');
    const char *pat = slash ? slash + 1 : pattern;
    char *dir = slash ? strndup(pattern, (size_t)(slash - pattern + (slash == pattern))) : join("", "");
    char *where = dir[0] == '/' ? join(dir, "") : join(home, dir);
    Listing l = {0};
    int r = ldir[0] ? make_local_dirs(ldir) : 0;
    if (!r) r = list_remote(c, where, &l);
    int matched = 0;
    for (int i = 0; !r && i < l.n; ++i) {
        const ListEntry *e = &l.items[i];
        if ((e->type != ENTRY_FILE && e->type != ENTRY_LINK) || fnmatch(pat, l.names[i], FNM_PERIOD)) continue;
        ++matched;
        const char *why = unsafe_name(e->name, e->name_len);
        if (why) {
            refuse(p, where, l.names[i], why);
            continue;
        }
        char *rp = join(dir, l.names[i]), *lp = join(ldir, l.names[i]);
        plan_transfer(p, K_GET, rp, lp, -1, e->type == ENTRY_FILE ? e->size : -1);
        free(rp);
        free(lp);
    }
    if (!r && !matched) {
        msg("mget %s: no match", pattern);
        fail(EX_REFUSED);
    }
    listing_free(&l);
    free(dir);
    free(where);
}

static void mput(Plan *p, const char *pattern, const char *rdir) {
    glob_t g;
    int matched = 0;
    if (glob(pattern, 0, NULL, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            struct stat st;
            if (stat(g.gl_pathv[i], &st) || !S_ISREG(st.st_mode)) continue;
            ++matched;
            const char *base = strrchr(g.gl_pathv[i], '/');
            base = base ? base + 1 : g.gl_pathv[i];
            if (unsendable(base)) {
                msg("mput: %s: the name cannot be sent to the server", g.gl_pathv[i]);
                fail(EX_LOCAL);
                continue;
            }
            char *rp = join(rdir, base);
            plan_transfer(p, K_PUT, g.gl_pathv[i], rp, -1, -1);
            free(rp);
        }
        globfree(&g);
    }
    if (!matched) {
        msg("mput %s: no match", pattern);
        fail(EX_LOCAL);
    }
}

/* ---- the commands' entry points --------------------------------------------------------------------- */
int is_tree(const Task *t) { return t->kind == K_MIRROR || t->kind == K_MGET || t->kind == K_MPUT; }

enum Start start_tree(Chan *c, Task *t) {
    (void)c, (void)t;
    return START_FAILED;  /* run_tree runs these, never the task loop */
}

int tree_options(char **words, int *nw, Task *t) {
    while (*nw > 1 && words[1][0] == '-') {
        if (!strcmp(words[1], "-R"))
            t->tree |= TREE_UP;
        else if (!strcmp(words[1], "--delete"))
            t->tree |= TREE_DELETE;
        else {
            msg("mirror: unknown option '%s'", words[1]);
            return -1;
        }
        memmove(words + 1, words + 2, (size_t)(*nw - 2) * sizeof *words);
        --*nw;
    }
    return 0;
}

/* The session's directory, which the walk leaves and comes back to. */
static char *session_dir(Chan *c) {
    char unused[300], dir[1100];
    if (wait_op(c, zubGetServerDir(c->ch, unused, sizeof unused)) < 0) return join("", "");
    int n = zubGetString(c->ch, ZUB_STR_SERVER_DIR, dir, (int)sizeof dir - 1);
    dir[n > 0 && n < (int)sizeof dir ? n : 0] = 0;
    return join(dir, "");
}

/* A remote path made absolute against home, without a trailing slash. */
static char *remote_base(const char *home, const char *path) {
    char *p = path[0] == '/' ? join(path, "") : join(home, path);
    for (size_t n = strlen(p); n > 1 && p[n - 1] == '/';) p[--n] = 0;
    return p;
}

void run_tree(Chan *chans, int nchan, Task *t) {
    Chan *c = &chans[0];
    /* Fresh zeroed pages each time: the memory costs nothing until used. */
    if (!(lbuf = calloc(1, LBUF_ROOM))) {
        msg("out of memory");
        fail(EX_LOCAL);
        return;
    }
    mlsd_asked = zubSetInteger(c->ch, ZUB_SET_MLSD, 1) == 1;
    Plan p = {.what = kind_name(t->kind), .delete = !!(t->tree & TREE_DELETE), .up = !!(t->tree & TREE_UP)};
    char *home = session_dir(c);
    if (t->kind == K_MIRROR) {
        char *rbase = remote_base(home, p.up ? t->a2 : t->a1);
        if (p.up)
            mirror_up(c, &p, t->a1, rbase, home);
        else
            mirror_down(c, &p, rbase, t->a2);
        free(rbase);
    } else if (t->kind == K_MGET) {
        mget(c, &p, t->a1, t->a2 ? t->a2 : "", home);
    } else {
        mput(&p, t->a1, t->a2 ? t->a2 : "");
    }
    if (home[0] && t->kind != K_MPUT) wait_op(c, zubSetServerDir(c->ch, home));
    free(home);
    free(lbuf);
    lbuf = NULL;
    run_plan(chans, nchan, &p);
}
