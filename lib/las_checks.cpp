// SPDX-License-Identifier: MIT
// The LAS records, the input checks that classify a LAS 1.0-1.2 file, the
// file-name messages and the suite banner.
#include "tolvren_internal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

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

// ---------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------

namespace tolvren::internal {

static_assert(offsetof(LAS12Header, PointDataRecordLength) + 2 == kClassifyingBytes,
              "the record length is the last classifying field");

namespace {

constexpr char kUnableToOpen[] = "Unable to open file %s in file_access()\n";
constexpr char kNameTooShort[] = "\nFile name (%s) is too short\n";
constexpr char kNoDot[] = "\nExtension of file %s should be preceeded by a dot (.)\n";
constexpr char kWrongExtension[] = "\nFile extension of %s is not .%s\n";
constexpr const char *kNotLas = kNotLasMessage;
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

constexpr std::size_t kVersionMajorAt = offsetof(LAS12Header, VersionMajor);
constexpr std::size_t kVersionMinorAt = offsetof(LAS12Header, VersionMinor);
constexpr std::size_t kPointFormatAt = offsetof(LAS12Header, PointDataFormatID);
constexpr std::size_t kRecordLengthAt = offsetof(LAS12Header, PointDataRecordLength);

using Refusal = Classification::Refusal;

// A version or format byte shown as the character whose code is the byte
// plus 48, so 7 shows as '7' and 10 as ':'.
int digit_char(std::uint8_t value) { return value + 48; }

// Looks the version and format up in the pairing table. Assumes the
// version is 1.0 to 1.2 and the format 0 to 3; versions 1.0 and 1.1 with
// formats 2 or 3 have no row and keep LASType 0.
void classify_pairing(Classification &c) {
    for (const Pairing &row : kPairings) {
        if (row.version_minor != c.version_minor || row.point_format != c.point_format) continue;
        if (row.record_length == c.record_length) {
            c.las_type = row.las_type;
        } else {
            c.refusal = Refusal::bad_length;
        }
        return;
    }
}

// Prints the message of a refused classification.
void print_refusal(const char *filename, const Classification &c) {
    switch (c.refusal) {
        case Refusal::none:
            return;
        case Refusal::not_las:
            std::printf(kNotLas, filename);
            return;
        case Refusal::bad_major:
            std::printf(kBadMajor, digit_char(c.version_major));
            return;
        case Refusal::bad_minor:
            std::printf(kBadMinor, digit_char(c.version_major), digit_char(c.version_minor));
            return;
        case Refusal::bad_format:
            std::printf(kBadFormat, filename, digit_char(c.point_format));
            return;
        case Refusal::bad_length:
            std::printf(kBadLength, filename, digit_char(c.point_format), static_cast<int>(c.record_length));
            return;
    }
}

}  // namespace

// The tests run in the order of the bytes: signature, major version, minor
// version, point format, record length. A file too short to supply the byte
// that a test needs is not a LAS file: nothing passes on bytes never read.
Classification classify_las(const unsigned char *bytes, std::size_t size) noexcept {
    Classification c;
    c.refusal = Refusal::not_las;
    if (size < 4 || std::memcmp(bytes, "LASF", 4) != 0) return c;
    if (size <= kVersionMajorAt) return c;
    c.version_major = bytes[kVersionMajorAt];
    if (c.version_major != 1) {
        c.refusal = Refusal::bad_major;
        return c;
    }
    if (size <= kVersionMinorAt) return c;
    c.version_minor = bytes[kVersionMinorAt];
    if (c.version_minor > 2) {
        c.refusal = Refusal::bad_minor;
        return c;
    }
    if (size <= kPointFormatAt) return c;
    c.point_format = bytes[kPointFormatAt];
    if (c.point_format > 3) {
        c.refusal = Refusal::bad_format;
        return c;
    }
    if (size < kClassifyingBytes) return c;
    c.record_length = static_cast<std::uint16_t>(bytes[kRecordLengthAt] | (bytes[kRecordLengthAt + 1] << 8));
    c.refusal = Refusal::none;
    classify_pairing(c);
    return c;
}

std::size_t record_size_of(std::int16_t las_type) noexcept {
    for (const Pairing &row : kPairings) {
        if (row.las_type == las_type) return row.record_length;
    }
    return 0;
}

std::int16_t file_access_core(const char *filename, bool need_regular) {
    // Non-blocking: a FIFO without a writer opens at once instead of hanging.
    const Descriptor fd = open_descriptor(filename, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat info;
    const bool opened =
        fd.get() >= 0 && (!need_regular || (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)));
    if (!opened) {
        std::printf(kUnableToOpen, filename);
        return -1;
    }
    return 0;
}

std::int16_t check_file_extension_core(const char *filename, const char *extension) {
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

std::int16_t check_las_core(const char *filename) {
    if (file_access_core(filename) < 0) {
        std::printf(kErrorMessages[0], filename);
        return -1;
    }
    if (check_file_extension_core(filename, "las") < 0) return -1;

    // Only a regular file has bytes to classify: a FIFO, socket, device or
    // directory, and a file that cannot be read, is not a LAS file.
    std::array<unsigned char, kClassifyingBytes> bytes{};
    std::size_t got = 0;
    const OpenedFile file = open_regular_file(filename, false);
    if (file.status == OpenedFile::Status::ok) {
        const long long n = read_prefix(file.fd.get(), bytes.data(), bytes.size());
        got = n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    const Classification c = classify_las(bytes.data(), got);
    if (c.refusal != Refusal::none) {
        print_refusal(filename, c);
        return -1;
    }
    return c.las_type;
}

}  // namespace tolvren::internal

namespace {

void error_msg_core(int i, const char *text) {
    using tolvren::internal::kErrorMessages;
    if (i >= 1 && i <= static_cast<int>(kErrorMessages.size())) {
        std::printf(kErrorMessages[static_cast<std::size_t>(i - 1)], text);
    }
}

void credits_core() {
    std::printf("\n%s", tolvren::internal::kSuiteName);
    std::printf("\n\nDeveloped and maintained by the Tolvren LiDAR Utilities maintainers");
    std::printf("\nTolvren LiDAR Utilities project");
    std::printf("\nContact: see the README of the Tolvren LiDAR Utilities");
    std::printf("\n\n** No warranty regarding script behavior is given or implied **");
    std::printf("\n** Acknowledging the author's efforts ensures script updates and availability **\n");
}

}  // namespace

extern "C" {

int16_t file_access(const char *filename) noexcept { return tolvren::internal::file_access_core(filename); }

int16_t check_file_extension(const char *filename, const char *extension) noexcept {
    return tolvren::internal::check_file_extension_core(filename, extension);
}

int16_t check_las(const char *filename) noexcept { return tolvren::internal::check_las_core(filename); }

void error_msg(int i, const char *text) noexcept { error_msg_core(i, text); }

void credits(void) noexcept { credits_core(); }

}  // extern "C"
