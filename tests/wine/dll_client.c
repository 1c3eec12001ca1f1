/* dll_client.c - loads ZUB32.dll by name, the way a Windows application
 * would (LoadLibraryA and GetProcAddress, no import library), and runs a
 * whole session in passive and in active mode: upload, listing, download
 * and a byte-for-byte comparison. Used under Wine by tests/wine/run.sh.
 *
 * Usage: dll_client PORT USER PASSWORD LOCALDIR
 * Exit status 0 when every step did what it should; the first failure is
 * printed with its code and text. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "zub32.h"

#define FN(name) static int32_t (ZUB_CALL *p_##name)
FN(zubAttach)(int32_t, int32_t);
FN(zubRelease)(void);
FN(zubSetInteger)(int32_t, uint32_t, uint32_t);
FN(zubErrorText)(int32_t, int32_t, char *, int32_t);
FN(zubConnect)(int32_t, const char *, const char *, const char *);
FN(zubClose)(int32_t);
FN(zubSetMode)(int32_t, int32_t);
FN(zubSetLocalDir)(int32_t, const char *);
FN(zubPutFile)(int32_t, const char *);
FN(zubGetFile)(int32_t, const char *);
FN(zubGetList)(int32_t, int32_t, char *, int32_t);
FN(zubDelFile)(int32_t, const char *);

static HMODULE dll;

static int load(void) {
    dll = LoadLibraryA("ZUB32.dll");
    if (!dll) return 0;
#define LOAD(name)                                                    \
    do {                                                              \
        FARPROC fp = GetProcAddress(dll, #name);                      \
        if (!fp) return fprintf(stderr, "no export %s\n", #name), 0; \
        memcpy(&p_##name, &fp, sizeof fp);                            \
    } while (0)
    LOAD(zubAttach); LOAD(zubRelease); LOAD(zubSetInteger); LOAD(zubErrorText); LOAD(zubConnect);
    LOAD(zubClose); LOAD(zubSetMode); LOAD(zubSetLocalDir); LOAD(zubPutFile); LOAD(zubGetFile);
    LOAD(zubGetList); LOAD(zubDelFile);
    return 1;
}

static int check(const char *what, int32_t got, int32_t want) {
    char text[256] = "";
    if (got == want) return 1;
    p_zubErrorText(0, got, text, sizeof text);
    fprintf(stderr, "%s: %d (%s), expected %d\n", what, (int)got, text, (int)want);
    return 0;
}

static long read_all(const char *path, char *buf, long size) {
    FILE *f = fopen(path, "rb");
    long n;
    if (!f) return -1;
    n = (long)fread(buf, 1, (size_t)size, f);
    fclose(f);
    return n;
}

int main(int argc, char **argv) {
    static char sent[300000], back[300000], list[4096], path[MAX_PATH];
    const long size = (long)sizeof sent;
    int passive;
    FILE *f;
    long i;
    if (argc != 5) return fprintf(stderr, "usage: dll_client PORT USER PASSWORD LOCALDIR\n"), 2;
    if (!load()) return fprintf(stderr, "cannot load ZUB32.dll\n"), 1;
    for (i = 0; i < size; ++i) sent[i] = (char)(i * 7 + i / 251);
    snprintf(path, sizeof path, "%s\\up.bin", argv[4]);
    if (!(f = fopen(path, "wb")) || fwrite(sent, 1, (size_t)size, f) != (size_t)size) return 1;
    fclose(f);

    if (!check("zubAttach", p_zubAttach(1, 0), 1)) return 1;
    p_zubSetInteger(0, ZUB_SET_SERVER_PORT, (uint32_t)atoi(argv[1]));
    p_zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 10000);
    if (!check("zubSetLocalDir", p_zubSetLocalDir(0, argv[4]), 0)) return 1;
    for (passive = 1; passive >= 0; --passive) {
        const char *mode = passive ? "passive" : "active";
        p_zubSetInteger(0, ZUB_SET_PASSIVE, (uint32_t)passive);
        if (!check("zubConnect", p_zubConnect(0, "127.0.0.1", argv[2], argv[3]), 0)) return 1;
        if (!check("zubSetMode", p_zubSetMode(0, 'B'), 0)) return 1;
        if (!check("zubPutFile", p_zubPutFile(0, "up.bin:remote.bin"), 0)) return 1;
        list[0] = 0;
        if (p_zubGetList(0, ZUB_NLST, list, sizeof list) <= 0 || !strstr(list, "remote.bin"))
            return fprintf(stderr, "%s: listing without remote.bin: [%s]\n", mode, list), 1;
        if (!check("zubGetFile", p_zubGetFile(0, "remote.bin:back.bin"), 0)) return 1;
        snprintf(path, sizeof path, "%s\\back.bin", argv[4]);
        if (read_all(path, back, size + 1) != size || memcmp(sent, back, (size_t)size) != 0)
            return fprintf(stderr, "%s: the file came back changed\n", mode), 1;
        if (!check("zubDelFile", p_zubDelFile(0, "remote.bin"), 0)) return 1;
        if (!check("zubClose", p_zubClose(0), 0)) return 1;
        printf("%s: %ld bytes up, listed, down and equal\n", mode, size);
    }
    if (!check("zubRelease", p_zubRelease(), 1)) return 1;
    FreeLibrary(dll);
    return 0;
}
