// SPDX-License-Identifier: MIT
// Header API: checking a header against its file and its point records.
//
// A finding is an error when the header is wrong about the file (a reader
// trusting it goes astray), a warning when it breaks a rule that readers
// tolerate. The checks run in a fixed order, so a report reads the same
// every time.

#include "tolvren_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#include <utility>

namespace tolvren::las {

namespace {

constexpr std::uint64_t kMaxLegacyCount = std::numeric_limits<std::uint32_t>::max();

// The last point format each minor version 1.0-1.4 defines.
constexpr std::array<std::uint8_t, 5> kLastFormatOfVersion = {1, 1, 3, 5, 10};


constexpr const char *kAxisNames[3] = {"X", "Y", "Z"};

// The by-return slots a version's header holds: 15 in 1.4, 5 before.
std::size_t return_slots(const tolvren_header &header) { return header.version_minor >= 4 ? 15 : 5; }

std::uint64_t saturating_sum(const std::uint64_t *values, std::size_t count) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (values[i] > std::numeric_limits<std::uint64_t>::max() - sum) return std::numeric_limits<std::uint64_t>::max();
        sum += values[i];
    }
    return sum;
}

unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }

// Fills a caller's report, counting every finding and holding as many as fit.
class Report {
public:
    explicit Report(tolvren_report &out) : out_(out) {}

    __attribute__((format(printf, 4, 5))) void add(int severity, int code, const char *format, ...) {
        (severity == TOLVREN_ERROR ? out_.errors : out_.warnings) += 1;
        if (out_.count >= TOLVREN_MAX_FINDINGS) return;
        tolvren_finding &finding = out_.findings[out_.count++];
        finding.severity = severity;
        finding.code = code;
        va_list args;
        va_start(args, format);
        std::vsnprintf(finding.message, sizeof finding.message, format, args);
        va_end(args);
    }

private:
    tolvren_report &out_;
};

// VLRs that do not end by OffsetToData, or by the end of the file when
// OffsetToData lies beyond it (the limit the walk goes to); OffsetToData is
// known to lie after the header. The walk refuses a count whose headers
// alone pass the limit before reading one; else it stops at the first
// record that passes it.
void check_vlr_walk(const tolvren_header &h, Report &report) {
    const std::uint64_t offset = h.offset_to_point_data;
    const bool offset_in_file = offset <= h.file_size;
    std::array<char, 64> limit{};
    std::snprintf(limit.data(), limit.size(), offset_in_file ? "OffsetToData %llu" : "the end of the file (%llu bytes)",
                  ull(offset_in_file ? offset : h.file_size));
    const std::uint64_t room = (offset_in_file ? offset : h.file_size) - h.header_size;
    if (std::uint64_t{h.number_of_vlrs} * internal::kVlrHeaderBytes > room) {
        report.add(TOLVREN_ERROR, TOLVREN_F_VLRS_PAST_OFFSET,
                   "the header counts %u VLRs, whose %zu-byte headers alone run past %s; the walk stopped before "
                   "the first, at byte %llu",
                   h.number_of_vlrs, internal::kVlrHeaderBytes, limit.data(), ull(h.vlr_end));
    } else {
        const bool one = h.number_of_vlrs == 1;
        report.add(TOLVREN_ERROR, TOLVREN_F_VLRS_PAST_OFFSET, "the %u VLR%s past %s; the walk stopped at byte %llu",
                   h.number_of_vlrs, one ? " runs" : "s run", limit.data(), ull(h.vlr_end));
    }
}

// Where the point data, the VLRs, the EVLRs and the waveform data lie.
void check_layout(const tolvren_header &h, Report &report) {
    const std::uint64_t offset = h.offset_to_point_data;
    if (offset < h.header_size) {
        report.add(TOLVREN_ERROR, TOLVREN_F_OFFSET_INSIDE_HEADER,
                   "OffsetToData %llu lies inside the %u-byte header", ull(offset), h.header_size);
    } else if (h.vlr_problem == TOLVREN_WALK_PAST_END) {
        check_vlr_walk(h, report);
    }
    if (offset > h.file_size) {
        report.add(TOLVREN_ERROR, TOLVREN_F_POINT_DATA_OUTSIDE_FILE,
                   "OffsetToData %llu lies beyond the end of the file (%llu bytes)", ull(offset), ull(h.file_size));
    }
    if (h.evlr_problem == TOLVREN_WALK_PAST_END) {
        if (h.start_of_first_evlr < offset || h.start_of_first_evlr < h.header_size) {
            report.add(TOLVREN_ERROR, TOLVREN_F_EVLRS_OUTSIDE_FILE,
                       "the first EVLR starts at byte %llu, before the point data at %llu",
                       ull(h.start_of_first_evlr), ull(offset));
        } else {
            report.add(TOLVREN_ERROR, TOLVREN_F_EVLRS_OUTSIDE_FILE,
                       "the %u EVLRs from byte %llu run past the end of the file (%llu bytes)", h.number_of_evlrs,
                       ull(h.start_of_first_evlr), ull(h.file_size));
        }
    }
    if (waveform_in_file(h) &&
        (h.start_of_waveform_data < offset || h.start_of_waveform_data > h.file_size)) {
        report.add(TOLVREN_ERROR, TOLVREN_F_WAVEFORM_OUTSIDE_FILE,
                   "waveform data are said to be in the file, but their start %llu is not between the point data "
                   "(%llu) and the end of the file (%llu)",
                   ull(h.start_of_waveform_data), ull(offset), ull(h.file_size));
    }
}

// Whole records between OffsetToData and the end of the point region against
// the stored count. Returns whether a count finding was made.
bool check_records(const tolvren_header &h, Report &report) {
    const std::uint64_t offset = h.offset_to_point_data;
    // Compressed records have no fixed length; beyond the file there are none.
    if (h.compressed || offset > h.point_region_end) return false;
    const std::uint64_t region = h.point_region_end - offset;
    const std::uint64_t whole = region / h.point_record_length;
    const std::uint64_t remainder = region % h.point_record_length;
    const bool at_end = h.point_region_end == h.file_size;
    const char *end_name = at_end ? "the end of the file" : "the first EVLR or the waveform data";
    bool counted = false;
    if (h.point_count > whole) {
        report.add(TOLVREN_ERROR, TOLVREN_F_FEWER_RECORDS_THAN_COUNT,
                   "the header counts %llu point records, but only %llu whole records of %u bytes lie between "
                   "OffsetToData and %s",
                   ull(h.point_count), ull(whole), h.point_record_length, end_name);
        counted = true;
    } else if (h.point_count < whole) {
        report.add(TOLVREN_ERROR, TOLVREN_F_MORE_RECORDS_THAN_COUNT,
                   "the header counts %llu point records, but %llu whole records of %u bytes lie between "
                   "OffsetToData and %s",
                   ull(h.point_count), ull(whole), h.point_record_length, end_name);
        counted = true;
    }
    if (remainder != 0) {
        // At the end of the file stray bytes harm no reader; before the
        // EVLRs or the waveform data they mean a start is wrong.
        report.add(at_end ? TOLVREN_WARNING : TOLVREN_ERROR, TOLVREN_F_TRAILING_BYTES,
                   "%llu bytes after the last whole point record before %s", ull(remainder), end_name);
    }
    return counted;
}

void check_counts(const tolvren_header &h, const tolvren_scan *scan, Report &report) {
    const std::uint64_t sum = saturating_sum(h.points_by_return, return_slots(h));
    if (sum > h.point_count) {
        report.add(TOLVREN_ERROR, TOLVREN_F_BY_RETURN_SUM_ABOVE_COUNT,
                   "the by-return counts add up to %llu, more than the %llu points counted", ull(sum),
                   ull(h.point_count));
    } else if (sum < h.point_count) {
        // Points with return number 0 (or 6 and 7 in formats 0-5) count in
        // no slot, so a smaller sum can be right.
        report.add(TOLVREN_WARNING, TOLVREN_F_BY_RETURN_SUM_BELOW_COUNT,
                   "the by-return counts add up to %llu, fewer than the %llu points counted", ull(sum),
                   ull(h.point_count));
    }
    if (h.version_minor < 4) return;

    // The legacy fields against the points when they were scanned, else
    // against the header's own 64-bit counts.
    const std::uint64_t count = scan ? scan->records : h.point_count_64;
    const std::uint64_t *by_return = scan ? scan->points_by_return : h.points_by_return_64;
    const char *against = scan ? "the point records" : "the 64-bit counts";
    switch (judge_legacy(h, count, by_return)) {
        case Legacy::as_required:
            break;
        case Legacy::mirrored:
            report.add(TOLVREN_WARNING, TOLVREN_F_LEGACY_MIRRORED,
                       "the legacy point counts mirror %s, where LAS 1.4 asks for 0 (point format %u%s)", against,
                       h.point_format, count > kMaxLegacyCount ? ", more than 4294967295 points" : "");
            break;
        case Legacy::wrong:
            if (legacy_must_mirror(h, count)) {
                report.add(TOLVREN_ERROR, TOLVREN_F_LEGACY_MISMATCH,
                           "the legacy point counts (%u; %u, %u, %u, %u, %u) do not mirror %s (%llu; %llu, %llu, "
                           "%llu, %llu, %llu)",
                           h.legacy_point_count, h.legacy_points_by_return[0], h.legacy_points_by_return[1],
                           h.legacy_points_by_return[2], h.legacy_points_by_return[3], h.legacy_points_by_return[4],
                           against, ull(count), ull(by_return[0]), ull(by_return[1]), ull(by_return[2]),
                           ull(by_return[3]), ull(by_return[4]));
            } else {
                report.add(TOLVREN_ERROR, TOLVREN_F_LEGACY_MISMATCH,
                           "the legacy point counts (%u; %u, %u, %u, %u, %u) are neither 0, as LAS 1.4 asks for "
                           "point format %u with %llu points, nor a mirror of %s",
                           h.legacy_point_count, h.legacy_points_by_return[0], h.legacy_points_by_return[1],
                           h.legacy_points_by_return[2], h.legacy_points_by_return[3], h.legacy_points_by_return[4],
                           h.point_format, ull(count), against);
            }
            break;
    }
}

void check_numbers(const tolvren_header &h, Report &report) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
        if (!(h.min[axis] <= h.max[axis])) {
            // Without points the extents describe nothing.
            report.add(h.point_count > 0 ? TOLVREN_ERROR : TOLVREN_WARNING, TOLVREN_F_MIN_ABOVE_MAX, "%s",
                       crossed_extent(axis, h.min[axis], h.max[axis]).c_str());
        }
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
        if (!scale_usable(h.scale[axis])) {
            report.add(TOLVREN_ERROR, TOLVREN_F_BAD_SCALE,
                       "the %s scale factor %s turns no raw value into a coordinate", kAxisNames[axis],
                       double_text(h.scale[axis]).c_str());
        } else if (!std::isfinite(h.offset[axis])) {
            report.add(TOLVREN_ERROR, TOLVREN_F_BAD_SCALE, "the %s offset %s turns no raw value into a coordinate",
                       kAxisNames[axis], double_text(h.offset[axis]).c_str());
        }
    }
    if (h.point_format > kLastFormatOfVersion[h.version_minor]) {
        report.add(TOLVREN_WARNING, TOLVREN_F_FORMAT_NOT_IN_VERSION,
                   "point data format %u is not defined in LAS 1.%u, which stops at format %u", h.point_format,
                   h.version_minor, kLastFormatOfVersion[h.version_minor]);
    }
}

void check_against_scan(const tolvren_header &h, const tolvren_scan &scan, bool counted, Report &report) {
    // A count already found wrong against the size of the point region is
    // not reported twice.
    if (!counted && scan.records != h.point_count) {
        report.add(TOLVREN_ERROR, TOLVREN_F_POINT_COUNT_MISMATCH, "the header counts %llu points, %s %llu",
                   ull(h.point_count), h.compressed ? "the chunks decode to" : "the point records hold",
                   ull(scan.records));
    }
    const std::size_t slots = return_slots(h);
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = slots; i-- > 0;) {
        if (h.points_by_return[i] != scan.points_by_return[i]) {
            ++differing;
            first = i;
        }
    }
    if (differing > 0) {
        report.add(TOLVREN_ERROR, TOLVREN_F_BY_RETURN_MISMATCH,
                   "%zu by-return count%s differ%s from the point records; return %zu: header %llu, points %llu",
                   differing, differing == 1 ? "" : "s", differing == 1 ? "s" : "", first + 1,
                   ull(h.points_by_return[first]), ull(scan.points_by_return[first]));
    }
    if (scan.records == 0) return;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        // A bad scale or offset has been reported already; no extent follows
        // from it.
        if (!axis_usable(h, axis)) continue;
        if (!scanned_extents_usable(h, scan, axis)) {
            report.add(TOLVREN_ERROR, TOLVREN_F_BAD_SCALE,
                       "the %s scale factor %s and offset %s take the points' coordinates beyond the range of a "
                       "double",
                       kAxisNames[axis], double_text(h.scale[axis]).c_str(), double_text(h.offset[axis]).c_str());
            continue;
        }
        if (extent_off(h.min[axis], scan.real_min[axis], h.scale[axis]) ||
            extent_off(h.max[axis], scan.real_max[axis], h.scale[axis])) {
            // A negative scale mirrors the axis; its step is as long as
            // a positive one's.
            report.add(TOLVREN_ERROR, TOLVREN_F_EXTENT_MISMATCH,
                       "the %s extent [%s, %s] is more than half a scale step of %s from the points' [%s, %s]",
                       kAxisNames[axis], double_text(h.min[axis]).c_str(), double_text(h.max[axis]).c_str(),
                       double_text(std::fabs(h.scale[axis])).c_str(), double_text(scan.real_min[axis]).c_str(),
                       double_text(scan.real_max[axis]).c_str());
        }
    }
}

// The walks of the headers that stopped at their limit: what lies after was
// not looked at.
void check_walks(const tolvren_header &h, Report &report) {
    if (h.vlr_problem == TOLVREN_WALK_TOO_MANY) {
        report.add(TOLVREN_WARNING, TOLVREN_F_RECORDS_NOT_WALKED,
                   "the header counts %u VLRs; only the first %u, to byte %llu, were walked", h.number_of_vlrs,
                   TOLVREN_MAX_WALKED_RECORDS, ull(h.vlr_end));
    }
    if (h.evlr_problem == TOLVREN_WALK_TOO_MANY) {
        report.add(TOLVREN_WARNING, TOLVREN_F_RECORDS_NOT_WALKED,
                   "the header counts %u EVLRs; only the first %u, to byte %llu, were walked", h.number_of_evlrs,
                   TOLVREN_MAX_WALKED_RECORDS, ull(h.evlr_end));
    }
}

// Global-encoding bits each minor version defines: 1.2 the GPS time type
// (bit 0); 1.3 the waveform data inside (1) and outside (2) the file and
// synthetic return numbers (3); 1.4 the WKT CRS (4). 1.0 and 1.1 reserve the
// field, and the reader reads it as 0 there.
constexpr std::array<std::uint16_t, 5> kDefinedEncodingBits = {0x0000, 0x0000, 0x0001, 0x000F, 0x001F};

// The earliest year a LAS file can have been made in (the format is younger).
constexpr unsigned kFirstYear = 1990;

// Today as the year and the day of the year (1 January is 1), in UTC.
std::pair<unsigned, unsigned> today() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    return {static_cast<unsigned>(utc.tm_year + 1900), static_cast<unsigned>(utc.tm_yday + 1)};
}

// The fields that describe the file rather than its points.
void check_descriptive(const tolvren_header &h, Report &report) {
    const std::uint16_t reserved = static_cast<std::uint16_t>(h.global_encoding & ~kDefinedEncodingBits[h.version_minor]);
    if (reserved != 0) {
        report.add(TOLVREN_WARNING, TOLVREN_F_RESERVED_ENCODING_BITS,
                   "global encoding 0x%04X sets bits that LAS 1.%u reserves (0x%04X)", h.global_encoding,
                   h.version_minor, reserved);
    }
    const auto [year, day] = today();
    const unsigned file_year = h.creation_year;
    const unsigned file_day = h.creation_day;
    if (file_year == 0 && file_day == 0) {
        report.add(TOLVREN_WARNING, TOLVREN_F_CREATION_DATE_INVALID,
                   "the creation date is not set (day 0 of year 0)");
    } else if (file_day > 366) {
        report.add(TOLVREN_WARNING, TOLVREN_F_CREATION_DATE_INVALID, "the creation day %u is beyond the 366 days of a year",
                   file_day);
    } else if (file_year < kFirstYear) {
        report.add(TOLVREN_WARNING, TOLVREN_F_CREATION_DATE_INVALID, "the creation year %u is before %u", file_year,
                   kFirstYear);
    } else if (file_year > year || (file_year == year && file_day > day + 1)) {
        // A day's grace: the writer's clock may be a time zone ahead.
        report.add(TOLVREN_WARNING, TOLVREN_F_CREATION_DATE_INVALID,
                   "the creation date, day %u of %u, is after today (day %u of %u)", file_day, file_year, day, year);
    }
}

// `not_scanned`, when not NULL, says why a scan that was asked for could not
// be made.
void check(const tolvren_header &header, const tolvren_scan *scan, tolvren_report &out,
           const char *not_scanned = nullptr) {
    out = tolvren_report{};
    Report report(out);
    check_layout(header, report);
    const bool counted = check_records(header, report);
    check_counts(header, scan, report);
    check_numbers(header, report);
    if (scan) check_against_scan(header, *scan, counted, report);
    if (not_scanned) report.add(TOLVREN_WARNING, TOLVREN_F_NOT_SCANNED, "%s", not_scanned);
    check_walks(header, report);
    check_descriptive(header, report);
}

// Adds what reading the file found, and puts the whole report in the order
// of the codes (findings of one code keep their order).
void add_file_findings(FileFindings &findings, tolvren_report &out) {
    Report report(out);
    for (const FileFinding &finding : findings) report.add(finding.severity, finding.code, "%s", finding.message.c_str());
    std::stable_sort(out.findings, out.findings + out.count,
                     [](const tolvren_finding &a, const tolvren_finding &b) { return a.code < b.code; });
}

int check_file(const char *path, unsigned flags, unsigned threads, tolvren_progress_fn progress, void *user,
               tolvren_report &out, tolvren_detail *detail) {
    OpenedFile file;
    tolvren_header header;
    HeaderImage image;
    int code = open_and_read_header(path, file, header, image, detail);
    if (code != TOLVREN_OK) return code;
    FileFindings findings;
    Records records;
    code = read_records(file.fd.get(), path, header, records, detail);
    if (code != TOLVREN_OK) return code;
    record_findings(header, records, findings);
    const bool scan_points = (flags & TOLVREN_CHECK_SCAN) != 0;
    const bool read_points = (flags & TOLVREN_CHECK_POINTS) != 0;
    // Reading a compressed file's points finds the VLR's problems itself.
    if (!((scan_points || read_points) && header.compressed)) laszip_vlr_findings(file.fd.get(), header, findings);
    if (!scan_points && !read_points) {
        check(header, nullptr, out);
        add_file_findings(findings, out);
        return TOLVREN_OK;
    }
    tolvren_scan scan;
    tolvren_detail scan_detail;
    // The statistics pass reads every field, the returns and coordinates
    // among them: with both flags it serves the scan too, and the points
    // are read once.
    std::unique_ptr<tolvren_statistics> statistics;
    if (read_points) {
        statistics = std::make_unique<tolvren_statistics>();
        code = statistics_fd(file.fd.get(), header, records, threads, progress, user, path, *statistics,
                             &scan_detail, &findings);
        scan = statistics->scan;
    } else {
        code = scan_fd(file.fd.get(), header, threads, progress, user, path, scan, &scan_detail, &findings);
    }
    if (code == TOLVREN_OK) {
        check(header, scan_points ? &scan : nullptr, out);
        if (read_points) point_findings(header, *statistics, findings);
    } else if (code == TOLVREN_ECOMPRESSED || code == TOLVREN_ELAYOUT) {
        // The header alone is still checked; the report says why the
        // points were not.
        check(header, nullptr, out,
              code == TOLVREN_ECOMPRESSED ? "the compressed points cannot be decoded and were not scanned"
                                          : "the point records lie outside the file and were not scanned");
    } else if (code == TOLVREN_ECORRUPT) {
        // Damaged chunks: their findings say so, and the points that did
        // decode are no measure of the header.
        check(header, nullptr, out);
    } else {
        if (detail) *detail = scan_detail;
        return code;
    }
    add_file_findings(findings, out);
    return TOLVREN_OK;
}

}  // namespace

bool legacy_must_mirror(const tolvren_header &header, std::uint64_t count) noexcept {
    return header.point_format <= 5 && count <= kMaxLegacyCount;
}

Legacy judge_legacy(const tolvren_header &header, std::uint64_t count, const std::uint64_t *by_return) noexcept {
    bool mirror = count <= kMaxLegacyCount && header.legacy_point_count == count;
    bool zero = header.legacy_point_count == 0;
    for (std::size_t i = 0; i < 5; ++i) {
        mirror = mirror && header.legacy_points_by_return[i] == by_return[i];
        zero = zero && header.legacy_points_by_return[i] == 0;
    }
    if (legacy_must_mirror(header, count)) return mirror ? Legacy::as_required : Legacy::wrong;
    if (zero) return Legacy::as_required;
    return mirror ? Legacy::mirrored : Legacy::wrong;
}

bool extent_off(double stored, double scanned, double scale) noexcept {
    // The same bits are never off, even where the arithmetic below cannot
    // tell (infinities and NaNs from a non-finite offset).
    if (std::memcmp(&stored, &scanned, sizeof stored) == 0) return false;
    const long double distance = std::fabs(static_cast<long double>(stored) - static_cast<long double>(scanned));
    return !(distance <= 0.5L * std::fabs(static_cast<long double>(scale)));
}

ExtentText crossed_extent(std::size_t axis, double min, double max) noexcept {
    ExtentText out;
    const char *const name = kAxisNames[axis];
    if (std::isnan(min) || std::isnan(max)) {
        const char *which = !std::isnan(max)   ? "minimum is"
                            : !std::isnan(min) ? "maximum is"
                                               : "minimum and maximum are";
        std::snprintf(out.text.data(), out.text.size(), "the %s %s not a number", name, which);
    } else {
        std::snprintf(out.text.data(), out.text.size(), "the %s extent runs from %s down to %s", name,
                      double_text(min).c_str(), double_text(max).c_str());
    }
    return out;
}

bool scale_usable(double scale) noexcept { return std::isfinite(scale) && scale != 0.0; }

bool axis_usable(const tolvren_header &header, std::size_t axis) noexcept {
    return scale_usable(header.scale[axis]) && std::isfinite(header.offset[axis]);
}

bool scanned_extents_usable(const tolvren_header &header, const tolvren_scan &scan, std::size_t axis) noexcept {
    return axis_usable(header, axis) && std::isfinite(scan.real_min[axis]) && std::isfinite(scan.real_max[axis]);
}

}  // namespace tolvren::las

using namespace tolvren::las;

extern "C" int tolvren_check_header(const tolvren_header *header, const tolvren_scan *scan,
                                    tolvren_report *out) noexcept {
    if (!header || !out) return TOLVREN_EINVAL;
    if (!header_well_formed(*header)) return TOLVREN_EINVAL;
    check(*header, scan, *out);
    return TOLVREN_OK;
}

extern "C" int tolvren_check_file(const char *path, unsigned flags, tolvren_progress_fn progress, void *user,
                                  tolvren_report *out, tolvren_detail *detail) noexcept {
    return tolvren_check_file_mt(path, flags, 1, progress, user, out, detail);
}

extern "C" int tolvren_check_file_mt(const char *path, unsigned flags, unsigned threads, tolvren_progress_fn progress,
                                     void *user, tolvren_report *out, tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    if ((flags & ~(TOLVREN_CHECK_SCAN | TOLVREN_CHECK_POINTS)) != 0) return fail(detail, TOLVREN_EINVAL, 0, path, "unknown flags %#x", flags);
    try {
        return check_file(path, flags, threads, progress, user, *out, detail);
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while checking the file");
    }
}
