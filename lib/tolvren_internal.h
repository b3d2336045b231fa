/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library: what its source files share. This
// header is never installed and is no part of the library's interface; the
// public headers are Tolvren_LiDAR.h (the 20 operations) and tolvren_las.h
// (the header API for LAS 1.0-1.4). The first part, namespace
// tolvren::internal, serves both; the second, namespace tolvren::las, the
// header API's sources (las_header_*.cpp).
//
// It holds declarations, the RAII types for files and the constant tables
// that more than one source file reads. Every function declared here is
// defined in the source file named above its group.
#ifndef TOLVREN_INTERNAL_H
#define TOLVREN_INTERNAL_H

#include "Tolvren_LiDAR.h"
#include "tolvren_las.h"

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace tolvren::internal {

// ---------------------------------------------------------------------------
// Shared constants
// ---------------------------------------------------------------------------

// The suite's name: the banner's first line and the GeneratingSoftware of
// every header template.
inline constexpr char kSuiteName[] = "Tolvren LiDAR Utilities";

// Every LAS 1.0-1.2 public header is 227 bytes.
inline constexpr std::size_t kLegacyHeaderBytes = sizeof(LAS12Header);

// A field of a little-endian image of the file at `offset`: bytes are
// decoded through memcpy, never through a cast pointer.
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

// The record length of each point data format, 0 to 10: the first 20 bytes
// are shared, then GPS time, colour, wave packets and the LAS 1.4 layouts
// add their fields.
inline constexpr std::array<std::uint16_t, 11> kStandardRecordLengths = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

// A VLR header: reserved (2 bytes), user id (16), record id (2), length of
// the data after the header (2), description (32).
inline constexpr std::size_t kVlrHeaderBytes = 54;
inline constexpr std::size_t kVlrUserIdOffset = 2;
inline constexpr std::size_t kVlrRecordIdOffset = 18;
inline constexpr std::size_t kVlrLengthOffset = 20;

// One accepted pairing of version and point format, and the LASType that
// names it. The record length is the format's own: check_las accepts no
// other, and the header update reads records of exactly this size.
struct Pairing {
    std::uint8_t version_minor;
    std::uint8_t point_format;
    std::uint16_t record_length;
    std::int16_t las_type;
};

// Tested in this order; the first row matching version and format decides.
inline constexpr std::array<Pairing, 8> kPairings = {{
    {0, 0, sizeof(LAS12fm0), 1},
    {0, 1, sizeof(LAS12fm1), 2},
    {1, 0, sizeof(LAS12fm0), 3},
    {1, 1, sizeof(LAS12fm1), 4},
    {2, 0, sizeof(LAS12fm0), 5},
    {2, 1, sizeof(LAS12fm1), 6},
    {2, 2, sizeof(LAS12fm2), 7},
    {2, 3, sizeof(LAS12fm3), 8},
}};

constexpr bool pairings_use_standard_lengths() {
    for (const Pairing &row : kPairings) {
        if (row.record_length != kStandardRecordLengths[row.point_format]) return false;
    }
    return true;
}
static_assert(pairings_use_standard_lengths(), "the pairings' record lengths are their formats' own");

// ---------------------------------------------------------------------------
// Files (file_io.cpp)
// ---------------------------------------------------------------------------

struct FileCloser {
    void operator()(std::FILE *fp) const noexcept { std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Owns a POSIX descriptor.
class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor &operator=(Descriptor &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const noexcept { return fd_; }

private:
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
};

// Opens `path` with `flags` (O_CLOEXEC is added) on a descriptor above 2.
// Descriptors 0, 1 and 2 are the standard streams: when a caller has closed
// one, open() hands out its number, and whatever the caller later writes to
// that stream (a message, a result) would land in the file. Such a
// descriptor is moved up with F_DUPFD_CLOEXEC and the low number freed at
// once; only the few instructions between the two calls leave it taken, so
// a program that writes to a closed stream from other threads should first
// fill 0-2 itself (tolvren opens /dev/null on them). `mode` is that of a
// file O_CREAT makes. Returns an empty Descriptor, with errno set, when
// either call fails.
Descriptor open_descriptor(const char *path, int flags, mode_t mode = 0) noexcept;

// Opens `path` for reading (or reading and writing) without ever blocking:
// a FIFO, a socket or a device is opened in non-blocking mode and then
// refused by its type, so no call waits for a writer that never comes.
// Symbolic links are followed; only a regular file comes back open.
struct OpenedFile {
    enum class Status { ok, cannot_open, not_regular };
    Status status = Status::cannot_open;
    int sys_errno = 0;          // errno of the failed open or fstat
    std::uint64_t size = 0;     // the file's size when it was opened
    Descriptor fd;
};
OpenedFile open_regular_file(const char *path, bool for_writing) noexcept;

// A run of bytes rewritten in place.
struct ByteRun {
    std::uint64_t offset;
    std::size_t size;
};

enum class PatchStatus {
    written,         // every run written and synced to the device
    changed,         // the file is now shorter than `min_size`: nothing written
    write_failed,    // a write or the sync failed; the original bytes are back
    restore_failed,  // and writing them back failed too
};

// Rewrites the runs of an open file, all or nothing. `before` and `after`
// are images of the file from offset 0 covering every run: what the runs
// held when they were read, and what they are to hold. The file must still
// be at least `min_size` bytes long (it is never made longer or shorter).
// After a failed write or a failed fdatasync, every run already touched gets
// its original bytes back. `sys_errno` receives the errno of the failure.
PatchStatus patch_runs(int fd, const unsigned char *before, const unsigned char *after, const ByteRun *runs,
                       std::size_t count, std::uint64_t min_size, int &sys_errno) noexcept;

// Rewrites `span` of an open file with its bytes in `after` in a single
// write, so that the file holds either every old byte of it or every new
// one, whatever signal the process gets. `before` and `after` are images of
// the file from offset 0 covering the span: what it held when it was read,
// and what it is to hold. Assumes the span lies within one page of the file
// (at most 4096 bytes, not crossing a multiple of 4096): such a write to a
// regular file is never torn by a signal, SIGKILL included; any other span
// fails with EINVAL before a byte is written.
//   - The file must still be at least `min_size` bytes long, else `changed`.
//   - A span reaching beyond the process's file-size limit (RLIMIT_FSIZE)
//     fails with EFBIG before a byte is written.
//   - Every signal that can be blocked, but for those of faults (SIGSEGV,
//     SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS), is blocked in the calling
//     thread from the write to the end of the sync or of the writing back
//     of the original bytes, so a signal sent to this thread is delivered
//     after the file is all old or all new. Another thread of the process
//     may take a signal sent to the process meanwhile; the single write
//     still keeps the span whole.
//   - A SIGXFSZ that the write itself raises (the limit lowered since it was
//     read) is taken back before the mask is restored: the limit becomes
//     EFBIG, never the end of the process. The process's signal dispositions
//     are never touched.
// After a failed write or sync the original bytes are written back.
PatchStatus patch_span(int fd, const unsigned char *before, const unsigned char *after, ByteRun span,
                       std::uint64_t min_size, int &sys_errno) noexcept;

// Reads up to `size` bytes at `offset`, carrying on after short reads and
// interruptions. Returns the bytes delivered, fewer than `size` only at the
// end of the file, or -1 on an I/O error.
long long read_at(int fd, unsigned char *out, std::size_t size, std::uint64_t offset) noexcept;

// As read_at, from the descriptor's current position (read rather than
// pread): for the first bytes of a file just opened.
long long read_prefix(int fd, unsigned char *out, std::size_t size) noexcept;

// Writes all `size` bytes at `offset`, carrying on after short writes and
// interruptions. Returns false on an error; `written` (when given) receives
// how many bytes reached the file before it.
bool write_all_at(int fd, const unsigned char *bytes, std::size_t size, std::uint64_t offset,
                  std::size_t *written = nullptr) noexcept;

// ---------------------------------------------------------------------------
// Classification of a LAS 1.0-1.2 header (las_checks.cpp)
// ---------------------------------------------------------------------------

// check_las's refusal of a file that is not LAS, taking the file name.
inline constexpr char kNotLasMessage[] = "\n%s is not a valid .las file\n\n";

// Bytes 0 to 106 hold everything that classifies a file: the signature, the
// version, the point format and the record length.
inline constexpr std::size_t kClassifyingBytes = 107;

// What the classifying bytes say. `refusal` names the first test that failed
// and the values its message shows; las_type is meaningful without one.
struct Classification {
    enum class Refusal { none, not_las, bad_major, bad_minor, bad_format, bad_length };
    Refusal refusal = Refusal::none;
    std::int16_t las_type = 0;
    std::uint8_t version_major = 0;
    std::uint8_t version_minor = 0;
    std::uint8_t point_format = 0;
    std::uint16_t record_length = 0;
};

// Classifies the first `size` bytes of a file (size may be below
// kClassifyingBytes: a test that needs a missing byte refuses as not_las).
Classification classify_las(const unsigned char *bytes, std::size_t size) noexcept;

// The record size of a LASType's pairing; 0 for LASType 0 and any code
// without a pairing.
std::size_t record_size_of(std::int16_t las_type) noexcept;

// file_access: opens the file without blocking and closes it again. With
// `need_regular`, anything but a regular file counts as one that does not
// open (its bytes are needed, and a FIFO or device would not give them).
std::int16_t file_access_core(const char *filename, bool need_regular = false);
std::int16_t check_file_extension_core(const char *filename, const char *extension);
std::int16_t check_las_core(const char *filename);

// ---------------------------------------------------------------------------
// Point record scan (point_scan.cpp)
// ---------------------------------------------------------------------------

inline constexpr std::int32_t kRawLowest = std::numeric_limits<std::int32_t>::min();
inline constexpr std::int32_t kRawHighest = std::numeric_limits<std::int32_t>::max();

// What the point records say about themselves.
struct PointSummary {
    std::uint64_t records = 0;
    // Indexed by the return-number field of the record (bits 0-2 or 0-3 of
    // byte 14, as the scan was told).
    std::array<std::uint64_t, 16> by_return{};
    // Raw X, Y, Z. They start from the ends of the 32-bit range, so the
    // first record read sets every extreme and any raw value, INT32_MIN and
    // INT32_MAX included, can become one.
    std::array<std::int32_t, 3> min{{kRawHighest, kRawHighest, kRawHighest}};
    std::array<std::int32_t, 3> max{{kRawLowest, kRawLowest, kRawLowest}};
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
// 14). Bytes that never make a whole record are ignored; so is anything
// past a premature end of the file. Adds to `summary`.
ScanStatus scan_point_records(int fd, std::uint64_t offset, std::uint64_t data_bytes,
                              std::size_t record_size, unsigned return_bits, PointSummary &summary,
                              const ScanProgress &progress = {}) noexcept;

// As scan_point_records, with the region split into blocks that `threads`
// threads (the calling one among them) read and summarise; the result is the
// same for any number of threads. `progress` is called on the calling thread
// only. A file that becomes shorter gives a summary with records missing;
// nothing is added to `summary` unless the scan completes.
ScanStatus scan_point_records_parallel(int fd, std::uint64_t offset, std::uint64_t data_bytes,
                                       std::size_t record_size, unsigned return_bits, unsigned threads,
                                       PointSummary &summary, const ScanProgress &progress = {}) noexcept;

// Threads of a parallel scan take blocks of about this many bytes (whole
// records) in turn: many blocks keep the threads busy to the end, and each
// is long enough that taking it costs nothing.
inline constexpr std::uint64_t kParallelBlockBytes = std::uint64_t{1} << 23;

// Receives the whole records of the blocks that read_record_blocks reads,
// from the thread numbered `thread` (0 is the calling thread; each thread
// hands on its own blocks only).
class RecordBlockSink {
public:
    virtual void records(unsigned thread, const unsigned char *records, std::size_t count) noexcept = 0;

protected:
    ~RecordBlockSink() = default;
};

// Reads the whole records of `data_bytes` bytes from `offset` in blocks on
// up to `threads` threads (the calling one among them, the only one that
// calls `progress`) and hands each block's records to `sink`; every record
// is handed on once, blocks in any order. `complete` is false when the file
// became shorter during the read (records are then missing).
ScanStatus read_record_blocks(int fd, std::uint64_t offset, std::uint64_t data_bytes, std::size_t record_size,
                              unsigned threads, RecordBlockSink &sink, const ScanProgress &progress,
                              bool &complete) noexcept;

// Adds `count` whole records at `records` to `summary`, as the scan does
// for each block it reads.
void summarise_records(const unsigned char *records, std::size_t count, std::size_t record_size,
                       unsigned return_bits, PointSummary &summary) noexcept;

// Adds the records, by-return counts and extremes of `more` to `summary`.
void merge_summary(PointSummary &summary, const PointSummary &more) noexcept;

// Raw times scale plus offset, carried with a 64-bit significand and rounded
// to a double once.
double real_coordinate(std::int32_t raw, double scale, double offset) noexcept;

// ---------------------------------------------------------------------------
// Header update (header_update.cpp)
// ---------------------------------------------------------------------------

// How an update ended. Every status but `updated` leaves the file's bytes as
// they were (cannot_restore: as far as the system let them be written back);
// `refused_by_check` has had its message printed by check_las.
enum class UpdateStatus {
    updated,
    refused_by_check,
    no_record_layout,
    cannot_open,
    not_as_checked,
    short_file,
    cannot_read_header,
    offset_inside_header,
    offset_beyond_end,
    too_many_records,
    no_memory,
    cannot_read_points,
    changed_during_scan,
    cannot_write,
    cannot_restore,
};

struct UpdateOutcome {
    UpdateStatus status = UpdateStatus::updated;
    std::uint32_t offset_to_data = 0;  // shown by offset_inside_header
};

// Does the whole update but for the final message and the process end.
UpdateOutcome update_header_core(const char *filename);

// The message of a status, a printf format taking the file name (and, for
// offset_inside_header, the offset as an unsigned int); nullptr for
// `updated` and `refused_by_check`.
const char *update_message(UpdateStatus status) noexcept;

// ---------------------------------------------------------------------------
// Argument validators (argument_validators.cpp)
// ---------------------------------------------------------------------------

// Whether a numeric argument passes; prints nothing.
bool numeric_argument_accepted(const char *str) noexcept;

enum class DemStatus { accepted, bad_extension, no_memory, header_missing };

// Tests a DEM file name, printing the extension checks' messages on the way
// exactly as check_DEM does, but returns instead of ending the process.
DemStatus check_dem_core(const char *str);

}  // namespace tolvren::internal

// ===========================================================================
// Header API (las_header_*.cpp)
// ===========================================================================

namespace tolvren::laz {
struct LasLayout;      // laz/container.h
class ChunkConsumer;   // laz/laz_reader.h
enum class LayerChoice;  // laz/layered_items.h
}  // namespace tolvren::laz

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

// ---------------------------------------------------------------------------
// The library's shared pieces (tolvren_internal.h)
// ---------------------------------------------------------------------------

using internal::ByteRun;
using internal::kStandardRecordLengths;
using internal::load;
using internal::store;
using internal::Descriptor;
using internal::OpenedFile;
using internal::PatchStatus;
using internal::PointSummary;
using internal::ScanProgress;
using internal::ScanStatus;
using internal::patch_span;
using internal::read_at;
using internal::real_coordinate;
using internal::scan_point_records;

// ---------------------------------------------------------------------------
// Failures (las_header_read.cpp)
// ---------------------------------------------------------------------------

// Fills `detail` (when not NULL) with the code, the errno and a sentence
// built from `format` (then the errno's text in brackets), prefixed with
// "path: " when `path` is not NULL, and returns `code`. The reason is kept
// whole: a path too long to fit with it is cut to its end, after "...".
int fail(tolvren_detail *detail, int code, int sys_errno, const char *path, const char *format, ...) noexcept
    __attribute__((format(printf, 5, 6)));

// Sets `detail` (when not NULL) to "no failure".
void clear(tolvren_detail *detail) noexcept;

// A double as every sentence of the library writes it (findings, refusals):
// the shortest decimal that reads back as the same double, in plain digits
// for the magnitudes a header holds, from 1e-15 to below 1e17 (an offset of
// 600000 reads 600000, never 6e+05), with an exponent only beyond them;
// "nan", "inf" or "-inf" for the others. The text lives in the returned
// object, which lasts to the end of the full expression that passes
// double_text(x).c_str() to a format.
struct DoubleText {
    std::array<char, 48> text{};
    const char *c_str() const noexcept { return text.data(); }
};
DoubleText double_text(double value) noexcept;

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

// Decodes the fields of bytes 4-93 that describe the file rather than its
// layout (file source ID, global encoding, GUID, system identifier,
// generating software, creation day and year) from a header image into
// `out`, whose version_minor says which of them exist.
void decode_fixed_fields(const unsigned char *bytes, tolvren_header &out) noexcept;

// Opens `path` for reading and reads its header into `out`, walking its VLR
// and EVLR headers, and its first bytes into `image` (the rest zero).
// Returns a tolvren_error.
int open_and_read_header(const char *path, OpenedFile &file, tolvren_header &out, HeaderImage &image,
                         tolvren_detail *detail) noexcept;

// ---------------------------------------------------------------------------
// Writing a header in place (las_header_repair.cpp)
// ---------------------------------------------------------------------------

// How a write's failures name the call that made it: `call` as in "the file
// changed during the repair", `header` as in "writing the repaired header
// failed".
struct WriteWords {
    const char *call;
    const char *header;
};

// Writes `span` of `updated` over the header of the file that `read` holds
// open for reading (as open_and_read_header opened it, `header` and
// `original` what it read), all or nothing: it opens the file for writing,
// checks that it is still the same file (device and inode), as long, with
// the same header bytes, else TOLVREN_ECHANGED and nothing is written, then
// writes the span with patch_span and syncs it. The span must lie within
// one page. Returns a tolvren_error: TOLVREN_EWRITEOPEN, TOLVREN_EREAD,
// TOLVREN_ECHANGED, TOLVREN_EWRITE (the header holds its original bytes) or
// TOLVREN_EWRITERESTORE (it may hold some of the new ones).
int write_header_span(const char *path, const OpenedFile &read, const tolvren_header &header,
                      const HeaderImage &original, const HeaderImage &updated, ByteRun span, const WriteWords &words,
                      tolvren_detail *detail) noexcept;

// ---------------------------------------------------------------------------
// Scanning (las_header_scan.cpp, las_header_laz.cpp)
// ---------------------------------------------------------------------------

// A finding that only reading the file can make: about its LASzip VLR, its
// chunk table and its chunks. The check adds them to its report.
struct FileFinding {
    int severity;
    int code;
    std::string message;
};
using FileFindings = std::vector<FileFinding>;

// The thread counts the _mt calls take: 0 means 1, and at most
// TOLVREN_MAX_THREADS.
unsigned thread_count(unsigned requested) noexcept;

// Scans the point region that `header` describes in the open file `fd`,
// on `threads` threads. Returns a tolvren_error; `out` is complete only on
// TOLVREN_OK. A compressed file's findings go to `findings` when it is
// not NULL, on success and on TOLVREN_ECOMPRESSED and TOLVREN_ECORRUPT.
int scan_fd(int fd, const tolvren_header &header, unsigned threads, tolvren_progress_fn progress, void *user,
            const char *path, tolvren_scan &out, tolvren_detail *detail, FileFindings *findings = nullptr) noexcept;

// Fills the counts and extents of `out` from what the records gave: real
// extents in order whatever the sign of the scale.
void summary_to_scan(const tolvren_header &header, const PointSummary &summary, tolvren_scan &out) noexcept;

// The scan of a compressed file (las_header_laz.cpp), as scan_fd.
int scan_compressed(int fd, const tolvren_header &header, unsigned threads, tolvren_progress_fn progress,
                    void *user, const char *path, tolvren_scan &out, tolvren_detail *detail,
                    FileFindings *findings) noexcept;

// Decodes the chunks of a compressed file on one thread for each consumer
// (at least one), the layers `choice` names, and makes findings of what it
// learns about the container and the chunks, as scan_compressed does.
// `region_end` gets the end of the last chunk. Returns a tolvren_error;
// what the consumers received is complete only on TOLVREN_OK.
int decode_compressed(int fd, const tolvren_header &header, laz::LayerChoice choice,
                      const std::vector<laz::ChunkConsumer *> &consumers, tolvren_progress_fn progress, void *user,
                      const char *path, std::uint64_t &region_end, tolvren_detail *detail,
                      FileFindings *findings) noexcept;

// What the LAZ decoder needs of a header read by the reader; the VLRs are
// looked through only as far as the header's own walk goes
// (las_header_laz.cpp).
laz::LasLayout laz_layout(const tolvren_header &header);

// What the LASzip VLR says without decoding a point: in a compressed file,
// that it is missing or malformed or does not fit the header; in an
// uncompressed one, that it is there (las_header_laz.cpp).
void laszip_vlr_findings(int fd, const tolvren_header &header, FileFindings &findings);

// ---------------------------------------------------------------------------
// VLRs and EVLRs (las_header_read.cpp, las_records.cpp)
// ---------------------------------------------------------------------------

// Walks the VLR and EVLR headers of `header` in the open file `fd` as the
// reader did, and lists every header read (also one whose data run past
// their place: complete is 0). Returns a tolvren_error.
int walk_records(int fd, const char *path, tolvren_header &header, std::vector<tolvren_record> &out,
                 tolvren_detail *detail);

// The most bytes of one record's data read to decode it: WKT text, GeoTIFF
// parameters, an Extra Bytes VLR. A record that is longer is read this far.
inline constexpr std::size_t kMaxDecodedRecordBytes = std::size_t{1} << 20;

// What the records of a file say, decoded: the C structs of tolvren_las.h
// with lists of any length.
struct Records {
    std::vector<tolvren_record> list;          // VLRs, then EVLRs
    std::size_t vlr_count = 0;
    std::size_t evlr_count = 0;
    tolvren_crs crs{};
    std::vector<tolvren_geokey> geokeys;
    std::string wkt;                            // without trailing zeros
    bool wkt_geographic = false;                // its horizontal CRS is in degrees
    std::vector<std::string> crs_problems;      // why a CRS record did not decode
    bool extra_bytes_found = false;
    bool extra_bytes_problem = false;           // a length no multiple of 192
    std::vector<tolvren_extra_dimension> extra_dimensions;
    tolvren_laszip laszip{};
    std::string laszip_problem;                 // why it is not valid
    tolvren_copc copc{};
    std::vector<std::string> copc_problems;     // every COPC rule broken
};

// The first record of a user id and record id, or nullptr.
const tolvren_record *find_record(const Records &records, const char *user_id, std::uint16_t record_id) noexcept;

// How many records there are of a user id and record id.
std::size_t count_records(const Records &records, const char *user_id, std::uint16_t record_id) noexcept;

// Reads up to `limit` bytes of a record's data (fewer when the file ends
// first). Returns false on an I/O error, with errno set.
bool read_record_data(int fd, const tolvren_record &record, std::size_t limit, std::vector<unsigned char> &out);

// Lists and decodes the records of the file `fd` whose header is `header`
// (read by the reader). Returns a tolvren_error.
int read_records(int fd, const char *path, tolvren_header &header, Records &out, tolvren_detail *detail);

// The CRS records (las_crs.cpp): the GeoTIFF keys from the key directory,
// doubles and text; the EPSG codes and units of WKT text; then the CRS
// the file gives from both, with `wkt_bit` the header's.
void decode_geokeys(const std::vector<unsigned char> &directory, const std::vector<unsigned char> &doubles,
                    const std::vector<unsigned char> &ascii, Records &out);
void decode_wkt(const std::string &wkt, Records &out);
void settle_crs(const tolvren_header &header, Records &out);

// The Extra Bytes VLR (las_extra_bytes.cpp).
void decode_extra_bytes(const std::vector<unsigned char> &data, Records &out);

// The COPC info VLR and its hierarchy (las_copc.cpp); reads the pages from
// `fd`. Returns false on an I/O error.
bool decode_copc(int fd, const tolvren_header &header, Records &out);

// The findings of the records (las_record_checks.cpp): the CRS, the Extra
// Bytes, reserved fields and COPC rules.
void record_findings(const tolvren_header &header, const Records &records, FileFindings &findings);

// ---------------------------------------------------------------------------
// Statistics of the point records (las_statistics.cpp)
// ---------------------------------------------------------------------------

// Reads every field of every point of the file `fd`, whose header and
// records are `header` and `records`, on `threads` threads, and fills
// `out`. Fails as scan_fd, and a compressed file's findings go to
// `findings` as there.
int statistics_fd(int fd, const tolvren_header &header, const Records &records, unsigned threads,
                  tolvren_progress_fn progress, void *user, const char *path, tolvren_statistics &out,
                  tolvren_detail *detail, FileFindings *findings = nullptr) noexcept;

// The findings of the points' own fields (TOLVREN_CHECK_POINTS), from the
// statistics of the file whose header is `header`.
void point_findings(const tolvren_header &header, const tolvren_statistics &statistics, FileFindings &findings);

// Whether point format `format` reserves class `classification`.
bool class_reserved(unsigned classification, unsigned format) noexcept;

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

// What is wrong with the extents of an axis whose minimum is not at most its
// maximum, as the start of a sentence: "the X extent runs from 5 down to 3",
// or, when either is a NaN, "the X minimum is not a number" (or maximum, or
// both).
struct ExtentText {
    std::array<char, 128> text{};
    const char *c_str() const noexcept { return text.data(); }
};
ExtentText crossed_extent(std::size_t axis, double min, double max) noexcept;

// Whether a scale factor can turn raw coordinates into real ones.
bool scale_usable(double scale) noexcept;

// Whether an axis's scale and offset can turn raw coordinates into real
// ones: a usable scale and a finite offset.
bool axis_usable(const tolvren_header &header, std::size_t axis) noexcept;

// Whether the points give an axis real extents to compare with or to write:
// a usable axis whose scanned extents stay within the doubles.
bool scanned_extents_usable(const tolvren_header &header, const tolvren_scan &scan, std::size_t axis) noexcept;

// Global encoding bit 1: waveform data packets inside this file (LAS 1.3 on).
bool waveform_in_file(const tolvren_header &header) noexcept;

// Whether a header could have come from the reader: version 1.0 to 1.4,
// format 0 to 10, a record at least as long as its format's. The functions
// that take a caller's header refuse anything else.
bool header_well_formed(const tolvren_header &header) noexcept;

// ---------------------------------------------------------------------------
// Rules shared by the repair and the decompression (las_header_repair.cpp)
// ---------------------------------------------------------------------------

// Why the file's layout leaves doubt about where its point records are, or
// nullptr when it leaves none: OffsetToData inside the header or beyond the
// end, VLRs or EVLRs past their place or more than the walks take, waveform
// data said to be in the file outside it, or (uncompressed) the first EVLR
// or the waveform data starting inside a record.
const char *layout_doubt(const tolvren_header &header);

// A count field of the public header and the value the points give it.
struct CountField {
    int field;            // tolvren_field
    int index;            // within an array field, else 0
    std::size_t offset;   // of its bytes in the header
    std::size_t size;     // 4 or 8 bytes
    std::uint64_t value;
};

// The count fields a header of `header`'s version holds, with the values
// the points of `scan` give them: the point count and the by-return counts
// (the 64-bit ones in 1.4), and in 1.4 the six legacy fields as a group,
// the mirror where the format asks for one, else zeros, left out when they
// already hold a correct mirror (which readers accept).
std::vector<CountField> count_fields(const tolvren_header &header, const tolvren_scan &scan);

}  // namespace tolvren::las

#endif  // TOLVREN_INTERNAL_H
