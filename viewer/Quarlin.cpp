// Quarlin: prints the public header of one LAS file (versions 1.0 to 1.2,
// point formats 0 to 3) in a fixed text layout.
//
// Usage: Quarlin <LAS File>
//
// Exit status: 0 after a report (or after the file line for a 1.0/1.1 file
// declaring point format 2 or 3), -1 for a wrong argument count, a refused
// file or exhausted memory, -11 when the file cannot be reopened.
// The file is only ever opened for reading.

#include "Tolvren_LiDAR.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

int quarlin_main(int argc, char **argv);

namespace {

constexpr char kWrongArguments[] = "\n\nWrong number of arguments specified";
constexpr char kUsage[] = "\nUsage: Quarlin <LAS File>\n";
constexpr char kCannotReopen[] = "\nCannot open file %s for reading as binary\n";
constexpr char kFileLine[] = "\nFile                         %s\n\n";

constexpr int kStatusRefused = -1;
constexpr int kStatusCannotReopen = -11;

// Every header record is 227 bytes; the report reads only these.
constexpr std::size_t kHeaderBytes = 227;

// Labels and messages that differ between the version groups.
struct VersionGroup {
    const char *day_line;
    const char *year_line;
    const char *no_memory;
};

constexpr VersionGroup kGroup10 = {
    "Julian Date of Flight        %d\n",
    "Year of Flight               %d\n",
    "\nCannot allocate memory for storing %s header information [Version 1.0]\n",
};
// The 1.1 day line carries "S " before its value, one column further right.
constexpr VersionGroup kGroup11 = {
    "Day of File Creation        S %d\n",
    "Year of File Creation        %d\n",
    "\nCannot allocate memory for storing %s header information [Version 1.1]\n",
};
constexpr VersionGroup kGroup12 = {
    "Day of File Creation         %d\n",
    "Year of File Creation        %d\n",
    "\nCannot allocate memory for storing %s header information [Version 1.2]\n",
};

struct FileCloser {
    void operator()(std::FILE *fp) const noexcept { std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void usage() {
    credits();
    std::puts(kUsage);
}

// The unsigned 32-bit fields print as signed 32-bit numbers: scripts that
// parse the report rely on 2^31 and above showing as negative values.
int as_signed(std::uint32_t value) {
    std::int32_t signed_value;
    std::memcpy(&signed_value, &value, sizeof signed_value);
    return signed_value;
}

// A fixed-width character field as text: its bytes up to the first zero
// byte, never past the field's width.
template <typename Char, std::size_t Width>
std::array<char, Width + 1> field_text(const Char (&field)[Width]) {
    std::array<char, Width + 1> text{};
    std::memcpy(text.data(), field, Width);
    return text;
}

// The 32 report lines. The 1.1 and 1.2 records share every printed field at
// the same offset, so the 1.2 report reads through the 1.1 record; only the
// day and year lines differ between groups.
template <typename Header>
void print_report(const Header &h, const VersionGroup &group, unsigned day, unsigned year) {
    std::printf("GUIDData1                    %d\n", as_signed(h.GUIDData1));
    std::printf("GUIDData2                    %d\n", static_cast<int>(h.GUIDData2));
    std::printf("GUIDData3                    %d\n", static_cast<int>(h.GUIDData3));
    std::printf("GUIDData4                    %s\n", field_text(h.GUIDData4).data());
    std::printf("Version                      %c.%c\n", h.VersionMajor + 48, h.VersionMinor + 48);
    std::printf("System Identifier            %s\n", field_text(h.SystemIdentifier).data());
    std::printf("GeneratingSoftware           %s\n", field_text(h.GeneratingSoftware).data());
    std::printf(group.day_line, static_cast<int>(day));
    std::printf(group.year_line, static_cast<int>(year));
    std::printf("Size of Header               %d\n", static_cast<int>(h.HeaderSize));
    std::printf("Offset to Data               %d\n", as_signed(h.OffsetToData));
    std::printf("# of Variable Length Records %d\n", as_signed(h.NumberOfVariableLengthRecords));
    std::printf("ID of Point Data Format      %d\n", static_cast<int>(h.PointDataFormatID));
    std::printf("Length of each Data Record   %d\n\n", static_cast<int>(h.PointDataRecordLength));

    std::printf("Total Returns      %10d\n", as_signed(h.NumberOfPointReturns));
    std::printf("1st Returns        %10d\n", as_signed(h.NumberOfPointsByReturn[0]));
    std::printf("2nd Returns        %10d\n", as_signed(h.NumberOfPointsByReturn[1]));
    std::printf("3rd Returns        %10d\n", as_signed(h.NumberOfPointsByReturn[2]));
    std::printf("4th Returns        %10d\n", as_signed(h.NumberOfPointsByReturn[3]));
    std::printf("5th Returns        %10d\n\n", as_signed(h.NumberOfPointsByReturn[4]));

    std::puts("Scale Factors");
    std::printf("\tX\t%.5f\n", h.XScaleFactor);
    std::printf("\tY\t%.5f\n", h.YScaleFactor);
    std::printf("\tZ\t%.5f\n\n", h.ZScaleFactor);

    std::puts("Offsets");
    std::printf("\tX\t%.5f\n", h.XOffset);
    std::printf("\tY\t%.5f\n", h.YOffset);
    std::printf("\tZ\t%.5f\n\n", h.ZOffset);

    // The header stores each maximum before its minimum; the report shows
    // the minimum first, as stored, without validating or swapping.
    std::puts("Range of Point Coordinates");
    std::printf("\tX\t%12.2f  to  %12.2f\n", h.MinX, h.MaxX);
    std::printf("\tY\t%12.2f  to  %12.2f\n", h.MinY, h.MaxY);
    std::printf("\tZ\t%12.2f  to  %12.2f\n\n", h.MinZ, h.MaxZ);
}

// Reads the first 227 bytes of the file into a zeroed record of the group's
// version. Header bytes beyond the end of a short file read as zero, so no
// uninitialised memory is ever printed.
template <typename Header>
std::unique_ptr<Header> read_header(std::FILE *fp, const char *filename, const VersionGroup &group) {
    static_assert(sizeof(Header) == kHeaderBytes, "header records are 227 bytes");
    std::unique_ptr<Header> header;
    try {
        header = std::make_unique<Header>();
    } catch (const std::bad_alloc &) {
        std::printf(group.no_memory, filename);
        std::exit(kStatusRefused);
    }
    // A short read is not an error here: check_las has already vouched for
    // the bytes that classify the file.
    const std::size_t got = std::fread(header.get(), 1, kHeaderBytes, fp);
    static_cast<void>(got);
    return header;
}

}  // namespace

// The whole run of the viewer. Kept apart from main so that the fuzzing
// harness drives exactly the code that Quarlin runs.
int quarlin_main(int argc, char **argv) {
    if (argc != 2) {
        std::puts(kWrongArguments);
        usage();
        std::exit(kStatusRefused);
    }
    const char *filename = argv[1];

    const std::int16_t las_type = check_las(filename);
    if (las_type < 0) std::exit(kStatusRefused);

    File fp(std::fopen(filename, "rb"));
    if (!fp) {
        std::printf(kCannotReopen, filename);
        std::exit(kStatusCannotReopen);
    }

    credits();
    std::printf(kFileLine, filename);

    switch (las_type) {
        case 1:
        case 2: {
            const auto h = read_header<LAS10Header>(fp.get(), filename, kGroup10);
            print_report(*h, kGroup10, h->FlightDateJulian, h->Year);
            break;
        }
        case 3:
        case 4: {
            const auto h = read_header<LAS11Header>(fp.get(), filename, kGroup11);
            print_report(*h, kGroup11, h->FileCreationDay, h->FileCreationYear);
            break;
        }
        case 5:
        case 6:
        case 7:
        case 8: {
            const auto h = read_header<LAS11Header>(fp.get(), filename, kGroup12);
            print_report(*h, kGroup12, h->FileCreationDay, h->FileCreationYear);
            break;
        }
        default:
            // LASType 0: a pairing without a record layout; the banner and the
            // file line are all there is to print.
            break;
    }
    return 0;
}

#ifndef QUARLIN_NO_MAIN
int main(int argc, char **argv) { return quarlin_main(argc, argv); }
#endif
