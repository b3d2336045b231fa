// SPDX-License-Identifier: MIT
// Header templates: the exact bytes each template writes, the bytes it must
// leave alone, and a template used as the header of a new file.
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

namespace {

using tolvren_test::Bytes;
using tolvren_test::bytes_of;

constexpr std::size_t kHeaderBytes = 227;

// The unused tails of GUIDData4, SystemIdentifier and GeneratingSoftware:
// a template writes each text field's string and its zero, nothing after.
constexpr std::array<std::pair<std::size_t, std::size_t>, 3> kUntouchedRanges = {{
    {17, 23},
    {27, 57},
    {82, 89},
}};

bool untouched(std::size_t offset) {
    for (const auto &range : kUntouchedRanges) {
        if (offset >= range.first && offset <= range.second) return true;
    }
    return false;
}

void put_le(Bytes &bytes, std::size_t offset, std::uint32_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

void put_double(Bytes &bytes, std::size_t offset, double value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

// What a template must leave in a record that held `start`, written out from
// the field offsets of the file format: every written byte is zero except
// the signature, the version, the suite name, the two sizes and the unit
// scale factors; the untouched bytes keep what `start` had there.
Bytes expected_template(const Bytes &start, std::uint8_t version_minor) {
    Bytes bytes(kHeaderBytes, 0);
    std::memcpy(&bytes[0], "LASF", 4);
    bytes[24] = 1;
    bytes[25] = version_minor;
    constexpr char kSuite[] = "Tolvren LiDAR Utilities";
    std::memcpy(&bytes[58], kSuite, sizeof kSuite);
    put_le(bytes, 94, 227, 2);
    put_le(bytes, 96, 227, 4);
    put_double(bytes, 131, 1.0);
    put_double(bytes, 139, 1.0);
    put_double(bytes, 147, 1.0);
    for (std::size_t i = 0; i < kHeaderBytes; ++i) {
        if (untouched(i)) bytes[i] = start[i];
    }
    return bytes;
}

// Runs a template on a record holding `start` and returns the record's bytes.
template <typename Header, void (*Initialize)(Header *)>
Bytes apply_template(const Bytes &start) {
    Header header;
    std::memcpy(&header, start.data(), sizeof header);
    Initialize(&header);
    return bytes_of(header);
}

struct Version {
    const char *name;
    std::uint8_t minor;
    Bytes (*apply)(const Bytes &);
    std::int16_t las_type_format0;  // what check_las calls the file with format 0
};

const Version kVersion10{"V10", 0, apply_template<LAS10Header, initialize_header10>, 1};
const Version kVersion11{"V11", 1, apply_template<LAS11Header, initialize_header11>, 3};
const Version kVersion12{"V12", 2, apply_template<LAS12Header, initialize_header12>, 5};

struct Start {
    const char *name;
    Bytes (*make)();
};

Bytes filled_ff() { return Bytes(kHeaderBytes, 0xFF); }
Bytes filled_zero() { return Bytes(kHeaderBytes, 0x00); }
Bytes every_byte_distinct() {
    Bytes bytes(kHeaderBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    return bytes;
}

const Start kStarts[] = {
    {"FilledFF", filled_ff},
    {"FilledZero", filled_zero},
    {"EveryByteDistinct", every_byte_distinct},
};

void PrintTo(const Version &version, std::ostream *os) { *os << version.name; }
void PrintTo(const Start &start, std::ostream *os) { *os << start.name; }

TEST(Templates, UntouchedBytesAreFortySix) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < kHeaderBytes; ++i) count += untouched(i) ? 1 : 0;
    EXPECT_EQ(count, 46u);
}

class TemplateBytes : public testing::TestWithParam<std::tuple<Version, Start>> {};

TEST_P(TemplateBytes, WritesEveryByteButTheFortySixItLeaves) {
    const Version &version = std::get<0>(GetParam());
    const Bytes start = std::get<1>(GetParam()).make();
    const Bytes result = version.apply(start);
    const Bytes expected = expected_template(start, version.minor);
    ASSERT_EQ(result.size(), kHeaderBytes);
    for (std::size_t i = 0; i < kHeaderBytes; ++i) {
        EXPECT_EQ(result[i], expected[i]) << "byte " << i;
    }
}

TEST_P(TemplateBytes, SecondCallChangesNothing) {
    const Version &version = std::get<0>(GetParam());
    const Bytes once = version.apply(std::get<1>(GetParam()).make());
    EXPECT_EQ(version.apply(once), once);
}

INSTANTIATE_TEST_SUITE_P(
    AllVersions, TemplateBytes,
    testing::Combine(testing::Values(kVersion10, kVersion11, kVersion12), testing::ValuesIn(kStarts)),
    [](const testing::TestParamInfo<TemplateBytes::ParamType> &info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

// From the same starting bytes the three templates agree on every byte but
// VersionMinor; bytes 4 to 7 are zero whatever their names.
TEST(Templates, VersionsDifferOnlyInVersionMinor) {
    for (const Start &start : kStarts) {
        SCOPED_TRACE(start.name);
        const Bytes r10 = kVersion10.apply(start.make());
        const Bytes r11 = kVersion11.apply(start.make());
        const Bytes r12 = kVersion12.apply(start.make());
        for (std::size_t i = 0; i < kHeaderBytes; ++i) {
            if (i == 25) continue;
            EXPECT_EQ(r10[i], r11[i]) << "byte " << i;
            EXPECT_EQ(r10[i], r12[i]) << "byte " << i;
        }
        EXPECT_EQ(r10[25], 0);
        EXPECT_EQ(r11[25], 1);
        EXPECT_EQ(r12[25], 2);
        for (std::size_t i = 4; i < 8; ++i) EXPECT_EQ(r10[i], 0) << "byte " << i;
    }
}

// The name a template stamps is the one the banner prints on its first line.
TEST(Templates, GeneratingSoftwareIsTheBannerName) {
    LAS12Header header;
    std::memset(&header, 0xFF, sizeof header);
    initialize_header12(&header);

    tolvren_test::StdoutCapture capture;
    credits();
    const std::string banner = capture.finish();
    ASSERT_GE(banner.size(), 2u);
    const std::string first_line = banner.substr(1, banner.find('\n', 1) - 1);
    EXPECT_STREQ(header.GeneratingSoftware, first_line.c_str());
}

// A template as the header of a new file: the caller sets the point format
// and its record length, writes points behind the 227 header bytes, and the
// file is accepted; without those two fields it is refused.
class TemplateAsNewFile : public testing::TestWithParam<Version> {
protected:
    // The template's record bytes after `prepare` has set the caller's fields.
    template <typename Prepare>
    Bytes header_bytes(Prepare prepare) const {
        const Bytes templ = GetParam().apply(Bytes(kHeaderBytes, 0xFF));
        LAS12Header header;
        std::memcpy(&header, templ.data(), sizeof header);
        prepare(header);
        return bytes_of(header);
    }

    std::string write_file(Bytes bytes, std::size_t points) const {
        for (std::size_t i = 0; i < points; ++i) {
            const auto n = static_cast<std::int32_t>(i);
            tolvren_test::append_point(bytes, 20, 100 + n, 200 - n, 300 * n, static_cast<std::uint8_t>(1 + i % 2));
        }
        const std::string path = dir_.file("new.las");
        tolvren_test::write_file(path, bytes);
        return path;
    }

    tolvren_test::TempDir dir_;
};

TEST_P(TemplateAsNewFile, AcceptedOnceFormatAndLengthAreSet) {
    constexpr std::uint32_t kPoints = 3;
    const std::string path = write_file(header_bytes([](LAS12Header &h) {
                                            h.PointDataFormatID = 0;
                                            h.PointDataRecordLength = 20;
                                            h.NumberOfPointReturns = kPoints;
                                        }),
                                        kPoints);

    tolvren_test::StdoutCapture capture;
    const std::int16_t las_type = check_las(path.c_str());
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(las_type, GetParam().las_type_format0);

    const tolvren_test::ProcessResult run = tolvren_test::run_quarlin({path});
    EXPECT_EQ(run.exit_code, 0) << run.out;
    const std::string head = tolvren_test::banner() + "\nFile                         " + path + "\n\n";
    EXPECT_EQ(run.out.substr(0, head.size()), head);
    const std::string minor(1, static_cast<char>('0' + GetParam().minor));
    EXPECT_NE(run.out.find("\nVersion                      1." + minor + "\n"), std::string::npos) << run.out;
    // The 0xFF tails behind the text fields' zeros never show.
    EXPECT_NE(run.out.find("\nGUIDData4                    \n"
                           "Version"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nSystem Identifier            \n"
                           "GeneratingSoftware           Tolvren LiDAR Utilities\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nSize of Header               227\n"
                           "Offset to Data               227\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nTotal Returns               3\n"), std::string::npos) << run.out;
}

TEST_P(TemplateAsNewFile, RefusedWhileFormatAndLengthAreZero) {
    const std::string path = write_file(header_bytes([](LAS12Header &) {}), 2);
    const std::string message = "\nData format of " + path + " (0) is incompatible with Length of Data Record (0)\n";

    tolvren_test::StdoutCapture capture;
    const std::int16_t las_type = check_las(path.c_str());
    EXPECT_EQ(capture.finish(), message);
    EXPECT_LT(las_type, 0);

    const tolvren_test::ProcessResult run = tolvren_test::run_quarlin({path});
    EXPECT_EQ(run.exit_code, 255);
    EXPECT_EQ(run.out, message);
}

INSTANTIATE_TEST_SUITE_P(AllVersions, TemplateAsNewFile, testing::Values(kVersion10, kVersion11, kVersion12),
                         [](const testing::TestParamInfo<Version> &info) { return std::string(info.param.name); });

}  // namespace
