// SPDX-License-Identifier: MIT
// Quarlin: prints the public header of one LAS file (versions 1.0 to 1.2,
// point formats 0 to 3) in a fixed text layout.
//
// Usage: Quarlin <LAS File>
//
// Exit status: 0 after a report (or after the file line for a 1.0/1.1 file
// declaring point format 2 or 3), -1 for a wrong argument count, a refused
// file, exhausted memory or a report that could not be written, -11 when the
// file cannot be reopened.
// The file is only ever opened for reading.

#include "Tolvren_LiDAR.h"
#include "tolvren_internal.h"

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

using HeaderBytes = std::array<unsigned char, kHeaderBytes>;

// The first 227 bytes of the file, as far as it has them; the rest stay
// zero, so no uninitialised memory is ever printed. The viewer reopens the
// file without blocking and reports only bytes that give the LASType the
// checks returned: a file replaced meanwhile by a FIFO or by other bytes is
// refused as not LAS; one that cannot be opened ends with status -11.
HeaderBytes reread_header(const char *filename, std::int16_t las_type) {
    using tolvren::internal::OpenedFile;
    const OpenedFile file = tolvren::internal::open_regular_file(filename, false);
    if (file.status == OpenedFile::Status::cannot_open) {
        std::printf(kCannotReopen, filename);
        std::exit(kStatusCannotReopen);
    }
    HeaderBytes bytes{};
    long long got = 0;
    if (file.status == OpenedFile::Status::ok) got = tolvren::internal::read_prefix(file.fd.get(), bytes.data(), bytes.size());
    const auto c = tolvren::internal::classify_las(bytes.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
    if (c.refusal != tolvren::internal::Classification::Refusal::none || c.las_type != las_type) {
        std::printf(tolvren::internal::kNotLasMessage, filename);
        std::exit(kStatusRefused);
    }
    return bytes;
}

// The header record of the group's version, allocated after the banner and
// the file line, filled from the bytes read.
template <typename Header>
std::unique_ptr<Header> header_record(const HeaderBytes &bytes, const char *filename, const VersionGroup &group) {
    static_assert(sizeof(Header) == kHeaderBytes, "header records are 227 bytes");
    std::unique_ptr<Header> header;
    try {
        header = std::make_unique<Header>();
    } catch (const std::bad_alloc &) {
        std::printf(group.no_memory, filename);
        std::exit(kStatusRefused);
    }
    std::memcpy(header.get(), bytes.data(), kHeaderBytes);
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

    const HeaderBytes bytes = reread_header(filename, las_type);

    credits();
    std::printf(kFileLine, filename);

    switch (las_type) {
        case 1:
        case 2: {
            const auto h = header_record<LAS10Header>(bytes, filename, kGroup10);
            print_report(*h, kGroup10, h->FlightDateJulian, h->Year);
            break;
        }
        case 3:
        case 4: {
            const auto h = header_record<LAS11Header>(bytes, filename, kGroup11);
            print_report(*h, kGroup11, h->FileCreationDay, h->FileCreationYear);
            break;
        }
        case 5:
        case 6:
        case 7:
        case 8: {
            const auto h = header_record<LAS11Header>(bytes, filename, kGroup12);
            print_report(*h, kGroup12, h->FileCreationDay, h->FileCreationYear);
            break;
        }
        default:
            // LASType 0: a pairing without a record layout; the banner and the
            // file line are all there is to print.
            break;
    }
    // A report that did not reach its reader (a full disk, a closed pipe or
    // standard output) is a failure, not a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return kStatusRefused;
    return 0;
}

#ifndef QUARLIN_NO_MAIN
int main(int argc, char **argv) { return quarlin_main(argc, argv); }
#endif
