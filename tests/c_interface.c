/* SPDX-License-Identifier: MIT */
/* The public header compiled as C99, linked against the shared library. */
#include "Tolvren_LiDAR.h"

#include <stddef.h>
#include <stdio.h>

int main(void) {
    int failures = 0;
    LAS12Header header;
    LAS12fm3 point;

    if (sizeof header != 227 || offsetof(LAS12Header, PointDataRecordLength) != 105 ||
        offsetof(LAS12Header, NumberOfPointReturns) != 107 || sizeof point != 34) {
        printf("\nrecord layout differs in C\n");
        ++failures;
    }
    if (check_file_extension("points.las", "las") != 0) ++failures;
    if (check_file_extension("points.LAS", "las") >= 0) ++failures;
    if (check_las("no-such-directory/missing.las") >= 0) ++failures;
    error_msg(99, "nothing");
    credits();
    printf("\n%s: %d failure(s)\n", failures ? "FAILED" : "ok", failures);
    return failures == 0 ? 0 : 1;
}
