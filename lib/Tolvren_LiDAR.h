/* SPDX-License-Identifier: MIT */
/*
 * Tolvren LiDAR Utilities - LAS utility library.
 *
 * Reads, classifies and maintains ASPRS LAS files of versions 1.0, 1.1 and
 * 1.2 with point data formats 0 to 3.
 *
 * Rules for every caller:
 *   - Status results are signed 16-bit: 0 is success, a negative value is
 *     failure. Test the sign, never a particular negative value.
 *   - Every message goes to standard output, never to standard error. Most
 *     messages begin with their own line feed so that they stand apart from
 *     earlier output.
 *   - Operations that only test something report by their result. Operations
 *     that guard a tool's arguments or rewrite a file end the process with
 *     exit status -1 when they refuse; their contracts below say
 *     "ends the process".
 *   - The records are raw little-endian images of the file's bytes: read
 *     them from a file in one block of their size and write them back the
 *     same way. The library only builds on little-endian hosts.
 *
 * The header compiles as C99 and as C++17.
 */
#ifndef TOLVREN_LIDAR_H
#define TOLVREN_LIDAR_H

#include <stdint.h>

/* The library needs POSIX (pread, pwrite) and builds with GCC or Clang. */
#define TOLVREN_API __attribute__((visibility("default")))

/* C++ callers see that no operation throws. */
#ifdef __cplusplus
#  define TOLVREN_NOEXCEPT noexcept
#else
#  define TOLVREN_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Records: byte-exact, packed images of the LAS public header (the first
 * 227 bytes of a file) and of the point records of formats 0 to 3.
 * Character fields are fixed-width and need not hold a terminating zero.
 * ------------------------------------------------------------------------ */
#pragma pack(push, 1)

/* LAS 1.0 public header, 227 bytes. */
typedef struct LAS10Header {
    char     LASF[4];                      /*   0: "LASF", no terminator */
    uint32_t Reserved;                     /*   4 */
    uint32_t GUIDData1;                    /*   8 */
    uint16_t GUIDData2;                    /*  12 */
    uint16_t GUIDData3;                    /*  14 */
    uint8_t  GUIDData4[8];                 /*  16 */
    uint8_t  VersionMajor;                 /*  24 */
    uint8_t  VersionMinor;                 /*  25 */
    char     SystemIdentifier[32];         /*  26 */
    char     GeneratingSoftware[32];       /*  58 */
    uint16_t FlightDateJulian;             /*  90: day of year of the flight */
    uint16_t Year;                         /*  92: year of the flight */
    uint16_t HeaderSize;                   /*  94 */
    uint32_t OffsetToData;                 /*  96 */
    uint32_t NumberOfVariableLengthRecords;/* 100 */
    uint8_t  PointDataFormatID;            /* 104 */
    uint16_t PointDataRecordLength;        /* 105: unaligned */
    uint32_t NumberOfPointReturns;         /* 107: unaligned */
    uint32_t NumberOfPointsByReturn[5];    /* 111: element 0 counts return 1 */
    double   XScaleFactor;                 /* 131 */
    double   YScaleFactor;                 /* 139 */
    double   ZScaleFactor;                 /* 147 */
    double   XOffset;                      /* 155 */
    double   YOffset;                      /* 163 */
    double   ZOffset;                      /* 171 */
    double   MaxX;                         /* 179 */
    double   MinX;                         /* 187 */
    double   MaxY;                         /* 195 */
    double   MinY;                         /* 203 */
    double   MaxZ;                         /* 211 */
    double   MinZ;                         /* 219 */
} LAS10Header;

/* LAS 1.1 public header, 227 bytes: as 1.0 but for offsets 4-7 and 90-93. */
typedef struct LAS11Header {
    char     LASF[4];
    uint16_t FileSourceID;                 /*   4 */
    uint16_t Reserved;                     /*   6 */
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t  GUIDData4[8];
    uint8_t  VersionMajor;
    uint8_t  VersionMinor;
    char     SystemIdentifier[32];
    char     GeneratingSoftware[32];
    uint16_t FileCreationDay;              /*  90: day of year of creation */
    uint16_t FileCreationYear;             /*  92 */
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t  PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double   XScaleFactor;
    double   YScaleFactor;
    double   ZScaleFactor;
    double   XOffset;
    double   YOffset;
    double   ZOffset;
    double   MaxX;
    double   MinX;
    double   MaxY;
    double   MinY;
    double   MaxZ;
    double   MinZ;
} LAS11Header;

/* LAS 1.2 public header, 227 bytes: as 1.1 with GlobalEncoding at 6. */
typedef struct LAS12Header {
    char     LASF[4];
    uint16_t FileSourceID;                 /*   4 */
    uint16_t GlobalEncoding;               /*   6 */
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t  GUIDData4[8];
    uint8_t  VersionMajor;
    uint8_t  VersionMinor;
    char     SystemIdentifier[32];
    char     GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t  PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double   XScaleFactor;
    double   YScaleFactor;
    double   ZScaleFactor;
    double   XOffset;
    double   YOffset;
    double   ZOffset;
    double   MaxX;
    double   MinX;
    double   MaxY;
    double   MinY;
    double   MaxZ;
    double   MinZ;
} LAS12Header;

/* Point data format 0, 20 bytes. The real coordinate is the raw integer
 * times the header's scale factor plus its offset. */
typedef struct LAS12fm0 {
    int32_t  X;                            /*  0 */
    int32_t  Y;                            /*  4 */
    int32_t  Z;                            /*  8 */
    uint16_t Intensity;                    /* 12 */
    int8_t   bitfield;                     /* 14: bits 0-2 return number */
    uint8_t  Classification;               /* 15 */
    uint8_t  ScanAngleRank;                /* 16 */
    uint8_t  UserData;                     /* 17 */
    uint16_t PointSourceID;                /* 18 */
} LAS12fm0;

/* Point data format 1, 28 bytes: format 0 and the GPS time. */
typedef struct LAS12fm1 {
    int32_t  X;
    int32_t  Y;
    int32_t  Z;
    uint16_t Intensity;
    int8_t   bitfield;
    uint8_t  Classification;
    uint8_t  ScanAngleRank;
    uint8_t  UserData;
    uint16_t PointSourceID;
    double   GPSTime;                      /* 20 */
} LAS12fm1;

/* Point data format 2, 26 bytes: format 0 and a colour. */
typedef struct LAS12fm2 {
    int32_t  X;
    int32_t  Y;
    int32_t  Z;
    uint16_t Intensity;
    int8_t   bitfield;
    uint8_t  Classification;
    uint8_t  ScanAngleRank;
    uint8_t  UserData;
    uint16_t PointSourceID;
    uint16_t Red;                          /* 20 */
    uint16_t Green;                        /* 22 */
    uint16_t Blue;                         /* 24 */
} LAS12fm2;

/* Point data format 3, 34 bytes: format 1 and a colour. */
typedef struct LAS12fm3 {
    int32_t  X;
    int32_t  Y;
    int32_t  Z;
    uint16_t Intensity;
    int8_t   bitfield;
    uint8_t  Classification;
    uint8_t  ScanAngleRank;
    uint8_t  UserData;
    uint16_t PointSourceID;
    double   GPSTime;                      /* 20 */
    uint16_t Red;                          /* 28 */
    uint16_t Green;                        /* 30 */
    uint16_t Blue;                         /* 32 */
} LAS12fm3;

#pragma pack(pop)

/* ------------------------------------------------------------------------
 * File checks, LAS classification and banner
 * ------------------------------------------------------------------------ */

/* Opens `filename` for reading and closes it again.
 * Returns 0 if it opens; otherwise prints
 * "Unable to open file <name> in file_access()" and returns -1. */
TOLVREN_API int16_t file_access(const char *filename) TOLVREN_NOEXCEPT;

/* Tests that `filename` ends in a dot and the three characters `extension`
 * (given without its dot), case-sensitively. Returns 0 on a match; otherwise
 * prints why (name too short, no dot, other extension) and returns -1. */
TOLVREN_API int16_t check_file_extension(const char *filename,
                                         const char *extension) TOLVREN_NOEXCEPT;

/* Validates a LAS input and returns its LASType:
 *   1, 2  LAS 1.0 with point format 0 (20-byte records) or 1 (28);
 *   3, 4  LAS 1.1 with format 0 or 1;
 *   5-8   LAS 1.2 with format 0 (20), 1 (28), 2 (26) or 3 (34);
 *   0     LAS 1.0 or 1.1 declaring format 2 or 3: accepted, no pairing;
 *   < 0   refused, after a message saying why.
 * Opens and closes the file itself. */
TOLVREN_API int16_t check_las(const char *filename) TOLVREN_NOEXCEPT;

/* Prints message `i` about the file name `text`: 1 does not exist,
 * 2 already exists, 3 specified twice. Other numbers print nothing. */
TOLVREN_API void error_msg(int i, const char *text) TOLVREN_NOEXCEPT;

/* Prints the suite banner, ending with a line end. */
TOLVREN_API void credits(void) TOLVREN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Header update
 * ------------------------------------------------------------------------ */

/* Recounts the point records of `filename` (in total and by return number)
 * and recomputes its six coordinate extents, then rewrites only those eight
 * header fields in place. Prints "\rHeader of file <name> has been updated
 * " with no line end. Ends the process with status -1 after a message when it
 * refuses the file (left untouched) or cannot read or write it. */
TOLVREN_API void update_header(const char *filename) TOLVREN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Header templates
 * ------------------------------------------------------------------------ */

/* Fills `ph` with the starting values of a LAS 1.0 header: "LASF", version
 * 1.0, the suite name as GeneratingSoftware, header size and offset to data
 * 227, scale factors 1.0, every other number 0 (point format and record
 * length too: set both before writing a file). Text fields get their string
 * and its zero only; the rest of GUIDData4, SystemIdentifier and
 * GeneratingSoftware (bytes 17-23, 27-57, 82-89) keep the caller's bytes. */
TOLVREN_API void initialize_header10(LAS10Header *ph) TOLVREN_NOEXCEPT;

/* As initialize_header10 for a LAS 1.1 header, version 1.1: FileSourceID,
 * Reserved, FileCreationDay and FileCreationYear are 0. Reads no clock,
 * allocates nothing, cannot fail. */
TOLVREN_API void initialize_header11(LAS11Header *ph) TOLVREN_NOEXCEPT;

/* As initialize_header10 for a LAS 1.2 header, version 1.2: FileSourceID,
 * GlobalEncoding, FileCreationDay and FileCreationYear are 0. Reads no
 * clock, allocates nothing, cannot fail. */
TOLVREN_API void initialize_header12(LAS12Header *ph) TOLVREN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Index-carrying sorts
 *
 * In-place quicksorts of 32-bit integer keys (l_) or double keys (d_) into
 * ascending order. Every exchange of two keys exchanges the entries of the
 * index array `p_ind` at the same two positions, so p_ind[k] ends up holding
 * the value that came in beside the key now at p[k]; filled with 0, 1, 2, ...
 * beforehand, it tells where each sorted key stood. Index values are never
 * looked at.
 *   - The pivot of a stretch left .. right is the key at (left + right) / 2.
 *     The sort is not stable: equal keys are exchanged across the stretch.
 *   - Doubles compare as IEEE values (-0.0 equals +0.0) and move bit for bit.
 *     A NaN stops both scans, so keys that include NaNs do not in general
 *     end in ascending order.
 *   - Nothing is validated, returned or printed: both arrays must hold
 *     `count` elements (for the workers, the positions left .. right).
 *   - No memory is allocated, no thread started; the call stack grows with
 *     log2 of the length at most. The `parallel` forms make exactly the same
 *     exchanges as the plain ones on the calling thread.
 * ------------------------------------------------------------------------ */

/* Sorts the `count` keys of p and carries p_ind along. A `count` of 0 or
 * below returns at once without touching either array. */
TOLVREN_API void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind) TOLVREN_NOEXCEPT;

/* Worker of l_quicksort: sorts positions left .. right (inclusive) of p and
 * p_ind, leaving every other position alone. left >= right changes nothing. */
TOLVREN_API void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind) TOLVREN_NOEXCEPT;

/* As l_quicksort, for double keys. */
TOLVREN_API void d_quicksort(double *p, int32_t count, int32_t *p_ind) TOLVREN_NOEXCEPT;

/* As l_qs, for double keys. */
TOLVREN_API void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind) TOLVREN_NOEXCEPT;

/* Sorts as l_quicksort, through l_parallel_qs with deep = 15: same
 * exchanges, same result, on the calling thread. A `count` of 0 or below
 * returns at once without touching either array. */
TOLVREN_API void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind) TOLVREN_NOEXCEPT;

/* Worker of l_parallel_quicksort: sorts positions left .. right as l_qs.
 * Each part of a pass goes on at deep - 1 while `deep` is non-zero and to
 * l_qs at deep 0; any `deep`, negative ones included, gives the same result
 * as l_qs. */
TOLVREN_API void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind,
                               int32_t deep) TOLVREN_NOEXCEPT;

/* As l_parallel_quicksort, for double keys. */
TOLVREN_API void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind) TOLVREN_NOEXCEPT;

/* As l_parallel_qs, for double keys, handing levels on to d_qs. */
TOLVREN_API void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind,
                               int32_t deep) TOLVREN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Argument validators
 * ------------------------------------------------------------------------ */

/* Tests a yes/no flag: returns 0 without output when `text` is exactly "Y",
 * "N", "y" or "n". Otherwise prints "ASCII Header Flag should be either Y (y)
 * or N (n)" and returns -1; the caller decides whether to stop. */
TOLVREN_API int16_t check_YN(const char *text) TOLVREN_NOEXCEPT;

/* Tests a numeric argument of any length: only digits '0'-'9', '.' and '-',
 * at most one '.' and one '-' anywhere, and not a lone "." or "-" (the empty
 * string passes). Returns without output when it passes; ends the process
 * with status -1 after "Invalid argument value (<str>)" when it does not. */
TOLVREN_API void check_numeric_argument(const char *str) TOLVREN_NOEXCEPT;

/* Tests a DEM file name: ".asc" (ASCII grid) or ".flt" (floating point
 * grid), case-sensitively; a ".flt" name also needs the header file of the
 * same name ending in ".hdr" to open. Prints the extension checks' messages
 * on the way; ends the process with status -1 on another extension or a
 * missing header file. Reads neither file. */
TOLVREN_API void check_DEM(const char *str) TOLVREN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* TOLVREN_LIDAR_H */
