/* zubftp.h - the types and functions the files of zubftp share.
 *
 * Every channel runs with AUTO_CALL off and is stepped from the one loop in
 * run.c, so a single session and --parallel N share the same code: a
 * channel is either busy with one engine operation or takes its next task.
 *
 * Files: main.c (the order of things), options.c (options and URL),
 * credentials.c (password file, environment, ~/.netrc), tasks.c (the task
 * kinds: what each starts and what each operation's end means), run.c (the
 * stepping loop and the channels' setup), report.c (terminal-safe output,
 * error texts, exit statuses, progress).
 *
 * Divisions: exit statuses, options, tasks and channels, then each file's
 * functions.
 */
#ifndef ZUBFTP_H
#define ZUBFTP_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

/* ---- exit statuses ------------------------------------------------------------------- */
enum {
    EX_OK = 0, EX_USAGE = 2, EX_CONNECT = 3, EX_LOGIN = 4, EX_REFUSED = 5,
    EX_TIMEOUT = 6, EX_LOCAL = 7, EX_CUT = 8
};
/* Returned by the steps of main where the run goes on, never an exit status. */
#define GO_ON (-1)

/* ---- options ------------------------------------------------------------------------- */
typedef struct {
    int active;            /* --active: the server connects to us */
    int ascii;             /* --ascii: TYPE A instead of TYPE I */
    int resume;            /* --resume: REST for a get, APPE for a put */
    int quiet, verbose;    /* -q, -v */
    int parallel;          /* --parallel: sessions for a run of transfers */
    int block;             /* --block-size: upload block */
    int library_defaults;  /* --library-defaults: no bulk path, the library's pauses */
    int tls;               /* ZUB_TLS_NONE, _EXPLICIT (--tls) or _IMPLICIT (ftps://) */
    int epsv;              /* --epsv */
    int insecure;          /* --insecure: the certificate is not checked */
    long timeout_ms;       /* --timeout; 0: the library's own waits */
    int preserve_time;     /* --preserve-time: a get takes the server's modification time */
    int retry;             /* --retry N: tries after the first for a failed connect or a 4xx reply */
    int64_t limit_rate;    /* --limit-rate: bytes per second per transfer, 0 no limit */
    int family;            /* ZUB_SET_ADDRESS_FAMILY: 1 any (default), 0 with -4, 2 with -6 */
    const char *log, *password_file, *cacert;  /* --log, --password-file, --cacert */
    const char *command_file;  /* -f FILE: commands, one a line */
    char host[256];        /* from the URL */
    char user[256], pass[256];  /* from the URL, completed by credentials.c */
    char dir[1024];        /* the URL's path, relative to the login directory */
    int port;              /* the URL's, else the scheme's */
    int have_user, have_pass;  /* given, an empty password included */
} Options;

extern Options opt;

#define MAX_CHANNELS 32

/* Names go to the engine as "first<SEP>second"; 1 never occurs in a file
 * name, so a ':' in a name is just a character. */
#define SEP_CHAR 1
#define SEP "\001"

/* ---- tasks and channels ------------------------------------------------------------------ */
enum Kind {
    K_CONNECT, K_TYPE, K_CWD, K_PWD, K_LS, K_NLST, K_GET, K_PUT, K_RM, K_MKDIR, K_RMDIR, K_QUOTE, K_QUIT,
    K_MV, K_SIZE, K_MTIME, K_MIRROR, K_MGET, K_MPUT
};

/* Where a task stands. A task of one engine operation goes ONE_START ->
 * ONE_SENT; a get or put asks the size first (XFER_SIZE), then arms the
 * transfer (XFER_ARM, again for each try after a 425), moves the data
 * (XFER_MOVING), is checked, and with --preserve-time a get asks the
 * server's time (XFER_TIME) before it is done (XFER_DONE). mv goes
 * MV_FROM -> MV_TO -> MV_DONE. */
enum Phase {
    ONE_START = 0, ONE_SENT = 1,
    XFER_PREPARE = 0, XFER_SIZE = 1, XFER_ARM = 2, XFER_MOVING = 3, XFER_DONE = 4, XFER_TIME = 5,
    MV_FROM = 0, MV_TO = 1, MV_DONE = 2
};

/* What starting a task's next step gave; START_WAIT: not before
 * the task's not_before (a --retry waits). */
enum Start { START_BUSY, START_COMPLETE, START_FAILED, START_WAIT };

typedef struct {
    enum Kind kind;
    char *a1, *a2;       /* arguments as given; a2 may be NULL */
    enum Phase phase;    /* next engine operation of this task */
    int64_t size;        /* expected total size of the file, -1 unknown */
    int64_t offset;      /* resume offset */
    int64_t done;        /* bytes moved this time */
    char ldir[1024];     /* local directory, "" = current */
    char lname[256];     /* local name within ldir (a get's temporary name while it runs) */
    char final_name[256];  /* a get into a temporary name: the name it gets on success, else "" */
    char rname[1024];    /* remote name */
    struct timespec t0;  /* when the transfer started */
    int silent;          /* pwd: only note the directory */
    int tries;           /* data connections the server could not open (425) */
    int size_listed;     /* a get whose size the listing gave: no SIZE is asked */
    int retries;         /* --retry: tries made again so far */
    struct timespec not_before;  /* --retry: the next try waits until then (0: no wait) */
    int tree;            /* mirror: TREE_UP (-R), TREE_DELETE (--delete) */
} Task;

#define OWN_MAX 3  /* a channel's own prelude: connect, type, cwd */

typedef struct {
    int ch;               /* the library's channel number */
    int busy;             /* an engine operation is under way */
    int dead;             /* takes no more tasks */
    int connected;        /* logged in once */
    int last_state;       /* what the driver last returned */
    int64_t last_bytes;   /* transfer counter at the last step */
    Task *task;           /* current task */
    Task own[OWN_MAX];    /* the channel's own prelude */
    int own_n, own_i;     /* tasks in own, the next one to take */
} Chan;

typedef struct {
    Task **items;
    int n, next;
} Queue;

/* ---- options.c ----------------------------------------------------------------------------- */
/* Options, URL and their checks; *first is set to the URL's index. GO_ON,
 * or the exit status (EX_OK after --help). */
int parse_command_line(int argc, char **argv, int *first);

/* ---- credentials.c ------------------------------------------------------------------------ */
/* Fills in the user and password the URL left out: EX_OK or an exit status. */
int settle_credentials(void);

/* ---- tasks.c ----------------------------------------------------------------------------------- */
const char *kind_name(enum Kind k);
int is_transfer(const Task *t);
/* The commands of -f FILE, then those of the command line (*words, *n),
 * as words into *words (malloc'd, pointing into *text): GO_ON, or the
 * exit status (reported). */
int read_command_file(const char *path, char ***words, int *n, char **text);
/* The commands after the URL into *out (calloc'd): 0, or -1 (reported). */
int parse_commands(int argc, char **argv, Task **out, int *count);
int tasks_open(void);   /* 0, or -1 when the listing buffer cannot be had */
void tasks_close(void);
/* Starts the task's next engine operation. */
enum Start task_start(Chan *c);
/* The operation under way on c ended with code (0 or < 0): 0 the task goes
 * on, -1 it has failed (reported). */
int task_op_ended(Chan *c, int code);
/* The directory the last pwd found, "" after forget_server_dir. */
char *server_dir(void);
void forget_server_dir(void);

/* ---- run.c -------------------------------------------------------------------------------------- */
/* Attaches nchan channels and makes the library's and each channel's
 * settings: GO_ON, or the exit status (reported). */
int open_channels(Chan *chans, int nchan);
/* The logins and the commands in order on chans[0], runs of transfers
 * spread over the other channels. */
void run_commands(Chan *chans, int nchan, Task *tasks, int ntasks);
void quit_sessions(Chan *chans, int nchan);

/* ---- mirror.c: mirror, mget, mput ------------------------------------------------------------- */
enum { TREE_UP = 1, TREE_DELETE = 2 };
int is_tree(const Task *t);  /* mirror, mget or mput: run by run_tree */
/* mirror's own options (-R, --delete) out of words into t: 0, or -1 (reported). */
int tree_options(char **words, int *nw, Task *t);
enum Start start_tree(Chan *c, Task *t);
/* The walk on chans[0], then the transfers it found over the sessions. */
void run_tree(Chan *chans, int nchan, Task *t);
/* run.c: generated transfers over up to nchan sessions, going on after a failure. */
void run_generated(Chan *chans, int nchan, Task **items, int n);

/* ---- report.c ----------------------------------------------------------------------------------- */
void init_terminals(void);
void out_text(const char *text, size_t n);  /* the server's text to stdout */
void outf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void msg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void fail(int status);
int failure(void);   /* the first exit status that is not 0 */
void report_error(Chan *c, const char *what, int code);
void reply_text(int ch, char *buf, int size);
const char *tls_version_name(int version);
/* The engine's text for code on one line (no trailing blanks). */
void error_text(int ch, int code, char *text, int size);
double since(const struct timespec *t0);
void clear_progress_line(void);
void draw_progress(Chan *chans, int nchan, int force);
void report_transfer(const Task *t, double secs);

#endif /* ZUBFTP_H */
