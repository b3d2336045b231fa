/* Preloaded into a child process by the tests: makes the Nth call of fopen
 * (N from TOLVREN_FAIL_FOPEN_CALL) fail as if the file could not be opened,
 * so that paths which reopen a file can be tested deterministically. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

typedef FILE *(*fopen_fn)(const char *, const char *);

FILE *fopen(const char *path, const char *mode) {
    static int calls;
    const char *fail_at = getenv("TOLVREN_FAIL_FOPEN_CALL");
    fopen_fn real = (fopen_fn)dlsym(RTLD_NEXT, "fopen");
    if (fail_at && ++calls == atoi(fail_at)) {
        errno = EACCES;
        return NULL;
    }
    return real(path, mode);
}
