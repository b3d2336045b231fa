// Tolvren LiDAR Utilities - LAS utility library.
//
// The exported operations are thin extern "C" wrappers; the work is done in
// the anonymous namespace next to each group of wrappers. Nothing throws
// across the C boundary. The sections follow the order of the header.

#include "Tolvren_LiDAR.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

// The sorts compare and move keys a block at a time with SSE2 where it is
// available (every x86-64 target); elsewhere they use the plain loops.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
// The records are the file format itself, so their sizes and the offsets of
// the fields that the library reads or writes are pinned here.

static_assert(sizeof(LAS10Header) == 227, "LAS 1.0 header is 227 bytes");
static_assert(sizeof(LAS11Header) == 227, "LAS 1.1 header is 227 bytes");
static_assert(sizeof(LAS12Header) == 227, "LAS 1.2 header is 227 bytes");
static_assert(sizeof(LAS12fm0) == 20, "point format 0 is 20 bytes");
static_assert(sizeof(LAS12fm1) == 28, "point format 1 is 28 bytes");
static_assert(sizeof(LAS12fm2) == 26, "point format 2 is 26 bytes");
static_assert(sizeof(LAS12fm3) == 34, "point format 3 is 34 bytes");

namespace {

// Every header version places the fields it shares with the others at the
// same offsets; only offsets 4-7 and 90-93 are named differently.
template <typename Header>
constexpr bool shared_header_offsets() {
    return offsetof(Header, LASF) == 0 && offsetof(Header, GUIDData1) == 8 &&
           offsetof(Header, GUIDData2) == 12 && offsetof(Header, GUIDData3) == 14 &&
           offsetof(Header, GUIDData4) == 16 && offsetof(Header, VersionMajor) == 24 &&
           offsetof(Header, VersionMinor) == 25 &&
           offsetof(Header, SystemIdentifier) == 26 &&
           offsetof(Header, GeneratingSoftware) == 58 &&
           offsetof(Header, HeaderSize) == 94 && offsetof(Header, OffsetToData) == 96 &&
           offsetof(Header, NumberOfVariableLengthRecords) == 100 &&
           offsetof(Header, PointDataFormatID) == 104 &&
           offsetof(Header, PointDataRecordLength) == 105 &&
           offsetof(Header, NumberOfPointReturns) == 107 &&
           offsetof(Header, NumberOfPointsByReturn) == 111 &&
           offsetof(Header, XScaleFactor) == 131 && offsetof(Header, YScaleFactor) == 139 &&
           offsetof(Header, ZScaleFactor) == 147 && offsetof(Header, XOffset) == 155 &&
           offsetof(Header, YOffset) == 163 && offsetof(Header, ZOffset) == 171 &&
           offsetof(Header, MaxX) == 179 && offsetof(Header, MinX) == 187 &&
           offsetof(Header, MaxY) == 195 && offsetof(Header, MinY) == 203 &&
           offsetof(Header, MaxZ) == 211 && offsetof(Header, MinZ) == 219;
}

// The shared point fields: raw coordinates and the return-number bits.
template <typename Point>
constexpr bool shared_point_offsets() {
    return offsetof(Point, X) == 0 && offsetof(Point, Y) == 4 && offsetof(Point, Z) == 8 &&
           offsetof(Point, Intensity) == 12 && offsetof(Point, bitfield) == 14 &&
           offsetof(Point, Classification) == 15 && offsetof(Point, ScanAngleRank) == 16 &&
           offsetof(Point, UserData) == 17 && offsetof(Point, PointSourceID) == 18;
}

}  // namespace

static_assert(shared_header_offsets<LAS10Header>(), "LAS 1.0 header layout");
static_assert(shared_header_offsets<LAS11Header>(), "LAS 1.1 header layout");
static_assert(shared_header_offsets<LAS12Header>(), "LAS 1.2 header layout");
static_assert(offsetof(LAS10Header, Reserved) == 4 && offsetof(LAS10Header, FlightDateJulian) == 90 &&
                  offsetof(LAS10Header, Year) == 92,
              "LAS 1.0 specific fields");
static_assert(offsetof(LAS11Header, FileSourceID) == 4 && offsetof(LAS11Header, Reserved) == 6 &&
                  offsetof(LAS11Header, FileCreationDay) == 90 &&
                  offsetof(LAS11Header, FileCreationYear) == 92,
              "LAS 1.1 specific fields");
static_assert(offsetof(LAS12Header, FileSourceID) == 4 && offsetof(LAS12Header, GlobalEncoding) == 6 &&
                  offsetof(LAS12Header, FileCreationDay) == 90 &&
                  offsetof(LAS12Header, FileCreationYear) == 92,
              "LAS 1.2 specific fields");
static_assert(shared_point_offsets<LAS12fm0>() && shared_point_offsets<LAS12fm1>() &&
                  shared_point_offsets<LAS12fm2>() && shared_point_offsets<LAS12fm3>(),
              "point record layout");
static_assert(offsetof(LAS12fm1, GPSTime) == 20 && offsetof(LAS12fm3, GPSTime) == 20,
              "GPS time follows the format 0 fields");
static_assert(offsetof(LAS12fm2, Red) == 20 && offsetof(LAS12fm2, Green) == 22 &&
                  offsetof(LAS12fm2, Blue) == 24,
              "format 2 colour");
static_assert(offsetof(LAS12fm3, Red) == 28 && offsetof(LAS12fm3, Green) == 30 &&
                  offsetof(LAS12fm3, Blue) == 32,
              "format 3 colour");

namespace {

struct FileCloser {
    void operator()(std::FILE *fp) const noexcept { std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads exactly `size` bytes; a short read (end of file or error) fails.
bool read_exact(std::FILE *fp, void *out, std::size_t size) {
    return std::fread(out, 1, size, fp) == size;
}

}  // namespace

// ---------------------------------------------------------------------------
// File checks, LAS classification and banner
// ---------------------------------------------------------------------------

namespace {

constexpr char kUnableToOpen[] = "Unable to open file %s in file_access()\n";
constexpr char kNameTooShort[] = "\nFile name (%s) is too short\n";
constexpr char kNoDot[] = "\nExtension of file %s should be preceeded by a dot (.)\n";
constexpr char kWrongExtension[] = "\nFile extension of %s is not .%s\n";
constexpr char kNotLas[] = "\n%s is not a valid .las file\n\n";
constexpr char kBadMajor[] = "\nCannot handle las files of version %c.x\n";
constexpr char kBadMinor[] = "\nCannot handle las files of version %c.%c\n";
constexpr char kBadFormat[] = "\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n";
constexpr char kBadLength[] =
    "\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n";

constexpr std::array<const char *, 3> kErrorMessages = {
    "\nFile %s does NOT exist\n",
    "\nFile %s already exists\n",
    "\nSame file name (%s) has been specified twice\n",
};

// Offsets of the bytes that classify a file. The checks read them in this
// order by skipping forward from the current position.
constexpr long kVersionMajorOffset = 24;
constexpr long kPointFormatOffset = 104;

// One accepted pairing of version and point format.
struct Pairing {
    std::uint8_t version_minor;
    std::uint8_t point_format;
    std::uint16_t record_length;
    std::int16_t las_type;
};

// Tested in this order; the first row matching version and format decides.
constexpr std::array<Pairing, 8> kPairings = {{
    {0, 0, 20, 1},
    {0, 1, 28, 2},
    {1, 0, 20, 3},
    {1, 1, 28, 4},
    {2, 0, 20, 5},
    {2, 1, 28, 6},
    {2, 2, 26, 7},
    {2, 3, 34, 8},
}};

// A version or format byte shown as the character whose code is the byte
// plus 48, so 7 shows as '7' and 10 as ':'.
int digit_char(std::uint8_t value) { return value + 48; }

std::int16_t file_access_impl(const char *filename) {
    File fp(std::fopen(filename, "r"));
    if (!fp) {
        std::printf(kUnableToOpen, filename);
        return -1;
    }
    return 0;
}

std::int16_t check_file_extension_impl(const char *filename, const char *extension) {
    const std::size_t length = std::strlen(filename);
    if (length <= 4) {
        std::printf(kNameTooShort, filename);
        return -1;
    }
    if (filename[length - 4] != '.') {
        std::printf(kNoDot, filename);
        return -1;
    }
    std::array<char, 5> actual_ext{};
    std::memcpy(actual_ext.data(), filename + length - 3, 3);
    if (std::strcmp(actual_ext.data(), extension) != 0) {
        std::printf(kWrongExtension, filename, extension);
        return -1;
    }
    return 0;
}

std::int16_t check_las_impl(const char *filename) {
    if (file_access_impl(filename) < 0) {
        std::printf(kErrorMessages[0], filename);
        return -1;
    }
    if (check_file_extension_impl(filename, "las") < 0) return -1;

    File fp(std::fopen(filename, "rb"));
    std::array<char, 5> signature{};
    // A file too short to supply a byte that a check needs is not a LAS
    // file: it never passes on bytes that were not read.
    if (!fp || !read_exact(fp.get(), signature.data(), 4) ||
        std::strcmp(signature.data(), "LASF") != 0) {
        std::printf(kNotLas, filename);
        return -1;
    }

    std::array<std::uint8_t, 2> version{};
    if (std::fseek(fp.get(), kVersionMajorOffset - 4, SEEK_CUR) != 0 ||
        !read_exact(fp.get(), &version[0], 1)) {
        std::printf(kNotLas, filename);
        return -1;
    }
    if (version[0] != 1) {
        std::printf(kBadMajor, digit_char(version[0]));
        return -1;
    }
    if (!read_exact(fp.get(), &version[1], 1)) {
        std::printf(kNotLas, filename);
        return -1;
    }
    if (version[1] > 2) {
        std::printf(kBadMinor, digit_char(version[0]), digit_char(version[1]));
        return -1;
    }

    std::uint8_t point_format = 0;
    if (std::fseek(fp.get(), kPointFormatOffset - kVersionMajorOffset - 2, SEEK_CUR) != 0 ||
        !read_exact(fp.get(), &point_format, 1)) {
        std::printf(kNotLas, filename);
        return -1;
    }
    if (point_format > 3) {
        std::printf(kBadFormat, filename, digit_char(point_format));
        return -1;
    }

    std::array<std::uint8_t, 2> length_bytes{};
    if (!read_exact(fp.get(), length_bytes.data(), length_bytes.size())) {
        std::printf(kNotLas, filename);
        return -1;
    }
    const unsigned record_length = length_bytes[0] | (unsigned{length_bytes[1]} << 8);

    for (const Pairing &row : kPairings) {
        if (row.version_minor != version[1] || row.point_format != point_format) continue;
        if (row.record_length == record_length) return row.las_type;
        std::printf(kBadLength, filename, digit_char(point_format), static_cast<int>(record_length));
        return -1;
    }
    // Versions 1.0 and 1.1 with formats 2 or 3 pass every test but have no
    // record layout: accepted without a message, code 0.
    return 0;
}

void error_msg_impl(int i, const char *text) {
    if (i >= 1 && i <= static_cast<int>(kErrorMessages.size())) {
        std::printf(kErrorMessages[static_cast<std::size_t>(i - 1)], text);
    }
}

// The suite's name: the banner's first line and the GeneratingSoftware of
// every header template.
constexpr char kSuiteName[] = "Tolvren LiDAR Utilities";

void credits_impl() {
    std::printf("\n%s", kSuiteName);
    std::printf("\n\nDeveloped and maintained by the Tolvren LiDAR Utilities maintainers");
    std::printf("\nTolvren LiDAR Utilities project");
    std::printf("\nContact: see the README of the Tolvren LiDAR Utilities");
    std::printf("\n\n** No warranty regarding script behavior is given or implied **");
    std::printf("\n** Acknowledging the author's efforts ensures script updates and availability **\n");
}

}  // namespace

extern "C" {

int16_t file_access(const char *filename) noexcept { return file_access_impl(filename); }

int16_t check_file_extension(const char *filename, const char *extension) noexcept {
    return check_file_extension_impl(filename, extension);
}

int16_t check_las(const char *filename) noexcept { return check_las_impl(filename); }

void error_msg(int i, const char *text) noexcept { error_msg_impl(i, text); }

void credits(void) noexcept { credits_impl(); }

}  // extern "C"

// ---------------------------------------------------------------------------
// Header update
// ---------------------------------------------------------------------------
// The update works on a POSIX descriptor rather than a C stream: pread takes
// a 64-bit file offset (point data may start anywhere below 4 GiB and run far
// beyond it), its result tells an I/O error from the end of the file, and the
// point data goes straight from the kernel into one fixed buffer.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

static_assert(sizeof(off_t) >= 8, "point data beyond 2 GiB needs 64-bit file offsets");
// Extents are carried with at least a 64-bit significand before being
// rounded to the stored double.
static_assert(std::numeric_limits<long double>::digits >= 64, "long double carries a 64-bit significand");

constexpr char kUpdateNoRecordLayout[] =
    "\nCannot update header of %s: its point data format has no record layout for its LAS version\n";
constexpr char kUpdateCannotOpen[] = "\nCannot open binary file %s for header update\n\n";
constexpr char kUpdateShortFile[] = "\nCannot update header of %s: the file is shorter than a LAS header\n";
constexpr char kUpdateCannotReadHeader[] = "\nCannot read the header of %s\n";
constexpr char kUpdateOffsetBeyondEnd[] =
    "\nCannot update header of %s: offset to point data lies beyond the end of the file\n";
constexpr char kUpdateTooManyRecords[] = "\nCannot update header of %s: more than 4294967295 point records\n";
constexpr char kUpdateNoMemory[] = "\nCannot allocate memory for storing a record of information from %s\n";
constexpr char kUpdateCannotReadPoints[] = "\nCannot read the point records of %s\n";
constexpr char kUpdateCannotWrite[] = "\nCannot write the updated header of %s\n";
constexpr char kUpdateDone[] = "\rHeader of file %s has been updated    ";

constexpr int kUpdateRefused = -1;

// The public header is the first 227 bytes; the fields read and written here
// sit at the same offsets in the 1.0, 1.1 and 1.2 layouts.
constexpr std::size_t kHeaderBytes = sizeof(LAS12Header);
using HeaderBytes = std::array<unsigned char, kHeaderBytes>;

// The point data is read in blocks of this size: large enough that the cost
// of a call vanishes, small enough that the block is still in the processor's
// cache when the scan reads what the kernel has just copied into it.
constexpr std::size_t kScanBufferBytes = std::size_t{1} << 18;

// The offsets inside a point record that the scan reads; all four formats
// start with the same 20 bytes.
constexpr std::size_t kPointX = offsetof(LAS12fm0, X);
constexpr std::size_t kPointY = offsetof(LAS12fm0, Y);
constexpr std::size_t kPointZ = offsetof(LAS12fm0, Z);
constexpr std::size_t kPointBitfield = offsetof(LAS12fm0, bitfield);

// Owns a descriptor. close_checked() hands it over to be closed with the
// result tested: after a write, a failed close can be the only sign that the
// bytes did not reach the file.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const noexcept { return fd_; }
    bool close_checked() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Reads up to `size` bytes at `offset`, carrying on after short reads and
// interruptions. Returns the bytes delivered, fewer than `size` only at the
// end of the file, or -1 on an I/O error.
long long read_at(int fd, unsigned char *out, std::size_t size, off_t offset) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, out + got, size - got, offset + static_cast<off_t>(got));
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<long long>(got);
}

bool write_all_at(int fd, const unsigned char *bytes, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

constexpr std::int32_t kRawLowest = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kRawHighest = std::numeric_limits<std::int32_t>::max();

// What the point records say about themselves.
struct PointSummary {
    std::uint64_t records = 0;
    // Indexed by the return number, bits 0-2 of the bitfield: 1-5 go into
    // the header, 0, 6 and 7 only into the total.
    std::array<std::uint64_t, 8> by_return{};
    // Raw X, Y, Z. They start from the ends of the 32-bit range, so the
    // first record read sets every extreme and any raw value, INT32_MIN and
    // INT32_MAX included, can become one.
    std::array<std::int32_t, 3> min{{kRawHighest, kRawHighest, kRawHighest}};
    std::array<std::int32_t, 3> max{{kRawLowest, kRawLowest, kRawLowest}};
};

// Return numbers are tallied in one 64-bit word per run of at most 254
// records: byte k of the word counts return number k, and a run is too short
// to carry out of a byte (and even, for the loop that takes records in
// pairs). The count stays in a register instead of a chain of increments
// through memory, which runs of equal return numbers, the common case in
// real data, would serialise.
constexpr std::size_t kTallyRun = 254;
constexpr std::array<std::uint64_t, 8> kReturnTally = {
    std::uint64_t{1} << 0,  std::uint64_t{1} << 8,  std::uint64_t{1} << 16, std::uint64_t{1} << 24,
    std::uint64_t{1} << 32, std::uint64_t{1} << 40, std::uint64_t{1} << 48, std::uint64_t{1} << 56,
};

std::uint64_t return_tally(const unsigned char *record) { return kReturnTally[record[kPointBitfield] & 7u]; }

void add_tally(std::uint64_t tally, PointSummary &summary) {
    for (std::size_t k = 0; k < summary.by_return.size(); ++k) summary.by_return[k] += (tally >> (8 * k)) & 0xFFu;
}

std::int32_t load_i32(const unsigned char *bytes) {
    std::int32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The hot loop over `count` whole records of RecordSize bytes, in plain C++.
// A compile-time stride and local accumulators let the compiler keep
// everything in registers and turn the comparisons into conditional moves.
template <std::size_t RecordSize>
void summarise_records_portable(const unsigned char *record, std::size_t count, PointSummary &summary) {
    std::array<std::int32_t, 3> min = summary.min;
    std::array<std::int32_t, 3> max = summary.max;
    summary.records += count;
    while (count > 0) {
        const std::size_t run = std::min(count, kTallyRun);
        count -= run;
        std::uint64_t tally = 0;
        for (const unsigned char *const end = record + run * RecordSize; record != end; record += RecordSize) {
            const std::int32_t x = load_i32(record + kPointX);
            const std::int32_t y = load_i32(record + kPointY);
            const std::int32_t z = load_i32(record + kPointZ);
            min[0] = std::min(min[0], x);
            max[0] = std::max(max[0], x);
            min[1] = std::min(min[1], y);
            max[1] = std::max(max[1], y);
            min[2] = std::min(min[2], z);
            max[2] = std::max(max[2], z);
            tally += return_tally(record);
        }
        add_tally(tally, summary);
    }
    summary.min = min;
    summary.max = max;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOLVREN_SCAN_AVX2 1

// The same loop with the three axes side by side in one vector, two records
// at a time. A 16-byte load at the start of a record holds X, Y and Z in
// lanes 0-2 (lane 3, intensity and the next two bytes, is carried along and
// never read back); two such loads fill the halves of a 256-bit register,
// and one signed minimum and one maximum serve six coordinates. Every record
// is at least 20 bytes, so a load stays inside its record. The caller checks
// that the processor has AVX2.
__attribute__((target("avx2"))) __m256i load_two_records(const unsigned char *first, const unsigned char *second) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(first + kPointX));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(second + kPointX));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

template <std::size_t RecordSize>
__attribute__((target("avx2"))) void summarise_records_avx2(const unsigned char *record, std::size_t count,
                                                            PointSummary &summary) {
    static_assert(RecordSize >= sizeof(__m128i), "a record covers the 16-byte load");
    __m256i min = _mm256_setr_epi32(summary.min[0], summary.min[1], summary.min[2], kRawHighest,
                                    summary.min[0], summary.min[1], summary.min[2], kRawHighest);
    __m256i max = _mm256_setr_epi32(summary.max[0], summary.max[1], summary.max[2], kRawLowest,
                                    summary.max[0], summary.max[1], summary.max[2], kRawLowest);
    summary.records += count;
    while (count > 0) {
        const std::size_t run = std::min(count, kTallyRun);
        count -= run;
        std::uint64_t tally = 0;
        for (const unsigned char *const end = record + (run / 2) * 2 * RecordSize; record != end;
             record += 2 * RecordSize) {
            const __m256i xyz = load_two_records(record, record + RecordSize);
            min = _mm256_min_epi32(min, xyz);
            max = _mm256_max_epi32(max, xyz);
            tally += return_tally(record) + return_tally(record + RecordSize);
        }
        if (run % 2 != 0) {
            // A lone last record fills both halves; minimum and maximum do
            // not mind seeing it twice.
            const __m256i xyz = load_two_records(record, record);
            min = _mm256_min_epi32(min, xyz);
            max = _mm256_max_epi32(max, xyz);
            tally += return_tally(record);
            record += RecordSize;
        }
        add_tally(tally, summary);
    }
    std::array<std::int32_t, 4> lanes;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes.data()),
                     _mm_min_epi32(_mm256_castsi256_si128(min), _mm256_extracti128_si256(min, 1)));
    std::copy_n(lanes.begin(), 3, summary.min.begin());
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes.data()),
                     _mm_max_epi32(_mm256_castsi256_si128(max), _mm256_extracti128_si256(max, 1)));
    std::copy_n(lanes.begin(), 3, summary.max.begin());
}
#endif

using SummariseRecords = void (*)(const unsigned char *record, std::size_t count, PointSummary &summary);

template <std::size_t RecordSize>
SummariseRecords pick_summarise_records() {
#ifdef TOLVREN_SCAN_AVX2
    if (__builtin_cpu_supports("avx2")) return summarise_records_avx2<RecordSize>;
#endif
    return summarise_records_portable<RecordSize>;
}

// One sequential pass over `data_bytes` bytes of point data from `offset`.
// A record cut by the end of a block is carried to the front of the buffer
// and completed by the next read; bytes that never make a whole record are
// ignored. Returns false on an I/O error.
template <std::size_t RecordSize>
bool scan_point_data(int fd, off_t offset, std::uint64_t data_bytes, unsigned char *buffer,
                     PointSummary &summary) {
    static_assert(kScanBufferBytes > RecordSize, "a block holds at least one record");
    const SummariseRecords summarise = pick_summarise_records<RecordSize>();
    std::size_t carried = 0;
    while (data_bytes > 0) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(kScanBufferBytes - carried, data_bytes));
        const long long got = read_at(fd, buffer + carried, wanted, offset);
        if (got < 0) return false;
        const std::size_t delivered = static_cast<std::size_t>(got);
        offset += static_cast<off_t>(delivered);
        data_bytes -= delivered;

        const std::size_t available = carried + delivered;
        const std::size_t whole = available / RecordSize;
        summarise(buffer, whole, summary);
        carried = available - whole * RecordSize;
        std::memmove(buffer, buffer + whole * RecordSize, carried);
        // The file has become shorter since its size was taken.
        if (delivered < wanted) break;
    }
    return true;
}

// The record size of a LASType's group; 0 for a pairing without a layout.
std::size_t record_size_of(std::int16_t las_type) {
    switch (las_type) {
        case 1:
        case 3:
        case 5:
            return sizeof(LAS12fm0);
        case 2:
        case 4:
        case 6:
            return sizeof(LAS12fm1);
        case 7:
            return sizeof(LAS12fm2);
        case 8:
            return sizeof(LAS12fm3);
        default:
            return 0;
    }
}

bool scan_group(std::size_t record_size, int fd, off_t offset, std::uint64_t data_bytes,
                unsigned char *buffer, PointSummary &summary) {
    switch (record_size) {
        case sizeof(LAS12fm0):
            return scan_point_data<sizeof(LAS12fm0)>(fd, offset, data_bytes, buffer, summary);
        case sizeof(LAS12fm1):
            return scan_point_data<sizeof(LAS12fm1)>(fd, offset, data_bytes, buffer, summary);
        case sizeof(LAS12fm2):
            return scan_point_data<sizeof(LAS12fm2)>(fd, offset, data_bytes, buffer, summary);
        default:
            return scan_point_data<sizeof(LAS12fm3)>(fd, offset, data_bytes, buffer, summary);
    }
}

template <typename T>
T load_field(const HeaderBytes &header, std::size_t offset) {
    T value;
    std::memcpy(&value, header.data() + offset, sizeof value);
    return value;
}

template <typename T>
void store_field(HeaderBytes &header, std::size_t offset, T value) {
    std::memcpy(header.data() + offset, &value, sizeof value);
}

// Raw times scale plus offset. The 32-bit raw value converts exactly; the
// product and the sum are carried in long double and rounded to a double
// once, on return, so the stored extent does not pick up a rounding of the
// product on its own.
double real_coordinate(std::int32_t raw, double scale, double offset) {
    const long double product = static_cast<long double>(raw) * static_cast<long double>(scale);
    return static_cast<double>(product + static_cast<long double>(offset));
}

// Writes the counts and extents into the header bytes, leaving every other
// byte as read. Without a whole record there are no extremes: the counts
// and the six extents become 0.
void store_summary(HeaderBytes &header, const PointSummary &summary) {
    store_field(header, offsetof(LAS12Header, NumberOfPointReturns),
                static_cast<std::uint32_t>(summary.records));
    for (std::size_t j = 0; j < 5; ++j) {
        store_field(header, offsetof(LAS12Header, NumberOfPointsByReturn) + 4 * j,
                    static_cast<std::uint32_t>(summary.by_return[j + 1]));
    }

    struct Axis {
        std::size_t scale, offset, max, min;
    };
    // X, Y, Z in the order of the summary's extremes.
    constexpr std::array<Axis, 3> kAxes = {{
        {offsetof(LAS12Header, XScaleFactor), offsetof(LAS12Header, XOffset), offsetof(LAS12Header, MaxX),
         offsetof(LAS12Header, MinX)},
        {offsetof(LAS12Header, YScaleFactor), offsetof(LAS12Header, YOffset), offsetof(LAS12Header, MaxY),
         offsetof(LAS12Header, MinY)},
        {offsetof(LAS12Header, ZScaleFactor), offsetof(LAS12Header, ZOffset), offsetof(LAS12Header, MaxZ),
         offsetof(LAS12Header, MinZ)},
    }};
    for (std::size_t i = 0; i < kAxes.size(); ++i) {
        const Axis &axis = kAxes[i];
        double max = 0.0;
        double min = 0.0;
        if (summary.records > 0) {
            const double scale = load_field<double>(header, axis.scale);
            const double offset = load_field<double>(header, axis.offset);
            max = real_coordinate(summary.max[i], scale, offset);
            min = real_coordinate(summary.min[i], scale, offset);
        }
        store_field(header, axis.max, max);
        store_field(header, axis.min, min);
    }
}

// Everything between the checks and the success line. Returns nullptr once
// the header is written and the file closed, or the message of the refusal.
// Nothing is written before every check has passed, so a refused file keeps
// its bytes.
const char *rewrite_summary(const char *filename, std::int16_t las_type) {
    const std::size_t record_size = record_size_of(las_type);
    if (record_size == 0) return kUpdateNoRecordLayout;

    Descriptor fd(::open(filename, O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) return kUpdateCannotOpen;

    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return kUpdateCannotReadHeader;
    const std::uint64_t file_size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    if (file_size < kHeaderBytes) return kUpdateShortFile;

    HeaderBytes header{};
    const long long got = read_at(fd.get(), header.data(), header.size(), 0);
    if (got < 0) return kUpdateCannotReadHeader;
    if (static_cast<std::size_t>(got) < header.size()) return kUpdateShortFile;

    // The offset is an unsigned 32-bit field: point data may start anywhere
    // up to 4 GiB. At the end of the file the point data is empty.
    const std::uint64_t offset_to_data = load_field<std::uint32_t>(header, offsetof(LAS12Header, OffsetToData));
    if (offset_to_data > file_size) return kUpdateOffsetBeyondEnd;
    const std::uint64_t data_bytes = file_size - offset_to_data;
    if (data_bytes / record_size > std::numeric_limits<std::uint32_t>::max()) return kUpdateTooManyRecords;

    PointSummary summary;
    {
        std::unique_ptr<unsigned char[]> buffer;
        try {
            buffer = std::make_unique<unsigned char[]>(kScanBufferBytes);
        } catch (const std::bad_alloc &) {
            return kUpdateNoMemory;
        }
        if (!scan_group(record_size, fd.get(), static_cast<off_t>(offset_to_data), data_bytes, buffer.get(),
                        summary)) {
            return kUpdateCannotReadPoints;
        }
    }

    store_summary(header, summary);
    // The descriptor has no buffer of its own to flush: the write hands the
    // bytes to the system, and the close reports what is left to report.
    if (!write_all_at(fd.get(), header.data(), header.size(), 0)) return kUpdateCannotWrite;
    if (!fd.close_checked()) return kUpdateCannotWrite;
    return nullptr;
}

void update_header_impl(const char *filename) {
    const std::int16_t las_type = check_las_impl(filename);
    // check_las has said why.
    if (las_type < 0) std::exit(kUpdateRefused);

    if (const char *refusal = rewrite_summary(filename, las_type)) {
        std::printf(refusal, filename);
        std::exit(kUpdateRefused);
    }
    std::printf(kUpdateDone, filename);
    // The line has no line end; flush so that it shows now.
    std::fflush(stdout);
}

}  // namespace

extern "C" void update_header(const char *filename) noexcept { update_header_impl(filename); }

// ---------------------------------------------------------------------------
// Header templates
// ---------------------------------------------------------------------------

namespace {

constexpr char kTemplateSignature[] = "LASF";
constexpr std::uint16_t kTemplateHeaderSize = 227;
constexpr std::uint32_t kTemplateOffsetToData = 227;

static_assert(sizeof kSuiteName <= sizeof(LAS10Header::GeneratingSoftware),
              "the suite name and its zero fit GeneratingSoftware");

// Writes `text` and its terminating zero at byte `Offset` of the record and
// nothing else, so the rest of a text field keeps whatever it held. The
// signature's zero lands on byte 4, which the fields that follow overwrite.
template <std::size_t Offset, typename Header, std::size_t N>
void put_template_string(Header *ph, const char (&text)[N]) {
    static_assert(Offset + N <= sizeof(Header), "the string stays inside the record");
    std::memcpy(reinterpret_cast<unsigned char *>(ph) + Offset, text, N);
}

// Bytes 4 to 7 and 90 to 93 are the only ones named differently by version.
void put_bytes_4_to_7(LAS10Header *ph) { ph->Reserved = 0; }
void put_bytes_4_to_7(LAS11Header *ph) {
    ph->FileSourceID = 0;
    ph->Reserved = 0;
}
void put_bytes_4_to_7(LAS12Header *ph) {
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;
}

void put_day_and_year(LAS10Header *ph) {
    ph->FlightDateJulian = 0;
    ph->Year = 0;
}
template <typename Header>
void put_day_and_year(Header *ph) {
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}

// Writes the template in field order. The day and year stay 0: a template
// reads no clock, the tool writing the file sets them.
template <typename Header>
void initialize_header_impl(Header *ph, std::uint8_t version_minor) {
    put_template_string<offsetof(Header, LASF)>(ph, kTemplateSignature);
    put_bytes_4_to_7(ph);
    ph->GUIDData1 = 0;
    ph->GUIDData2 = 0;
    ph->GUIDData3 = 0;
    put_template_string<offsetof(Header, GUIDData4)>(ph, "");
    ph->VersionMajor = 1;
    ph->VersionMinor = version_minor;
    put_template_string<offsetof(Header, SystemIdentifier)>(ph, "");
    put_template_string<offsetof(Header, GeneratingSoftware)>(ph, kSuiteName);
    put_day_and_year(ph);
    ph->HeaderSize = kTemplateHeaderSize;
    ph->OffsetToData = kTemplateOffsetToData;
    ph->NumberOfVariableLengthRecords = 0;
    // Left 0 on purpose: the caller must choose the point format and its
    // record length, and check_las refuses a file that keeps these zeros.
    ph->PointDataFormatID = 0;
    ph->PointDataRecordLength = 0;
    ph->NumberOfPointReturns = 0;
    for (std::size_t i = 0; i < 5; ++i) ph->NumberOfPointsByReturn[i] = 0;
    ph->XScaleFactor = 1.0;
    ph->YScaleFactor = 1.0;
    ph->ZScaleFactor = 1.0;
    ph->XOffset = 0.0;
    ph->YOffset = 0.0;
    ph->ZOffset = 0.0;
    ph->MaxX = 0.0;
    ph->MinX = 0.0;
    ph->MaxY = 0.0;
    ph->MinY = 0.0;
    ph->MaxZ = 0.0;
    ph->MinZ = 0.0;
}

}  // namespace

extern "C" {

void initialize_header10(LAS10Header *ph) noexcept { initialize_header_impl(ph, 0); }

void initialize_header11(LAS11Header *ph) noexcept { initialize_header_impl(ph, 1); }

void initialize_header12(LAS12Header *ph) noexcept { initialize_header_impl(ph, 2); }

}  // extern "C"

// ---------------------------------------------------------------------------
// Index-carrying sorts
// ---------------------------------------------------------------------------

namespace {

// Positions travel as ptrdiff_t inside the sorts: the pivot sum of two 32-bit
// bounds, and a cursor stepping one place past either end of a stretch, then
// stay in range whatever bounds a direct worker call passes.
using SortPosition = std::ptrdiff_t;

// The depth-carrying entries let the depth-carrying worker handle the top 16
// levels (deep 15 down to 0).
constexpr std::int64_t kEntrySortDepth = 15;

// A pass examines its keys in blocks of kMaxSortBlock keys while the part not
// yet examined holds two such blocks, then in blocks of a half, a quarter ...
// down to kMinSortBlock keys. One bit per key of a block fits in 64 bits, and
// every width is a whole number of SSE2 registers.
constexpr int kMaxSortBlock = 64;
constexpr int kMinSortBlock = 4;

// The two parts a pass leaves: left .. left_end and right_begin .. right.
struct SortParts {
    SortPosition left_end;
    SortPosition right_begin;
    // Set when the pass found no key of the stretch less than another, so
    // that neither part holds one either.
    bool even = false;
};

template <typename Key>
inline void exchange_entries(Key *p, std::int32_t *p_ind, SortPosition a,
                             SortPosition b) noexcept {
    // Plain copies: a double moves as its raw 64-bit value, so NaN payloads
    // (signalling ones too) and the sign of zero survive.
    const Key key = p[a];
    p[a] = p[b];
    p[b] = key;
    const std::int32_t index = p_ind[a];
    p_ind[a] = p_ind[b];
    p_ind[b] = index;
}

// Exchanges up[t] with down[width - 1 - t] for t = 0 .. width - 1: two blocks
// that do not overlap, end for end.
template <typename Value>
inline void exchange_reversed(Value *up, Value *down, int width) noexcept {
    for (int t = 0; t < width; ++t) {
        const Value value = up[t];
        up[t] = down[width - 1 - t];
        down[width - 1 - t] = value;
    }
}

// The stops in a block of `width` keys, one bit per key. Bit t of an up mask
// is set when block[t] is not less than the pivot (it stops the scan up), bit
// t of a down mask when block[t] is not greater (it stops the scan down).
// These are ordered comparisons: a NaN stops both scans.
template <typename Key>
inline std::uint64_t up_stop_mask(const Key *block, Key pivot, int width) noexcept {
    std::uint64_t mask = 0;
    for (int t = 0; t < width; ++t) {
        mask |= static_cast<std::uint64_t>(!(block[t] < pivot)) << t;
    }
    return mask;
}

template <typename Key>
inline std::uint64_t down_stop_mask(const Key *block, Key pivot, int width) noexcept {
    std::uint64_t mask = 0;
    for (int t = 0; t < width; ++t) {
        mask |= static_cast<std::uint64_t>(!(pivot < block[t])) << t;
    }
    return mask;
}

#if defined(__SSE2__)
// The same, four 32-bit values or two doubles at a time. Register loads,
// stores and shuffles move doubles bit for bit, NaN payloads included.

inline void exchange_reversed(std::int32_t *up, std::int32_t *down, int width) noexcept {
    for (int t = 0; t < width; t += 4) {
        auto *low = reinterpret_cast<__m128i *>(up + t);
        auto *high = reinterpret_cast<__m128i *>(down + width - 4 - t);
        const __m128i low_values = _mm_loadu_si128(low);
        const __m128i high_values = _mm_loadu_si128(high);
        _mm_storeu_si128(low, _mm_shuffle_epi32(high_values, 0x1B));
        _mm_storeu_si128(high, _mm_shuffle_epi32(low_values, 0x1B));
    }
}

inline void exchange_reversed(double *up, double *down, int width) noexcept {
    for (int t = 0; t < width; t += 2) {
        const __m128d low_values = _mm_loadu_pd(up + t);
        const __m128d high_values = _mm_loadu_pd(down + width - 2 - t);
        _mm_storeu_pd(up + t, _mm_shuffle_pd(high_values, high_values, 1));
        _mm_storeu_pd(down + width - 2 - t, _mm_shuffle_pd(low_values, low_values, 1));
    }
}

// Sixteen 32-bit comparison results (all ones or all zeros) packed to one
// bit each, in key order.
inline std::uint64_t pack_bits(__m128i a, __m128i b, __m128i c, __m128i d) noexcept {
    const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(bytes)));
}

// Eight double comparison results packed to one bit each, in key order.
inline std::uint64_t pack_bits(__m128d a, __m128d b, __m128d c, __m128d d) noexcept {
    const __m128i low = _mm_castps_si128(
        _mm_shuffle_ps(_mm_castpd_ps(a), _mm_castpd_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i high = _mm_castps_si128(
        _mm_shuffle_ps(_mm_castpd_ps(c), _mm_castpd_ps(d), _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i words = _mm_packs_epi32(low, high);
    return static_cast<std::uint64_t>(
        static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(words, words))) & 0xFFu);
}

inline __m128i load_keys(const std::int32_t *keys) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(keys));
}

inline std::uint64_t up_stop_mask(const std::int32_t *block, std::int32_t pivot,
                                  int width) noexcept {
    const __m128i pivots = _mm_set1_epi32(pivot);
    std::uint64_t less = 0;
    int t = 0;
    for (; t + 16 <= width; t += 16) {
        less |= pack_bits(_mm_cmplt_epi32(load_keys(block + t), pivots),
                          _mm_cmplt_epi32(load_keys(block + t + 4), pivots),
                          _mm_cmplt_epi32(load_keys(block + t + 8), pivots),
                          _mm_cmplt_epi32(load_keys(block + t + 12), pivots))
                << t;
    }
    for (; t < width; t += 4) {
        const auto bits = static_cast<std::uint64_t>(_mm_movemask_ps(
            _mm_castsi128_ps(_mm_cmplt_epi32(load_keys(block + t), pivots))));
        less |= bits << t;
    }
    return ~less & (~std::uint64_t{0} >> (64 - width));
}

inline std::uint64_t down_stop_mask(const std::int32_t *block, std::int32_t pivot,
                                    int width) noexcept {
    const __m128i pivots = _mm_set1_epi32(pivot);
    std::uint64_t greater = 0;
    int t = 0;
    for (; t + 16 <= width; t += 16) {
        greater |= pack_bits(_mm_cmpgt_epi32(load_keys(block + t), pivots),
                             _mm_cmpgt_epi32(load_keys(block + t + 4), pivots),
                             _mm_cmpgt_epi32(load_keys(block + t + 8), pivots),
                             _mm_cmpgt_epi32(load_keys(block + t + 12), pivots))
                   << t;
    }
    for (; t < width; t += 4) {
        const auto bits = static_cast<std::uint64_t>(_mm_movemask_ps(
            _mm_castsi128_ps(_mm_cmpgt_epi32(load_keys(block + t), pivots))));
        greater |= bits << t;
    }
    return ~greater & (~std::uint64_t{0} >> (64 - width));
}

// "Not less than" holds when either side is a NaN: cmpnlt(key, pivot) marks
// the keys that stop the scan up, cmpnlt(pivot, key) those that stop the
// scan down.
inline std::uint64_t up_stop_mask(const double *block, double pivot, int width) noexcept {
    const __m128d pivots = _mm_set1_pd(pivot);
    std::uint64_t mask = 0;
    int t = 0;
    for (; t + 8 <= width; t += 8) {
        mask |= pack_bits(_mm_cmpnlt_pd(_mm_loadu_pd(block + t), pivots),
                          _mm_cmpnlt_pd(_mm_loadu_pd(block + t + 2), pivots),
                          _mm_cmpnlt_pd(_mm_loadu_pd(block + t + 4), pivots),
                          _mm_cmpnlt_pd(_mm_loadu_pd(block + t + 6), pivots))
                << t;
    }
    for (; t < width; t += 2) {
        const auto bits = static_cast<std::uint64_t>(
            _mm_movemask_pd(_mm_cmpnlt_pd(_mm_loadu_pd(block + t), pivots)));
        mask |= bits << t;
    }
    return mask;
}

inline std::uint64_t down_stop_mask(const double *block, double pivot, int width) noexcept {
    const __m128d pivots = _mm_set1_pd(pivot);
    std::uint64_t mask = 0;
    int t = 0;
    for (; t + 8 <= width; t += 8) {
        mask |= pack_bits(_mm_cmpnlt_pd(pivots, _mm_loadu_pd(block + t)),
                          _mm_cmpnlt_pd(pivots, _mm_loadu_pd(block + t + 2)),
                          _mm_cmpnlt_pd(pivots, _mm_loadu_pd(block + t + 4)),
                          _mm_cmpnlt_pd(pivots, _mm_loadu_pd(block + t + 6)))
                << t;
    }
    for (; t < width; t += 2) {
        const auto bits = static_cast<std::uint64_t>(
            _mm_movemask_pd(_mm_cmpnlt_pd(pivots, _mm_loadu_pd(block + t))));
        mask |= bits << t;
    }
    return mask;
}
#endif

inline int lowest_bit(std::uint64_t mask) noexcept { return __builtin_ctzll(mask); }

inline int highest_bit(std::uint64_t mask) noexcept { return 63 - __builtin_clzll(mask); }

// The widest block of which two fit into `length` keys; 0 when not even two
// of the narrowest do.
inline int block_width(SortPosition length) noexcept {
    if (length >= 2 * kMaxSortBlock) {
        return kMaxSortBlock;
    }
    if (length < 2 * kMinSortBlock) {
        return 0;
    }
    return 1 << highest_bit(static_cast<std::uint64_t>(length) / 2);
}

// The cycles of a pass one at a time, the scans starting at i and j, until
// the cursors cross; returns the two parts.
template <typename Key>
inline SortParts run_cycles(Key *p, std::int32_t *p_ind, Key pivot, SortPosition i,
                            SortPosition j) noexcept {
    for (;;) {
        while (p[i] < pivot) {
            ++i;
        }
        while (pivot < p[j]) {
            --j;
        }
        if (i > j) {
            break;
        }
        // A position exchanged with itself keeps its key and index: skip the
        // loads and stores, which on sorted keys would be the only access to
        // the index array in the whole pass.
        if (i < j) {
            exchange_entries(p, p_ind, i, j);
        }
        ++i;
        --j;
        if (i > j) {
            break;
        }
    }
    return {j, i};
}

// One partition-exchange pass over left .. right (left < right).
//
// The pivot is the key at (left + right) / 2, the sum halved with truncation
// toward zero, copied once and fixed for the whole pass. A cycle scans up
// while the key is less than the pivot, scans down while it is greater, and
// exchanges the keys (and indexes) at the two stopping positions, a position
// with itself when the cursors meet; both cursors then move on. The pass ends
// when the cursors have crossed.
//
// Until the cursors cross, the k-th exchange of a pass pairs the k-th position
// from the left whose key is not less than the pivot (an up stop) with the
// k-th position from the right whose key is not greater (a down stop): the
// keys between the cursors are untouched, so the stops can be read off the
// keys as they came in. The stops are therefore found a block at a time, in a
// left and a right block that do not overlap, without a branch per key, and
// exchanged in pairs; when both blocks hold stops only, the pairs are the two
// blocks end for end. The few keys left near the middle run the cycles one at
// a time.
//
// The one-at-a-time scans carry no bound tests. With no exchange made yet,
// the pivot's own position stops both of them (a key is neither less nor
// greater than itself, and a NaN pivot stops them at once); after an
// exchange, the old down position holds a key that is not less than the pivot
// and the old up position one that is not greater. So the scan up stops at or
// before `right` and the scan down at or after `left`, exactly where a
// bounded scan would.
template <typename Key>
inline SortParts partition_stretch(Key *p, SortPosition left, SortPosition right,
                                   std::int32_t *p_ind) noexcept {
    const Key pivot = p[(left + right) / 2];
    if (right - left < 2 * kMinSortBlock - 1) {
        return run_cycles(p, p_ind, pivot, left, right);
    }
    // The cursors: where the next scans start.
    SortPosition i = left;
    SortPosition j = right;
    // Keys lo .. hi are not examined yet. The up stops found but not yet
    // exchanged are the set bits of up_stops, counted from up_base and taken
    // lowest first; the down stops those of down_stops, counted from
    // down_base and taken highest first.
    SortPosition lo = left;
    SortPosition hi = right;
    SortPosition up_base = left;
    SortPosition down_base = right;
    std::uint64_t up_stops = 0;
    std::uint64_t down_stops = 0;
    // Every key examined so far is the pivot's equal or a NaN, and the pivot
    // is not a NaN.
    bool even = pivot == pivot;
    for (;;) {
        const int width = block_width(hi - lo + 1);
        if (width == 0) {
            break;
        }
        if (up_stops == 0 && down_stops == 0) {
            up_base = lo;
            up_stops = up_stop_mask(p + lo, pivot, width);
            lo += width;
            down_base = hi - (width - 1);
            down_stops = down_stop_mask(p + down_base, pivot, width);
            hi -= width;
            const std::uint64_t whole_block = ~std::uint64_t{0} >> (64 - width);
            if (up_stops == whole_block && down_stops == whole_block) {
                // The block on the left holds no key less than the pivot and
                // the one on the right none greater; the pivot's equals are
                // those that are not greater or not less either.
                even = even && down_stop_mask(p + up_base, pivot, width) == whole_block &&
                       up_stop_mask(p + down_base, pivot, width) == whole_block;
                exchange_reversed(p + up_base, p + down_base, width);
                exchange_reversed(p_ind + up_base, p_ind + down_base, width);
                i = up_base + width;
                j = down_base - 1;
                up_stops = 0;
                down_stops = 0;
                continue;
            }
            even = false;
        } else if (up_stops == 0) {
            up_base = lo;
            up_stops = up_stop_mask(p + lo, pivot, width);
            lo += width;
        } else {
            down_base = hi - (width - 1);
            down_stops = down_stop_mask(p + down_base, pivot, width);
            hi -= width;
        }
        while (up_stops != 0 && down_stops != 0) {
            const int up_bit = lowest_bit(up_stops);
            const int down_bit = highest_bit(down_stops);
            exchange_entries(p, p_ind, up_base + up_bit, down_base + down_bit);
            i = up_base + up_bit + 1;
            j = down_base + down_bit - 1;
            up_stops &= up_stops - 1;
            down_stops ^= std::uint64_t{1} << down_bit;
        }
    }
    if (even) {
        // Every key examined so far is the pivot's equal or a NaN; so is the
        // whole stretch if the keys not yet examined are too.
        bool uneven = false;
        for (SortPosition t = lo; t <= hi; ++t) {
            uneven |= (p[t] < pivot) | (pivot < p[t]);
        }
        if (!uneven) {
            SortParts parts = i > j ? SortParts{j, i} : run_cycles(p, p_ind, pivot, lo, hi);
            parts.even = true;
            return parts;
        }
    }
    if (i > j) {
        return {j, i};
    }
    // Resume one cycle at a time. The keys from i up to the next pending up
    // stop (or to lo) do not stop the scan up, and those from j down to the
    // next pending down stop (or to hi) do not stop the scan down, so the
    // scans may start there and reach the same positions.
    return run_cycles(p, p_ind, pivot, up_stops != 0 ? up_base + lowest_bit(up_stops) : lo,
                      down_stops != 0 ? down_base + highest_bit(down_stops) : hi);
}

// Passes over two and three keys, written out. Two keys are exchanged unless
// the first is less than the second, wherever the pivot falls: equal keys and
// NaNs change places. Over three keys the pivot is the middle key v; the
// first cycle's scan up stops at the first key unless it is less than v, the
// scan down at the last unless it is greater, otherwise both at the middle:
//   both ends stop:  the ends are exchanged, then the middle with itself;
//   the first only:  first and middle are exchanged, then the part made of
//                    the last two keys is sorted;
//   the last only:   middle and last are exchanged, then the part made of the
//                    first two keys is sorted;
//   neither:         the middle is exchanged with itself.
template <typename Key>
inline void sort_two(Key *p, std::int32_t *p_ind, SortPosition first,
                     SortPosition second) noexcept {
    if (!(p[first] < p[second])) {
        exchange_entries(p, p_ind, first, second);
    }
}

template <typename Key>
inline void sort_three(Key *p, std::int32_t *p_ind, SortPosition left,
                       SortPosition right) noexcept {
    const SortPosition middle = (left + right) / 2;
    const Key pivot = p[middle];
    const bool first_stops = !(p[left] < pivot);
    const bool last_stops = !(pivot < p[right]);
    if (first_stops) {
        if (last_stops) {
            exchange_entries(p, p_ind, left, right);
        } else {
            exchange_entries(p, p_ind, left, middle);
            sort_two(p, p_ind, middle, right);
        }
    } else if (last_stops) {
        exchange_entries(p, p_ind, middle, right);
        sort_two(p, p_ind, left, middle);
    }
}

// Sorts a stretch of at most three keys; shorter and empty ones stay as they
// are. The positions are passed as the stretch's bounds and its middle rather
// than as left + 1: keys at positions known to be neighbours would be loaded
// as one register, straight after the two separate stores of an exchange,
// which costs a stall.
template <typename Key>
inline void sort_short(Key *p, SortPosition left, SortPosition right,
                       std::int32_t *p_ind) noexcept {
    if (right - left == 1) {
        sort_two(p, p_ind, left, right);
    } else if (right - left == 2) {
        sort_three(p, p_ind, left, right);
    }
}

// The plain worker sorts stretches of at most kShortStretch keys in one
// function, without blocks or nested calls. A stretch of that length leaves
// at most log2(kShortStretch) parts pending.
constexpr SortPosition kShortStretch = 16;
constexpr int kShortPending = 4;
static_assert(SortPosition{1} << kShortPending >= kShortStretch, "room for pending parts");

// When no key of a stretch is less than another (all keys equal, NaNs
// aside), every scan stops at once whatever the pivot, so the exchanges of the
// whole sort depend on the length alone. short_even_orders[n][t] is the
// position, counted from the stretch's left end, whose entry ends up at
// position t of a stretch of n keys.
struct ShortEvenOrders {
    std::uint8_t from[kShortStretch + 1][kShortStretch];
};

constexpr ShortEvenOrders make_short_even_orders() {
    ShortEvenOrders orders{};
    for (int n = 0; n <= kShortStretch; ++n) {
        std::uint8_t at[kShortStretch] = {};
        for (int t = 0; t < n; ++t) {
            at[t] = static_cast<std::uint8_t>(t);
        }
        int stack[2 * kShortStretch + 2] = {};
        int depth = 0;
        if (n > 1) {
            stack[0] = 0;
            stack[1] = n - 1;
            depth = 1;
        }
        while (depth > 0) {
            --depth;
            const int left = stack[2 * depth];
            const int right = stack[2 * depth + 1];
            int i = left;
            int j = right;
            while (i <= j) {
                const std::uint8_t held = at[i];
                at[i] = at[j];
                at[j] = held;
                ++i;
                --j;
            }
            if (left < j) {
                stack[2 * depth] = left;
                stack[2 * depth + 1] = j;
                ++depth;
            }
            if (i < right) {
                stack[2 * depth] = i;
                stack[2 * depth + 1] = right;
                ++depth;
            }
        }
        for (int t = 0; t < n; ++t) {
            orders.from[n][t] = at[t];
        }
    }
    return orders;
}

constexpr ShortEvenOrders kShortEvenOrders = make_short_even_orders();

// True when no key of left .. right is less than another: each is equal to
// the first key, or a NaN, and the first key is not a NaN.
template <typename Key>
inline bool short_stretch_even(const Key *p, SortPosition left, SortPosition right) noexcept {
    const Key first = p[left];
    if (!(first == first)) {
        return false;
    }
    bool uneven = false;
    for (SortPosition t = left + 1; t <= right; ++t) {
        uneven |= (p[t] < first) | (first < p[t]);
    }
    return !uneven;
}

// Places the entries of an even stretch of n keys (2 <= n <= kShortStretch)
// where its sort leaves them.
template <typename Key>
inline void order_even_stretch(Key *p, SortPosition left, SortPosition n,
                               std::int32_t *p_ind) noexcept {
    Key keys[kShortStretch];
    std::int32_t indexes[kShortStretch];
    std::memcpy(keys, p + left, static_cast<std::size_t>(n) * sizeof(Key));
    std::memcpy(indexes, p_ind + left, static_cast<std::size_t>(n) * sizeof(std::int32_t));
    const std::uint8_t *from = kShortEvenOrders.from[n];
    for (SortPosition t = 0; t < n; ++t) {
        std::memcpy(p + left + t, keys + from[t], sizeof(Key));
        p_ind[left + t] = indexes[from[t]];
    }
}

// Longer even stretches. A pass over an even stretch of n keys exchanges
// them end for end, the middle key (n odd) with itself, and leaves two parts
// of h = n / 2 keys. So if "sorted" stands for where the sort of an even
// stretch leaves its entries and "turned" for the same applied to the stretch
// taken end for end, then for n > kShortStretch, with L the first h keys, U
// the last h and M the middle key when there is one:
//   sorted(L M U) = turned(U) M turned(L)
//   turned(L M U) = sorted(L) M sorted(U)
// place_even puts the entries of a at that place; trade_even, given two
// stretches a and b of n keys that do not overlap, puts at a the entries b
// would end up with and at b those of a.
template <typename Key>
inline void trade_short_even(Key *p, std::int32_t *p_ind, SortPosition a, SortPosition b,
                             SortPosition n, bool turned) noexcept {
    Key keys_a[kShortStretch];
    Key keys_b[kShortStretch];
    std::int32_t indexes_a[kShortStretch];
    std::int32_t indexes_b[kShortStretch];
    const auto key_bytes = static_cast<std::size_t>(n) * sizeof(Key);
    const auto index_bytes = static_cast<std::size_t>(n) * sizeof(std::int32_t);
    std::memcpy(keys_a, p + a, key_bytes);
    std::memcpy(keys_b, p + b, key_bytes);
    std::memcpy(indexes_a, p_ind + a, index_bytes);
    std::memcpy(indexes_b, p_ind + b, index_bytes);
    const std::uint8_t *from = kShortEvenOrders.from[n];
    for (SortPosition t = 0; t < n; ++t) {
        const SortPosition f = turned ? n - 1 - from[t] : from[t];
        std::memcpy(p + a + t, keys_b + f, sizeof(Key));
        std::memcpy(p + b + t, keys_a + f, sizeof(Key));
        p_ind[a + t] = indexes_b[f];
        p_ind[b + t] = indexes_a[f];
    }
}

template <typename Key>
void trade_even(Key *p, std::int32_t *p_ind, SortPosition a, SortPosition b, SortPosition n,
                bool turned) noexcept {
    if (n <= kShortStretch) {
        trade_short_even(p, p_ind, a, b, n, turned);
        return;
    }
    const SortPosition h = n / 2;
    if (n % 2 != 0) {
        exchange_entries(p, p_ind, a + h, b + h);
    }
    if (turned) {
        trade_even(p, p_ind, a, b, h, false);
        trade_even(p, p_ind, a + n - h, b + n - h, h, false);
    } else {
        trade_even(p, p_ind, a, b + n - h, h, true);
        trade_even(p, p_ind, a + n - h, b, h, true);
    }
}

// Sorts the even stretch of n keys from `left` (turned: sorts it as if it
// had been taken end for end first).
template <typename Key>
void place_even(Key *p, std::int32_t *p_ind, SortPosition left, SortPosition n,
                bool turned) noexcept {
    if (n <= kShortStretch) {
        if (n >= 2) {
            if (turned) {
                trade_short_even(p, p_ind, left, left, n, true);
            } else {
                order_even_stretch(p, left, n, p_ind);
            }
        }
        return;
    }
    const SortPosition h = n / 2;
    if (turned) {
        place_even(p, p_ind, left, h, false);
        place_even(p, p_ind, left + n - h, h, false);
    } else {
        trade_even(p, p_ind, left, left + n - h, h, true);
    }
}

// Sorts a stretch of at most kShortStretch keys: passes one cycle at a time,
// looping on the shorter part of each pass and holding the longer one on a
// local stack, each pending part at least as long as the rest.
template <typename Key>
void sort_short_stretch(Key *p, SortPosition left, SortPosition right,
                        std::int32_t *p_ind) noexcept {
    if (right - left >= 3 && !(p[left] < p[right]) && !(p[right] < p[left]) &&
        short_stretch_even(p, left, right)) {
        order_even_stretch(p, left, right - left + 1, p_ind);
        return;
    }
    SortPosition pending[2 * kShortPending];
    int pending_count = 0;
    for (;;) {
        while (right - left >= 3) {
            const SortParts parts =
                run_cycles(p, p_ind, p[(left + right) / 2], left, right);
            if (parts.left_end - left < right - parts.right_begin) {
                pending[2 * pending_count] = parts.right_begin;
                pending[2 * pending_count + 1] = right;
                right = parts.left_end;
            } else {
                pending[2 * pending_count] = left;
                pending[2 * pending_count + 1] = parts.left_end;
                left = parts.right_begin;
            }
            ++pending_count;
        }
        sort_short(p, left, right, p_ind);
        if (pending_count == 0) {
            return;
        }
        --pending_count;
        left = pending[2 * pending_count];
        right = pending[2 * pending_count + 1];
    }
}

// The plain worker. The two parts of a pass share no position, so the order
// in which they are sorted does not change the result: the shorter one is
// sorted by a nested call and the longer one by the next round of the loop,
// which keeps the nesting below log2 of the stretch length for any key order.
template <typename Key>
void sort_stretch(Key *p, SortPosition left, SortPosition right, std::int32_t *p_ind) noexcept {
    while (right - left >= kShortStretch) {
        const SortParts parts = partition_stretch(p, left, right, p_ind);
        if (parts.even) {
            place_even(p, p_ind, left, parts.left_end - left + 1, false);
            place_even(p, p_ind, parts.right_begin, right - parts.right_begin + 1, false);
            return;
        }
        if (parts.left_end - left < right - parts.right_begin) {
            sort_stretch(p, left, parts.left_end, p_ind);
            left = parts.right_begin;
        } else {
            sort_stretch(p, parts.right_begin, right, p_ind);
            right = parts.left_end;
        }
    }
    sort_short_stretch(p, left, right, p_ind);
}

// The depth-carrying worker: the same passes, but while `deep` is non-zero
// both parts of a pass go on to this worker with `deep` - 1, and at `deep` 0
// to the plain worker. A negative `deep` never reaches 0. `deep` only decides
// which worker handles a level, never which entries are exchanged.
template <typename Key>
void sort_stretch_deep(Key *p, SortPosition left, SortPosition right, std::int32_t *p_ind,
                       std::int64_t deep) noexcept {
    while (right - left >= 3) {
        const SortParts parts = partition_stretch(p, left, right, p_ind);
        if (parts.even) {
            place_even(p, p_ind, left, parts.left_end - left + 1, false);
            place_even(p, p_ind, parts.right_begin, right - parts.right_begin + 1, false);
            return;
        }
        if (deep == 0) {
            sort_stretch(p, left, parts.left_end, p_ind);
            sort_stretch(p, parts.right_begin, right, p_ind);
            return;
        }
        --deep;
        if (parts.left_end - left < right - parts.right_begin) {
            sort_stretch_deep(p, left, parts.left_end, p_ind, deep);
            left = parts.right_begin;
        } else {
            sort_stretch_deep(p, parts.right_begin, right, p_ind, deep);
            right = parts.left_end;
        }
    }
    sort_short(p, left, right, p_ind);
}

}  // namespace

extern "C" {

void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch(p, 0, SortPosition{count} - 1, p_ind);
    }
}

void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind) noexcept {
    sort_stretch(p, left, right, p_ind);
}

void d_quicksort(double *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch(p, 0, SortPosition{count} - 1, p_ind);
    }
}

void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind) noexcept {
    sort_stretch(p, left, right, p_ind);
}

void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch_deep(p, 0, SortPosition{count} - 1, p_ind, kEntrySortDepth);
    }
}

void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind,
                   int32_t deep) noexcept {
    sort_stretch_deep(p, left, right, p_ind, deep);
}

void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch_deep(p, 0, SortPosition{count} - 1, p_ind, kEntrySortDepth);
    }
}

void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind,
                   int32_t deep) noexcept {
    sort_stretch_deep(p, left, right, p_ind, deep);
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Argument validators
// ---------------------------------------------------------------------------

namespace {

// Printed with puts, which adds the line end.
constexpr char kBadYN[] = "\nASCII Header Flag should be either Y (y) or N (n)";
constexpr char kInvalidArgument[] = "\nInvalid argument value (%s)\n";
constexpr char kBadDemExtension[] =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)";
constexpr char kDemNeedsHeader[] =
    "\nFloating point binary DEM files also require a ASCII header file ('.hdr')";
constexpr char kDemNameNoMemory[] = "\nCannot allocate memory for the header file name of %s\n";

constexpr int kArgumentRefusedStatus = -1;

constexpr std::array<const char *, 4> kYesNo = {"Y", "N", "y", "n"};

std::int16_t check_YN_impl(const char *text) {
    for (const char *accepted : kYesNo) {
        if (std::strcmp(text, accepted) == 0) return 0;
    }
    std::puts(kBadYN);
    return -1;
}

// Only the ASCII digits count: no locale is consulted, and no byte above
// 127 is a digit.
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

void check_numeric_argument_impl(const char *str) {
    const std::size_t length = std::strlen(str);
    bool refused = false;
    // Positions are size_t, so a value of any length is scanned to its end.
    for (std::size_t t = 0; t < length; ++t) {
        const char c = str[t];
        if (!is_ascii_digit(c) && c != '.' && c != '-') refused = true;
    }
    if (!refused) {
        // The sign and the point may stand anywhere, once each; alone they
        // are not a number.
        const auto ndots = std::count(str, str + length, '.');
        const auto ndashes = std::count(str, str + length, '-');
        if (ndots > 1 || ndashes > 1) refused = true;
        if ((ndots == 1 || ndashes == 1) && length == 1) refused = true;
    }
    if (refused) {
        std::printf(kInvalidArgument, str);
        std::exit(kArgumentRefusedStatus);
    }
}

void check_DEM_impl(const char *str) {
    // Each failing extension test prints its own message, so an ".flt" name
    // passes here after the mismatch message for asc.
    if (check_file_extension_impl(str, "asc") < 0 && check_file_extension_impl(str, "flt") < 0) {
        std::puts(kBadDemExtension);
        std::exit(kArgumentRefusedStatus);
    }
    // An ASCII grid carries its own header; this test prints the mismatch
    // message for flt.
    if (check_file_extension_impl(str, "flt") < 0) return;

    // The header file sits beside the grid: the same name, directory part
    // and letter case with ".hdr" for the final ".flt", sized to the name.
    const std::size_t length = std::strlen(str);
    std::string header_name;
    try {
        header_name.reserve(length);
        header_name.assign(str, length - 4);
        header_name += ".hdr";
    } catch (const std::bad_alloc &) {
        std::printf(kDemNameNoMemory, str);
        std::exit(kArgumentRefusedStatus);
    }
    if (file_access_impl(header_name.c_str()) < 0) {
        std::puts(kDemNeedsHeader);
        std::exit(kArgumentRefusedStatus);
    }
}

}  // namespace

extern "C" {

int16_t check_YN(const char *text) noexcept { return check_YN_impl(text); }

void check_numeric_argument(const char *str) noexcept { check_numeric_argument_impl(str); }

void check_DEM(const char *str) noexcept { check_DEM_impl(str); }

}  // extern "C"
