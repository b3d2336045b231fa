// SPDX-License-Identifier: MIT
// Header API: the rules on what the VLRs and EVLRs say. Each rule reads the
// records decoded once by read_records and adds at most one finding, but
// for COPC, where each rule broken is named.

#include "tolvren_internal.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace tolvren::las {

namespace {

constexpr char kProjection[] = "LASF_Projection";

unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }

__attribute__((format(printf, 4, 5))) void add(FileFindings &findings, int severity, int code, const char *format,
                                               ...) {
    char text[sizeof(tolvren_finding{}.message)];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    findings.push_back(FileFinding{severity, code, text});
}

// "VLR 2 (LASF_Projection 34735)"
std::string record_name(const tolvren_record &record) {
    return std::string(record.extended ? "EVLR " : "VLR ") + std::to_string(record.index) + " (" + record.user_id +
           " " + std::to_string(record.record_id) + ")";
}

// LAS 1.0 called the reserved field the record signature and gave it
// 0xAABB; from 1.1 on it is 0.
void check_reserved(const tolvren_header &header, const Records &records, FileFindings &findings) {
    constexpr std::uint16_t kLas10Signature = 0xAABB;
    std::size_t count = 0;
    const tolvren_record *first = nullptr;
    for (const tolvren_record &record : records.list) {
        const bool allowed =
            record.reserved == 0 || (header.version_minor == 0 && !record.extended && record.reserved == kLas10Signature);
        if (allowed) continue;
        if (count++ == 0) first = &record;
    }
    if (!first) return;
    add(findings, TOLVREN_WARNING, TOLVREN_F_VLR_RESERVED_NONZERO,
        "%zu record%s a reserved field that is not 0; %s holds 0x%04X%s", count, count == 1 ? " has" : "s have",
        record_name(*first).c_str(), first->reserved,
        first->reserved == kLas10Signature ? " (LAS 1.0's record signature)" : "");
}

void check_crs(const tolvren_header &header, const Records &records, FileFindings &findings) {
    const tolvren_crs &crs = records.crs;
    const bool new_formats = header.point_format >= 6;
    if (new_formats && crs.wkt_records == 0) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_CRS_MISSING,
            "point format %u keeps its CRS in a WKT record (LASF_Projection 2112), and the file has none%s",
            header.point_format, crs.geotiff_records > 0 ? "; its GeoTIFF keys are not read for this format" : "");
    }
    if (new_formats && header.version_minor >= 4 && !crs.wkt_bit) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_WKT_BIT_CLEAR,
            "point format %u needs the WKT bit (4) of global encoding set; global encoding is 0x%04X",
            header.point_format, header.global_encoding);
    }
    // In formats 6-10 a missing WKT record is told above already.
    if (crs.wkt_bit && crs.wkt_records == 0 && !new_formats) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_WKT_BIT_WITHOUT_WKT,
            "the WKT bit of global encoding is set, but the file has no WKT record (LASF_Projection 2112)%s",
            crs.geotiff_records > 0 ? "; readers that follow the bit ignore its GeoTIFF keys" : "");
    }
    for (const std::uint16_t id : {std::uint16_t{2112}, std::uint16_t{34735}, std::uint16_t{34736}, std::uint16_t{34737}}) {
        const std::size_t count = count_records(records, kProjection, id);
        if (count > 1) {
            add(findings, TOLVREN_WARNING, TOLVREN_F_CRS_RECORD_REPEATED,
                "%zu records are LASF_Projection %u; readers may take any of them (the first is read here)", count,
                id);
            break;
        }
    }
    if (!records.crs_problems.empty()) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_CRS_UNREADABLE, "%s", records.crs_problems.front().c_str());
    }
    const auto conflict = [](std::uint32_t a, std::uint32_t b) { return a != 0 && b != 0 && a != b; };
    if (conflict(crs.geotiff_horizontal_epsg, crs.wkt_horizontal_epsg)) {
        add(findings, TOLVREN_ERROR, TOLVREN_F_CRS_CONFLICT,
            "the GeoTIFF keys name EPSG:%u and the WKT record EPSG:%u as the horizontal CRS",
            crs.geotiff_horizontal_epsg, crs.wkt_horizontal_epsg);
    } else if (conflict(crs.geotiff_vertical_epsg, crs.wkt_vertical_epsg)) {
        add(findings, TOLVREN_ERROR, TOLVREN_F_CRS_CONFLICT,
            "the GeoTIFF keys name EPSG:%u and the WKT record EPSG:%u as the vertical CRS", crs.geotiff_vertical_epsg,
            crs.wkt_vertical_epsg);
    }
}

void check_extra_bytes(const tolvren_header &header, const Records &records, FileFindings &findings) {
    if (!records.extra_bytes_found) {
        if (header.extra_bytes > 0) {
            add(findings, TOLVREN_WARNING, TOLVREN_F_EXTRA_BYTES_UNDESCRIBED,
                "each record has %u extra bytes, and no Extra Bytes VLR (LASF_Spec 4) says what they hold",
                header.extra_bytes);
        }
        return;
    }
    if (records.extra_bytes_problem) {
        add(findings, TOLVREN_ERROR, TOLVREN_F_EXTRA_BYTES_MISMATCH,
            "the Extra Bytes VLR is no whole number of 192-byte descriptors");
        return;
    }
    std::uint64_t described = 0;
    for (const tolvren_extra_dimension &dimension : records.extra_dimensions) {
        if (dimension.data_type > 30) {
            add(findings, TOLVREN_ERROR, TOLVREN_F_EXTRA_BYTES_MISMATCH,
                "the extra dimension \"%s\" has data type %u, which is not one of 0 to 30", dimension.name,
                dimension.data_type);
            return;
        }
        described += dimension.size;
    }
    if (described > header.extra_bytes) {
        add(findings, TOLVREN_ERROR, TOLVREN_F_EXTRA_BYTES_MISMATCH,
            "the Extra Bytes VLR describes %llu bytes a record, more than its %u extra bytes", ull(described),
            header.extra_bytes);
    } else if (described < header.extra_bytes) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_EXTRA_BYTES_MISMATCH,
            "the Extra Bytes VLR describes %llu of the %u extra bytes of a record", ull(described),
            header.extra_bytes);
    }
}

}  // namespace

void record_findings(const tolvren_header &header, const Records &records, FileFindings &findings) {
    check_reserved(header, records, findings);
    check_crs(header, records, findings);
    check_extra_bytes(header, records, findings);
    for (const std::string &problem : records.copc_problems) {
        add(findings, TOLVREN_ERROR, TOLVREN_F_COPC_INVALID, "%s", problem.c_str());
    }
}

}  // namespace tolvren::las
