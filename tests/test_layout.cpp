// SPDX-License-Identifier: MIT
// The records are the file format: sizes and field offsets, checked again
// from the caller's side of the header.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

using tolvren_test::Bytes;

TEST(Layout, RecordSizes) {
    EXPECT_EQ(sizeof(LAS10Header), 227u);
    EXPECT_EQ(sizeof(LAS11Header), 227u);
    EXPECT_EQ(sizeof(LAS12Header), 227u);
    EXPECT_EQ(sizeof(LAS12fm0), 20u);
    EXPECT_EQ(sizeof(LAS12fm1), 28u);
    EXPECT_EQ(sizeof(LAS12fm2), 26u);
    EXPECT_EQ(sizeof(LAS12fm3), 34u);
}

TEST(Layout, UnalignedAndVersionSpecificOffsets) {
    EXPECT_EQ(offsetof(LAS12Header, PointDataFormatID), 104u);
    EXPECT_EQ(offsetof(LAS12Header, PointDataRecordLength), 105u);
    EXPECT_EQ(offsetof(LAS12Header, NumberOfPointReturns), 107u);
    EXPECT_EQ(offsetof(LAS12Header, NumberOfPointsByReturn), 111u);
    EXPECT_EQ(offsetof(LAS12Header, XScaleFactor), 131u);
    EXPECT_EQ(offsetof(LAS12Header, MaxX), 179u);
    EXPECT_EQ(offsetof(LAS12Header, MinZ), 219u);
    EXPECT_EQ(offsetof(LAS10Header, FlightDateJulian), 90u);
    EXPECT_EQ(offsetof(LAS11Header, FileCreationDay), 90u);
    EXPECT_EQ(offsetof(LAS12Header, GlobalEncoding), 6u);
    EXPECT_EQ(offsetof(LAS12fm3, GPSTime), 20u);
    EXPECT_EQ(offsetof(LAS12fm3, Blue), 32u);
    EXPECT_EQ(offsetof(LAS12fm2, Blue), 24u);
}

// The same 227 bytes read through the 1.0 and the 1.2 record differ only in
// the names of offsets 4-7 and 90-93; little-endian values come out exact.
TEST(Layout, SameBytesReadAlikeInEveryVersion) {
    Bytes bytes(227);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    LAS10Header h10;
    LAS12Header h12;
    std::memcpy(&h10, bytes.data(), sizeof h10);
    std::memcpy(&h12, bytes.data(), sizeof h12);

    // Packed fields are copied out before comparing: no reference may bind
    // to an unaligned member.
    const std::uint16_t length10 = h10.PointDataRecordLength, length12 = h12.PointDataRecordLength;
    EXPECT_EQ(length10, length12);
    EXPECT_EQ(length12, bytes[105] | (bytes[106] << 8));
    const std::uint32_t count = h12.NumberOfPointReturns;
    EXPECT_EQ(count, std::uint32_t{bytes[107]} | std::uint32_t{bytes[108]} << 8 | std::uint32_t{bytes[109]} << 16 |
                         std::uint32_t{bytes[110]} << 24);
    const std::uint16_t day10 = h10.FlightDateJulian, day12 = h12.FileCreationDay;
    const std::uint16_t year10 = h10.Year, year12 = h12.FileCreationYear;
    EXPECT_EQ(day10, day12);
    EXPECT_EQ(year10, year12);
    const std::uint32_t reserved10 = h10.Reserved;
    EXPECT_EQ(reserved10, static_cast<std::uint32_t>(h12.FileSourceID) |
                              (static_cast<std::uint32_t>(h12.GlobalEncoding) << 16));
    EXPECT_EQ(0, std::memcmp(&h10.XScaleFactor, &h12.XScaleFactor, 227 - 131));
}

}  // namespace
