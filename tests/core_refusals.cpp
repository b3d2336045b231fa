// SPDX-License-Identifier: MIT
// The library's cores, which return where the exported operations end the
// process: every refusal runs in this process and is seen by its status.
// Built from the library's objects, since the cores are not exported.
#include "test_support.h"
#include "tolvren_internal.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace tolvren_test;
using tolvren::internal::DemStatus;
using tolvren::internal::UpdateStatus;

// A LAS 1.2 format 0 file with two points whose header says nothing true.
Bytes two_point_file() {
    LAS12Header h = make_header(2, 0);
    h.NumberOfPointReturns = 99;
    Bytes bytes = bytes_of(h);
    append_point(bytes, 20, 1, 2, 3, 1);
    append_point(bytes, 20, 4, 5, 6, 2);
    return bytes;
}

Bytes with_u32(Bytes bytes, std::size_t offset, std::uint32_t value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
    return bytes;
}

TEST(UpdateCore, EachRefusalReturnsItsStatusAndKeepsTheFile) {
    Bytes version10_format2 = two_point_file();
    version10_format2[offsetof(LAS12Header, VersionMinor)] = 0;
    version10_format2[offsetof(LAS12Header, PointDataFormatID)] = 2;
    Bytes short_file = two_point_file();
    short_file.resize(200);
    Bytes not_las = two_point_file();
    not_las[0] = 'X';

    const std::vector<std::pair<Bytes, UpdateStatus>> cases = {
        {not_las, UpdateStatus::refused_by_check},
        {version10_format2, UpdateStatus::no_record_layout},
        {short_file, UpdateStatus::short_file},
        {with_u32(two_point_file(), offsetof(LAS12Header, OffsetToData), 1000), UpdateStatus::offset_beyond_end},
    };
    TempDir dir;
    const std::string path = dir.file("core.las");
    for (const auto &[bytes, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(expected));
        write_file(path, bytes);
        StdoutCapture capture;
        const UpdateStatus status = tolvren::internal::update_header_core(path.c_str()).status;
        capture.finish();
        EXPECT_EQ(status, expected);
        EXPECT_EQ(read_file(path), bytes);
    }
}

TEST(UpdateCore, UpdatesInProcessAndEveryRefusalHasAMessage) {
    TempDir dir;
    const std::string path = dir.file("core.las");
    write_file(path, two_point_file());
    StdoutCapture capture;
    EXPECT_EQ(tolvren::internal::update_header_core(path.c_str()).status, UpdateStatus::updated);
    EXPECT_EQ(capture.finish(), "");
    std::uint32_t count = 0;
    std::memcpy(&count, &read_file(path)[offsetof(LAS12Header, NumberOfPointReturns)], sizeof count);
    EXPECT_EQ(count, 2u);

    for (int s = static_cast<int>(UpdateStatus::no_record_layout); s <= static_cast<int>(UpdateStatus::cannot_write);
         ++s) {
        const char *message = tolvren::internal::update_message(static_cast<UpdateStatus>(s));
        ASSERT_NE(message, nullptr) << s;
        EXPECT_NE(std::string(message).find("%s"), std::string::npos) << s;
    }
}

TEST(ValidatorCores, VerdictsWithoutEndingTheProcess) {
    for (const char *accepted : {"", "12", "-1.5", "5-", "0.", ".5"}) {
        EXPECT_TRUE(tolvren::internal::numeric_argument_accepted(accepted)) << accepted;
    }
    for (const char *refused : {".", "-", "1.2.3", "--5", "+5", "1e3", "3,5", " 1"}) {
        EXPECT_FALSE(tolvren::internal::numeric_argument_accepted(refused)) << refused;
    }

    TempDir dir;
    write_file(dir.file("grid.hdr"), {});
    StdoutCapture capture;
    EXPECT_EQ(tolvren::internal::check_dem_core(dir.file("grid.flt").c_str()), DemStatus::accepted);
    EXPECT_EQ(tolvren::internal::check_dem_core(dir.file("other.flt").c_str()), DemStatus::header_missing);
    EXPECT_EQ(tolvren::internal::check_dem_core(dir.file("grid.asc").c_str()), DemStatus::accepted);
    EXPECT_EQ(tolvren::internal::check_dem_core(dir.file("grid.FLT").c_str()), DemStatus::bad_extension);
    capture.finish();
}

}  // namespace
