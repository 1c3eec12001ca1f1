/* run.c - the channels and the one loop that steps them.
 *
 * Divisions: the channels' setup, the stepping loop, the order of the
 * commands over the channels, the end of the sessions.
 */
#define _POSIX_C_SOURCE 200809L
#include <string.h>

#include "zub32.h"
#include "zubftp.h"

/* ---- the channels' setup ------------------------------------------------------------------ */
/* Library-wide: waits, block size, pacing nap, name separator, and unless
 * --library-defaults the pauses taken out. Made through channel 0, so its
 * log shows them. */
static void set_library(void) {
    zubSetInteger(0, ZUB_SET_SLEEP_TIME, 1);
    zubSetInteger(0, ZUB_SET_BLOCK_SIZE, (uint32_t)opt.block);
    zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, SEP_CHAR);
    if (!opt.library_defaults) {
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
}

/* Large pieces for binary file data on channel ch: GO_ON, or the exit
 * status (reported). A library without the bulk path answers -1 and is
 * used as it is; any other refusal is its buffers not to be had. */
static int set_bulk(int ch) {
    static int told;
    int r = zubSetInteger(ch, ZUB_SET_BULK, 1);
    if (r == -1) {
        if (!told && !opt.quiet) msg("note: this zub32 library has no bulk path; transfers use its blocks");
        told = 1;
        return GO_ON;
    }
    if (r < 0) {
        msg("channel %d: bulk transfers: %d", ch, r);
        return EX_LOCAL;
    }
    return GO_ON;
}

/* Channel ch's settings, its log opened first so that it shows them:
 * GO_ON, or the exit status (reported). */
static int set_channel(Chan *x, int ch) {
    x->ch = ch;
    if (opt.log) {
        char path[1100];
        snprintf(path, sizeof path, ch ? "%s.%d" : "%s", opt.log, ch);
        if (zubSetString(ch, ZUB_STR_OPEN_LOG, path) <= 0) msg("%s: cannot open log", path);
    }
    zubSetInteger(ch, ZUB_SET_AUTO_CALL, ZUB_AUTO_CALL_OFF);
    /* Encryption and EPSV are channel settings: every session needs them
     * before it connects. A library that does not know a setting answers
     * -1; going on would mean clear text. */
    int verify = opt.insecure ? 0 : 1;
    if ((opt.tls && (zubSetInteger(ch, ZUB_SET_SECURITY, (uint32_t)opt.tls) != opt.tls ||
                     zubSetInteger(ch, ZUB_SET_VERIFY, (uint32_t)verify) != verify)) ||
        (opt.epsv && zubSetInteger(ch, ZUB_SET_EPSV, 1) != 1)) {
        msg("this zub32 library does not know the %s settings", opt.tls ? "TLS" : "EPSV");
        return EX_USAGE;
    }
    if (opt.cacert) zubSetString(ch, ZUB_STR_CA_FILE, opt.cacert);
    /* Either family as the name resolves; a library without the setting
     * reaches IPv4 only, which -6 cannot take. */
    if (zubSetInteger(ch, ZUB_SET_ADDRESS_FAMILY, (uint32_t)opt.family) != opt.family && opt.family == 2) {
        msg("this zub32 library has no IPv6: -6 cannot work");
        return EX_USAGE;
    }
    /* A rate limit wants the data in small pieces. */
    return opt.library_defaults || opt.limit_rate ? GO_ON : set_bulk(ch);
}

int open_channels(Chan *chans, int nchan) {
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
    for (int c = 0; c < nchan; ++c) {
        int st = set_channel(&chans[c], c);
        if (st != GO_ON) {
            zubRelease();
            return st;
        }
    }
    set_library();
    return GO_ON;
}

/* ---- the stepping loop ---------------------------------------------------------------------- */
static int is_own(const Chan *c) { return c->task >= c->own && c->task < c->own + OWN_MAX; }

/* Gives c its next task (its own prelude first) and starts it, until one
 * is under way or none is left. With stop_on_error nothing is taken from
 * q after a failure. */
static void feed(Chan *c, Queue *q, int stop_on_error, int *failed) {
    while (!c->busy && !c->dead) {
        if (!c->task) {
            if (c->own_i < c->own_n)
                c->task = &c->own[c->own_i++];
            else if (q->next < q->n && !(stop_on_error && *failed))
                c->task = q->items[q->next++];
            else
                break;
        }
        enum Start r = task_start(c);
        if (r == START_WAIT) break;  /* the task stays, for a later round */
        if (r == START_BUSY) {
            c->busy = 1;
            continue;
        }
        if (r == START_FAILED) {
            ++*failed;
            if (is_own(c)) c->dead = 1;
        }
        c->task = NULL;
    }
}

/* --limit-rate: a transfer that is ahead of its rate is not stepped. */
static int held_back(const Chan *c) {
    const Task *t = c->task;
    if (!opt.limit_rate || !t || !is_transfer(t) || t->phase != XFER_MOVING) return 0;
    double moved = (uint32_t)zubGetInteger(c->ch, t->kind == K_GET ? ZUB_GET_GET_BYTES : ZUB_GET_PUT_BYTES);
    return moved > (double)opt.limit_rate * since(&t->t0);
}

/* One driver step of a busy channel: 1 when something moved. */
static int step(Chan *c, int *failed) {
    int r = zubDriver(c->ch);
    if (r == ZUB_PACING) return 0;  /* the engine slept for us */
    if (r > 0) {
        /* A state that returns itself with no byte moved is waiting on the
         * network. */
        int64_t b = (int64_t)zubGetInteger(c->ch, ZUB_GET_GET_BYTES) + zubGetInteger(c->ch, ZUB_GET_PUT_BYTES);
        int moved = r != c->last_state || b != c->last_bytes;
        c->last_state = r;
        c->last_bytes = b;
        return moved;
    }
    c->busy = 0;
    if (task_op_ended(c, r) < 0) {
        ++*failed;
        if (is_own(c) || zubGetInteger(c->ch, ZUB_GET_CTRL_SOCK) <= 0) c->dead = 1;
        c->task = NULL;
    }
    return 1;
}

/* Rounds in which nobody moved before the loop naps, and the nap: a loop
 * that spins takes the processor from a server on the same machine (20
 * small files: 50 ms this way, 75 ms after 32 rounds and 1 ms naps). */
#define IDLE_SPINS 4
#define IDLE_NAP_NS 100000
#define WAIT_NAP_NS 1000000
/* Runs until every channel has nothing more to do. A channel whose own
 * prelude (login, type, directory) fails takes no more work; a failed task
 * on a channel that is still logged in lets the channel go on. */
static void run_tasks(Chan *chans, int nchan, Queue *q, int stop_on_error) {
    int failed = 0, idle_rounds = 0;
    for (;;) {
        int any = 0, progress = 0, waiting = 0;
        for (int i = 0; i < nchan; ++i) {
            Chan *c = &chans[i];
            feed(c, q, stop_on_error, &failed);
            if (!c->busy) {
                /* A task left on an idle channel waits to be tried again. */
                if (c->task && !c->dead) any = waiting = 1;
                continue;
            }
            any = 1;
            if (held_back(c)) {
                waiting = 1;
                continue;
            }
            progress |= step(c, &failed);
        }
        draw_progress(chans, nchan, 0);
        if (!any) break;
        /* Nobody moved: a short nap instead of spinning on empty sockets,
         * a longer one when what is left waits for the clock. */
        if (progress) {
            idle_rounds = 0;
        } else if (++idle_rounds > IDLE_SPINS) {
            struct timespec ns = {0, waiting ? WAIT_NAP_NS : IDLE_NAP_NS};
            nanosleep(&ns, NULL);
        }
    }
}

/* Runs only the channels' own preludes. */
static void run_own(Chan *chans, int nchan, int stop_on_error) {
    Queue none = {NULL, 0, 0};
    run_tasks(chans, nchan, &none, stop_on_error);
}

/* ---- the order of the commands ------------------------------------------------------------------ */
#define BATCH_MAX 512

/* Readies channels 1.. for a run of jobs transfers: logged in and in
 * channel 0's current directory. Returns how many channels take part. */
static int join_channel0(Chan *chans, int nchan, int jobs) {
    Chan *c0 = &chans[0];
    c0->own[0] = (Task){.kind = K_PWD, .silent = 1};
    c0->own_n = 1;
    c0->own_i = 0;
    forget_server_dir();
    run_own(chans, 1, 1);
    int width = jobs < nchan ? jobs : nchan;
    for (int c = 1; c < width; ++c) {
        Chan *x = &chans[c];
        x->own_n = x->own_i = 0;
        if (!x->connected && !x->dead) {
            x->own[x->own_n++] = (Task){.kind = K_CONNECT};
            x->own[x->own_n++] = (Task){.kind = K_TYPE};
        }
        if (server_dir()[0]) x->own[x->own_n++] = (Task){.kind = K_CWD, .a1 = server_dir()};
    }
    return width;
}

/* The commands from tasks[k] on that go out together: a run of transfers
 * when there are channels for it, else the one command. Returns the index
 * behind them. */
static int run_batch(Chan *chans, int nchan, Task *tasks, int k, int ntasks) {
    Task *items[BATCH_MAX];
    Queue q = {items, 0, 0};
    int end = k + 1;
    if (is_tree(&tasks[k])) {
        run_tree(chans, nchan, &tasks[k]);
        return k + 1;
    }
    while (nchan > 1 && end < ntasks && is_transfer(&tasks[k]) && is_transfer(&tasks[end])) ++end;
    for (int m = k; m < end && q.n < BATCH_MAX; ++m) q.items[q.n++] = &tasks[m];
    int width = q.n > 1 ? join_channel0(chans, nchan, q.n) : 1;
    run_tasks(chans, width, &q, 1);
    draw_progress(chans, width, 1);
    return k + q.n;
}

void run_generated(Chan *chans, int nchan, Task **items, int n) {
    Queue q = {items, n, 0};
    int width = n > 1 ? join_channel0(chans, nchan, n) : 1;
    run_tasks(chans, width, &q, 0);
    draw_progress(chans, width, 1);
}

/* The most transfers in a row: how many sessions a run can use. */
static int longest_run(const Task *tasks, int ntasks) {
    int longest = 1, run = 0;
    for (int k = 0; k < ntasks; ++k) {
        run = is_transfer(&tasks[k]) ? run + 1 : 0;
        if (run > longest) longest = run;
    }
    return longest;
}

void run_commands(Chan *chans, int nchan, Task *tasks, int ntasks) {
    /* Channel 0: login, type, the URL's directory, then the commands in
     * order. The other sessions a run of transfers will use log in at the
     * same time: a login costs the server far more than a small file, and
     * paid only when the run begins it would come on top of the run. */
    int early = longest_run(tasks, ntasks);
    if (early > nchan) early = nchan;
    for (int c = 0; c < early; ++c) {
        Chan *x = &chans[c];
        x->own_n = x->own_i = 0;
        x->own[x->own_n++] = (Task){.kind = K_CONNECT};
        x->own[x->own_n++] = (Task){.kind = K_TYPE};
        if (opt.dir[0]) x->own[x->own_n++] = (Task){.kind = K_CWD, .a1 = opt.dir};
    }
    Chan *c0 = &chans[0];
    run_own(chans, early, 1);
    for (int k = 0; k < ntasks && !failure() && !c0->dead;) k = run_batch(chans, nchan, tasks, k, ntasks);
}

/* ---- the end of the sessions -------------------------------------------------------------------- */
#define QUIT_WAIT_MS 1000

/* QUIT on every session at once, then let go: zubClose lingers 250 ms per
 * control socket with the whole loop waiting, zubRelease does not. The
 * session is over whatever QUIT gets, so its reply is waited for at most
 * QUIT_WAIT_MS: after a server that stopped answering, not a whole
 * --timeout again. The reply waits are library settings; nothing runs on
 * the library after this, so they are not put back. */
void quit_sessions(Chan *chans, int nchan) {
    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, QUIT_WAIT_MS);  /* never above --timeout: 1 s at the least */
    zubSetInteger(0, ZUB_SET_REPLY_LINE_WAIT, QUIT_WAIT_MS);
    for (int c = 0; c < nchan; ++c) {
        chans[c].own_n = chans[c].own_i = 0;
        chans[c].task = NULL;
        if (chans[c].connected && zubGetInteger(c, ZUB_GET_CTRL_SOCK) > 0) {
            chans[c].dead = 0;
            chans[c].own[chans[c].own_n++] = (Task){.kind = K_QUIT};
        }
    }
    run_own(chans, nchan, 0);
}
