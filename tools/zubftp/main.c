/* main.c - zubftp, a command-line FTP client on the public zub32 interface.
 *
 * The order of a run: options and URL, the command list, the credentials,
 * the channels, the commands, QUIT. See zubftp.h for the files.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdlib.h>
#include <string.h>

#include "zub32.h"
#include "zubftp.h"

/* Extra sessions only pay off when two transfers follow each other. */
static int channels_wanted(const Task *tasks, int ntasks) {
    for (int k = 0; k < ntasks; ++k)
        if (is_tree(&tasks[k])) return opt.parallel;
    for (int k = 0; k + 1 < ntasks; ++k)
        if (is_transfer(&tasks[k]) && is_transfer(&tasks[k + 1])) return opt.parallel;
    return 1;
}

/* Everything after the command line is read: GO_ON once the sessions have
 * ended, or the exit status of what stopped them first. */
static int run_sessions(Task *tasks, int ntasks) {
    int st = settle_credentials();
    if (st) return st;
    if (tasks_open()) return EX_LOCAL;
    Chan chans[MAX_CHANNELS];
    memset(chans, 0, sizeof chans);
    int nchan = channels_wanted(tasks, ntasks);
    st = open_channels(chans, nchan);
    if (st == GO_ON) {
        run_commands(chans, nchan, tasks, ntasks);
        quit_sessions(chans, nchan);
        zubRelease();
        fflush(stdout);
    }
    tasks_close();
    return st;
}

int main(int argc, char **argv) {
    init_terminals();
    int first, st = parse_command_line(argc, argv, &first);
    if (st != GO_ON) return st;
    Task *tasks;
    int ntasks, nwords = argc - first - 1;
    char **words = argv + first + 1, *text = NULL;
    if (opt.command_file && (st = read_command_file(opt.command_file, &words, &nwords, &text)) != GO_ON) return st;
    int parsed = parse_commands(nwords, words, &tasks, &ntasks) == 0;
    st = parsed ? run_sessions(tasks, ntasks) : EX_USAGE;
    if (parsed) free(tasks);  /* nothing is left behind, also for a leak checker */
    if (text) {
        free(words);
        free(text);
    }
    return st == GO_ON ? failure() : st;
}
