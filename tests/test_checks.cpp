// SPDX-License-Identifier: MIT
// Input checks: file_access, check_file_extension, check_las, error_msg and
// the banner, called directly with their output captured.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using tolvren_test::append_point;
using tolvren_test::Bytes;
using tolvren_test::bytes_of;
using tolvren_test::make_header;
using tolvren_test::StdoutCapture;
using tolvren_test::TempDir;
using tolvren_test::write_file;

struct Checked {
    int result;
    std::string out;
};

template <typename Call>
Checked captured(Call call) {
    StdoutCapture capture;
    const int result = call();
    return {result, capture.finish()};
}

Checked checked_las(const std::string &path) {
    return captured([&] { return check_las(path.c_str()); });
}

TEST(FileAccess, OpensExistingFileAndNamesMissingOne) {
    TempDir dir;
    write_file(dir.file("a.txt"), Bytes{1, 2, 3});
    const Checked ok = captured([&] { return file_access(dir.file("a.txt").c_str()); });
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(ok.out, "");

    const std::string missing = dir.file("missing.txt");
    const Checked refused = captured([&] { return file_access(missing.c_str()); });
    EXPECT_EQ(refused.result, -1);
    EXPECT_EQ(refused.out, "Unable to open file " + missing + " in file_access()\n");
}

class ExtensionCheck : public testing::TestWithParam<std::tuple<const char *, const char *, int, std::string>> {};

TEST_P(ExtensionCheck, ResultAndMessage) {
    const char *name = std::get<0>(GetParam());
    const char *extension = std::get<1>(GetParam());
    const int expected = std::get<2>(GetParam());
    const std::string &message = std::get<3>(GetParam());
    const Checked got = captured([&] { return check_file_extension(name, extension); });
    EXPECT_EQ(got.result, expected);
    EXPECT_EQ(got.out, message);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExtensionCheck,
    testing::Values(
        std::make_tuple("a.las", "las", 0, std::string()),
        std::make_tuple("dir/points.las", "las", 0, std::string()),
        std::make_tuple(".las", "las", -1, std::string("\nFile name (.las) is too short\n")),
        std::make_tuple("las", "las", -1, std::string("\nFile name (las) is too short\n")),
        std::make_tuple("", "las", -1, std::string("\nFile name () is too short\n")),
        std::make_tuple("a.LAS", "las", -1, std::string("\nFile extension of a.LAS is not .las\n")),
        std::make_tuple("a.laz", "las", -1, std::string("\nFile extension of a.laz is not .las\n")),
        std::make_tuple("datalas", "las", -1,
                        std::string("\nExtension of file datalas should be preceeded by a dot (.)\n")),
        std::make_tuple("a.lasx", "las", -1,
                        std::string("\nExtension of file a.lasx should be preceeded by a dot (.)\n")),
        // Only three-character extensions can match.
        std::make_tuple("a.las", "la", -1, std::string("\nFile extension of a.las is not .la\n"))),
    [](const testing::TestParamInfo<ExtensionCheck::ParamType> &info) {
        return "Case" + std::to_string(info.index);
    });

TEST(ErrorMsg, NumberedMessagesAndSilenceOtherwise) {
    const Checked got = captured([] {
        for (int i = -1; i <= 4; ++i) error_msg(i, "x.las");
        return 0;
    });
    EXPECT_EQ(got.out,
              "\nFile x.las does NOT exist\n"
              "\nFile x.las already exists\n"
              "\nSame file name (x.las) has been specified twice\n");
}

TEST(Credits, PrintsTheBanner) {
    const Checked got = captured([] {
        credits();
        return 0;
    });
    EXPECT_EQ(got.out, tolvren_test::banner());
    EXPECT_EQ(got.out.rfind("\nTolvren LiDAR Utilities\n\nDeveloped and maintained by ", 0), 0u);
}

// Every accepted pairing of version, format and record length, and the
// pairings without a record layout.
class LasTypeCheck : public testing::TestWithParam<std::tuple<int, int, int, int>> {};

TEST_P(LasTypeCheck, ClassifiesSilently) {
    const auto [minor, format, length, las_type] = GetParam();
    TempDir dir;
    LAS12Header h = make_header(static_cast<std::uint8_t>(minor), static_cast<std::uint8_t>(format));
    h.PointDataRecordLength = static_cast<std::uint16_t>(length);
    Bytes bytes = bytes_of(h);
    if (length >= 20) append_point(bytes, static_cast<std::size_t>(length), 1, 2, 3, 1);
    write_file(dir.file("p.las"), bytes);
    const Checked got = checked_las(dir.file("p.las"));
    EXPECT_EQ(got.result, las_type);
    EXPECT_EQ(got.out, "");
}

INSTANTIATE_TEST_SUITE_P(Pairings, LasTypeCheck,
                         testing::Values(std::make_tuple(0, 0, 20, 1), std::make_tuple(0, 1, 28, 2),
                                         std::make_tuple(1, 0, 20, 3), std::make_tuple(1, 1, 28, 4),
                                         std::make_tuple(2, 0, 20, 5), std::make_tuple(2, 1, 28, 6),
                                         std::make_tuple(2, 2, 26, 7), std::make_tuple(2, 3, 34, 8),
                                         // 1.0 and 1.1 with formats 2 and 3, any record length.
                                         std::make_tuple(0, 2, 26, 0), std::make_tuple(0, 3, 7, 0),
                                         std::make_tuple(1, 2, 0, 0), std::make_tuple(1, 3, 34, 0)));

// Writes `bytes` as <dir>/<name> and checks it.
Checked check_bytes(const TempDir &dir, const std::string &name, const Bytes &bytes) {
    write_file(dir.file(name), bytes);
    return checked_las(dir.file(name));
}

TEST(CheckLas, RefusesMissingFileWithBothMessages) {
    TempDir dir;
    const std::string missing = dir.file("missing.LAS");
    const Checked got = checked_las(missing);
    EXPECT_EQ(got.result, -1);
    // The extension is not tested for a missing file.
    EXPECT_EQ(got.out,
              "Unable to open file " + missing + " in file_access()\n\nFile " + missing + " does NOT exist\n");
}

TEST(CheckLas, RefusesWrongExtensionBeforeReading) {
    TempDir dir;
    const Bytes valid = bytes_of(make_header(2, 0));
    const Checked upper = check_bytes(dir, "p.LAS", valid);
    EXPECT_EQ(upper.result, -1);
    EXPECT_EQ(upper.out, "\nFile extension of " + dir.file("p.LAS") + " is not .las\n");
    const Checked laz = check_bytes(dir, "p.laz", valid);
    EXPECT_EQ(laz.out, "\nFile extension of " + dir.file("p.laz") + " is not .las\n");
}

TEST(CheckLas, RefusesBadSignatureVersionAndFormat) {
    TempDir dir;
    const std::string path = dir.file("p.las");

    LAS12Header h = make_header(2, 0);
    std::memcpy(h.LASF, "LASG", 4);
    EXPECT_EQ(check_bytes(dir, "p.las", bytes_of(h)).out, "\n" + path + " is not a valid .las file\n\n");

    h = make_header(2, 0);
    h.VersionMajor = 2;
    EXPECT_EQ(check_bytes(dir, "p.las", bytes_of(h)).out, "\nCannot handle las files of version 2.x\n");
    h.VersionMajor = 10;  // shown as the character 10 + 48
    EXPECT_EQ(check_bytes(dir, "p.las", bytes_of(h)).out, "\nCannot handle las files of version :.x\n");

    h = make_header(3, 0);
    EXPECT_EQ(check_bytes(dir, "p.las", bytes_of(h)).out, "\nCannot handle las files of version 1.3\n");

    h = make_header(2, 7);
    const Checked format = check_bytes(dir, "p.las", bytes_of(h));
    EXPECT_EQ(format.result, -1);
    EXPECT_EQ(format.out, "\nPointDataFormatID in " + path + " is 7. Only 0, 1, 2, or 3 is accepted\n");
}

TEST(CheckLas, RefusesRecordLengthThatDoesNotMatchFormat) {
    TempDir dir;
    LAS12Header h = make_header(2, 3);
    h.PointDataRecordLength = 28;
    const Checked got = check_bytes(dir, "p.las", bytes_of(h));
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.out, "\nData format of " + dir.file("p.las") +
                           " (3) is incompatible with Length of Data Record (28)\n");
    // The length prints unsigned.
    h.PointDataRecordLength = 65535;
    EXPECT_EQ(check_bytes(dir, "p.las", bytes_of(h)).out,
              "\nData format of " + dir.file("p.las") + " (3) is incompatible with Length of Data Record (65535)\n");
}

// A file that ends before a byte that a check reads is refused as not a LAS
// file, at whichever check first misses its bytes; it never passes.
TEST(CheckLas, RefusesFilesTooShortForTheBytesItReads) {
    TempDir dir;
    const Bytes full = bytes_of(make_header(2, 0));
    const std::string invalid = "\n" + dir.file("p.las") + " is not a valid .las file\n\n";
    for (std::size_t size : {0u, 3u, 4u, 24u, 25u, 26u, 104u, 105u, 106u}) {
        SCOPED_TRACE(size);
        const Checked got = check_bytes(dir, "p.las", Bytes(full.begin(), full.begin() + static_cast<long>(size)));
        EXPECT_EQ(got.result, -1);
        EXPECT_EQ(got.out, invalid);
    }
    // 107 bytes supply everything that is checked.
    const Checked enough = check_bytes(dir, "p.las", Bytes(full.begin(), full.begin() + 107));
    EXPECT_EQ(enough.result, 5);
    EXPECT_EQ(enough.out, "");
}

TEST(CheckLas, ChecksRunInOrderOnShortFiles) {
    TempDir dir;
    LAS12Header h = make_header(2, 0);
    h.VersionMajor = 3;
    const Bytes bad_major = bytes_of(h);
    // The version is refused on its own bytes even though later bytes are missing.
    EXPECT_EQ(check_bytes(dir, "p.las", Bytes(bad_major.begin(), bad_major.begin() + 25)).out,
              "\nCannot handle las files of version 3.x\n");
}

TEST(CheckLas, RefusesDirectoryNamedLikeALasFile) {
    TempDir dir;
    const std::string path = dir.file("folder.las");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    const Checked got = checked_las(path);
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.out, "\n" + path + " is not a valid .las file\n\n");
}

}  // namespace
