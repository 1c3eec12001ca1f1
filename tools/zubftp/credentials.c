/* credentials.c - the user and password for the login.
 *
 * In this order: the URL's (options.c), --password-file, $ZUBFTP_PASSWORD,
 * ~/.netrc; with no user at all, anonymous.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zubftp.h"

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

/* What a netrc file gives for our host. */
typedef struct {
    int found;            /* an entry matched */
    int any_pass;         /* the file holds a password somewhere */
    char login[256], pass[256];  /* the matching entry's */
} NetrcEntry;

/* Reads the whole file, since a password anywhere in it asks for care:
 * the first entry for our host (or "default") whose login matches the user
 * given, or any login when none was. */
static NetrcEntry scan_netrc(FILE *f) {
    NetrcEntry e = {0};
    char tok[256], machine[256] = "", login[256] = "", pass[256] = "";
    int in = 0;
    for (;;) {
        int more = fscanf(f, "%255s", tok) == 1;
        int boundary = !more || !strcmp(tok, "machine") || !strcmp(tok, "default");
        if (boundary && in && !e.found && (!opt.have_user || !strcmp(login, opt.user)) && (login[0] || pass[0])) {
            e.found = 1;
            strcpy(e.login, login);
            strcpy(e.pass, pass);
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
            e.any_pass = 1;
        }
    }
    return e;
}

/* ~/.netrc gives the password, and the user when none was given. EX_USAGE
 * when the file holds a password and is not safe (see netrc_exposed). */
static int read_netrc(void) {
    const char *home = getenv("HOME");
    char path[1024];
    if (!home) return EX_OK;
    snprintf(path, sizeof path, "%s/.netrc", home);
    FILE *f = fopen(path, "r");
    if (!f) return EX_OK;
    NetrcEntry e = scan_netrc(f);
    int exposed = e.any_pass && netrc_exposed(f, path);
    fclose(f);
    if (exposed) return EX_USAGE;
    if (!e.found) return EX_OK;
    if (!opt.have_user && e.login[0]) {
        snprintf(opt.user, sizeof opt.user, "%s", e.login);
        opt.have_user = 1;
    }
    if (opt.have_user && e.pass[0]) {
        snprintf(opt.pass, sizeof opt.pass, "%s", e.pass);
        opt.have_pass = 1;
    }
    return EX_OK;
}

int settle_credentials(void) {
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
