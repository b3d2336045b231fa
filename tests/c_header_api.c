/* SPDX-License-Identifier: MIT */
/* The header API compiled as C99, linked against the shared library: a LAS
 * 1.4 header parsed from bytes built here, checked, and the refusals of a
 * missing file. */
#include "tolvren_las.h"

#include <stdio.h>
#include <string.h>

static void put_u32(unsigned char *bytes, size_t offset, uint32_t value) { memcpy(bytes + offset, &value, 4); }
static void put_u64(unsigned char *bytes, size_t offset, uint64_t value) { memcpy(bytes + offset, &value, 8); }
static void put_f64(unsigned char *bytes, size_t offset, double value) { memcpy(bytes + offset, &value, 8); }

int main(void) {
    int failures = 0;
    unsigned char bytes[TOLVREN_HEADER_SIZE_1_4 + 3 * 30];
    tolvren_header header;
    tolvren_report report;
    tolvren_detail detail;
    int axis;

    memset(bytes, 0, sizeof bytes);
    memcpy(bytes, "LASF", 4);
    bytes[24] = 1;
    bytes[25] = 4;
    bytes[94] = (unsigned char)(TOLVREN_HEADER_SIZE_1_4 & 0xFF);
    bytes[95] = (unsigned char)(TOLVREN_HEADER_SIZE_1_4 >> 8);
    bytes[90] = 60; /* creation: day 60 of 2024 (0x07E8) */
    bytes[92] = 0xE8;
    bytes[93] = 0x07;
    put_u32(bytes, 96, TOLVREN_HEADER_SIZE_1_4);
    bytes[104] = 6;
    bytes[105] = 30;
    for (axis = 0; axis < 3; ++axis) put_f64(bytes, 131 + 8 * (size_t)axis, 0.01);
    put_u64(bytes, 247, 3);
    put_u64(bytes, 255, 3);

    if (tolvren_parse_header(bytes, sizeof bytes, sizeof bytes, &header, &detail) != TOLVREN_OK) {
        printf("parse: %s\n", detail.message);
        ++failures;
    } else if (header.version_minor != 4 || header.point_format != 6 || header.point_count != 3 ||
               header.point_region_end != sizeof bytes) {
        printf("parse: wrong fields\n");
        ++failures;
    }
    if (tolvren_check_header(&header, NULL, &report) != TOLVREN_OK || report.errors != 0 || report.count != 0) {
        printf("check: %d errors\n", report.errors);
        ++failures;
    }
    if (tolvren_read_header("no-such-directory/missing.las", &header, &detail) != TOLVREN_EOPEN ||
        detail.code != TOLVREN_EOPEN || strstr(detail.message, "missing.las") == NULL) {
        printf("missing file not refused\n");
        ++failures;
    }
    if (strcmp(tolvren_error_name(TOLVREN_ECOMPRESSED), "compressed") != 0 ||
        strcmp(tolvren_finding_name(TOLVREN_F_LEGACY_MIRRORED), "legacy_mirrored") != 0 ||
        strcmp(tolvren_severity_name(TOLVREN_ERROR), "error") != 0 ||
        strcmp(tolvren_field_name(TOLVREN_FIELD_MAX), "max") != 0 ||
        strcmp(tolvren_set_field_name(TOLVREN_SET_WKT), "wkt") != 0 || tolvren_strerror(12345) == NULL) {
        printf("names differ\n");
        ++failures;
    }
    printf("%s: %d failure(s)\n", failures ? "FAILED" : "ok", failures);
    return failures == 0 ? 0 : 1;
}
