// Internal to the header API (the las_header_*.cpp sources): what they share
// with each other. Never installed and no part of the library's interface;
// the public header is tolvren_las.h. Every function declared here is defined
// in the source file named above its group.
#ifndef TOLVREN_LAS_HEADER_INTERNAL_H
#define TOLVREN_LAS_HEADER_INTERNAL_H

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
// Files (las_header_io.cpp)
// ---------------------------------------------------------------------------
// Interim: the library's shared file helpers are to hold these; until then
// the header API keeps its own, behind the same names.

// Owns a POSIX descriptor.
class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const noexcept { return fd_; }
    void reset(int fd) noexcept;

private:
    int fd_ = -1;
};

// An open regular file and what fstat said about it when it was opened.
struct OpenedFile {
    Descriptor fd;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

enum class OpenStatus { ok, cannot_open, not_regular, cannot_stat };

// Opens `path` for reading, or for reading and writing, without blocking
// (a FIFO or a device never holds the call) and closed on exec, and refuses
// anything but a regular file. `error` gets errno on failure.
OpenStatus open_regular_file(const char *path, bool for_writing, OpenedFile &out, int &error) noexcept;

// Reads up to `size` bytes at `offset`, carrying on after short reads and
// interruptions. Returns the bytes delivered, fewer than `size` only at the
// end of the file, or -1 on an I/O error.
long long read_at(int fd, unsigned char *out, std::size_t size, std::uint64_t offset) noexcept;

// A run of bytes of the file's first bytes to be written.
struct ByteRange {
    std::size_t offset;
    std::size_t size;
};

enum class WriteStatus { written, changed, write_failed, restore_failed };

// Writes `ranges` of `updated` over a file whose first `image_size` bytes
// were `original` and whose length was `expected_size`, all or nothing:
// first re-checks the length and those bytes (`changed`, nothing written),
// then writes only the ranges and syncs the data; when a write or the sync
// fails it writes the original bytes of the ranges back (`write_failed`, or
// `restore_failed` when that fails too). `error` gets errno on failure.
WriteStatus write_ranges(int fd, std::uint64_t expected_size, const unsigned char *original,
                         const unsigned char *updated, std::size_t image_size, const ByteRange *ranges,
                         std::size_t range_count, int &error) noexcept;

// What the point records say about themselves.
struct PointSummary {
    std::uint64_t records = 0;
    // Indexed by the return-number field of the record (bits 0-2 or 0-3 of
    // byte 14, as the scan was told).
    std::array<std::uint64_t, 16> by_return{};
    // Raw X, Y, Z, from the ends of the 32-bit range so that the first
    // record sets every extreme.
    std::array<std::int32_t, 3> min{{INT32_MAX, INT32_MAX, INT32_MAX}};
    std::array<std::int32_t, 3> max{{INT32_MIN, INT32_MIN, INT32_MIN}};
};

// Called after each block of a scan with the bytes read so far; false stops
// the scan.
struct ScanProgress {
    bool (*report)(std::uint64_t bytes_done, void *user) = nullptr;
    void *user = nullptr;
};

enum class ScanStatus { ok, read_error, no_memory, canceled };

// One sequential pass over the whole records of `data_bytes` bytes of point
// data from `offset`: every record is at least 20 bytes long (X, Y, Z at 0,
// 4 and 8, the return number in the low `return_bits` bits (3 or 4) of byte
// 14). Bytes that never make a whole record are ignored; so is anything past
// a premature end of the file. Adds to `summary`.
ScanStatus scan_point_records(int fd, std::uint64_t offset, std::uint64_t data_bytes, std::size_t record_size,
                              unsigned return_bits, PointSummary &summary, const ScanProgress &progress = {}) noexcept;

// Raw times scale plus offset, carried with a 64-bit significand and rounded
// to a double once.
double real_coordinate(std::int32_t raw, double scale, double offset) noexcept;

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
// `for_writing`), TOLVREN_ENOTREGULAR, TOLVREN_EREAD.
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
