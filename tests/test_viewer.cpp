// SPDX-License-Identifier: MIT
// Quarlin run as a process: standard output compared byte for byte, and the
// exit status. Reports of whole files are compared with tests/golden/.
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

using tolvren_test::append_point;
using tolvren_test::banner;
using tolvren_test::Bytes;
using tolvren_test::bytes_of;
using tolvren_test::make_header;
using tolvren_test::ProcessResult;
using tolvren_test::read_file;
using tolvren_test::read_text;
using tolvren_test::run_quarlin;
using tolvren_test::TempDir;
using tolvren_test::write_file;

constexpr int kRefused = 255;  // exit(-1) as a shell sees it

const std::string kUsage = "\n\nWrong number of arguments specified\n" + banner() + "\nUsage: Quarlin <LAS File>\n\n";

// Compares with a golden file; TOLVREN_UPDATE_GOLDEN=1 rewrites it instead.
void expect_golden(const std::string &name, const std::string &actual) {
    const std::string path = std::string(TOLVREN_GOLDEN_DIR) + "/" + name;
    if (const char *update = std::getenv("TOLVREN_UPDATE_GOLDEN"); update && *update == '1') {
        write_file(path, Bytes(actual.begin(), actual.end()));
    }
    EXPECT_EQ(actual, read_text(path)) << "golden file " << path;
}

// A header that exercises every rendering rule of the report: a 32-bit
// value above 2^31, text fields filled to their full width, an inverted
// X range, and values that need rounding.
LAS12Header rich_header(std::uint8_t minor, std::uint8_t format) {
    LAS12Header h = make_header(minor, format);
    h.FileSourceID = 0x1234;
    h.GlobalEncoding = 0x5678;
    h.GUIDData1 = 0x80000001u;  // prints as -2147483647
    h.GUIDData2 = 65535;
    h.GUIDData3 = 7;
    std::memcpy(h.GUIDData4, "ABCDEFGH", 8);  // no zero byte: exactly these 8
    std::memcpy(h.SystemIdentifier, "0123456789abcdefghijklmnopqrstuv", 32);
    std::memset(h.GeneratingSoftware, 0, sizeof h.GeneratingSoftware);
    std::memcpy(h.GeneratingSoftware, "Gen\0hidden", 10);
    h.FileCreationDay = 45;
    h.FileCreationYear = 2009;
    h.HeaderSize = 227;
    h.OffsetToData = 0xFFFFFFFFu;  // prints as -1
    h.NumberOfVariableLengthRecords = 2;
    h.NumberOfPointReturns = 350;
    const std::uint32_t by_return[5] = {300, 40, 9, 1, 0x80000000u};
    std::memcpy(h.NumberOfPointsByReturn, by_return, sizeof by_return);
    h.XScaleFactor = 0.01;
    h.YScaleFactor = 0.001;
    h.ZScaleFactor = 0.000001;
    h.XOffset = 512000.0;
    h.YOffset = -4170000.123456;
    h.ZOffset = 0.5;
    h.MaxX = 1.0;  // smaller than MinX: printed as stored
    h.MinX = 2.0;
    h.MaxY = 123456789.125;
    h.MinY = -0.004;
    h.MaxZ = 1e9;
    h.MinZ = -5.555;
    return h;
}

ProcessResult run_on(const TempDir &dir, const std::string &name, const Bytes &bytes) {
    write_file(dir.file(name), bytes);
    // Run inside the directory so the file line names the file as given.
    return run_quarlin({name}, dir.path());
}

TEST(Viewer, WrongArgumentCountPrintsUsageAndOpensNothing) {
    TempDir dir;
    write_file(dir.file("a.las"), bytes_of(make_header(2, 0)));
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"a.las", "a.las"}}) {
        const ProcessResult got = run_quarlin(args, dir.path());
        EXPECT_EQ(got.exit_code, kRefused);
        EXPECT_EQ(got.out, kUsage);
    }
    expect_golden("usage.txt", kUsage);
}

TEST(Viewer, RefusalsPrintOnlyTheCheckMessage) {
    TempDir dir;
    const Bytes valid = bytes_of(make_header(2, 0));

    ProcessResult got = run_on(dir, "upper.LAS", valid);
    EXPECT_EQ(got.exit_code, kRefused);
    EXPECT_EQ(got.out, "\nFile extension of upper.LAS is not .las\n");

    got = run_quarlin({"missing.las"}, dir.path());
    EXPECT_EQ(got.exit_code, kRefused);
    EXPECT_EQ(got.out, "Unable to open file missing.las in file_access()\n\nFile missing.las does NOT exist\n");

    // A header with one field spoiled.
    const auto spoiled = [](std::uint8_t minor, std::uint8_t format, auto spoil) {
        LAS12Header h = make_header(minor, format);
        spoil(h);
        return bytes_of(h);
    };
    const auto unchanged = [](LAS12Header &) {};
    const struct {
        const char *name;
        Bytes bytes;
        std::string message;
    } refusals[] = {
        {"sig.las", spoiled(2, 0, [](LAS12Header &h) { h.LASF[0] = 'X'; }),
         "\nsig.las is not a valid .las file\n\n"},
        {"v13.las", spoiled(3, 1, unchanged), "\nCannot handle las files of version 1.3\n"},
        {"v20.las", spoiled(2, 0, [](LAS12Header &h) { h.VersionMajor = 2; }),
         "\nCannot handle las files of version 2.x\n"},
        {"fmt.las", spoiled(2, 4, unchanged),
         "\nPointDataFormatID in fmt.las is 4. Only 0, 1, 2, or 3 is accepted\n"},
        {"len.las", spoiled(2, 3, [](LAS12Header &h) { h.PointDataRecordLength = 28; }),
         "\nData format of len.las (3) is incompatible with Length of Data Record (28)\n"},
        {"short.las", Bytes(valid.begin(), valid.begin() + 100), "\nshort.las is not a valid .las file\n\n"},
    };
    for (const auto &refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        got = run_on(dir, refusal.name, refusal.bytes);
        EXPECT_EQ(got.exit_code, kRefused);
        EXPECT_EQ(got.out, refusal.message);
    }
}

TEST(Viewer, ReportsOfEachVersionGroupMatchGoldenFiles) {
    TempDir dir;
    struct Case {
        std::uint8_t minor, format;
        const char *golden;
    };
    for (const Case &c : {Case{0, 0, "report_v10.txt"}, Case{1, 1, "report_v11.txt"}, Case{2, 3, "report_v12.txt"}}) {
        SCOPED_TRACE(c.golden);
        Bytes bytes = bytes_of(rich_header(c.minor, c.format));
        append_point(bytes, tolvren_test::record_length_of(c.format), 1, 2, 3, 1);
        const ProcessResult got = run_on(dir, "flight.las", bytes);
        EXPECT_EQ(got.exit_code, 0);
        expect_golden(c.golden, got.out);
    }
}

// Every LASType prints the report of its version group; LASType 0 only the
// banner and the file line.
TEST(Viewer, EveryLasTypeReportsItsGroup) {
    TempDir dir;
    struct Case {
        std::uint8_t minor, format;
        const char *day_line;
    };
    const Case cases[] = {
        {0, 0, "Julian Date of Flight        45\nYear of Flight               2009\n"},
        {0, 1, "Julian Date of Flight        45\nYear of Flight               2009\n"},
        {1, 0, "Day of File Creation        S 45\nYear of File Creation        2009\n"},
        {1, 1, "Day of File Creation        S 45\nYear of File Creation        2009\n"},
        {2, 0, "Day of File Creation         45\nYear of File Creation        2009\n"},
        {2, 1, "Day of File Creation         45\nYear of File Creation        2009\n"},
        {2, 2, "Day of File Creation         45\nYear of File Creation        2009\n"},
        {2, 3, "Day of File Creation         45\nYear of File Creation        2009\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.minor) + "/" + std::to_string(c.format));
        LAS12Header h = make_header(c.minor, c.format);
        h.FileCreationDay = 45;
        h.FileCreationYear = 2009;
        const ProcessResult got = run_on(dir, "t.las", bytes_of(h));
        EXPECT_EQ(got.exit_code, 0);
        const std::string head = banner() + "\nFile                         t.las\n\n";
        ASSERT_EQ(got.out.substr(0, head.size()), head);
        EXPECT_NE(got.out.find("Version                      1." + std::to_string(c.minor) + "\n"), std::string::npos);
        EXPECT_NE(got.out.find(c.day_line), std::string::npos);
        EXPECT_NE(got.out.find("ID of Point Data Format      " + std::to_string(c.format) + "\nLength of each Data Record   " +
                               std::to_string(tolvren_test::record_length_of(c.format)) + "\n\n"),
                  std::string::npos);
        EXPECT_EQ(got.out.substr(got.out.size() - 2), "\n\n");
        // 32 report lines plus the 5 empty lines that follow lines 14, 20, 24, 28 and 32.
        const std::string report = got.out.substr(head.size());
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 37);
    }
    for (std::uint8_t minor : {std::uint8_t{0}, std::uint8_t{1}}) {
        for (std::uint8_t format : {std::uint8_t{2}, std::uint8_t{3}}) {
            const ProcessResult got = run_on(dir, "t.las", bytes_of(make_header(minor, format)));
            EXPECT_EQ(got.exit_code, 0);
            EXPECT_EQ(got.out, banner() + "\nFile                         t.las\n\n");
        }
    }
}

// A file of 107 to 226 bytes that passes the checks reports header bytes
// beyond its end as zero.
TEST(Viewer, ShortFileReportsMissingBytesAsZero) {
    TempDir dir;
    const Bytes full = bytes_of(rich_header(2, 0));
    for (std::size_t size : {107u, 150u, 226u}) {
        SCOPED_TRACE(size);
        Bytes zero_tail = full;
        std::fill(zero_tail.begin() + static_cast<long>(size), zero_tail.end(), 0);
        const ProcessResult expected = run_on(dir, "p.las", zero_tail);
        const ProcessResult got = run_on(dir, "p.las", Bytes(full.begin(), full.begin() + static_cast<long>(size)));
        EXPECT_EQ(got.exit_code, 0);
        EXPECT_EQ(got.out, expected.out);
    }
}

// check_las opens the file twice (text, then binary); the viewer's own
// reopen is the third open. When it fails, nothing but its message is
// printed and the status is -11.
TEST(Viewer, ReopenFailureExitsWith245) {
    TempDir dir;
    write_file(dir.file("p.las"), bytes_of(make_header(2, 0)));
    const std::vector<std::string> env = {std::string("LD_PRELOAD=") + TOLVREN_FAIL_OPEN_PATH,
                                          "TOLVREN_FAIL_FOPEN_CALL=3", "ASAN_OPTIONS=verify_asan_link_order=0"};
    const ProcessResult got = run_quarlin({"p.las"}, dir.path(), env);
    EXPECT_EQ(got.exit_code, 245);
    EXPECT_EQ(got.out, "\nCannot open file p.las for reading as binary\n");

    // The same preload failing the first open shows the checks' refusal.
    const std::vector<std::string> first = {std::string("LD_PRELOAD=") + TOLVREN_FAIL_OPEN_PATH,
                                            "TOLVREN_FAIL_FOPEN_CALL=1", "ASAN_OPTIONS=verify_asan_link_order=0"};
    const ProcessResult refused = run_quarlin({"p.las"}, dir.path(), first);
    EXPECT_EQ(refused.exit_code, 255);
    EXPECT_EQ(refused.out, "Unable to open file p.las in file_access()\n\nFile p.las does NOT exist\n");
}

TEST(Viewer, NeverChangesTheFile) {
    TempDir dir;
    Bytes bytes = bytes_of(rich_header(2, 1));
    append_point(bytes, 28, -5, 6, 7, 2);
    bytes.push_back(0x42);  // a partial record
    write_file(dir.file("keep.las"), bytes);
    struct stat before {};
    ASSERT_EQ(stat(dir.file("keep.las").c_str(), &before), 0);
    const ProcessResult got = run_quarlin({"keep.las"}, dir.path());
    EXPECT_EQ(got.exit_code, 0);
    EXPECT_EQ(read_file(dir.file("keep.las")), bytes);
    struct stat after {};
    ASSERT_EQ(stat(dir.file("keep.las").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST(Viewer, ShippedSampleMatchesGolden) {
    const std::string sample = TOLVREN_SAMPLE_PATH;
    const std::string folder = sample.substr(0, sample.rfind('/'));
    const ProcessResult got = run_quarlin({"sample.las"}, folder);
    EXPECT_EQ(got.exit_code, 0);
    expect_golden("sample.txt", got.out);
}

}  // namespace
