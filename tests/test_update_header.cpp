// SPDX-License-Identifier: MIT
// update_header: counts and extents recomputed from the point records, only
// the eight summary fields rewritten, and every refusal leaving the file's
// bytes exactly as they were.
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tolvren_test::append_point;
using tolvren_test::Bytes;
using tolvren_test::bytes_of;
using tolvren_test::make_header;
using tolvren_test::Point;
using tolvren_test::ProcessResult;
using tolvren_test::read_file;
using tolvren_test::record_length_of;
using tolvren_test::run_in_child;
using tolvren_test::TempDir;
using tolvren_test::write_file;

constexpr std::int32_t kLowest = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kHighest = std::numeric_limits<std::int32_t>::max();

// The two byte ranges that an update may change: the counts (107-130) and
// the six extents (179-226). The scale factors and offsets lie between them.
constexpr std::size_t kCountsBegin = offsetof(LAS12Header, NumberOfPointReturns);
constexpr std::size_t kCountsEnd = offsetof(LAS12Header, XScaleFactor);
constexpr std::size_t kExtentsBegin = offsetof(LAS12Header, MaxX);
constexpr std::size_t kExtentsEnd = sizeof(LAS12Header);

// The version and point format of each LASType with a record layout, 1-8.
struct Pairing {
    std::uint8_t minor, format;
};
constexpr std::array<Pairing, 8> kRecordGroups = {{{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}}};

// A header whose summary fields hold values that no update would write, so
// that a field left alone shows.
LAS12Header stale_header(std::uint8_t minor, std::uint8_t format) {
    LAS12Header h = make_header(minor, format);
    h.NumberOfPointReturns = 123456789;
    for (std::size_t i = 0; i < 5; ++i) h.NumberOfPointsByReturn[i] = 987654321;
    h.MaxX = h.MinX = h.MaxY = h.MinY = h.MaxZ = h.MinZ = -9.75e300;
    return h;
}

// The header, filler up to OffsetToData, the records, then `trailing` bytes
// of 0x7F that would make a record with extreme coordinates if they were
// ever taken for one.
Bytes las_file(const LAS12Header &header, const std::vector<Point> &points, std::size_t trailing = 0) {
    Bytes bytes = bytes_of(header);
    bytes.resize(header.OffsetToData, 0x5A);
    const std::size_t length = record_length_of(header.PointDataFormatID);
    for (const Point &p : points) append_point(bytes, length, p.x, p.y, p.z, p.bitfield);
    bytes.insert(bytes.end(), trailing, 0x7F);
    return bytes;
}

// The eight fields as plain values (the record is packed, so its fields
// cannot be handed to the assertions by reference).
struct Summary {
    std::array<std::uint32_t, 6> counts;  // total, then return numbers 1-5
    std::array<double, 6> extents;        // MaxX, MinX, MaxY, MinY, MaxZ, MinZ
};

Summary summary_of(const Bytes &file) {
    LAS12Header h;
    std::memcpy(&h, file.data(), sizeof h);
    Summary s;
    s.counts = {h.NumberOfPointReturns,      h.NumberOfPointsByReturn[0], h.NumberOfPointsByReturn[1],
                h.NumberOfPointsByReturn[2], h.NumberOfPointsByReturn[3], h.NumberOfPointsByReturn[4]};
    s.extents = {h.MaxX, h.MinX, h.MaxY, h.MinY, h.MaxZ, h.MinZ};
    return s;
}

testing::AssertionResult only_summary_changed(const Bytes &before, const Bytes &after) {
    if (before.size() != after.size()) {
        return testing::AssertionFailure() << "length changed from " << before.size() << " to " << after.size();
    }
    for (std::size_t i = 0; i < before.size(); ++i) {
        const bool summary = (i >= kCountsBegin && i < kCountsEnd) || (i >= kExtentsBegin && i < kExtentsEnd);
        if (!summary && before[i] != after[i]) {
            return testing::AssertionFailure() << "byte " << i << " changed from " << int{before[i]} << " to "
                                               << int{after[i]};
        }
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult untouched(const Bytes &before, const Bytes &after) {
    if (before == after) return testing::AssertionSuccess();
    if (before.size() != after.size()) return testing::AssertionFailure() << "length changed";
    std::size_t i = 0;
    while (before[i] == after[i]) ++i;
    return testing::AssertionFailure() << "byte " << i << " changed";
}

std::string done_line(const std::string &path) { return "\rHeader of file " + path + " has been updated    "; }

// Regular expressions for the death tests: all of the output is `text`, or
// it starts with `text`.
std::string escaped(const std::string &text) {
    std::string re;
    for (const char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c)) re += '\\';
        re += c;
    }
    return re;
}
std::string exactly(const std::string &text) { return "^" + escaped(text) + "$"; }
std::string starting_with(const std::string &text) { return "^" + escaped(text); }

// The statement of the death tests: what update_header prints to standard
// output goes to standard error, where EXPECT_EXIT looks.
void update_printing_to_stderr(const std::string &path) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    update_header(path.c_str());
}

// update_header must end the process with status -1 after printing exactly
// `output`, and leave the file as it was.
void expect_refusal(const std::string &path, const std::string &output) {
    const Bytes before = read_file(path);
    EXPECT_EXIT(update_printing_to_stderr(path), testing::ExitedWithCode(255), exactly(output));
    EXPECT_TRUE(untouched(before, read_file(path)));
}

// Runs update_header in a child process, so that an unexpected refusal
// fails one test instead of ending the whole run; checks that the call
// returned and gives back what it printed.
std::string update(const std::string &path) {
    const ProcessResult result = run_in_child([&] { update_header(path.c_str()); });
    EXPECT_EQ(result.exit_code, 0) << result.out;
    return result.out;
}

// Bytes [offset, offset + size) of a file too big to read whole.
Bytes read_range(const std::string &path, std::uint64_t offset, std::size_t size) {
    Bytes bytes(size);
    const int fd = open(path.c_str(), O_RDONLY);
    const ssize_t got = fd < 0 ? -1 : pread(fd, bytes.data(), size, static_cast<off_t>(offset));
    if (fd >= 0) close(fd);
    if (got != static_cast<ssize_t>(size)) throw std::runtime_error("cannot read " + path);
    return bytes;
}

// A sparse file: `head` at the start, `tail` at `tail_offset`, holes between.
bool write_sparse(const std::string &path, const Bytes &head, std::uint64_t tail_offset, const Bytes &tail) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const std::uint64_t size = tail_offset + tail.size();
    const auto tail_written = [&] {
        return pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(tail_offset)) ==
               static_cast<ssize_t>(tail.size());
    };
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0 &&
              pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
              (tail.empty() || tail_written());
    ok = close(fd) == 0 && ok;
    return ok;
}

std::uint64_t size_of(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw std::runtime_error("cannot stat " + path);
    return static_cast<std::uint64_t>(info.st_size);
}

// ---------------------------------------------------------------------------
// Counting
// ---------------------------------------------------------------------------

// Return numbers are bits 0-2: 1-5 are counted in their element, 0, 6 and 7
// only in the total; bits 3-7 change nothing. The record size comes from
// the point format, and the bytes after the last whole record are ignored.
TEST(UpdateHeader, CountsAndExtentsInEveryRecordGroup) {
    const std::vector<Point> points = {
        {100, -200, 300, 0x01}, {-50, 400, -10, 0xFA}, {70, 0, 5, 0x43},  {10, 10, 10, 0x04}, {20, 20, 20, 0x0D},
        {0, 0, 0, 0x00},        {1, 1, 1, 0x06},       {2, 2, 2, 0x87},   {3, 3, 3, 0x09},
    };
    TempDir dir;
    for (const Pairing &group : kRecordGroups) {
        SCOPED_TRACE("version 1." + std::to_string(group.minor) + ", format " + std::to_string(group.format));
        LAS12Header h = stale_header(group.minor, group.format);
        // Binary fractions: every extent is exact whatever the precision.
        h.XScaleFactor = 0.5;
        h.YScaleFactor = 0.25;
        h.ZScaleFactor = 0.125;
        h.XOffset = 1000.0;
        h.YOffset = -2000.0;
        h.ZOffset = 10.0;
        const std::string path = dir.file("group.las");
        write_file(path, las_file(h, points, record_length_of(group.format) - 1u));
        const Bytes before = read_file(path);

        EXPECT_EQ(update(path), done_line(path));

        const Bytes after = read_file(path);
        EXPECT_TRUE(only_summary_changed(before, after));
        const Summary s = summary_of(after);
        EXPECT_EQ(s.counts, (std::array<std::uint32_t, 6>{9, 2, 1, 1, 1, 1}));
        EXPECT_EQ(s.extents, (std::array<double, 6>{1050.0, 975.0, -1900.0, -2050.0, 47.5, 8.75}));
    }
}

// Blocks of point data are read one after another; records cut by the end
// of a block must be put together again. About a megabyte of records from
// an odd offset, with values kept in a narrow band so that a record pieced
// together wrongly would show as a new extreme or a wrong return number.
TEST(UpdateHeader, RecordsAcrossBlockBoundaries) {
    TempDir dir;
    std::mt19937 random(20240611);
    for (std::uint8_t format = 0; format <= 3; ++format) {
        SCOPED_TRACE("format " + std::to_string(format));
        LAS12Header h = stale_header(2, format);
        h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 1.0;
        h.OffsetToData = static_cast<std::uint32_t>(229 + 7 * format);
        std::uniform_int_distribution<std::int32_t> coordinate(-1000000, 1000000);
        std::vector<Point> points(40000);
        std::array<std::uint32_t, 6> counts{};
        std::array<std::int32_t, 6> raw{kLowest, kHighest, kLowest, kHighest, kLowest, kHighest};
        for (Point &p : points) {
            p = {coordinate(random), coordinate(random), coordinate(random), static_cast<std::uint8_t>(random())};
            ++counts[0];
            const unsigned return_number = p.bitfield & 7u;
            if (return_number >= 1 && return_number <= 5) ++counts[return_number];
            const std::array<std::int32_t, 3> xyz = {p.x, p.y, p.z};
            for (std::size_t axis = 0; axis < 3; ++axis) {
                raw[2 * axis] = std::max(raw[2 * axis], xyz[axis]);
                raw[2 * axis + 1] = std::min(raw[2 * axis + 1], xyz[axis]);
            }
        }
        const std::string path = dir.file("blocks.las");
        write_file(path, las_file(h, points, 5));
        const Bytes before = read_file(path);

        EXPECT_EQ(update(path), done_line(path));

        const Bytes after = read_file(path);
        EXPECT_TRUE(only_summary_changed(before, after));
        const Summary s = summary_of(after);
        EXPECT_EQ(s.counts, counts);
        EXPECT_EQ(s.extents, (std::array<double, 6>{double(raw[0]), double(raw[1]), double(raw[2]), double(raw[3]),
                                                    double(raw[4]), double(raw[5])}));
    }
}

// No whole record: the counts are 0 and so are the six extents, whether
// the point data is empty or holds less than one record.
TEST(UpdateHeader, NoWholeRecordWritesZeros) {
    TempDir dir;
    const std::string path = dir.file("empty.las");
    for (std::size_t partial : {std::size_t{0}, std::size_t{1}, std::size_t{33}}) {
        SCOPED_TRACE("point data of " + std::to_string(partial) + " bytes");
        LAS12Header h = stale_header(2, 3);
        h.XOffset = 100.0;
        h.YOffset = 200.0;
        h.ZOffset = 300.0;
        write_file(path, las_file(h, {}, partial));
        const Bytes before = read_file(path);

        EXPECT_EQ(update(path), done_line(path));

        const Bytes after = read_file(path);
        EXPECT_TRUE(only_summary_changed(before, after));
        const Summary s = summary_of(after);
        EXPECT_EQ(s.counts, (std::array<std::uint32_t, 6>{}));
        EXPECT_EQ(s.extents, (std::array<double, 6>{}));
    }
}

// ---------------------------------------------------------------------------
// Extremes and extents
// ---------------------------------------------------------------------------

// Every extreme comes from the records themselves: the first record sets
// them all, and the ends of the 32-bit range are values like any other.
TEST(UpdateHeader, ExtremesComeFromTheData) {
    struct Case {
        const char *name;
        std::vector<Point> points;
        std::array<double, 6> extents;
    };
    const std::vector<Case> cases = {
        {"one record", {{-7, 8, -9, 1}}, {-7, -7, 8, 8, -9, -9}},
        {"ends of the range", {{kLowest, kHighest, 0, 1}, {kHighest, kLowest, 0, 1}},
         {2147483647.0, -2147483648.0, 2147483647.0, -2147483648.0, 0, 0}},
        {"every value at the low end", {{kLowest, kLowest, kLowest, 1}, {kLowest, kLowest, kLowest, 2}},
         {-2147483648.0, -2147483648.0, -2147483648.0, -2147483648.0, -2147483648.0, -2147483648.0}},
        {"every value at the high end", {{kHighest, kHighest, kHighest, 1}},
         {2147483647.0, 2147483647.0, 2147483647.0, 2147483647.0, 2147483647.0, 2147483647.0}},
        {"heights far from zero", {{0, 0, 10000001, 1}, {0, 0, 25000000, 1}, {0, 0, -30000000, 1}},
         {0, 0, 0, 0, 25000000, -30000000}},
        {"heights all above ten million", {{0, 0, 12000000, 1}, {0, 0, 15000000, 1}},
         {0, 0, 0, 0, 15000000, 12000000}},
    };
    TempDir dir;
    const std::string path = dir.file("extremes.las");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LAS12Header h = stale_header(1, 0);
        h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 1.0;
        write_file(path, las_file(h, c.points));

        EXPECT_EQ(update(path), done_line(path));
        EXPECT_EQ(summary_of(read_file(path)).extents, c.extents);
    }
}

// A scale factor of 0 puts both extents of the axis on its offset.
TEST(UpdateHeader, ZeroScaleGivesTheOffset) {
    TempDir dir;
    const std::string path = dir.file("flat.las");
    LAS12Header h = stale_header(2, 1);
    h.ZScaleFactor = 0.0;
    h.ZOffset = 123.25;
    write_file(path, las_file(h, {{1, 2, -5000, 1}, {3, 4, 5000, 2}}));

    EXPECT_EQ(update(path), done_line(path));
    const Summary s = summary_of(read_file(path));
    EXPECT_EQ(s.extents[4], 123.25);
    EXPECT_EQ(s.extents[5], 123.25);
}

// Product and sum each rounded to a double. The product goes through a
// volatile so that no compiler fuses the two into one rounding.
double plain_double(std::int32_t raw, double scale, double offset) {
    const volatile double product = raw * scale;
    return product + offset;
}

// Raw times scale plus offset is carried with a 64-bit significand and
// rounded to a double once. The values were chosen so that plain double
// arithmetic, which rounds the product first, stores a different double;
// the expected values were worked out in exact rational arithmetic,
// rounding to 64 significant bits after the product and after the sum and
// to 53 bits at the end.
TEST(UpdateHeader, ExtentsRoundOnceFromExtendedPrecision) {
    TempDir dir;
    const std::string path = dir.file("precision.las");
    LAS12Header h = stale_header(2, 0);
    h.XScaleFactor = 0.01;
    h.XOffset = 500000.0;
    h.YScaleFactor = 0.001;
    h.YOffset = 500000.0;
    h.ZScaleFactor = 1e-7;
    h.ZOffset = -127.390661926409;
    const Point high{83645520, 479581322, 360576027, 1};
    const Point low{-249938528, -473699715, -1233832715, 1};
    write_file(path, las_file(h, {high, low}));

    EXPECT_EQ(update(path), done_line(path));

    const std::array<double, 6> expected = {0x1.4648733333333p+20,  -0x1.e821947ae147bp+20, 0x1.de4faa4dd2f1bp+19,
                                            0x1.9af123d70a3d4p+14,  -0x1.6d550d7a543b1p+6,  -0x1.f58c4100876a7p+7};
    EXPECT_EQ(summary_of(read_file(path)).extents, expected);
    EXPECT_NE(expected[0], plain_double(high.x, 0.01, 500000.0));
    EXPECT_NE(expected[1], plain_double(low.x, 0.01, 500000.0));
    EXPECT_NE(expected[2], plain_double(high.y, 0.001, 500000.0));
    EXPECT_NE(expected[3], plain_double(low.y, 0.001, 500000.0));
    EXPECT_NE(expected[4], plain_double(high.z, 1e-7, -127.390661926409));
    EXPECT_NE(expected[5], plain_double(low.z, 1e-7, -127.390661926409));

    // Here the product rounded to 64 bits and then to 53 ends one unit
    // above the exactly rounded value: the extent is the extended-precision
    // result, not an exact or fused one.
    h.XOffset = 0.0;
    write_file(path, las_file(h, {{156335416, 0, 0, 1}, {-313033007, 0, 0, 1}}));
    EXPECT_EQ(update(path), done_line(path));
    const Summary s = summary_of(read_file(path));
    EXPECT_EQ(s.extents[0], 0x1.7dada28f5c290p+20);
    EXPECT_EQ(s.extents[1], -0x1.7e1ed08f5c290p+21);
}

// ---------------------------------------------------------------------------
// Bytes kept
// ---------------------------------------------------------------------------

// Text fields filled to the brim, odd dates and identifiers, a longer
// header with extra bytes and variable length records: all kept as read.
TEST(UpdateHeader, KeepsEveryOtherByte) {
    TempDir dir;
    for (const Pairing &group : {Pairing{0, 1}, Pairing{1, 0}, Pairing{2, 3}}) {
        SCOPED_TRACE("version 1." + std::to_string(group.minor));
        LAS12Header h = stale_header(group.minor, group.format);
        h.FileSourceID = 0xFFFF;
        h.GlobalEncoding = 0xA5A5;
        h.GUIDData1 = 0xDEADBEEF;
        h.GUIDData2 = 0x1234;
        h.GUIDData3 = 0xFFFE;
        std::memset(h.GUIDData4, 0xC3, sizeof h.GUIDData4);
        std::memset(h.SystemIdentifier, 0xFF, sizeof h.SystemIdentifier);
        std::memcpy(h.GeneratingSoftware, "32 characters, no terminator....", sizeof h.GeneratingSoftware);
        h.FileCreationDay = 999;
        h.FileCreationYear = 65535;
        h.HeaderSize = 375;
        h.OffsetToData = 375 + 2 * (54 + 16);
        h.NumberOfVariableLengthRecords = 2;
        h.XOffset = std::numeric_limits<double>::denorm_min();
        const std::string path = dir.file("kept.las");
        Bytes bytes = las_file(h, {{5, 6, 7, 3}, {-5, -6, -7, 4}}, 3);
        for (std::size_t i = sizeof h; i < h.OffsetToData; ++i) bytes[i] = static_cast<unsigned char>(i * 13);
        write_file(path, bytes);

        EXPECT_EQ(update(path), done_line(path));
        EXPECT_TRUE(only_summary_changed(bytes, read_file(path)));
    }
}

// Each success line starts with a carriage return and none ends a line, so
// a run over many files keeps rewriting one console line.
TEST(UpdateHeader, TwoCallsPrintOnOneLine) {
    TempDir dir;
    const std::string first = dir.file("first.las");
    const std::string second = dir.file("second.las");
    write_file(first, las_file(stale_header(2, 0), {{1, 1, 1, 1}}));
    write_file(second, las_file(stale_header(1, 1), {{2, 2, 2, 2}}));

    const ProcessResult result = run_in_child([&] {
        update_header(first.c_str());
        update_header(second.c_str());
    });
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "\rHeader of file " + first + " has been updated    \rHeader of file " + second +
                              " has been updated    ");
}

// ---------------------------------------------------------------------------
// Large offsets and counts
// ---------------------------------------------------------------------------

// OffsetToData is unsigned: point data at or beyond 2 GiB, even running
// past 4 GiB, is found where the header says. The files are sparse.
TEST(UpdateHeader, ServesPointDataBeyondTwoGiB) {
    TempDir dir;
    for (const std::uint32_t offset : {0x80000000u + 123u, 0xFFFFFFF0u}) {
        SCOPED_TRACE("OffsetToData " + std::to_string(offset));
        LAS12Header h = stale_header(2, 1);
        h.OffsetToData = offset;
        h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 1.0;
        Bytes points;
        append_point(points, 28, 10, -20, 30, 1);
        append_point(points, 28, -40, 50, -60, 2);
        append_point(points, 28, 70, 80, 90, 0x0A);
        points.insert(points.end(), 27, 0x7F);
        const std::string path = dir.file("far.las");
        if (!write_sparse(path, bytes_of(h), offset, points)) GTEST_SKIP() << "no sparse file of 4 GiB here";
        const Bytes head_before = read_range(path, 0, 4096);

        EXPECT_EQ(update(path), done_line(path));

        EXPECT_EQ(size_of(path), std::uint64_t{offset} + points.size());
        EXPECT_EQ(read_range(path, offset, points.size()), points);
        const Bytes head_after = read_range(path, 0, 4096);
        EXPECT_TRUE(only_summary_changed(head_before, head_after));
        const Summary s = summary_of(head_after);
        EXPECT_EQ(s.counts, (std::array<std::uint32_t, 6>{3, 1, 2, 0, 0, 0}));
        EXPECT_EQ(s.extents, (std::array<double, 6>{70, -40, 80, -20, 90, -60}));
    }
}

// The header counts records in 32 bits. 2^32 whole records (a sparse file
// of 80 GiB) are refused before the header is touched.
TEST(UpdateHeader, RefusesMoreRecordsThanTheHeaderCanCount) {
    TempDir dir;
    const std::string path = dir.file("huge.las");
    const LAS12Header h = stale_header(2, 0);
    const std::uint64_t size = 227 + (std::uint64_t{1} << 32) * 20;
    if (!write_sparse(path, bytes_of(h), size, {})) GTEST_SKIP() << "no sparse file of 80 GiB here";
    const Bytes head_before = read_range(path, 0, 4096);

    EXPECT_EXIT(update_printing_to_stderr(path), testing::ExitedWithCode(255),
                exactly("\nCannot update header of " + path + ": more than 4294967295 point records\n"));
    EXPECT_EQ(read_range(path, 0, 4096), head_before);
    EXPECT_EQ(size_of(path), size);
}

// ---------------------------------------------------------------------------
// Refusals: the file keeps its bytes
// ---------------------------------------------------------------------------

// Versions 1.0 and 1.1 declaring point format 2 or 3 pass the input checks
// but have no record layout to read.
TEST(UpdateHeader, RefusesPointFormatWithoutRecordLayout) {
    TempDir dir;
    const std::string path = dir.file("nolayout.las");
    for (const Pairing &pairing : {Pairing{0, 2}, Pairing{0, 3}, Pairing{1, 2}, Pairing{1, 3}}) {
        SCOPED_TRACE("version 1." + std::to_string(pairing.minor) + ", format " + std::to_string(pairing.format));
        write_file(path, las_file(stale_header(pairing.minor, pairing.format), {{1, 2, 3, 1}}));
        expect_refusal(path, "\nCannot update header of " + path +
                                 ": its point data format has no record layout for its LAS version\n");
    }
}

// Long enough for the input checks, too short for a header.
TEST(UpdateHeader, RefusesFileShorterThanHeader) {
    TempDir dir;
    const std::string path = dir.file("short.las");
    for (const std::size_t length : {std::size_t{107}, std::size_t{150}, std::size_t{226}}) {
        SCOPED_TRACE(std::to_string(length) + " bytes");
        Bytes bytes = bytes_of(stale_header(2, 0));
        bytes.resize(length);
        write_file(path, bytes);
        expect_refusal(path, "\nCannot update header of " + path + ": the file is shorter than a LAS header\n");
    }
}

// Point data starting at the end of the file is empty (see
// NoWholeRecordWritesZeros); starting after it, it does not exist.
TEST(UpdateHeader, RefusesOffsetBeyondEndOfFile) {
    TempDir dir;
    const std::string path = dir.file("beyond.las");
    const std::size_t length = 227 + 2 * 20;
    for (const std::uint32_t offset : {static_cast<std::uint32_t>(length + 1), 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("OffsetToData " + std::to_string(offset));
        LAS12Header h = stale_header(2, 0);
        h.OffsetToData = 227;
        Bytes bytes = las_file(h, {{1, 1, 1, 1}, {2, 2, 2, 2}});
        ASSERT_EQ(bytes.size(), length);
        std::memcpy(&bytes[offsetof(LAS12Header, OffsetToData)], &offset, sizeof offset);
        write_file(path, bytes);
        expect_refusal(path, "\nCannot update header of " + path +
                                 ": offset to point data lies beyond the end of the file\n");
    }
}

// The input checks explain their own refusals; nothing is added to them.
TEST(UpdateHeader, RefusedByTheInputChecks) {
    TempDir dir;
    const std::string path = dir.file("checked.las");
    LAS12Header version13 = stale_header(2, 0);
    version13.VersionMinor = 3;
    write_file(path, las_file(version13, {{1, 1, 1, 1}}));
    expect_refusal(path, "\nCannot handle las files of version 1.3\n");

    LAS12Header mismatch = stale_header(2, 3);
    mismatch.PointDataRecordLength = 28;
    write_file(path, las_file(mismatch, {{1, 1, 1, 1}}));
    expect_refusal(path, "\nData format of " + path + " (3) is incompatible with Length of Data Record (28)\n");

    const std::string wrong_name = dir.file("points.LAS");
    write_file(wrong_name, las_file(stale_header(2, 0), {{1, 1, 1, 1}}));
    expect_refusal(wrong_name, "\nFile extension of " + wrong_name + " is not .las\n");
}

// Whether root can give up its rights here: as nobody, file permissions
// apply again.
bool can_drop_root() {
    return run_in_child([] { _exit(setgid(65534) == 0 && setuid(65534) == 0 ? 0 : 1); }).exit_code == 0;
}

// A read-only file passes the input checks, which only read, and is refused
// when it is opened for the update. Root ignores file permissions, so the
// update then runs as nobody.
TEST(UpdateHeader, RefusesFileItCannotOpenForWriting) {
    const bool as_root = geteuid() == 0;
    if (as_root && !can_drop_root()) GTEST_SKIP() << "running as root without the right to become nobody";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string path = dir.file("readonly.las");
    write_file(path, las_file(stale_header(2, 0), {{1, 1, 1, 1}}));
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    const Bytes before = read_file(path);

    EXPECT_EXIT(
        {
            if (as_root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
            update_printing_to_stderr(path);
        },
        testing::ExitedWithCode(255), exactly("\nCannot open binary file " + path + " for header update\n\n"));
    EXPECT_TRUE(untouched(before, read_file(path)));
}

// With the file size limit at zero every write to a file fails (and
// SIGXFSZ, ignored here, would otherwise end the process): the failure is
// reported, never the success line.
TEST(UpdateHeader, ReportsAFailedHeaderWrite) {
    TempDir dir;
    const std::string path = dir.file("nowrite.las");
    write_file(path, las_file(stale_header(2, 2), {{1, 1, 1, 1}, {2, 2, 2, 2}}));
    const Bytes before = read_file(path);

    const ProcessResult result = run_in_child([&] {
        const rlimit none{0, 0};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &none) != 0) _exit(1);
        update_header(path.c_str());
    });
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.out, "\nCannot write the updated header of " + path + "\n");
    EXPECT_TRUE(untouched(before, read_file(path)));
}

// ---------------------------------------------------------------------------
// Reads that fail or come short
// ---------------------------------------------------------------------------

ProcessResult update_with_faulty_reads(const std::string &path, long long most_per_read, long long fail_at) {
    return tolvren_test::run_process(
        {TOLVREN_PREAD_FAULTS_PATH, std::to_string(most_per_read), std::to_string(fail_at), path});
}

// An I/O error is not the end of the file: the header is not rewritten
// from the records read before it.
TEST(UpdateHeader, ReadErrorIsNotTheEndOfTheData) {
    TempDir dir;
    const std::string path = dir.file("ioerror.las");
    std::vector<Point> points;
    for (std::int32_t i = 0; i < 20000; ++i) points.push_back({i, -i, 2 * i, static_cast<std::uint8_t>(1 + i % 5)});
    write_file(path, las_file(stale_header(2, 0), points));
    const Bytes before = read_file(path);

    for (const long long fail_at : {227LL, 227LL + 20 * 1000 + 7, static_cast<long long>(before.size()) - 1}) {
        SCOPED_TRACE("failing at byte " + std::to_string(fail_at));
        const ProcessResult result = update_with_faulty_reads(path, 0, fail_at);
        EXPECT_EQ(result.exit_code, 255);
        EXPECT_EQ(result.out, "\nCannot read the point records of " + path + "\n");
        EXPECT_TRUE(untouched(before, read_file(path)));
    }

    const ProcessResult header = update_with_faulty_reads(path, 0, 100);
    EXPECT_EQ(header.exit_code, 255);
    EXPECT_EQ(header.out, "\nCannot read the header of " + path + "\n");
    EXPECT_TRUE(untouched(before, read_file(path)));
}

// Reads may deliver fewer bytes than asked for; a record split across them
// must count as one. The driver's read count shows the limit was in force.
TEST(UpdateHeader, ShortReadsGiveTheSameResult) {
    TempDir dir;
    const std::string path = dir.file("short-reads.las");
    LAS12Header h = stale_header(2, 3);
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 1.0;
    std::vector<Point> points;
    for (std::int32_t i = 0; i < 3000; ++i) {
        points.push_back({i % 777 - 300, (i * 31) % 1001, -(i % 409), static_cast<std::uint8_t>(i % 8)});
    }
    write_file(path, las_file(h, points, 11));
    const Bytes before = read_file(path);

    for (const long long most : {1LL, 7LL, 33LL, 4093LL}) {
        SCOPED_TRACE("at most " + std::to_string(most) + " bytes per read");
        write_file(path, before);
        const ProcessResult result = update_with_faulty_reads(path, most, -1);
        EXPECT_EQ(result.exit_code, 0);
        const std::uint64_t least_reads = (before.size() - 227) / static_cast<std::uint64_t>(most);
        EXPECT_EQ(result.out.rfind(done_line(path) + "\n", 0), 0u) << result.out;
        EXPECT_GE(std::stoull(result.out.substr(done_line(path).size() + 1)), least_reads);

        const Bytes after = read_file(path);
        EXPECT_TRUE(only_summary_changed(before, after));
        const Summary s = summary_of(after);
        EXPECT_EQ(s.counts, (std::array<std::uint32_t, 6>{3000, 375, 375, 375, 375, 375}));
        EXPECT_EQ(s.extents, (std::array<double, 6>{476, -300, 1000, 0, 0, -408}));
    }
}

// ---------------------------------------------------------------------------
// Files written by other software
// ---------------------------------------------------------------------------

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> fields;
    std::stringstream stream(text);
    std::string field;
    while (std::getline(stream, field, separator)) fields.push_back(field);
    if (!text.empty() && text.back() == separator) fields.emplace_back();
    return fields;
}

// "X[a..b] Y[c..d] Z[e..f]" as the six extremes in header order:
// max X, min X, max Y, min Y, max Z, min Z.
std::array<std::int32_t, 6> parse_raw_minmax(const std::string &text) {
    std::array<long long, 6> v{};
    if (std::sscanf(text.c_str(), "X[%lld..%lld] Y[%lld..%lld] Z[%lld..%lld]", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5]) != 6) {
        throw std::runtime_error("cannot parse " + text);
    }
    return {static_cast<std::int32_t>(v[1]), static_cast<std::int32_t>(v[0]), static_cast<std::int32_t>(v[3]),
            static_cast<std::int32_t>(v[2]), static_cast<std::int32_t>(v[5]), static_cast<std::int32_t>(v[4])};
}

// The extent of a raw extreme, with the scale and offset read from the
// file: the raw extremes are the independent part of these expectations.
double extent_of(std::int32_t raw, double scale, double offset) {
    return static_cast<double>(static_cast<long double>(raw) * scale + static_cast<long double>(offset));
}

// The beginning of the message of each refusal that the table names.
const std::map<std::string, std::string> kRefusalStart = {
    {"refuse:extension", "\nFile extension of "},
    {"refuse:version", "\nCannot handle las files of version "},
    {"refuse:format", "\nPointDataFormatID in "},
    {"refuse:record-length", "\nData format of "},
    {"lastype:0", "\nCannot update header of "},
};

// Each file of the shared collection, on a copy: accepted files get the
// counts and extremes that an independent reader found in their points and
// change in no other byte; the others are refused untouched.
TEST(UpdateHeaderRealFiles, MatchIndependentCounts) {
    const std::string folder = TOLVREN_SHARED_LAS_DIR;
    std::ifstream table(folder + "/expected.tsv");
    if (!table) GTEST_SKIP() << "no shared LAS files at " << folder;

    std::string line;
    std::getline(table, line);
    const std::vector<std::string> columns = split(line, '\t');
    auto column = [&](const std::string &name) {
        const auto it = std::find(columns.begin(), columns.end(), name);
        if (it == columns.end()) throw std::runtime_error("no column " + name);
        return static_cast<std::size_t>(it - columns.begin());
    };
    const std::size_t file_col = column("file"), expect_col = column("expect");
    const std::size_t whole_col = column("whole_records_after_offset"), by_return_col = column("true_by_return");
    const std::size_t minmax_col = column("true_raw_minmax");

    TempDir dir;
    int checked = 0;
    while (std::getline(table, line)) {
        if (line.empty()) continue;
        const std::vector<std::string> row = split(line, '\t');
        const std::string &name = row.at(file_col);
        const std::string &expect = row.at(expect_col);
        SCOPED_TRACE(name + " (" + expect + ")");
        const std::string path = dir.file(name);
        write_file(path, read_file(folder + "/" + name));
        const Bytes before = read_file(path);

        if (expect.rfind("lastype:", 0) == 0 && expect != "lastype:0") {
            EXPECT_EQ(update(path), done_line(path));
            const Bytes after = read_file(path);
            EXPECT_TRUE(only_summary_changed(before, after));
            const Summary s = summary_of(after);

            std::array<std::uint32_t, 6> counts{};
            counts[0] = static_cast<std::uint32_t>(std::stoul(row.at(whole_col)));
            const std::vector<std::string> by_return = split(row.at(by_return_col), ',');
            ASSERT_EQ(by_return.size(), 5u);
            for (std::size_t i = 0; i < 5; ++i) counts[i + 1] = static_cast<std::uint32_t>(std::stoul(by_return[i]));
            EXPECT_EQ(s.counts, counts);

            std::array<double, 6> extents{};
            if (counts[0] > 0) {
                LAS12Header h;
                std::memcpy(&h, before.data(), sizeof h);
                const std::array<double, 3> scale = {h.XScaleFactor, h.YScaleFactor, h.ZScaleFactor};
                const std::array<double, 3> offset = {h.XOffset, h.YOffset, h.ZOffset};
                const std::array<std::int32_t, 6> raw = parse_raw_minmax(row.at(minmax_col));
                for (std::size_t i = 0; i < 6; ++i) extents[i] = extent_of(raw[i], scale[i / 2], offset[i / 2]);
            }
            EXPECT_EQ(s.extents, extents);
        } else {
            const auto start = kRefusalStart.find(expect);
            ASSERT_NE(start, kRefusalStart.end()) << "unknown expectation " << expect;
            EXPECT_EXIT(update_printing_to_stderr(path), testing::ExitedWithCode(255),
                        starting_with(start->second));
            EXPECT_TRUE(untouched(before, read_file(path)));
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
