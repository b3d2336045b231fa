// SPDX-License-Identifier: MIT
// Header API: setting fixed fields of the public header in place.
//
// The fields set here (file source ID, GUID, system identifier, generating
// software, creation date and two bits of global encoding) lie in bytes
// 4-93 and say who made the file and when, never where its records are:
// setting them needs the header alone, whether the points are compressed or
// not. The values are judged first, then against the file's version; the
// new bytes are composed in memory and written as a repair writes its own
// (write_header_span), so nothing is written unless all of them can be.

#include "tolvren_internal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tolvren::las {

namespace {

using Layout = PublicHeaderLayout;

constexpr unsigned kEveryField = TOLVREN_SET_FILE_SOURCE_ID | TOLVREN_SET_SYSTEM_IDENTIFIER |
                                 TOLVREN_SET_GENERATING_SOFTWARE | TOLVREN_SET_CREATION_DATE | TOLVREN_SET_GUID |
                                 TOLVREN_SET_GPS_TIME_TYPE | TOLVREN_SET_WKT;

// Global encoding: bit 0 says the points' GPS time is adjusted standard GPS
// time rather than seconds of the GPS week (LAS 1.2 on); bit 4 that the
// coordinate reference system is given as WKT rather than GeoTIFF keys
// (LAS 1.4).
constexpr std::uint16_t kGpsTimeAdjusted = 1u << 0;
constexpr std::uint16_t kWktCrs = 1u << 4;

// The system identifier and the generating software are 32 bytes each,
// zero-padded: a text of 32 bytes has no terminator in the file.
constexpr std::size_t kTextBytes = sizeof Layout::system_identifier;
static_assert(sizeof Layout::generating_software == kTextBytes, "both text fields are 32 bytes");

constexpr std::uint16_t kLastDayOfYear = 366;

// LAS 1.4 point formats 6 to 10 must give their coordinate reference system
// as WKT, so their WKT bit is always set.
constexpr std::uint8_t kFirstWktFormat = 6;

// Where each field lies: its bytes and, for a bit of global encoding, that
// bit alone. The fields' bytes all lie in one page, as patch_span needs.
struct Place {
    unsigned bit;
    std::size_t offset;
    std::size_t size;
    std::uint16_t mask;  // 0: every byte of the field
};

constexpr std::array<Place, 7> kPlaces = {{
    {TOLVREN_SET_FILE_SOURCE_ID, offsetof(Layout, file_source_id), 2, 0},
    {TOLVREN_SET_SYSTEM_IDENTIFIER, offsetof(Layout, system_identifier), kTextBytes, 0},
    {TOLVREN_SET_GENERATING_SOFTWARE, offsetof(Layout, generating_software), kTextBytes, 0},
    {TOLVREN_SET_CREATION_DATE, offsetof(Layout, creation_day), 4, 0},
    {TOLVREN_SET_GUID, offsetof(Layout, guid), sizeof Layout::guid, 0},
    {TOLVREN_SET_GPS_TIME_TYPE, offsetof(Layout, global_encoding), 2, kGpsTimeAdjusted},
    {TOLVREN_SET_WKT, offsetof(Layout, global_encoding), 2, kWktCrs},
}};
static_assert(offsetof(Layout, file_source_id) == 4 && offsetof(Layout, creation_year) + 2 == 94,
              "the fields to set lie in bytes 4-93");

// Whether `text` fits a text field: at most 32 bytes of printable ASCII.
// A longer one is refused rather than cut, which would write a text nobody
// gave.
int check_text(const char *name, const char *text, const char *path, tolvren_detail *detail) {
    if (!text) return fail(detail, TOLVREN_EINVAL, 0, path, "the %s to set is a NULL pointer", name);
    const std::size_t length = strnlen(text, kTextBytes + 1);
    if (length > kTextBytes) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "the %s to set is %zu bytes long, more than the %zu of the field; the file is left untouched",
                    name, std::strlen(text), kTextBytes);
    }
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte > 0x7E) {
            return fail(detail, TOLVREN_EFIELD, 0, path,
                        "the %s to set holds byte 0x%02x at %zu, which is not printable ASCII; the file is left "
                        "untouched",
                        name, byte, i);
        }
    }
    return TOLVREN_OK;
}

// Whether the values of `fields` fit their fields in any file.
int check_values(const tolvren_header_fields &fields, const char *path, tolvren_detail *detail) {
    const unsigned which = fields.which;
    if (which == 0) {
        return fail(detail, TOLVREN_EFIELD, 0, path, "no field to set was named; the file is left untouched");
    }
    if ((which & ~kEveryField) != 0) {
        return fail(detail, TOLVREN_EFIELD, 0, path, "unknown fields to set %#x; the file is left untouched",
                    which & ~kEveryField);
    }
    int code = TOLVREN_OK;
    if ((which & TOLVREN_SET_SYSTEM_IDENTIFIER) != 0) {
        code = check_text("system identifier", fields.system_identifier, path, detail);
    }
    if (code == TOLVREN_OK && (which & TOLVREN_SET_GENERATING_SOFTWARE) != 0) {
        code = check_text("generating software", fields.generating_software, path, detail);
    }
    if (code != TOLVREN_OK) return code;
    if ((which & TOLVREN_SET_CREATION_DATE) != 0 &&
        (fields.creation_day == 0 || fields.creation_day > kLastDayOfYear)) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "creation day %u is not a day of the year (1 to %u); the file is left untouched",
                    fields.creation_day, kLastDayOfYear);
    }
    if ((which & TOLVREN_SET_GPS_TIME_TYPE) != 0 && fields.gps_time_adjusted != 0 && fields.gps_time_adjusted != 1) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "the GPS time type %d is neither 0 (GPS week time) nor 1 (adjusted standard GPS time); the "
                    "file is left untouched",
                    fields.gps_time_adjusted);
    }
    if ((which & TOLVREN_SET_WKT) != 0 && fields.wkt != 0 && fields.wkt != 1) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "the WKT bit %d is neither 0 nor 1; the file is left untouched", fields.wkt);
    }
    return TOLVREN_OK;
}

// Whether the WKT bit may be set in the file open on `fd` whose header is
// `header`: nullptr when it may, else the reason. The bit sends readers to
// a WKT record ("LASF_Projection" 2112, a VLR or an EVLR) for the CRS; set
// in a file without one, they would find none. A bit already set is left
// to the check to judge.
const char *wkt_on_refusal(int fd, const tolvren_header &header) {
    constexpr std::uint16_t kWktBit = 1u << 4;
    if ((header.global_encoding & kWktBit) != 0) return nullptr;
    tolvren_header walked = header;
    std::vector<tolvren_record> records;
    if (walk_records(fd, nullptr, walked, records, nullptr) != TOLVREN_OK) return "its VLRs cannot be read";
    for (const tolvren_record &record : records) {
        if (record.record_id == 2112 && std::strcmp(record.user_id, "LASF_Projection") == 0) return nullptr;
    }
    return "the file has no WKT record (LASF_Projection 2112), so the WKT bit would send readers to a CRS that is "
           "not there";
}

// Whether the file's version has every field named, and its point format
// allows the value given.
int check_version(const tolvren_header_fields &fields, const tolvren_header &h, int fd, const char *path,
                  tolvren_detail *detail) {
    const unsigned which = fields.which;
    const unsigned minor = h.version_minor;
    if ((which & TOLVREN_SET_FILE_SOURCE_ID) != 0 && minor < 1) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "LAS 1.0 has no file source ID (bytes 4-5 are reserved there); the file is left untouched");
    }
    if ((which & TOLVREN_SET_GPS_TIME_TYPE) != 0 && minor < 2) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "LAS 1.%u has no GPS time type: global encoding, with its bit 0, comes with LAS 1.2; the file "
                    "is left untouched",
                    minor);
    }
    if ((which & TOLVREN_SET_WKT) == 0) return TOLVREN_OK;
    if (minor < 4) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "LAS 1.%u has no WKT bit: bit 4 of global encoding comes with LAS 1.4; the file is left "
                    "untouched",
                    minor);
    }
    if (fields.wkt == 0 && h.point_format >= kFirstWktFormat) {
        return fail(detail, TOLVREN_EFIELD, 0, path,
                    "point format %u keeps its WKT bit set: LAS 1.4 gives the CRS of formats 6 to 10 as WKT; the "
                    "file is left untouched",
                    h.point_format);
    }
    if (fields.wkt == 1) {
        if (const char *why = wkt_on_refusal(fd, h)) {
            return fail(detail, TOLVREN_EFIELD, 0, path, "%s; the file is left untouched", why);
        }
    }
    return TOLVREN_OK;
}

// Writes the text of a field zero-padded to its 32 bytes.
void put_text(HeaderImage &image, std::size_t offset, const char *text) {
    std::array<char, kTextBytes> field{};
    std::memcpy(field.data(), text, strnlen(text, kTextBytes));
    std::memcpy(image.data() + offset, field.data(), field.size());
}

void put_bit(HeaderImage &image, std::uint16_t mask, bool on) {
    const std::size_t at = offsetof(Layout, global_encoding);
    const std::uint16_t bits = load<std::uint16_t>(image.data(), at);
    store<std::uint16_t>(image.data(), at, static_cast<std::uint16_t>(on ? bits | mask : bits & ~mask));
}

// The header image with the values of `fields` in it.
void compose(const tolvren_header_fields &fields, HeaderImage &image) {
    const unsigned which = fields.which;
    if ((which & TOLVREN_SET_FILE_SOURCE_ID) != 0) {
        store(image.data(), offsetof(Layout, file_source_id), fields.file_source_id);
    }
    if ((which & TOLVREN_SET_SYSTEM_IDENTIFIER) != 0) {
        put_text(image, offsetof(Layout, system_identifier), fields.system_identifier);
    }
    if ((which & TOLVREN_SET_GENERATING_SOFTWARE) != 0) {
        put_text(image, offsetof(Layout, generating_software), fields.generating_software);
    }
    if ((which & TOLVREN_SET_CREATION_DATE) != 0) {
        store(image.data(), offsetof(Layout, creation_day), fields.creation_day);
        store(image.data(), offsetof(Layout, creation_year), fields.creation_year);
    }
    if ((which & TOLVREN_SET_GUID) != 0) {
        std::memcpy(image.data() + offsetof(Layout, guid), fields.guid, sizeof fields.guid);
    }
    if ((which & TOLVREN_SET_GPS_TIME_TYPE) != 0) put_bit(image, kGpsTimeAdjusted, fields.gps_time_adjusted == 1);
    if ((which & TOLVREN_SET_WKT) != 0) put_bit(image, kWktCrs, fields.wkt == 1);
}

bool differs(const Place &place, const HeaderImage &before, const HeaderImage &after) {
    if (place.mask != 0) {
        return ((load<std::uint16_t>(before.data(), place.offset) ^ load<std::uint16_t>(after.data(), place.offset)) &
                place.mask) != 0;
    }
    return std::memcmp(before.data() + place.offset, after.data() + place.offset, place.size) != 0;
}

int set_fields(const char *path, const tolvren_header_fields &fields, unsigned flags, tolvren_set_result &out,
               tolvren_detail *detail) {
    out = tolvren_set_result{};
    int code = check_values(fields, path, detail);
    if (code != TOLVREN_OK) return code;
    OpenedFile file;
    HeaderImage original;
    code = open_and_read_header(path, file, out.before, original, detail);
    if (code != TOLVREN_OK) return code;
    code = check_version(fields, out.before, file.fd.get(), path, detail);
    if (code != TOLVREN_OK) return code;

    HeaderImage updated = original;
    compose(fields, updated);
    out.after = out.before;
    decode_fixed_fields(updated.data(), out.after);
    // The bytes from the first changed field to the end of the last.
    std::size_t first = sizeof updated;
    std::size_t end = 0;
    for (const Place &place : kPlaces) {
        if (!differs(place, original, updated)) continue;
        out.changed |= place.bit;
        first = std::min(first, place.offset);
        end = std::max(end, place.offset + place.size);
    }
    if (out.changed == 0 || (flags & TOLVREN_SET_DRY_RUN) != 0) return TOLVREN_OK;
    code = write_header_span(path, file, out.before, original, updated, ByteRun{first, end - first},
                             {"the setting of its fields", "changed"}, detail);
    // After a failed restore the header holds some of the new bytes.
    if (code == TOLVREN_OK || code == TOLVREN_EWRITERESTORE) out.written = 1;
    return code;
}

}  // namespace

}  // namespace tolvren::las

using namespace tolvren::las;

extern "C" int tolvren_set_fields(const char *path, const tolvren_header_fields *fields, unsigned flags,
                                  tolvren_set_result *out, tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !fields || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    if ((flags & ~TOLVREN_SET_DRY_RUN) != 0) return fail(detail, TOLVREN_EINVAL, 0, path, "unknown flags %#x", flags);
    try {
        return set_fields(path, *fields, flags, *out, detail);
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while setting header fields");
    }
}
