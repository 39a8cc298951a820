/*
 * Test-only LD_PRELOAD library: changes files at an exact moment of a
 * Zandrel run. Every pass opens the list with fopen(name, "r"): opening 1
 * is the list check, 2 the header consistency check, 3 the merged header,
 * 4 the copy. When the list (ZFAULT_LIST, compared as spelled) is opened
 * for the ZFAULT_AT-th time (default 4), the action ZFAULT_ACTION is done
 * once on ZFAULT_FILE before the real fopen:
 *   truncate  cut the file to ZFAULT_ARG bytes
 *   unlink    remove the file
 *   rename    rename ZFAULT_ARG over the file
 *   write     replace the file's bytes by the text ZFAULT_ARG
 *   fifo      replace the file by a FIFO
 */
/* Both names are defined here, so neither may stand for the other. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int openings = 0;

static void act(void) {
    const char *action = getenv("ZFAULT_ACTION");
    const char *file = getenv("ZFAULT_FILE");
    const char *arg = getenv("ZFAULT_ARG");
    if (!action || !file) return;
    int rc = 0;
    if (strcmp(action, "truncate") == 0) {
        rc = truncate(file, arg ? atoll(arg) : 0);
    } else if (strcmp(action, "unlink") == 0) {
        rc = unlink(file);
    } else if (strcmp(action, "rename") == 0) {
        rc = arg ? rename(arg, file) : -1;
    } else if (strcmp(action, "write") == 0) {
        FILE *f = ((FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "fopen"))(file, "wb");
        rc = f && fwrite(arg ? arg : "", 1, arg ? strlen(arg) : 0, f) == (arg ? strlen(arg) : 0) ? 0 : -1;
        if (f && fclose(f) != 0) rc = -1;
    } else if (strcmp(action, "fifo") == 0) {
        rc = unlink(file) == 0 ? mkfifo(file, 0600) : -1;
    }
    if (rc != 0) {
        /* A fault that did not happen would make the test pass for nothing. */
        fprintf(stderr, "list_interposer: %s %s failed\n", action, file);
        abort();
    }
}

static void count(const char *name) {
    const char *list = getenv("ZFAULT_LIST");
    const char *at = getenv("ZFAULT_AT");
    if (list && name && strcmp(name, list) == 0 && ++openings == (at ? atoi(at) : 4)) act();
}

FILE *fopen(const char *name, const char *mode) {
    count(name);
    return ((FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "fopen"))(name, mode);
}

/* Programs built with 64-bit file positions call this name. */
FILE *fopen64(const char *name, const char *mode) {
    count(name);
    return ((FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "fopen64"))(name, mode);
}
