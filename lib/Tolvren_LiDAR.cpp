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
