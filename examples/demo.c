/* demo.c - attaches channels, changes and reads settings, prints result
 * texts, writes a channel log and releases. Usage: zub_demo [logfile]
 * With ZUB_DEMO_SERVER=host[:port] (and optional ZUB_DEMO_USER,
 * ZUB_DEMO_PASS) it also logs in, prints the server directory and closes. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zub32.h"

static void show(const char *what, int32_t code) {
    char text[256] = "";
    /* Texts need an attached library; after zubRelease the line has none. */
    zubErrorText(0, code, text, (int32_t)sizeof text);
    printf("%-28s %6d  %s\n", what, (int)code, text);
}

static void session(const char *server) {
    char host[128], dir[256];
    const char *user = getenv("ZUB_DEMO_USER");
    const char *pass = getenv("ZUB_DEMO_PASS");
    const char *colon;
    strncpy(host, server, sizeof host - 1);
    host[sizeof host - 1] = 0;
    colon = strchr(host, ':');
    if (colon) {
        zubSetInteger(0, ZUB_SET_SERVER_PORT, (uint32_t)atoi(colon + 1));
        host[colon - host] = 0;
    }
    show("zubConnect", zubConnect(0, host, user ? user : "anonymous", pass ? pass : "demo@"));
    if (zubGetServerDir(0, dir, (int32_t)sizeof dir - 1) >= 0) printf("server directory: %s\n", dir);
    show("zubClose", zubClose(0));
}

int main(int argc, char **argv) {
    const char *log = argc > 1 ? argv[1] : "zub_demo.log";
    const char *server = getenv("ZUB_DEMO_SERVER");
    int32_t v;

    show("zubAttach(4)", zubAttach(4, 0));
    show("zubAttach again", zubAttach(4, 0));
    show("zubSetString(open log)", zubSetString(0, ZUB_STR_OPEN_LOG, log) > 0 ? 0 : -1);
    zubSetString(0, ZUB_STR_LOG_TEXT, "demo: settings follow");
    show("block size 100", zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 100));
    show("block size 1000000", zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 1000000));
    show("host index 9", zubSetInteger(0, ZUB_SET_HOST_INDEX, 9));
    show("setting 7 (none)", zubSetInteger(0, 7, 1));
    show("channel 9 (out of range)", zubGetInteger(9, ZUB_GET_STEP_COUNT));
    v = zubGetInteger(0, ZUB_GET_VERSION);
    printf("version %d.%d.%d build %d, port nibble %d\n", (v >> 8) & 0xFF, (v >> 4) & 0xF, v & 0xF,
           (int)zubGetInteger(0, ZUB_GET_BUILD), (int)zubGetInteger(0, ZUB_GET_PORT_NIBBLE));
    show("code -10061", -10061);
    show("code -22", -22);
    if (server) session(server);
    else show("zubClose (never connected)", zubClose(0));
    show("zubRelease", zubRelease());
    printf("log written to %s\n", log);
    return 0;
}
