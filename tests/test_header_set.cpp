// SPDX-License-Identifier: MIT
// tolvren_set_fields: each field set alone, the whole file compared byte for
// byte with what it must hold; every refusal leaves the file as it was; a
// compressed file and a dry run. Failed writes are in test_header_api.cpp,
// through the same fault driver as the repair's.
#include "tolvren_las.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>

namespace {

using tolvren_test::Bytes;
using tolvren_test::LasFile;
using tolvren_test::put;
using tolvren_test::read_file;
using tolvren_test::TempDir;
using tolvren_test::write_file;

tolvren_header_fields naming(unsigned which) {
    tolvren_header_fields fields{};
    fields.which = which;
    return fields;
}

int set(const std::string &path, const tolvren_header_fields &fields, tolvren_set_result &result,
        unsigned flags = 0, tolvren_detail *detail = nullptr) {
    return tolvren_set_fields(path.c_str(), &fields, flags, &result, detail);
}

// The fields of bytes 4-93 of a header.
auto fixed_fields(const tolvren_header &h) {
    return std::make_tuple(h.file_source_id, h.global_encoding, std::string(h.guid, h.guid + 16),
                           std::string(h.system_identifier), std::string(h.generating_software), h.creation_day,
                           h.creation_year);
}

// LAS 1.4, point format 1 (whose WKT bit may be cleared), global encoding
// with bits 1 and 4 set: each field set changes its own bytes and no other,
// and a read afterwards gives the result's `after`. Set again, it changes
// nothing.
TEST(HeaderSet, EachFieldChangesItsBytesAndNoOther) {
    LasFile f;
    f.format = 1;
    Bytes original = f.build();
    put<std::uint16_t>(original, 6, 0x12);
    tolvren_header_fields source_id = naming(TOLVREN_SET_FILE_SOURCE_ID),
                          system = naming(TOLVREN_SET_SYSTEM_IDENTIFIER),
                          software = naming(TOLVREN_SET_GENERATING_SOFTWARE),
                          date = naming(TOLVREN_SET_CREATION_DATE), guid = naming(TOLVREN_SET_GUID),
                          gps = naming(TOLVREN_SET_GPS_TIME_TYPE), wkt = naming(TOLVREN_SET_WKT);
    source_id.file_source_id = 4711;
    system.system_identifier = "AB";
    software.generating_software = "0123456789abcdefghijklmnopqrstuv";  // 32 bytes: no terminator
    date.creation_day = 343;
    date.creation_year = 2026;
    for (std::uint8_t i = 0; i < 16; ++i) guid.guid[i] = static_cast<std::uint8_t>(0xA0 + i);
    gps.gps_time_adjusted = 1;
    wkt.wkt = 0;
    const struct {
        tolvren_header_fields fields;
        std::function<void(Bytes &)> expect;
    } cases[] = {
        {source_id, [](Bytes &b) { put<std::uint16_t>(b, 4, 4711); }},
        {system, [](Bytes &b) { std::memcpy(&b[26], "AB\0\0\0\0\0\0\0\0\0\0\0", 13); }},
        {software, [](Bytes &b) { std::memcpy(&b[58], "0123456789abcdefghijklmnopqrstuv", 32); }},
        {date, [](Bytes &b) { put<std::uint16_t>(b, 90, 343), put<std::uint16_t>(b, 92, 2026); }},
        {guid, [&](Bytes &b) { std::memcpy(&b[8], guid.guid, 16); }},
        {gps, [](Bytes &b) { put<std::uint16_t>(b, 6, 0x13); }},
        {wkt, [](Bytes &b) { put<std::uint16_t>(b, 6, 0x02); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(tolvren_set_field_name(c.fields.which));
        TempDir dir;
        const std::string path = dir.file("f.las");
        write_file(path, original);
        tolvren_set_result result;
        ASSERT_EQ(set(path, c.fields, result), TOLVREN_OK);
        EXPECT_EQ(result.changed, c.fields.which);
        EXPECT_EQ(result.written, 1);
        Bytes expected = original;
        c.expect(expected);
        EXPECT_EQ(read_file(path), expected);
        tolvren_header now;
        ASSERT_EQ(tolvren_read_header(path.c_str(), &now, nullptr), TOLVREN_OK);
        EXPECT_EQ(fixed_fields(now), fixed_fields(result.after));
        EXPECT_EQ(result.before.global_encoding, 0x12);
        ASSERT_EQ(set(path, c.fields, result), TOLVREN_OK);
        EXPECT_EQ(result.changed, 0u);
        EXPECT_EQ(result.written, 0);
        EXPECT_EQ(read_file(path), expected);
    }
    EXPECT_EQ(tolvren_set_field_name(TOLVREN_SET_GUID | TOLVREN_SET_WKT), nullptr);
}

// Values no field can hold, fields the version lacks, the WKT bit cleared
// where LAS 1.4 requires it or set where no WKT record is: refused before a
// byte is written, even beside fields that could be set.
TEST(HeaderSet, RefusalsLeaveTheFileUntouched) {
    const auto text = [](const char *value) {
        tolvren_header_fields fields = naming(TOLVREN_SET_SYSTEM_IDENTIFIER | TOLVREN_SET_FILE_SOURCE_ID);
        fields.system_identifier = value;
        return fields;
    };
    const auto day = [](std::uint16_t value) {
        tolvren_header_fields fields = naming(TOLVREN_SET_CREATION_DATE);
        fields.creation_day = value;
        return fields;
    };
    tolvren_header_fields gps_2 = naming(TOLVREN_SET_GPS_TIME_TYPE), wkt_off = naming(TOLVREN_SET_WKT),
                          wkt_on = naming(TOLVREN_SET_WKT | TOLVREN_SET_FILE_SOURCE_ID);
    gps_2.gps_time_adjusted = 2;
    wkt_on.wkt = 1;
    const struct {
        const char *name;
        std::uint8_t minor, format;
        tolvren_header_fields fields;
        int code;
    } cases[] = {
        {"33 bytes of text", 4, 1, text("123456789012345678901234567890123"), TOLVREN_EFIELD},
        {"a tab", 4, 1, text("A\tB"), TOLVREN_EFIELD},
        {"UTF-8", 4, 1, text("caf\xc3\xa9"), TOLVREN_EFIELD},
        {"no text", 4, 1, text(nullptr), TOLVREN_EINVAL},
        {"day 0", 4, 1, day(0), TOLVREN_EFIELD},
        {"day 367", 4, 1, day(367), TOLVREN_EFIELD},
        {"no field", 4, 1, naming(0), TOLVREN_EFIELD},
        {"unknown field", 4, 1, naming(0x80 | TOLVREN_SET_FILE_SOURCE_ID), TOLVREN_EFIELD},
        {"GPS time type 2", 4, 1, gps_2, TOLVREN_EFIELD},
        {"file source ID in 1.0", 0, 1, naming(TOLVREN_SET_FILE_SOURCE_ID), TOLVREN_EFIELD},
        {"GPS time type in 1.1", 1, 1, naming(TOLVREN_SET_GPS_TIME_TYPE), TOLVREN_EFIELD},
        {"WKT in 1.3", 3, 1, wkt_on, TOLVREN_EFIELD},
        {"WKT without a WKT record", 4, 1, wkt_on, TOLVREN_EFIELD},
        {"WKT cleared in format 6", 4, 6, wkt_off, TOLVREN_EFIELD},
        {"not LAS", 4, 1, naming(TOLVREN_SET_FILE_SOURCE_ID), TOLVREN_ENOTLAS},
    };
    TempDir dir;
    const std::string path = dir.file("f.las");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LasFile f;
        f.minor = c.minor;
        f.format = c.format;
        Bytes bytes = f.build();
        if (c.code == TOLVREN_ENOTLAS) bytes[0] = 'X';
        write_file(path, bytes);
        tolvren_set_result result;
        tolvren_detail detail;
        EXPECT_EQ(set(path, c.fields, result, 0, &detail), c.code) << detail.message;
        EXPECT_EQ(detail.code, c.code);
        EXPECT_NE(std::string(detail.message).find(path), std::string::npos) << detail.message;
        EXPECT_EQ(result.changed, 0u);
        EXPECT_EQ(result.written, 0);
        EXPECT_EQ(read_file(path), bytes);
    }
    tolvren_set_result result;
    EXPECT_EQ(tolvren_set_fields(path.c_str(), nullptr, 0, &result, nullptr), TOLVREN_EINVAL);
    EXPECT_EQ(set(path, naming(TOLVREN_SET_GUID), result, 2), TOLVREN_EINVAL);
    EXPECT_STREQ(tolvren_error_name(TOLVREN_EFIELD), "field");
}

// A file marked compressed is set through its header alone, its points
// never read; a dry run says what would change and writes nothing.
TEST(HeaderSet, CompressedFilesAndDryRuns) {
    Bytes laz = LasFile{}.build();
    laz[104] |= 0x80;
    TempDir dir;
    const std::string path = dir.file("f.laz");
    write_file(path, laz);
    tolvren_header_fields fields = naming(TOLVREN_SET_SYSTEM_IDENTIFIER | TOLVREN_SET_FILE_SOURCE_ID);
    fields.system_identifier = "LAZ";
    fields.file_source_id = 0;  // as stored
    tolvren_set_result result;
    ASSERT_EQ(set(path, fields, result, TOLVREN_SET_DRY_RUN), TOLVREN_OK);
    EXPECT_EQ(result.changed, unsigned{TOLVREN_SET_SYSTEM_IDENTIFIER});
    EXPECT_EQ(result.written, 0);
    EXPECT_EQ(result.before.compressed, 1);
    EXPECT_STREQ(result.before.system_identifier, "TEST\x01SYSTEM\\");
    EXPECT_STREQ(result.after.system_identifier, "LAZ");
    EXPECT_EQ(read_file(path), laz);
    ASSERT_EQ(set(path, fields, result), TOLVREN_OK);
    EXPECT_EQ(result.written, 1);
    Bytes expected = laz;
    std::memcpy(&expected[26], "LAZ\0\0\0\0\0\0\0\0\0", 12);
    EXPECT_EQ(read_file(path), expected);
}

}  // namespace
