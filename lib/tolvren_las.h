/* SPDX-License-Identifier: MIT */
/*
 * Tolvren LiDAR Utilities - header API for LAS 1.0 to 1.4.
 *
 * Reads, checks, repairs and sets the public header of ASPRS LAS files of
 * every version from 1.0 to 1.4 and point data formats 0 to 10, compressed
 * (LAZ) or not, and scans their point records: LAZ files through the
 * library's own decoder of the compressed point data, which also writes a
 * LAZ file out as the uncompressed LAS file it stands for. It lives in the
 * same shared library as the operations of Tolvren_LiDAR.h and leaves them
 * as they are.
 *
 * Rules for every caller:
 *   - Every function returns an int: TOLVREN_OK (0) on success, a negative
 *     tolvren_error on failure. Test the sign; tolvren_strerror() names the
 *     code.
 *   - No function prints, reads the environment or ends the process. Where a
 *     function takes a tolvren_detail, it fills it on failure with the code,
 *     the system's errno (0 when none) and a sentence naming the file; pass
 *     NULL when the code is enough.
 *   - Every struct is owned by the caller; nothing is allocated for it and
 *     nothing is kept between calls. Calls on different files, or on the same
 *     file for reading, may run at the same time on different threads.
 *   - A file is judged by its signature and header, never by its name. Only
 *     regular files (or symbolic links to them) are read; no open blocks.
 *   - Files are opened close-on-exec on descriptors above 2, also when the
 *     caller has closed a standard stream, so nothing the caller writes to
 *     standard output or error can land in them.
 *   - Counts are unsigned 64-bit whatever the version; a field the file's
 *     version lacks reads as 0 and the version tells which fields exist.
 *
 * The header compiles as C99 and as C++17.
 */
#ifndef TOLVREN_LAS_H
#define TOLVREN_LAS_H

#include <stddef.h>
#include <stdint.h>

#define TOLVREN_LAS_API __attribute__((visibility("default")))

#ifdef __cplusplus
#  define TOLVREN_LAS_NOEXCEPT noexcept
#else
#  define TOLVREN_LAS_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Errors
 * ------------------------------------------------------------------------ */

typedef enum tolvren_error {
    TOLVREN_OK = 0,
    TOLVREN_EINVAL = -1,         /* a NULL pointer or an unknown flag */
    TOLVREN_EOPEN = -2,          /* the file cannot be opened (see sys_errno) */
    TOLVREN_ENOTREGULAR = -3,    /* not a regular file: directory, FIFO, device */
    TOLVREN_EREAD = -4,          /* an I/O error while reading */
    TOLVREN_ENOTLAS = -5,        /* no "LASF" signature */
    TOLVREN_EVERSION = -6,       /* version outside 1.0 to 1.4 */
    TOLVREN_EHEADERSIZE = -7,    /* HeaderSize below its version's size, or the
                                    file shorter than the header */
    TOLVREN_EFORMAT = -8,        /* point data format above 10 */
    TOLVREN_ERECORDLENGTH = -9,  /* record length below its format's */
    TOLVREN_ECOMPRESSED = -10,   /* compressed (LAZ) point data that cannot be
                                    decoded: no LASzip VLR, one that names a
                                    compressor or item this library does not
                                    know or items that do not make the
                                    header's records, or chunks of varying
                                    size without a chunk table */
    TOLVREN_ELAYOUT = -11,       /* the header's layout does not fit the file
                                    (point data outside the file, data inside the
                                    header): repair refuses, the file is untouched */
    TOLVREN_ECANCELED = -12,     /* the progress callback asked to stop */
    TOLVREN_ENOMEM = -13,        /* no memory for the scan buffer */
    TOLVREN_EWRITEOPEN = -14,    /* the file cannot be opened for writing */
    TOLVREN_ECHANGED = -15,      /* the file changed during the call (shorter, or
                                    other header bytes): nothing was written */
    TOLVREN_EWRITE = -16,        /* a write or its sync failed; the header holds
                                    its original bytes */
    TOLVREN_EWRITERESTORE = -17, /* a write failed and so did writing the original
                                    bytes back: the header may be damaged */
    TOLVREN_ETOOMANYPOINTS = -18, /* repair: a LAS 1.0-1.3 file holds more than
                                    4294967295 whole records, which its 32-bit
                                    count cannot say: the file is untouched */
    TOLVREN_EEXTENT = -19,       /* repair: an axis of a file with points has
                                    its min above its max (or a NaN), and its
                                    scale and offset give no coordinate to
                                    mend them with: the file is untouched */
    TOLVREN_ECORRUPT = -20,      /* compressed point data that are damaged: a
                                    chunk that does not decode to its points
                                    (truncated, or bytes that no encoder
                                    writes), a chunk table that contradicts
                                    the chunks or cannot be found; the scan's
                                    numbers are incomplete, repair leaves the
                                    file untouched */
    TOLVREN_EFIELD = -21         /* set: a value the field cannot hold, or a
                                    field the file's version does not have
                                    (or its point format forbids): the file
                                    is untouched */
} tolvren_error;

/* A static, English sentence for a tolvren_error; never NULL (an unknown
 * code gives "unknown error"). */
TOLVREN_LAS_API const char *tolvren_strerror(int code) TOLVREN_LAS_NOEXCEPT;

/* A static, stable machine-readable name for a tolvren_error, such as
 * "not_las" or "compressed"; "unknown" for an unknown code. */
TOLVREN_LAS_API const char *tolvren_error_name(int code) TOLVREN_LAS_NOEXCEPT;

/* Per-call detail of a failure, filled by the functions that take one. */
typedef struct tolvren_detail {
    int code;            /* the tolvren_error returned */
    int sys_errno;       /* errno of the failing system call, else 0 */
    char message[512];   /* a sentence naming the file, zero-terminated:
                            "path: reason"; a path too long for the reason
                            to fit after it is cut to its end, after "..."
                            ("...end/of/path.las: reason") */
} tolvren_detail;

/* ------------------------------------------------------------------------
 * Reading a header
 * ------------------------------------------------------------------------ */

/* Sizes of the public header by version. */
#define TOLVREN_HEADER_SIZE_1_0 227u   /* also 1.1 and 1.2 */
#define TOLVREN_HEADER_SIZE_1_3 235u
#define TOLVREN_HEADER_SIZE_1_4 375u

/* Everything the public header says, decoded from little-endian bytes. */
typedef struct tolvren_header {
    uint8_t  version_major;              /* byte 24 */
    uint8_t  version_minor;              /* byte 25 */
    uint16_t file_source_id;             /* bytes 4-5 (reserved in 1.0: 0) */
    uint16_t global_encoding;            /* bytes 6-7 (reserved in 1.0, 1.1: 0) */
    uint8_t  guid[16];                   /* bytes 8-23 as stored */
    char     system_identifier[33];      /* bytes 26-57, zero-terminated copy */
    char     generating_software[33];    /* bytes 58-89, zero-terminated copy */
    uint16_t creation_day;               /* byte 90 (day of flight in 1.0) */
    uint16_t creation_year;              /* byte 92 */
    uint16_t header_size;                /* byte 94 */
    uint32_t offset_to_point_data;       /* byte 96 */
    uint32_t number_of_vlrs;             /* byte 100 */
    uint8_t  point_format_byte;          /* byte 104 as stored */
    uint8_t  point_format;               /* its low 6 bits: 0 to 10 */
    uint8_t  compressed;                 /* 1 when bit 7 or bit 6 is set (LAZ) */
    uint16_t point_record_length;        /* byte 105 */
    uint16_t standard_record_length;     /* the format's own length */
    uint16_t extra_bytes;                /* record length minus the standard */
    uint32_t legacy_point_count;         /* byte 107 */
    uint32_t legacy_points_by_return[5]; /* byte 111: returns 1 to 5 */
    double   scale[3];                   /* byte 131: X, Y, Z */
    double   offset[3];                  /* byte 155: X, Y, Z */
    double   max[3];                     /* X at 179, Y at 195, Z at 211 */
    double   min[3];                     /* X at 187, Y at 203, Z at 219 */
    uint64_t start_of_waveform_data;     /* byte 227, 1.3 and 1.4 */
    uint64_t start_of_first_evlr;        /* byte 235, 1.4 */
    uint32_t number_of_evlrs;            /* byte 243, 1.4 */
    uint64_t point_count_64;             /* byte 247, 1.4 */
    uint64_t points_by_return_64[15];    /* byte 255, 1.4 */
    /* The counts a reader uses: the 64-bit fields in 1.4, the legacy ones
     * before (slots 5 to 14 then 0). */
    uint64_t point_count;
    uint64_t points_by_return[15];
    /* About the file rather than the header. */
    uint64_t file_size;                  /* bytes, when the header was read */
    uint64_t vlr_end;                    /* where the walk of the VLR headers
                                            ended; see vlr_problem */
    int      vlr_problem;                /* TOLVREN_WALK_OK, _PAST_END (the VLRs
                                            run past OffsetToData or the end of
                                            the file), _INCOMPLETE or _TOO_MANY */
    uint64_t point_region_end;           /* where the point records end: the
                                            first of the first EVLR (when the
                                            file has EVLRs) and internal
                                            waveform data (global-encoding bit
                                            1) that starts between OffsetToData
                                            and the end, else the end of the
                                            file */
    uint64_t evlr_end;                   /* 1.4 with EVLRs: where the walk of
                                            the EVLR headers ended, else 0 */
    int      evlr_problem;               /* TOLVREN_WALK_OK, _PAST_END (the
                                            EVLRs start before OffsetToData or
                                            run past the end of the file),
                                            _INCOMPLETE or _TOO_MANY */
} tolvren_header;

/* How the walk of the (E)VLR headers ended: every header and its data inside
 * their place; past it; in tolvren_parse_header only, where the bytes handed
 * in ended; or after TOLVREN_MAX_WALKED_RECORDS headers of a count that is
 * larger (nothing is known about the rest in the last two). */
#define TOLVREN_WALK_OK 0
#define TOLVREN_WALK_PAST_END 1
#define TOLVREN_WALK_INCOMPLETE 2
#define TOLVREN_WALK_TOO_MANY 3

/* The most VLR headers, and the most EVLR headers, one read walks. Files
 * hold a handful; the limit keeps a hostile count (2^32 - 1 records of zeros
 * in a sparse file of 257 GB, which takes 4 KB of disk) to at most that many
 * reads of 8 KB, and a header beyond it gets a TOLVREN_F_RECORDS_NOT_WALKED
 * finding. */
#define TOLVREN_MAX_WALKED_RECORDS 65536u

/* Reads and decodes the public header of `path`, walks the VLR headers, and
 * fills `out`. Refusals have distinct codes: TOLVREN_EOPEN, ENOTREGULAR,
 * EREAD, ENOTLAS, EVERSION, EHEADERSIZE, EFORMAT, ERECORDLENGTH. A compressed
 * file is read like any other (header->compressed is set). */
TOLVREN_LAS_API int tolvren_read_header(const char *path, tolvren_header *out,
                                        tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* As tolvren_read_header, from the first `size` bytes of a file of
 * `file_size` bytes held in memory (size may be less than file_size; the VLR
 * walk stops where the bytes end). */
TOLVREN_LAS_API int tolvren_parse_header(const void *bytes, size_t size, uint64_t file_size,
                                         tolvren_header *out,
                                         tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Scanning the point records
 * ------------------------------------------------------------------------ */

/* Called now and then during a scan with the bytes done of the bytes to do;
 * a non-zero result stops the scan with TOLVREN_ECANCELED. */
typedef int (*tolvren_progress_fn)(uint64_t bytes_done, uint64_t bytes_total, void *user);

/* What the point records of a file say about themselves. */
typedef struct tolvren_scan {
    uint64_t region_start;            /* OffsetToData */
    uint64_t region_end;              /* header->point_region_end; compressed:
                                         the end of the last chunk */
    uint64_t records;                 /* whole records in the region;
                                         compressed: the points the chunks
                                         decode to */
    uint64_t remainder_bytes;         /* region bytes after the last whole one
                                         (0 when compressed) */
    uint64_t return_histogram[16];    /* by the return-number field (3 bits in
                                         formats 0-5, 4 bits in 6-10) */
    uint64_t points_by_return[15];    /* returns 1 to 15; 0 counts in no slot */
    int32_t  raw_min[3];              /* X, Y, Z; all four extents are 0 when
                                         records is 0 */
    int32_t  raw_max[3];
    double   real_min[3];             /* the least and greatest real
                                         coordinates: raw * scale + offset of
                                         the raw extremes, carried with a
                                         64-bit significand, rounded once. A
                                         negative scale (LAS does not forbid
                                         one) mirrors the axis: raw_max then
                                         gives real_min and raw_min real_max */
    double   real_max[3];
} tolvren_scan;

/* Scans the whole records of an uncompressed file once, from OffsetToData to
 * header->point_region_end, with `progress` (may be NULL) called with `user`
 * after each block and last with bytes_done == bytes_total (once, with 0
 * and 0, when there is no whole record). `header` is the file's header as
 * read by tolvren_read_header (pass NULL to have it read); another header
 * gives TOLVREN_EINVAL. Fails with TOLVREN_ELAYOUT when the point region
 * lies outside the file, TOLVREN_ECANCELED when progress asks to stop,
 * TOLVREN_ECHANGED when the file's size is not header->file_size (or it
 * shrinks during the scan).
 *
 * A compressed (LAZ) file is decoded chunk by chunk, the bytes in progress
 * being those of the chunks; for point formats 6-10 only the layers that
 * hold the returns and the coordinates are decoded. It fails with
 * TOLVREN_ECOMPRESSED when its points cannot be decoded at all and with
 * TOLVREN_ECORRUPT when a chunk or the chunk table is damaged (the detail
 * names the first damaged chunk and its first point; tolvren_check_file
 * lists what is wrong). Memory stays within one chunk's buffers, whatever
 * the file claims. */
TOLVREN_LAS_API int tolvren_scan_points(const char *path, const tolvren_header *header,
                                        tolvren_progress_fn progress, void *user,
                                        tolvren_scan *out,
                                        tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* The most threads a call takes; larger requests are cut to this. */
#define TOLVREN_MAX_THREADS 256u

/* As tolvren_scan_points, on `threads` threads (0 and 1 mean the calling
 * thread alone): a LAZ file's chunks are decoded in parallel, an
 * uncompressed file's point region is read in blocks in parallel. The
 * calling thread is one of them and the only one that calls `progress`.
 * The result is the same for any number of threads. */
TOLVREN_LAS_API int tolvren_scan_points_mt(const char *path, const tolvren_header *header,
                                           unsigned threads, tolvren_progress_fn progress,
                                           void *user, tolvren_scan *out,
                                           tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Checking a file
 * ------------------------------------------------------------------------ */

typedef enum tolvren_severity {
    TOLVREN_WARNING = 1, /* breaks a rule that readers tolerate */
    TOLVREN_ERROR = 2    /* the header is wrong about the file */
} tolvren_severity;

/* Stable codes of findings; tolvren_finding_name gives the snake_case name
 * used in machine-readable output. New codes are only ever appended. The
 * severity of each is fixed, except where the comment names two: W is
 * TOLVREN_WARNING, E TOLVREN_ERROR. Findings come in the order of this
 * list, and one fact is reported once (a count found wrong against the size
 * of the point region is not reported again as POINT_COUNT_MISMATCH). */
typedef enum tolvren_finding_code {
    TOLVREN_F_OFFSET_INSIDE_HEADER = 1,   /* E: OffsetToData below HeaderSize */
    TOLVREN_F_POINT_DATA_OUTSIDE_FILE,    /* E: OffsetToData beyond the end */
    TOLVREN_F_VLRS_PAST_OFFSET,           /* E: VLRs do not end by OffsetToData */
    TOLVREN_F_EVLRS_OUTSIDE_FILE,         /* E: EVLRs run past the end, or the
                                             first starts before the point data */
    TOLVREN_F_WAVEFORM_OUTSIDE_FILE,      /* E: global-encoding bit 1 says the
                                             waveform data are in the file, but
                                             their start is not between the
                                             point data and the end */
    TOLVREN_F_FEWER_RECORDS_THAN_COUNT,   /* E: the stored count needs more whole
                                             records than the point region holds */
    TOLVREN_F_MORE_RECORDS_THAN_COUNT,    /* E: whole records beyond the count */
    TOLVREN_F_TRAILING_BYTES,             /* W: a partial record at the end of
                                             the file; E: before the first EVLR
                                             or the waveform data */
    TOLVREN_F_BY_RETURN_SUM_ABOVE_COUNT,  /* E: by-return counts sum above count */
    TOLVREN_F_BY_RETURN_SUM_BELOW_COUNT,  /* W: ... below it (return numbers 0,
                                             or 6-7 in formats 0-5, count in no
                                             slot) */
    TOLVREN_F_LEGACY_MISMATCH,            /* E: 1.4 legacy fields neither the
                                             mirror (formats 0-5, at most
                                             4294967295 points) nor 0 (else) */
    TOLVREN_F_LEGACY_MIRRORED,            /* W: formats 6-10: a correct mirror
                                             where 1.4 asks for 0 */
    TOLVREN_F_MIN_ABOVE_MAX,              /* E: an axis with min > max (or NaN);
                                             W when the count is 0 */
    TOLVREN_F_BAD_SCALE,                  /* E: a scale zero, infinite or NaN, or
                                             an offset infinite or NaN */
    TOLVREN_F_FORMAT_NOT_IN_VERSION,      /* W: a format the version does not
                                             define (1.0-1.1: 0-1, 1.2: 0-3,
                                             1.3: 0-5) */
    TOLVREN_F_POINT_COUNT_MISMATCH,       /* E, scan: count differs */
    TOLVREN_F_BY_RETURN_MISMATCH,         /* E, scan: by-return counts differ (15
                                             slots in 1.4, 5 before) */
    TOLVREN_F_EXTENT_MISMATCH,            /* E, scan: an axis whose min or max is
                                             more than half a scale step from the
                                             points' (none without points) */
    TOLVREN_F_NOT_SCANNED,                /* W: scan asked for but impossible:
                                             compressed data that cannot be
                                             decoded, or the point region
                                             outside the file */
    TOLVREN_F_RECORDS_NOT_WALKED,         /* W: more VLRs or EVLRs than
                                             TOLVREN_MAX_WALKED_RECORDS: those
                                             after were not checked */
    TOLVREN_F_LASZIP_VLR_MISSING,         /* E: marked compressed, but no LASzip
                                             VLR: no reader can decode it */
    TOLVREN_F_LASZIP_VLR_MALFORMED,       /* E: a LASzip VLR of the wrong length,
                                             or naming a compressor, coder or
                                             item that does not exist */
    TOLVREN_F_LASZIP_ITEMS_MISMATCH,      /* E: LASzip items that do not make
                                             the header's point format and
                                             record length */
    TOLVREN_F_LASZIP_VLR_UNMARKED,        /* W: a LASzip VLR in a file whose
                                             format byte does not mark it
                                             compressed: readers disagree on
                                             what its points are */
    TOLVREN_F_CHUNK_TABLE_MISSING,        /* E, scan: the chunk table's position
                                             still points at itself (the writer
                                             stopped before writing the table) */
    TOLVREN_F_CHUNK_TABLE_OUTSIDE_FILE,   /* E, scan: the chunk table's position
                                             lies outside the point data or the
                                             file */
    TOLVREN_F_CHUNK_TABLE_INVALID,        /* E, scan: a table version other than
                                             0, entries that do not decode,
                                             chunks outside the point data or
                                             not ending where the table starts */
    TOLVREN_F_CHUNK_TABLE_AT_END,         /* W, scan: the position is -1 and the
                                             file's last 8 bytes give it:
                                             readers that do not look there
                                             cannot read the file */
    TOLVREN_F_CHUNK_UNDECODABLE,          /* E, scan: a chunk does not decode to
                                             exactly its points (truncated or
                                             damaged); the first is named, with
                                             its first point */
    TOLVREN_F_CHUNK_COUNT_MISMATCH,       /* E, scan: a layered chunk's own
                                             point count differs from what the
                                             chunk table or chunk size give it */
    /* What the VLRs and EVLRs say (tolvren_check_file only, from the
     * records tolvren_read_records decodes; the first two from the header
     * alone, in tolvren_check_header too). */
    TOLVREN_F_RESERVED_ENCODING_BITS,     /* W: global-encoding bits that the
                                             version does not define are set */
    TOLVREN_F_CREATION_DATE_INVALID,      /* W: a creation day above 366, or a
                                             year before 1990 or after today */
    TOLVREN_F_VLR_RESERVED_NONZERO,       /* W: a VLR or EVLR whose reserved
                                             field is not 0 (in LAS 1.0, not
                                             0 or 0xAABB) */
    TOLVREN_F_CRS_MISSING,                /* W: point format 6-10 without a
                                             WKT CRS record */
    TOLVREN_F_WKT_BIT_CLEAR,              /* W: point format 6-10 without the
                                             WKT bit of global encoding */
    TOLVREN_F_WKT_BIT_WITHOUT_WKT,        /* W: the WKT bit set, but no WKT
                                             CRS record: readers that follow the
                                             bit find no CRS */
    TOLVREN_F_CRS_RECORD_REPEATED,        /* W: more than one WKT record, or
                                             more than one GeoTIFF record of a
                                             kind: readers take different ones */
    TOLVREN_F_CRS_UNREADABLE,             /* W: a CRS record that cannot be
                                             decoded (a GeoTIFF key directory
                                             of the wrong size or version, keys
                                             whose values lie outside their
                                             records, WKT that is not text) */
    TOLVREN_F_CRS_CONFLICT,               /* E: the GeoTIFF keys and the WKT
                                             name different EPSG codes */
    TOLVREN_F_EXTRA_BYTES_MISMATCH,       /* E: the Extra Bytes VLR describes
                                             more bytes than the records'
                                             extra bytes (or cannot be decoded);
                                             W: fewer */
    TOLVREN_F_EXTRA_BYTES_UNDESCRIBED,    /* W: records with extra bytes and no
                                             Extra Bytes VLR */
    TOLVREN_F_COPC_INVALID,               /* E: a file with a COPC info VLR that
                                             breaks a rule of COPC files (the
                                             message names the first) */
    /* What the points themselves hold (TOLVREN_CHECK_POINTS only, from
     * tolvren_compute_statistics's pass; each message gives the count). */
    TOLVREN_F_RETURN_NUMBER_ZERO,         /* W: points with return number 0 */
    TOLVREN_F_RETURN_ABOVE_COUNT,         /* W: points whose return number is
                                             above their number of returns */
    TOLVREN_F_NUMBER_OF_RETURNS_ZERO,     /* W: points with number of returns 0 */
    TOLVREN_F_POINTS_OUTSIDE_EXTENTS,     /* E: points more than half a scale
                                             step outside the header's extents
                                             on an axis (with the worst
                                             distance); with TOLVREN_CHECK_SCAN
                                             too, EXTENT_MISMATCH says how the
                                             extents differ, this how many
                                             points they leave out */
    TOLVREN_F_CLASS_RESERVED,             /* W: points of a class the point
                                             format reserves (formats 0-5: 10,
                                             11 and 13-31; 6-10: 23-63) */
    TOLVREN_F_GPS_TIME_TYPE_MISMATCH,     /* W: GPS times that all lie within
                                             0 to 604800 (one week's seconds)
                                             while global-encoding bit 0 says
                                             adjusted standard GPS time, or
                                             times outside that range while
                                             the bit (clear, or absent before
                                             LAS 1.2) says GPS week time */
    TOLVREN_F_RGB_LOW_BITS_ONLY,          /* W: colours that use only the low 8
                                             of their 16 bits: every red, green
                                             and blue value at most 255, some
                                             not 0 */
    TOLVREN_F_SCAN_ANGLE_OUT_OF_RANGE     /* W: points whose scan angle lies
                                             outside -90 to 90 degrees
                                             (formats 6-10: the scaled value) */
} tolvren_finding_code;

typedef struct tolvren_finding {
    int severity;         /* tolvren_severity */
    int code;             /* tolvren_finding_code */
    char message[256];    /* one sentence, zero-terminated */
} tolvren_finding;

#define TOLVREN_MAX_FINDINGS 32

typedef struct tolvren_report {
    int errors;                       /* findings of severity TOLVREN_ERROR */
    int warnings;
    size_t count;                     /* findings held, at most TOLVREN_MAX_FINDINGS */
    tolvren_finding findings[TOLVREN_MAX_FINDINGS];
} tolvren_report;

TOLVREN_LAS_API const char *tolvren_finding_name(int code) TOLVREN_LAS_NOEXCEPT;
TOLVREN_LAS_API const char *tolvren_severity_name(int severity) TOLVREN_LAS_NOEXCEPT;

/* Checks a header against the file it came from and, when `scan` is not
 * NULL, against its point records; with a scan the legacy fields of 1.4 are
 * judged against the scanned counts, else against the 64-bit fields. Pure:
 * reads no file. TOLVREN_EINVAL for NULL pointers or a header no reader
 * would return (version outside 1.0-1.4, record length 0). */
TOLVREN_LAS_API int tolvren_check_header(const tolvren_header *header, const tolvren_scan *scan,
                                         tolvren_report *out) TOLVREN_LAS_NOEXCEPT;

#define TOLVREN_CHECK_SCAN 1u
#define TOLVREN_CHECK_POINTS 2u

/* Reads the header of `path` and checks it, with the LASzip VLR when there
 * is one; with TOLVREN_CHECK_SCAN also scans the points. With
 * TOLVREN_CHECK_POINTS it reads every field of every point as
 * tolvren_compute_statistics does and adds the findings from
 * TOLVREN_F_RETURN_NUMBER_ZERO on; given both flags, the points are read
 * once and that pass serves the scan too. A compressed file
 * is judged as an uncompressed one, against the points its chunks decode
 * to, plus the findings of its chunk table and chunks; it gets
 * TOLVREN_F_NOT_SCANNED only when its points cannot be decoded at all. When
 * a chunk is damaged, the points are not compared with the header (the
 * damaged chunk's cannot be trusted). Returns TOLVREN_OK when the file could
 * be checked, whatever it found. */
TOLVREN_LAS_API int tolvren_check_file(const char *path, unsigned flags,
                                       tolvren_progress_fn progress, void *user,
                                       tolvren_report *out,
                                       tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* As tolvren_check_file, scanning on `threads` threads as
 * tolvren_scan_points_mt does. */
TOLVREN_LAS_API int tolvren_check_file_mt(const char *path, unsigned flags, unsigned threads,
                                          tolvren_progress_fn progress, void *user,
                                          tolvren_report *out,
                                          tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Repairing a file in place
 * ------------------------------------------------------------------------ */

typedef enum tolvren_field {
    TOLVREN_FIELD_POINT_COUNT = 1,         /* 64-bit in 1.4, legacy before */
    TOLVREN_FIELD_POINTS_BY_RETURN,        /* index 0-14 in 1.4, 0-4 before */
    TOLVREN_FIELD_LEGACY_POINT_COUNT,      /* 1.4 only */
    TOLVREN_FIELD_LEGACY_POINTS_BY_RETURN, /* 1.4 only, index 0-4 */
    TOLVREN_FIELD_MIN,                     /* index 0-2: X, Y, Z */
    TOLVREN_FIELD_MAX
} tolvren_field;

typedef struct tolvren_change {
    int field;            /* tolvren_field */
    int index;            /* element of an array field, else 0 */
    int is_real;          /* 1: the values are old_real/new_real */
    uint64_t old_count, new_count;
    double old_real, new_real;
} tolvren_change;

#define TOLVREN_MAX_CHANGES 48

typedef struct tolvren_repair_result {
    size_t count;                     /* changes made (or, dry run, to make;
                                         or, when writing failed, that were
                                         to be made); in field order */
    tolvren_change changes[TOLVREN_MAX_CHANGES];
    int written;                      /* 1 when bytes were written: after
                                         TOLVREN_OK, and after
                                         TOLVREN_EWRITERESTORE, when the header
                                         may hold some of the new bytes */
    tolvren_scan scan;                /* what the points said */
} tolvren_repair_result;

/* The snake_case name of a field as in machine-readable output:
 * "point_count", "points_by_return", "legacy_point_count",
 * "legacy_points_by_return", "min", "max". */
TOLVREN_LAS_API const char *tolvren_field_name(int field) TOLVREN_LAS_NOEXCEPT;

#define TOLVREN_REPAIR_DRY_RUN 1u

/* Scans the points of a LAS 1.0-1.4 file, compressed or not, and rewrites in place
 * the count and extent fields that disagree with them:
 *   - the point count and by-return counts (the 64-bit ones in 1.4) from the
 *     scan, each only when it differs;
 *   - in 1.4 the six legacy fields as a group: the mirror of the scan for
 *     formats 0-5 with at most 4294967295 points; otherwise kept when they
 *     already hold a correct mirror, else set to 0;
 *   - an extent only when it lies more than half a scale step from the
 *     scanned one (scan->real_min or real_max, in order whatever the sign of
 *     the scale), then as that value; both extents of an axis when the two
 *     left as they are would still have the min above the max (a crossing of
 *     less than half a step, a NaN); none when there are no points or the
 *     axis's scale is unusable.
 * So a repaired header has no count or extent error in tolvren_check_header
 * against the repair's scan; where one would be left, the repair refuses.
 * A file already right stays byte-identical; with TOLVREN_REPAIR_DRY_RUN
 * nothing is written (and the file is never opened for writing). In a
 * compressed file only these header fields change; the compressed data are
 * never touched. Refuses untouched: TOLVREN_ECOMPRESSED when the points
 * cannot be decoded; TOLVREN_ECORRUPT when a chunk does not decode, or the
 * chunk table is missing or contradicts the chunks (rewriting the header
 * cannot mend those); TOLVREN_ELAYOUT when OffsetToData lies
 * inside the header or beyond the end, the VLRs or EVLRs run past their
 * place or are more than TOLVREN_MAX_WALKED_RECORDS, waveform data said to
 * be in the file start outside it, or the first EVLR or the waveform data
 * start inside a record; TOLVREN_ETOOMANYPOINTS; TOLVREN_EEXTENT when a file
 * with points has an axis whose min lies above its max (or is NaN) and whose
 * scale or offset is unusable, or takes the points beyond the doubles, so
 * that no extent can be written.
 * Writes the header bytes from the first changed field to the last in one
 * write (those between them as the file holds them), never changes the
 * length, and syncs before returning TOLVREN_OK; just before writing it
 * checks that the file is the same one, as long, with the same header bytes,
 * else TOLVREN_ECHANGED and nothing is written. TOLVREN_EWRITEOPEN only when
 * there is something to write.
 * The header is all old or all new whatever signal the process gets: the
 * one write of less than a page is never torn, and the calling thread blocks
 * every signal but those of faults from the write until the header is
 * synced or its original bytes are back (its mask is restored after; the
 * process's signal dispositions are never touched). A file-size limit
 * (RLIMIT_FSIZE) below the end of the bytes to write gives TOLVREN_EWRITE
 * with sys_errno EFBIG and nothing written; the SIGXFSZ a write raises is
 * taken back, never delivered. */
TOLVREN_LAS_API int tolvren_repair(const char *path, unsigned flags,
                                   tolvren_progress_fn progress, void *user,
                                   tolvren_repair_result *out,
                                   tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* As tolvren_repair, scanning on `threads` threads as tolvren_scan_points_mt
 * does. */
TOLVREN_LAS_API int tolvren_repair_mt(const char *path, unsigned flags, unsigned threads,
                                      tolvren_progress_fn progress, void *user,
                                      tolvren_repair_result *out,
                                      tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Setting header fields
 * ------------------------------------------------------------------------ */

/* The fields tolvren_set_fields writes, as bits of
 * tolvren_header_fields.which. All lie in bytes 4-93, which say who made the
 * file and when, never where its records are. */
#define TOLVREN_SET_FILE_SOURCE_ID      0x01u  /* bytes 4-5, LAS 1.1 on */
#define TOLVREN_SET_SYSTEM_IDENTIFIER   0x02u  /* bytes 26-57 */
#define TOLVREN_SET_GENERATING_SOFTWARE 0x04u  /* bytes 58-89 */
#define TOLVREN_SET_CREATION_DATE       0x08u  /* day of year at 90, year at 92 */
#define TOLVREN_SET_GUID                0x10u  /* bytes 8-23 */
#define TOLVREN_SET_GPS_TIME_TYPE       0x20u  /* global-encoding bit 0, LAS 1.2 on */
#define TOLVREN_SET_WKT                 0x40u  /* global-encoding bit 4, LAS 1.4 */

/* The values to write; only the fields named in `which` are read. */
typedef struct tolvren_header_fields {
    unsigned which;                   /* TOLVREN_SET_* bits of the fields to set */
    uint16_t file_source_id;
    const char *system_identifier;    /* zero-terminated, at most 32 bytes of printable ASCII */
    const char *generating_software;  /* the same */
    uint16_t creation_day;            /* 1-366 */
    uint16_t creation_year;
    uint8_t guid[16];                 /* as stored in the file */
    int gps_time_adjusted;            /* 1: adjusted standard GPS time (bit set); 0: GPS week time */
    int wkt;                          /* 1: the CRS is given as WKT (bit set); 0: cleared */
} tolvren_header_fields;

typedef struct tolvren_set_result {
    unsigned changed;        /* TOLVREN_SET_* bits of the fields whose bytes change (dry run: would) */
    int written;             /* 1 when bytes were written (as tolvren_repair_result.written) */
    tolvren_header before;   /* the header as read */
    tolvren_header after;    /* the header as it is (or, dry run, would be) after */
} tolvren_set_result;

#define TOLVREN_SET_DRY_RUN 1u

/* Writes in place the header fields that fields->which names, and no other
 * byte: a value equal to the one stored changes nothing and is not in
 * out->changed, and a bit of global encoding leaves the other bits as they
 * are. A text is written zero-padded to the field's 32 bytes. Only header
 * bytes are read and written, so a compressed (LAZ) file is set like any
 * other. out->before is the header as read, out->after as a read after the
 * call gives it (with TOLVREN_SET_DRY_RUN: would give it; nothing is then
 * written and the file is never opened for writing).
 * Refuses with TOLVREN_EFIELD, the file untouched: a value the field cannot
 * hold (a text longer than 32 bytes or with a byte that is not printable
 * ASCII, refused and never cut; a day of 0 or above 366; a bit value other
 * than 0 or 1; no bit or an unknown bit in `which`), judged before the file
 * is opened; and a field the file's version does not have (the file source
 * ID in LAS 1.0, the GPS time type before 1.2, the WKT bit before 1.4), or
 * the WKT bit cleared in point formats 6-10, which LAS 1.4 requires to give
 * their CRS as WKT. TOLVREN_EINVAL for a NULL pointer (the text of a field
 * named in `which` included) or an unknown flag. A file that is not LAS, or
 * whose header tolvren_read_header refuses, is refused with its code.
 * The write is tolvren_repair's: the changed bytes in one write of less
 * than a page with the calling thread's signals blocked, after a check that
 * the file is the same one, as long, with the same header bytes (else
 * TOLVREN_ECHANGED and nothing written), synced before TOLVREN_OK; a
 * file-size limit below them gives TOLVREN_EWRITE with sys_errno EFBIG.
 * TOLVREN_EWRITEOPEN only when there is something to write. */
TOLVREN_LAS_API int tolvren_set_fields(const char *path, const tolvren_header_fields *fields, unsigned flags,
                                       tolvren_set_result *out, tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* The snake_case name of one TOLVREN_SET_* bit as in machine-readable
 * output: "file_source_id", "system_identifier", "generating_software",
 * "creation_date", "guid", "gps_time_type", "wkt"; NULL for anything but
 * one of those bits. */
TOLVREN_LAS_API const char *tolvren_set_field_name(unsigned bit) TOLVREN_LAS_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Decompressing a LAZ file
 * ------------------------------------------------------------------------ */

/* What a decompression wrote. */
typedef struct tolvren_decompress_result {
    uint64_t points;              /* point records written: those the chunks
                                     hold */
    uint64_t bytes_written;       /* bytes of the output file as written and
                                     synced */
    uint64_t output_size;         /* the size of the file at the output path
                                     once it is in place */
    uint64_t header_point_count;  /* the point count of the input's header */
    int counts_changed;           /* 1 when a count field of the output (the
                                     point count, the by-return counts, the
                                     1.4 legacy fields) differs from the
                                     input's */
} tolvren_decompress_result;

/* Replace an existing file at the output path. */
#define TOLVREN_DECOMPRESS_FORCE 1u

/* Writes the uncompressed LAS file of the LAZ file `in_path` to `out_path`,
 * decoding its chunks on `threads` threads (as tolvren_scan_points_mt;
 * `progress` as there, in bytes of the chunks).
 * The output is the input with the points decoded:
 *   - the public header (with any bytes after it up to the first VLR) with
 *     the compression bits (6 and 7) of the point format byte cleared,
 *     OffsetToData and the VLR count set for the new layout, the count
 *     fields set as tolvren_repair sets them from the records written (so
 *     they tell the truth when the input's header did not), and the start of
 *     the first EVLR (LAS 1.4) and of the waveform data (LAS 1.3 and 1.4)
 *     moved with the bytes after the point data when they point there; every
 *     other field as it is;
 *   - every VLR but the LASzip VLR, byte for byte and in order, and the bytes
 *     between the last VLR and the point data;
 *   - the records the chunks decode to, in file order; when the header's
 *     point count differs from what the chunks hold (the last chunk of
 *     fixed-size chunks holds more or fewer points, or the chunk table sums
 *     to another count), the records are those of the chunks;
 *   - everything after the point data (the EVLRs, waveform data kept in the
 *     file) as it is.
 * Memory stays within a few buffers a thread: each chunk's records are
 * written to their place in the output as they are decoded.
 * The output is written to a new file beside it (same directory, created
 * exclusively with the mode of any new file), synced, and renamed into place
 * (and its directory synced) only when it is complete. On any failure no
 * output appears and the new file is removed (but for a failed sync of the
 * directory: TOLVREN_EWRITE, the output in place). TOLVREN_ECORRUPT for a
 * chunk that does not decode or a chunk table that is missing or
 * contradicts the chunks (the layered chunks' own counts included);
 * TOLVREN_ECOMPRESSED when the points cannot be decoded at all;
 * TOLVREN_ELAYOUT when the layout leaves doubt (as for tolvren_repair, or a
 * chunk table past the start of the EVLRs); TOLVREN_ETOOMANYPOINTS when a
 * LAS 1.0-1.3 file's chunks hold more than 4294967295 points;
 * TOLVREN_ECANCELED when `progress` asks to stop; TOLVREN_EWRITE when a
 * write, the sync or the rename fails (a full disk, a file-size limit:
 * sys_errno tells); TOLVREN_EREAD, TOLVREN_ECHANGED, TOLVREN_ENOMEM.
 * Refused before anything is written: TOLVREN_EINVAL when the input's points
 * are not compressed (there is nothing to decompress) or when the output
 * path names the input file (the same device and inode: the same path,
 * another link, a symbolic link to it), also with the force flag;
 * TOLVREN_EWRITEOPEN with sys_errno EEXIST when the output path exists (a
 * dangling symbolic link too) and `flags` lacks TOLVREN_DECOMPRESS_FORCE
 * (with it, a symbolic link there is replaced, not the file it leads to),
 * with EISDIR when it is a directory, and with the errno of the failure when
 * the new file cannot be created. The input is only ever read. */
TOLVREN_LAS_API int tolvren_decompress(const char *in_path, const char *out_path, unsigned flags,
                                       unsigned threads, tolvren_progress_fn progress, void *user,
                                       tolvren_decompress_result *out,
                                       tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* ------------------------------------------------------------------------
 * What the VLRs and EVLRs say
 * ------------------------------------------------------------------------
 * Variable-length records follow the public header (VLRs: a 54-byte header,
 * at most 65535 bytes of data) and, in LAS 1.4, the point data (EVLRs: a
 * 60-byte header and a 64-bit length). Each is named by a user id and a
 * record id; the LAS format defines these:
 *   "LASF_Projection" 2112   the CRS as OGC WKT text
 *   "LASF_Projection" 34735  GeoTIFF GeoKeyDirectoryTag (the keys)
 *   "LASF_Projection" 34736  GeoTIFF GeoDoubleParamsTag (their doubles)
 *   "LASF_Projection" 34737  GeoTIFF GeoAsciiParamsTag (their text)
 *   "LASF_Spec" 4            Extra Bytes: what the bytes after a record's
 *                            standard fields hold
 * and compressed files add "laszip encoded" 22204 (how the points are
 * compressed), COPC files "copc" 1 (the octree) and the EVLR "copc" 1000
 * (its hierarchy). tolvren_read_records lists every record and decodes
 * these in one read of the file. */

/* One VLR or EVLR, as its header says. */
typedef struct tolvren_record {
    int extended;             /* 0: a VLR, 1: an EVLR */
    uint32_t index;           /* its place among the VLRs or EVLRs, from 0 */
    uint16_t reserved;        /* bytes 0-1 of its header */
    char user_id[17];         /* 16 bytes, zero-terminated copy */
    uint16_t record_id;
    uint64_t length;          /* bytes of data after its header */
    char description[33];     /* 32 bytes, zero-terminated copy */
    uint64_t offset;          /* where its header starts in the file */
    uint64_t data_offset;     /* where its data start */
    int complete;             /* 1 when its data lie whole inside its place
                                 (a VLR's before OffsetToData, an EVLR's
                                 before the end of the file) */
} tolvren_record;

/* One GeoTIFF key of the key directory, with its value. */
typedef struct tolvren_geokey {
    uint16_t id;              /* tolvren_geokey_name() names it */
    uint16_t location;        /* 0: the value is value_offset itself;
                                 34736: doubles, 34737: ASCII text */
    uint16_t count;           /* values (doubles) or characters (text) */
    uint16_t value_offset;    /* the value, or its index in the doubles or
                                 the text */
    int value_found;          /* 0 when the value lies outside its record,
                                 or the location is none of the three */
    double value;             /* the short, or the first double */
    char text[256];           /* the text, without the '|' that ends it,
                                 cut to 255 bytes; empty for numbers */
} tolvren_geokey;

typedef enum tolvren_crs_source {
    TOLVREN_CRS_NONE = 0,     /* no CRS record of the kind readers use */
    TOLVREN_CRS_GEOTIFF = 1,  /* the GeoTIFF keys */
    TOLVREN_CRS_WKT = 2       /* the OGC WKT record */
} tolvren_crs_source;

/* The coordinate reference system of a file. */
typedef struct tolvren_crs {
    int source;                  /* tolvren_crs_source: where readers take the
                                    CRS from. With both kinds of record, the
                                    WKT bit decides (point formats 6-10 always
                                    use WKT); with one kind, that one */
    int wkt_records;             /* "LASF_Projection" 2112 records found */
    int geotiff_records;         /* "LASF_Projection" 34735 records found */
    int wkt_bit;                 /* global-encoding bit 4 (LAS 1.4) */
    int wkt_bit_agrees;          /* 1 when the bit is set exactly when the
                                    file has a WKT record (before LAS 1.4,
                                    when the bit is clear) */
    uint32_t horizontal_epsg;    /* of the source: 0 when it names none */
    uint32_t vertical_epsg;
    uint32_t geotiff_horizontal_epsg;  /* what each kind names */
    uint32_t geotiff_vertical_epsg;
    uint32_t wkt_horizontal_epsg;
    uint32_t wkt_vertical_epsg;
    int geographic;              /* 1: the horizontal CRS is in degrees of
                                    longitude and latitude */
    uint32_t linear_unit_epsg;   /* horizontal unit of a projected CRS:
                                    9001 metre, 9002 foot, 9003 US survey
                                    foot...; 0 unknown */
    double linear_unit_metres;   /* metres per unit; 0 unknown */
    char linear_unit_name[32];   /* "metre", "US survey foot"; "" unknown */
    uint32_t vertical_unit_epsg;
    double vertical_unit_metres;
    char vertical_unit_name[32];
    int problem;                 /* 1 when a CRS record could not be decoded
                                    (tolvren_check_file says which) */
} tolvren_crs;

/* One dimension of the Extra Bytes VLR. */
typedef struct tolvren_extra_dimension {
    uint8_t data_type;        /* 0: undocumented bytes; 1-10: uint8, int8,
                                 uint16, int16, uint32, int32, uint64,
                                 int64, float, double; 11-30: the same as
                                 tuples of 2 (11-20) or 3 (21-30) */
    uint8_t options;          /* bits: 0 no_data, 1 min, 2 max, 3 scale,
                                 4 offset are given; data type 0: the
                                 number of bytes */
    uint8_t components;       /* 1, 2 or 3 */
    char name[33];
    char description[33];
    uint32_t size;            /* bytes it takes in each record */
    uint32_t record_offset;   /* its first byte, counted from the first
                                 extra byte of a record */
    double no_data[3];        /* as the data type reads them */
    double min[3];
    double max[3];
    double scale[3];          /* 1 when not given */
    double offset[3];         /* 0 when not given */
} tolvren_extra_dimension;

typedef struct tolvren_laszip_item {
    uint16_t type;            /* tolvren_laszip_item_name() names it */
    uint16_t size;
    uint16_t version;
} tolvren_laszip_item;

/* The LASzip VLR of a compressed file. */
typedef struct tolvren_laszip {
    int found;                /* 1 when the file has one */
    int valid;                /* 1 when it can be decoded and fits the
                                 header's point format and record length */
    uint64_t offset;          /* where its header starts */
    uint16_t compressor;      /* 1 point-wise, 2 point-wise chunked, 3
                                 layered chunked */
    uint16_t coder;           /* 0: arithmetic */
    uint8_t version_major;
    uint8_t version_minor;
    uint16_t version_revision;
    uint32_t options;
    uint32_t chunk_size;      /* points a chunk; 0xFFFFFFFF: chunks vary */
    int64_t special_evlr_count;
    int64_t special_evlr_offset;
    uint16_t item_count;      /* items the VLR names; at most 16 held */
    tolvren_laszip_item items[16];
} tolvren_laszip;

#define TOLVREN_COPC_MAX_LEVELS 32

/* The COPC info VLR and the hierarchy it leads to. */
typedef struct tolvren_copc {
    int found;                /* 1 when the file has a "copc" 1 VLR */
    int valid;                /* 1 when the file keeps every COPC rule
                                 checked: the info VLR first, its header at
                                 byte 375 of a LAS 1.4 file of point format
                                 6-8, compressed; a hierarchy EVLR holding
                                 the root page; pages that decode and whose
                                 points add up to the header's count */
    double center[3];
    double halfsize;
    double spacing;
    uint64_t root_hier_offset;
    uint64_t root_hier_size;
    double gpstime_min;
    double gpstime_max;
    int hierarchy_read;       /* 1 when every page of the hierarchy was read */
    uint64_t pages;           /* hierarchy pages read */
    uint32_t levels;          /* octree levels with nodes */
    uint64_t nodes[TOLVREN_COPC_MAX_LEVELS];   /* nodes with points, by level */
    uint64_t points[TOLVREN_COPC_MAX_LEVELS];  /* their points, by level */
    uint64_t hierarchy_points;                 /* all of them */
    char problem[256];        /* the first rule broken, "" when none */
} tolvren_copc;

/* Records listed and decoded at most; the counts say how many there are. */
#define TOLVREN_MAX_LISTED_RECORDS 128
#define TOLVREN_MAX_GEOKEYS 96
#define TOLVREN_MAX_EXTRA_DIMENSIONS 64
#define TOLVREN_MAX_WKT_BYTES 16384

/* Everything the records of a file say. About 80 KB: allocate it rather
 * than putting it on a small stack. */
typedef struct tolvren_records {
    tolvren_header header;    /* as tolvren_read_header reads it */
    size_t vlr_count;         /* VLRs walked */
    size_t evlr_count;        /* EVLRs walked */
    size_t listed;            /* records held: VLRs first, then EVLRs */
    tolvren_record records[TOLVREN_MAX_LISTED_RECORDS];
    tolvren_crs crs;
    size_t geokey_count;      /* keys in the directory (geokeys holds at
                                 most TOLVREN_MAX_GEOKEYS) */
    tolvren_geokey geokeys[TOLVREN_MAX_GEOKEYS];
    uint64_t wkt_length;      /* bytes of WKT text, without trailing zeros */
    char wkt[TOLVREN_MAX_WKT_BYTES];  /* the WKT of the record readers use
                                 (the first one), zero-terminated; a longer
                                 text is cut (tolvren_read_record_data
                                 gives all of it) */
    size_t extra_dimension_count;
    tolvren_extra_dimension extra_dimensions[TOLVREN_MAX_EXTRA_DIMENSIONS];
    int extra_bytes_problem;  /* 1 when the Extra Bytes VLR's length is no
                                 multiple of 192 bytes */
    tolvren_laszip laszip;
    tolvren_copc copc;
} tolvren_records;

/* Reads the header of `path`, walks its VLRs and EVLRs (as far as
 * TOLVREN_MAX_WALKED_RECORDS each) and fills `out`: the header, every
 * record's header
 * (the first TOLVREN_MAX_LISTED_RECORDS), the CRS from the GeoTIFF keys and
 * the WKT record, the Extra Bytes dimensions, the LASzip VLR and the COPC
 * info and hierarchy. The first record of each kind is the one decoded.
 * Work is bounded by the bytes the records really hold: WKT text and
 * GeoTIFF parameters are read up to 1 MiB each, the COPC hierarchy page by
 * page, each page once. Returns TOLVREN_OK whatever the records hold (what
 * is wrong with them is for tolvren_check_file to say); the reader's
 * refusals as tolvren_read_header; TOLVREN_EREAD on an I/O error. */
TOLVREN_LAS_API int tolvren_read_records(const char *path, tolvren_records *out,
                                         tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* Reads the data of `record` (as tolvren_read_records listed it) into
 * `buffer`: the first min(capacity, length) bytes, and sets `*size` to how
 * many were read (fewer when the file ends first). */
TOLVREN_LAS_API int tolvren_read_record_data(const char *path, const tolvren_record *record,
                                             void *buffer, size_t capacity, size_t *size,
                                             tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* The name of a GeoTIFF key ("ProjectedCSTypeGeoKey"), NULL for an id the
 * GeoTIFF format does not define. */
TOLVREN_LAS_API const char *tolvren_geokey_name(unsigned id) TOLVREN_LAS_NOEXCEPT;

/* The name of a LASzip item type ("POINT10", "GPSTIME11", "RGB12",
 * "WAVEPACKET13", "POINT14", "RGB14", "RGBNIR14", "WAVEPACKET14", "BYTE14",
 * "BYTE"), NULL for an unknown type. */
TOLVREN_LAS_API const char *tolvren_laszip_item_name(unsigned type) TOLVREN_LAS_NOEXCEPT;

/* The name of an Extra Bytes data type 0-30 ("undocumented", "uint8", ...,
 * "double", "uint8[2]", ..., "double[3]"), NULL beyond. */
TOLVREN_LAS_API const char *tolvren_extra_type_name(unsigned data_type) TOLVREN_LAS_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Statistics of the point records
 * ------------------------------------------------------------------------
 * Every point data format holds X, Y, Z, intensity, the returns, the scan
 * direction and edge of flight line flags, a classification with flags, a
 * scan angle, user data and a point source ID; formats 1 and 3-10 add a GPS
 * time, 2, 3, 5, 7, 8 and 10 red, green and blue, 8 and 10 near infrared.
 * Formats 0-5 keep the return number and the number of returns in 3 bits
 * each, the class in the low 5 bits of its byte (bits 5-7: synthetic,
 * key-point, withheld) and the scan angle as whole degrees in a signed
 * byte; formats 6-10 take 4 bits for each return field, a byte for the
 * class, a byte for the classification flags (synthetic, key-point,
 * withheld, overlap), the scanner channel (2 bits) and the two scan flags,
 * and a signed 16-bit scan angle in units of 0.006 degrees. */

/* The least and greatest value of one field over the points. */
typedef struct tolvren_range {
    int present;              /* 1 when the point format has the field */
    double min;               /* both 0 when there are no points or no */
    double max;               /* such field */
} tolvren_range;

/* How many points carry one point source ID. */
typedef struct tolvren_source_count {
    uint16_t id;
    uint64_t points;
} tolvren_source_count;

/* The values of one dimension of the Extra Bytes VLR over the points. */
typedef struct tolvren_extra_range {
    char name[33];            /* as the VLR names it */
    uint8_t data_type;        /* as tolvren_extra_dimension */
    uint8_t components;       /* 1-3; 0 when the dimension has no typed
                                 values to read (data type 0 or above 30)
                                 or does not fit in the records' extra
                                 bytes */
    uint64_t values[3];       /* points whose value is not the no_data value
                                 (every point when the VLR gives none) */
    double min[3];            /* the least and greatest value of each
                                 component, raw * scale + offset (in order
                                 whatever the sign of the scale; 64-bit
                                 integers beyond 2^53 are rounded to a
                                 double first); 0 when values is 0 */
    double max[3];
} tolvren_extra_range;

/* Point source IDs listed at most, and Extra Bytes dimensions measured. */
#define TOLVREN_STATS_MAX_SOURCES 64
#define TOLVREN_STATS_MAX_EXTRA 32

/* Everything one pass over the point records learns. About 10 KB. */
typedef struct tolvren_statistics {
    tolvren_scan scan;              /* count, returns and extents, exactly as
                                       tolvren_scan_points gives them */
    uint8_t point_format;           /* the header's, 0-10 */
    /* Each standard field of the point format. The flags and the scanner
       channel range over their bit values (0 or 1; 0-3). */
    tolvren_range return_number;
    tolvren_range number_of_returns;
    tolvren_range classification;   /* formats 0-5: the low 5 bits */
    tolvren_range synthetic;
    tolvren_range key_point;
    tolvren_range withheld;
    tolvren_range overlap;          /* formats 6-10 */
    tolvren_range scanner_channel;  /* formats 6-10 */
    tolvren_range scan_direction;
    tolvren_range edge_of_flight_line;
    tolvren_range scan_angle;       /* as stored: degrees (formats 0-5),
                                       units of 0.006 degrees (6-10) */
    tolvren_range scan_angle_degrees;  /* in degrees, in every format */
    tolvren_range user_data;
    tolvren_range point_source_id;
    tolvren_range gps_time;         /* NaN times are left out */
    tolvren_range intensity;
    tolvren_range red;
    tolvren_range green;
    tolvren_range blue;
    tolvren_range nir;              /* formats 8 and 10 */
    /* Points with each classification flag set. */
    uint64_t synthetic_points;
    uint64_t key_point_points;
    uint64_t withheld_points;
    uint64_t overlap_points;
    /* Points by class: 0-31 in formats 0-5 (the flag bits apart), 0-255 in
       6-10. tolvren_class_name names them. */
    uint64_t classes[256];
    /* Points by number of returns and return number:
       returns[number of returns][return number], 0-7 each in formats 0-5,
       0-15 in 6-10. */
    uint64_t returns[16][16];
    /* The flight lines. sources holds the TOLVREN_STATS_MAX_SOURCES point
       source IDs with the most points, most first (ties: the lower ID
       first), whatever the number of threads; other_source_points counts
       the points of every other ID. */
    size_t source_ids;              /* distinct point source IDs */
    size_t source_count;            /* entries in sources */
    tolvren_source_count sources[TOLVREN_STATS_MAX_SOURCES];
    uint64_t other_source_points;
    /* The dimensions of the Extra Bytes VLR, in its order: extra_count of
       them, the first TOLVREN_STATS_MAX_EXTRA measured in extra. */
    size_t extra_count;
    tolvren_extra_range extra[TOLVREN_STATS_MAX_EXTRA];
    /* What the point checks count. */
    uint64_t return_number_zero;    /* points with return number 0 */
    uint64_t return_above_count;    /* return number > number of returns */
    uint64_t number_of_returns_zero;
    uint64_t outside_extents;       /* points more than half a scale step
                                       outside the header's extents on some
                                       axis (axes whose scale, offset or
                                       extents are unusable are left out) */
    double outside_distance;        /* the largest such distance, in the
                                       axis's real units; 0 when none */
    uint64_t reserved_class;        /* points of a class the format reserves
                                       (formats 0-5: 10, 11 and 13-31; 6-10:
                                       23-63) */
    uint64_t scan_angle_outside;    /* scan angle outside -90 to 90 degrees */
} tolvren_statistics;

/* Reads every point record of `path` once, compressed or not, and fills
 * `out`: the points of an uncompressed file in blocks on `threads`
 * threads, a LAZ file's chunks on `threads` threads with every layer
 * decoded. `progress` (may be NULL) hears of the bytes done as in
 * tolvren_scan_points_mt, on the calling thread only. Memory stays the
 * same whatever the size of the file: under 1 MB a thread, and a LAZ
 * chunk's buffers. The result is
 * the same for any number of threads. Fails as tolvren_scan_points does
 * (the reader's refusals, TOLVREN_ELAYOUT, TOLVREN_ECOMPRESSED,
 * TOLVREN_ECORRUPT, TOLVREN_ECHANGED, TOLVREN_ECANCELED, TOLVREN_EREAD,
 * TOLVREN_ENOMEM); `out` is complete only on TOLVREN_OK. */
TOLVREN_LAS_API int tolvren_compute_statistics(const char *path, unsigned threads, tolvren_progress_fn progress,
                                               void *user, tolvren_statistics *out,
                                               tolvren_detail *detail) TOLVREN_LAS_NOEXCEPT;

/* The ASPRS name of class `classification` in point format `point_format`:
 * "Never classified" (0), "Unclassified", "Ground", "Low Vegetation",
 * "Medium Vegetation", "High Vegetation", "Building", "Low Point (noise)",
 * then in formats 0-5 (the classes of LAS 1.0-1.3, which LAS 1.4 keeps for
 * them) "Model Key-point" (8), "Water", "Reserved" (10, 11), "Overlap
 * Points" (12) and "Reserved" up to 31; in formats 6-10 "Reserved" (8),
 * "Water", "Rail", "Road Surface", "Reserved" (12), "Wire - Guard (Shield)",
 * "Wire - Conductor (Phase)", "Transmission Tower", "Wire-structure
 * Connector (e.g. Insulator)", "Bridge Deck", "High Noise" (18), "Overhead
 * Structure", "Ignored Ground", "Snow", "Temporal Exclusion" (22),
 * "Reserved" up to 63 and "User definable" from 64 to 255. NULL for a class
 * the format's field cannot hold (above 31 in formats 0-5, above 255) or a
 * format above 10. */
TOLVREN_LAS_API const char *tolvren_class_name(unsigned classification, unsigned point_format) TOLVREN_LAS_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* TOLVREN_LAS_H */
