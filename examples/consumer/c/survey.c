/* SPDX-License-Identifier: MIT */
/* Writes a small LAS 1.2 survey file, lets the Tolvren LiDAR library check
 * it and bring its header up to date, then reads the header and the points
 * back and orders the points from west to east.
 *
 *   survey_c OUTPUT.las
 *
 * Exit status 0 when every step worked and 1 when one failed. update_header
 * ends the process itself (status 255) if it cannot rewrite the file.
 */
#include <Tolvren_LiDAR.h>

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#define POINT_COUNT 5

/* LASType that check_las reports for LAS 1.2 with point data format 0. */
#define LAS12_FORMAT0 5

/* Raw coordinates in centimetres from the local origin below, and the return
 * number of each point among the returns of its pulse. */
struct sample_point {
    int32_t x, y, z;
    uint8_t return_number, number_of_returns;
};

static const struct sample_point kSamples[POINT_COUNT] = {
    {250, 1200, 10450, 1, 2},
    {40, 300, 10020, 1, 1},
    {410, 80, 10310, 1, 1},
    {175, 960, 10105, 2, 2},
    {-30, 510, 10230, 1, 1},
};

static int write_survey(const char *path) {
    LAS12Header header;
    LAS12fm0 points[POINT_COUNT];
    FILE *fp;
    int i, ok;

    /* The template keeps the unused tail of its text fields as it finds
     * them: start from zeroed bytes so that the file holds no stray memory. */
    memset(&header, 0, sizeof header);
    initialize_header12(&header);
    /* The template declares no point format; a file needs the format and its
     * record length. Counts and extents stay 0 for update_header to fill. */
    header.PointDataFormatID = 0;
    header.PointDataRecordLength = (uint16_t)sizeof(LAS12fm0);
    header.XScaleFactor = 0.01;
    header.YScaleFactor = 0.01;
    header.ZScaleFactor = 0.01;
    header.XOffset = 512000.0;
    header.YOffset = 4170000.0;
    header.ZOffset = 0.0;

    memset(points, 0, sizeof points);
    for (i = 0; i < POINT_COUNT; ++i) {
        points[i].X = kSamples[i].x;
        points[i].Y = kSamples[i].y;
        points[i].Z = kSamples[i].z;
        points[i].Intensity = (uint16_t)(200 + 25 * i);
        /* Bits 0-2: return number; bits 3-5: number of returns. */
        points[i].bitfield = (int8_t)(kSamples[i].return_number | (kSamples[i].number_of_returns << 3));
        points[i].Classification = 2;
    }

    fp = fopen(path, "wb");
    if (!fp) {
        printf("Cannot create %s\n", path);
        return -1;
    }
    ok = fwrite(&header, sizeof header, 1, fp) == 1 &&
         fwrite(points, sizeof points[0], POINT_COUNT, fp) == POINT_COUNT;
    if (fclose(fp) != 0) ok = 0;
    if (!ok) {
        printf("Cannot write %s\n", path);
        return -1;
    }
    return 0;
}

/* Reads the header and the raw X of every point, at most `capacity`. */
static int read_survey(const char *path, LAS12Header *header, int32_t *x, int32_t capacity, int32_t *count) {
    FILE *fp = fopen(path, "rb");
    uint32_t points, i;
    int ok = 1;

    if (!fp) {
        printf("Cannot open %s\n", path);
        return -1;
    }
    if (fread(header, sizeof *header, 1, fp) != 1) ok = 0;
    points = ok ? header->NumberOfPointReturns : 0;
    if (points > (uint32_t)capacity) ok = 0;
    if (ok && fseek(fp, (long)header->OffsetToData, SEEK_SET) != 0) ok = 0;
    for (i = 0; ok && i < points; ++i) {
        LAS12fm0 point;
        if (fread(&point, sizeof point, 1, fp) != 1) ok = 0;
        else x[i] = point.X;
    }
    fclose(fp);
    if (!ok) {
        printf("Cannot read the header and %" PRIu32 " points of %s\n", points, path);
        return -1;
    }
    *count = (int32_t)points;
    return 0;
}

int main(int argc, char **argv) {
    const char *path;
    LAS12Header header;
    int32_t x[POINT_COUNT], order[POINT_COUNT], count = 0, i;
    int16_t las_type;

    if (argc != 2) {
        printf("Usage: survey_c OUTPUT.las\n");
        return 1;
    }
    path = argv[1];

    if (write_survey(path) < 0) return 1;
    printf("Wrote %d points to %s\n", POINT_COUNT, path);

    las_type = check_las(path);
    printf("check_las: LASType %d\n", las_type);
    if (las_type != LAS12_FORMAT0) {
        printf("Expected LASType %d (LAS 1.2, point data format 0)\n", LAS12_FORMAT0);
        return 1;
    }

    /* Counts the points and computes the extents; its message ends without
     * a line end. */
    update_header(path);
    printf("\n");

    if (read_survey(path, &header, x, POINT_COUNT, &count) < 0) return 1;
    printf("Point count       %" PRIu32 "\n", header.NumberOfPointReturns);
    printf("Points by return  %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 "\n",
           header.NumberOfPointsByReturn[0], header.NumberOfPointsByReturn[1], header.NumberOfPointsByReturn[2],
           header.NumberOfPointsByReturn[3], header.NumberOfPointsByReturn[4]);
    printf("X extent          %.2f to %.2f\n", header.MinX, header.MaxX);
    printf("Y extent          %.2f to %.2f\n", header.MinY, header.MaxY);
    printf("Z extent          %.2f to %.2f\n", header.MinZ, header.MaxZ);

    /* Sort the X values and carry each point's record number along. */
    for (i = 0; i < count; ++i) order[i] = i;
    l_quicksort(x, count, order);
    printf("West to east     ");
    for (i = 0; i < count; ++i) printf(" %" PRId32, order[i]);
    printf("\nSorted X         ");
    for (i = 0; i < count; ++i) printf(" %.2f", x[i] * header.XScaleFactor + header.XOffset);
    printf("\n");
    return 0;
}
