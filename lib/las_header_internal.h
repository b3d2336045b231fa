// Internal to the header API (the las_header_*.cpp sources): what they share
// with each other. Never installed and no part of the library's interface;
// the public header is tolvren_las.h. Every function declared here is defined
// in the source file named above its group.
#ifndef TOLVREN_LAS_HEADER_INTERNAL_H
#define TOLVREN_LAS_HEADER_INTERNAL_H

#include "tolvren_internal.h"
#include "tolvren_las.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tolvren::las {

// ---------------------------------------------------------------------------
// The public header's bytes
// ---------------------------------------------------------------------------
// The layout of a LAS 1.4 public header; 1.0-1.2 stop at 227 bytes and 1.3 at
// 235, every field keeping its place. The record is never read through: it
// pins the offsets (offsetof) that the decoder and the repair use on bytes.
#pragma pack(push, 1)
struct PublicHeaderLayout {
    char signature[4];
    std::uint16_t file_source_id;
    std::uint16_t global_encoding;
    std::uint8_t guid[16];
    std::uint8_t version_major;
    std::uint8_t version_minor;
    char system_identifier[32];
    char generating_software[32];
    std::uint16_t creation_day;
    std::uint16_t creation_year;
    std::uint16_t header_size;
    std::uint32_t offset_to_point_data;
    std::uint32_t number_of_vlrs;
    std::uint8_t point_format;
    std::uint16_t point_record_length;
    std::uint32_t legacy_point_count;
    std::uint32_t legacy_points_by_return[5];
    double scale[3];
    double offset[3];
    double max_x, min_x, max_y, min_y, max_z, min_z;
    std::uint64_t start_of_waveform_data;
    std::uint64_t start_of_first_evlr;
    std::uint32_t number_of_evlrs;
    std::uint64_t point_count;
    std::uint64_t points_by_return[15];
};
#pragma pack(pop)

static_assert(sizeof(PublicHeaderLayout) == TOLVREN_HEADER_SIZE_1_4, "LAS 1.4 public header is 375 bytes");
static_assert(offsetof(PublicHeaderLayout, version_major) == 24 && offsetof(PublicHeaderLayout, creation_day) == 90 &&
                  offsetof(PublicHeaderLayout, header_size) == 94 && offsetof(PublicHeaderLayout, point_format) == 104 &&
                  offsetof(PublicHeaderLayout, point_record_length) == 105 &&
                  offsetof(PublicHeaderLayout, legacy_point_count) == 107 &&
                  offsetof(PublicHeaderLayout, scale) == 131 && offsetof(PublicHeaderLayout, max_x) == 179 &&
                  offsetof(PublicHeaderLayout, min_z) == 219,
              "LAS 1.0-1.2 fields");
static_assert(offsetof(PublicHeaderLayout, start_of_waveform_data) == TOLVREN_HEADER_SIZE_1_0 &&
                  offsetof(PublicHeaderLayout, start_of_first_evlr) == TOLVREN_HEADER_SIZE_1_3 &&
                  offsetof(PublicHeaderLayout, number_of_evlrs) == 243 &&
                  offsetof(PublicHeaderLayout, point_count) == 247 &&
                  offsetof(PublicHeaderLayout, points_by_return) == 255,
              "LAS 1.3 and 1.4 fields");

// The extents of one axis: maximum, then minimum, 16 bytes per axis.
constexpr std::size_t max_offset(std::size_t axis) { return offsetof(PublicHeaderLayout, max_x) + 16 * axis; }
constexpr std::size_t min_offset(std::size_t axis) { return offsetof(PublicHeaderLayout, min_x) + 16 * axis; }

// The first bytes of a file, as many as its version's public header holds.
using HeaderImage = std::array<unsigned char, TOLVREN_HEADER_SIZE_1_4>;

template <typename T>
T load(const unsigned char *bytes, std::size_t offset) noexcept {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

template <typename T>
void store(unsigned char *bytes, std::size_t offset, T value) noexcept {
    std::memcpy(bytes + offset, &value, sizeof value);
}

// ---------------------------------------------------------------------------
// The library's shared pieces (tolvren_internal.h)
// ---------------------------------------------------------------------------

using internal::ByteRun;
using internal::Descriptor;
using internal::OpenedFile;
using internal::PatchStatus;
using internal::PointSummary;
using internal::ScanProgress;
using internal::ScanStatus;
using internal::patch_runs;
using internal::read_at;
using internal::real_coordinate;
using internal::scan_point_records;

// ---------------------------------------------------------------------------
// Failures (las_header_read.cpp)
// ---------------------------------------------------------------------------

// Fills `detail` (when not NULL) with the code, the errno and a sentence
// built from `format`, prefixed with "path: " when `path` is not NULL, and
// returns `code`.
int fail(tolvren_detail *detail, int code, int sys_errno, const char *path, const char *format, ...) noexcept
    __attribute__((format(printf, 5, 6)));

// Sets `detail` (when not NULL) to "no failure".
void clear(tolvren_detail *detail) noexcept;

// ---------------------------------------------------------------------------
// Reading (las_header_read.cpp)
// ---------------------------------------------------------------------------

// The public header size of version 1.minor.
std::size_t public_header_size(unsigned version_minor) noexcept;

// The record length of a point format 0-10.
std::uint16_t standard_record_length(unsigned format) noexcept;

// Opens `path` as open_regular_file does and turns a failure into a
// tolvren_error with its detail: TOLVREN_EOPEN (TOLVREN_EWRITEOPEN when
// `for_writing`) or TOLVREN_ENOTREGULAR.
int open_file(const char *path, bool for_writing, OpenedFile &out, tolvren_detail *detail) noexcept;

// Opens `path` for reading and reads its header into `out`, walking its VLR
// and EVLR headers, and its first bytes into `image` (the rest zero).
// Returns a tolvren_error.
int open_and_read_header(const char *path, OpenedFile &file, tolvren_header &out, HeaderImage &image,
                         tolvren_detail *detail) noexcept;

// ---------------------------------------------------------------------------
// Scanning (las_header_scan.cpp)
// ---------------------------------------------------------------------------

// Scans the point region that `header` describes in the open file `fd`.
// Returns a tolvren_error; `out` is complete only on TOLVREN_OK.
int scan_fd(int fd, const tolvren_header &header, tolvren_progress_fn progress, void *user, const char *path,
            tolvren_scan &out, tolvren_detail *detail) noexcept;

// ---------------------------------------------------------------------------
// Rules shared by the check and the repair (las_header_check.cpp)
// ---------------------------------------------------------------------------

// What the six legacy count fields of a LAS 1.4 header are, measured against
// a point count and five by-return counts (scanned, or the header's own
// 64-bit fields).
enum class Legacy {
    as_required,  // what the format asks for: the mirror, or zeros
    mirrored,     // a correct mirror where zeros are asked for (readers accept it)
    wrong,        // neither
};

// Whether the legacy fields must mirror the counts: formats 0-5 with at most
// 4294967295 points. Otherwise they must be 0.
bool legacy_must_mirror(const tolvren_header &header, std::uint64_t count) noexcept;

Legacy judge_legacy(const tolvren_header &header, std::uint64_t count, const std::uint64_t *by_return) noexcept;

// Whether a stored extent lies more than half a scale step from the scanned
// one (a NaN anywhere counts as off).
bool extent_off(double stored, double scanned, double scale) noexcept;

// Whether a scale factor can turn raw coordinates into real ones.
bool scale_usable(double scale) noexcept;

}  // namespace tolvren::las

#endif  // TOLVREN_LAS_HEADER_INTERNAL_H
