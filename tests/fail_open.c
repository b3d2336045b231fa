/* SPDX-License-Identifier: MIT */
/* Preloaded into a child process by the tests. Counting the calls of fopen
 * and of open together, it makes the Nth opening of a file (N from
 * TOLVREN_FAIL_FOPEN_CALL) fail as if the file could not be opened, and
 * before the Mth (M from TOLVREN_SWAP_OPEN_CALL) renames the file named by
 * TOLVREN_SWAP_FROM over the path being opened, as another program might
 * between a check and a reopen. Paths that reopen a file are then tested
 * deterministically. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>

typedef FILE *(*fopen_fn)(const char *, const char *);
typedef int (*open_fn)(const char *, int, ...);

static int calls;

/* Counts one opening of `path`; true when it is the one to fail. */
static int fail_this_one(const char *path) {
    const char *fail_at = getenv("TOLVREN_FAIL_FOPEN_CALL");
    const char *swap_at = getenv("TOLVREN_SWAP_OPEN_CALL");
    const char *swap_from = getenv("TOLVREN_SWAP_FROM");
    ++calls;
    if (swap_at && swap_from && calls == atoi(swap_at)) rename(swap_from, path);
    return fail_at && calls == atoi(fail_at);
}

FILE *fopen(const char *path, const char *mode) {
    fopen_fn real = (fopen_fn)dlsym(RTLD_NEXT, "fopen");
    if (fail_this_one(path)) {
        errno = EACCES;
        return NULL;
    }
    return real(path, mode);
}

static int open_with(const char *name, const char *path, int flags, va_list args) {
    open_fn real = (open_fn)dlsym(RTLD_NEXT, name);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) mode = (mode_t)va_arg(args, int);
    if (fail_this_one(path)) {
        errno = EACCES;
        return -1;
    }
    return real(path, flags, mode);
}

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_with("open", path, flags, args);
    va_end(args);
    return fd;
}

/* Builds with _FORTIFY_SOURCE call these when the flags are not known at
 * compile time. */
typedef int (*open2_fn)(const char *, int);

static int open2_with(const char *name, const char *path, int flags) {
    open2_fn real = (open2_fn)dlsym(RTLD_NEXT, name);
    if (fail_this_one(path)) {
        errno = EACCES;
        return -1;
    }
    return real(path, flags);
}

int __open_2(const char *path, int flags) { return open2_with("__open_2", path, flags); }

int __open64_2(const char *path, int flags) { return open2_with("__open64_2", path, flags); }

int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_with("open64", path, flags, args);
    va_end(args);
    return fd;
}
