// SPDX-License-Identifier: MIT
// Header templates: fill a LAS 1.0, 1.1 or 1.2 public header record with the
// suite's starting values.
#include "tolvren_internal.h"

#include <cstring>

namespace {

using tolvren::internal::kSuiteName;

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
