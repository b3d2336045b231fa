// SPDX-License-Identifier: MIT
// Header API: the names and sentences of error codes, finding codes,
// severities, repaired fields and fields to set. Every string is static; an
// unknown code gets a fixed fallback, never NULL (but for a field to set,
// whose name is NULL for anything but one of its bits).

#include "tolvren_las.h"

#include <array>
#include <cstddef>
#include <utility>

namespace {

struct ErrorText {
    int code;
    const char *name;
    const char *sentence;
};

constexpr std::array<ErrorText, 22> kErrors = {{
    {TOLVREN_OK, "ok", "success"},
    {TOLVREN_EINVAL, "invalid_argument", "a NULL pointer or an unknown flag was handed in"},
    {TOLVREN_EOPEN, "open_failed", "the file cannot be opened"},
    {TOLVREN_ENOTREGULAR, "not_regular_file", "not a regular file"},
    {TOLVREN_EREAD, "read_failed", "an I/O error while reading the file"},
    {TOLVREN_ENOTLAS, "not_las", "not a LAS file: no \"LASF\" signature"},
    {TOLVREN_EVERSION, "unsupported_version", "LAS version outside 1.0 to 1.4"},
    {TOLVREN_EHEADERSIZE, "header_too_short", "the header is shorter than its version's, or the file than its header"},
    {TOLVREN_EFORMAT, "unknown_point_format", "point data format above 10"},
    {TOLVREN_ERECORDLENGTH, "record_too_short", "point record length below its format's"},
    {TOLVREN_ECOMPRESSED, "compressed", "compressed (LAZ) point data that cannot be decoded"},
    {TOLVREN_ELAYOUT, "bad_layout", "the header's layout does not fit the file"},
    {TOLVREN_ECANCELED, "canceled", "stopped by the progress callback"},
    {TOLVREN_ENOMEM, "out_of_memory", "out of memory"},
    {TOLVREN_EWRITEOPEN, "write_open_failed", "the file cannot be opened for writing"},
    {TOLVREN_ECHANGED, "file_changed", "the file changed during the call; nothing was written"},
    {TOLVREN_EWRITE, "write_failed", "writing the header failed; it holds its original bytes"},
    {TOLVREN_EWRITERESTORE, "restore_failed",
     "writing the header failed and so did writing the original bytes back; the header may be damaged"},
    {TOLVREN_ETOOMANYPOINTS, "too_many_points", "more point records than a LAS 1.0-1.3 header can count"},
    {TOLVREN_EEXTENT, "extent_unrepairable",
     "an extent runs from its min down to its max, and the axis's scale gives no coordinate to mend it with"},
    {TOLVREN_ECORRUPT, "corrupt", "compressed (LAZ) point data that are damaged"},
    {TOLVREN_EFIELD, "field", "a value the field cannot hold, or a field the file's version does not have"},
}};

const ErrorText *find_error(int code) {
    for (const ErrorText &error : kErrors) {
        if (error.code == code) return &error;
    }
    return nullptr;
}

// Indexed by tolvren_finding_code; slot 0 is no code.
constexpr std::array<const char *, TOLVREN_F_SCAN_ANGLE_OUT_OF_RANGE + 1> kFindingNames = {
    nullptr,
    "offset_inside_header",
    "point_data_outside_file",
    "vlrs_past_offset",
    "evlrs_outside_file",
    "waveform_outside_file",
    "fewer_records_than_count",
    "more_records_than_count",
    "trailing_bytes",
    "by_return_sum_above_count",
    "by_return_sum_below_count",
    "legacy_mismatch",
    "legacy_mirrored",
    "min_above_max",
    "bad_scale",
    "format_not_in_version",
    "point_count_mismatch",
    "by_return_mismatch",
    "extent_mismatch",
    "not_scanned",
    "records_not_walked",
    "laszip_vlr_missing",
    "laszip_vlr_malformed",
    "laszip_items_mismatch",
    "laszip_vlr_unmarked",
    "chunk_table_missing",
    "chunk_table_outside_file",
    "chunk_table_invalid",
    "chunk_table_at_end",
    "chunk_undecodable",
    "chunk_count_mismatch",
    "reserved_encoding_bits",
    "creation_date_invalid",
    "vlr_reserved_nonzero",
    "crs_missing",
    "wkt_bit_clear",
    "wkt_bit_without_wkt",
    "crs_record_repeated",
    "crs_unreadable",
    "crs_conflict",
    "extra_bytes_mismatch",
    "extra_bytes_undescribed",
    "copc_invalid",
    "return_number_zero",
    "return_above_count",
    "number_of_returns_zero",
    "points_outside_extents",
    "class_reserved",
    "gps_time_type_mismatch",
    "rgb_low_bits_only",
    "scan_angle_out_of_range",
};

// LASzip item types, by their number.
constexpr std::pair<unsigned, const char *> kItemNames[] = {
    {0, "BYTE"},       {6, "POINT10"}, {7, "GPSTIME11"},  {8, "RGB12"},         {9, "WAVEPACKET13"},
    {10, "POINT14"},   {11, "RGB14"},  {12, "RGBNIR14"},  {13, "WAVEPACKET14"}, {14, "BYTE14"},
};

// Indexed by tolvren_field; slot 0 is no field.
constexpr std::array<const char *, TOLVREN_FIELD_MAX + 1> kFieldNames = {
    nullptr, "point_count", "points_by_return", "legacy_point_count", "legacy_points_by_return", "min", "max",
};

template <std::size_t N>
const char *lookup(const std::array<const char *, N> &names, int code) {
    if (code <= 0 || static_cast<std::size_t>(code) >= N) return "unknown";
    return names[static_cast<std::size_t>(code)];
}

}  // namespace

extern "C" const char *tolvren_strerror(int code) noexcept {
    const ErrorText *error = find_error(code);
    return error ? error->sentence : "unknown error";
}

extern "C" const char *tolvren_error_name(int code) noexcept {
    const ErrorText *error = find_error(code);
    return error ? error->name : "unknown";
}

extern "C" const char *tolvren_finding_name(int code) noexcept { return lookup(kFindingNames, code); }

extern "C" const char *tolvren_field_name(int field) noexcept { return lookup(kFieldNames, field); }

extern "C" const char *tolvren_laszip_item_name(unsigned type) noexcept {
    for (const auto &[number, name] : kItemNames) {
        if (number == type) return name;
    }
    return nullptr;
}

extern "C" const char *tolvren_set_field_name(unsigned bit) noexcept {
    switch (bit) {
        case TOLVREN_SET_FILE_SOURCE_ID:
            return "file_source_id";
        case TOLVREN_SET_SYSTEM_IDENTIFIER:
            return "system_identifier";
        case TOLVREN_SET_GENERATING_SOFTWARE:
            return "generating_software";
        case TOLVREN_SET_CREATION_DATE:
            return "creation_date";
        case TOLVREN_SET_GUID:
            return "guid";
        case TOLVREN_SET_GPS_TIME_TYPE:
            return "gps_time_type";
        case TOLVREN_SET_WKT:
            return "wkt";
        default:
            return nullptr;
    }
}

extern "C" const char *tolvren_severity_name(int severity) noexcept {
    switch (severity) {
        case TOLVREN_WARNING:
            return "warning";
        case TOLVREN_ERROR:
            return "error";
        default:
            return "unknown";
    }
}
