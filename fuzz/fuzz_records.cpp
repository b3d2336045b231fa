// SPDX-License-Identifier: MIT
// The decoders of the VLRs and EVLRs on arbitrary bytes. The first byte says
// what the rest is: 0, WKT text; 1, a GeoTIFF key directory, its doubles and
// its text (split where the next two bytes say); 2, an Extra Bytes VLR;
// anything else, a whole file, read by tolvren_read_records and checked by
// tolvren_check_file. Whatever the bytes, nothing may be read outside them,
// every text must end, every count must hold what it counts, and a file
// whose header reads must have its records read and checked.
#include "repair_checks.h"
#include "tolvren_internal.h"
#include "tolvren_las.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using tolvren::las::Records;
using tolvren_fuzz::fail;

template <std::size_t N>
void check_ends(const char (&text)[N]) {
    if (std::memchr(text, '\0', N) == nullptr) fail("an unterminated text");
}

using S = tolvren_statistics;
constexpr tolvren_range S::*kRanges[] = {
    &S::return_number, &S::number_of_returns, &S::classification, &S::synthetic, &S::key_point,
    &S::withheld, &S::overlap, &S::scanner_channel, &S::scan_direction, &S::edge_of_flight_line,
    &S::scan_angle, &S::scan_angle_degrees, &S::user_data, &S::point_source_id, &S::gps_time,
    &S::intensity, &S::red, &S::green, &S::blue, &S::nir,
};

// The same number twice, NaN included.
bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Every point read with every field: the point checks run, and the
// statistics are the same on one thread and two, their scan that of
// tolvren_scan_points.
void check_points(const std::string &path) {
    tolvren_report report;
    if (tolvren_check_file(path.c_str(), TOLVREN_CHECK_SCAN | TOLVREN_CHECK_POINTS, nullptr, nullptr, &report,
                           nullptr) != TOLVREN_OK) {
        fail("a readable file cannot be checked with its points");
    }
    tolvren_fuzz::check_report(report);
    const auto one = std::make_unique<tolvren_statistics>();
    const auto two = std::make_unique<tolvren_statistics>();
    const int code = tolvren_compute_statistics(path.c_str(), 1, nullptr, nullptr, one.get(), nullptr);
    if (tolvren_compute_statistics(path.c_str(), 2, nullptr, nullptr, two.get(), nullptr) != code) {
        fail("the statistics fail on one thread and not on two");
    }
    if (code != TOLVREN_OK) return;
    tolvren_scan scan;
    if (tolvren_scan_points(path.c_str(), nullptr, nullptr, nullptr, &scan, nullptr) != TOLVREN_OK ||
        scan.records != one->scan.records || std::memcmp(scan.return_histogram, one->scan.return_histogram,
                                                         sizeof scan.return_histogram) != 0) {
        fail("the statistics' scan is not the scan's");
    }
    bool equal = std::memcmp(one->classes, two->classes, sizeof one->classes) == 0 &&
                 std::memcmp(one->returns, two->returns, sizeof one->returns) == 0 &&
                 one->source_count == two->source_count && one->outside_extents == two->outside_extents;
    for (tolvren_range tolvren_statistics::*field : kRanges) {
        const tolvren_range &a = (*one).*field, &b = (*two).*field;
        equal = equal && a.present == b.present && same(a.min, b.min) && same(a.max, b.max);
    }
    for (std::size_t i = 0; i < one->source_count && i < TOLVREN_STATS_MAX_SOURCES; ++i) {
        equal = equal && one->sources[i].id == two->sources[i].id && one->sources[i].points == two->sources[i].points;
    }
    if (!equal) fail("the statistics depend on the number of threads");
}

void check_geokeys(const Records &records, std::size_t directory, std::size_t doubles, std::size_t ascii) {
    if (records.geokeys.size() > directory / 8) fail("more keys than the directory holds");
    for (const tolvren_geokey &key : records.geokeys) {
        check_ends(key.text);
        if (!key.value_found) continue;
        if (key.location == 34736 && (key.count == 0 || std::size_t{key.value_offset} + key.count > doubles / 8)) {
            fail("a double found outside its record");
        }
        if (key.location == 34737 && std::size_t{key.value_offset} + key.count > ascii) fail("text found outside its record");
    }
}

void check_dimensions(const Records &records, std::size_t size) {
    if (records.extra_dimensions.size() != size / 192) fail("a descriptor more or less than the bytes hold");
    std::uint64_t position = 0;
    for (const tolvren_extra_dimension &d : records.extra_dimensions) {
        check_ends(d.name);
        check_ends(d.description);
        if (d.record_offset != position || d.size > 255 || d.components > 3) fail("a dimension out of place");
        position += d.size;
    }
}

void check_file(const std::uint8_t *data, std::size_t size) {
    const std::string path = tolvren_fuzz::scratch_dir() + "/input.las";
    tolvren_fuzz::write_input(path, data, size);
    tolvren_header header;
    const int read_code = tolvren_read_header(path.c_str(), &header, nullptr);
    const auto records = std::make_unique<tolvren_records>();
    tolvren_detail detail;
    if (tolvren_read_records(path.c_str(), records.get(), &detail) != read_code) fail("header and records disagree");
    check_ends(detail.message);
    if (read_code != TOLVREN_OK) return;
    if (std::memcmp(&records->header, &header, sizeof header) != 0) fail("the records' header is another");
    const tolvren_records &r = *records;
    if (r.vlr_count > header.number_of_vlrs || r.evlr_count > header.number_of_evlrs ||
        r.listed != std::min<std::size_t>(r.vlr_count + r.evlr_count, TOLVREN_MAX_LISTED_RECORDS)) {
        fail("records listed that the header does not count");
    }
    for (std::size_t i = 0; i < r.listed; ++i) {
        const tolvren_record &record = r.records[i];
        check_ends(record.user_id);
        check_ends(record.description);
        if (record.data_offset != record.offset + (record.extended ? 60 : 54)) fail("a record's data out of place");
    }
    check_ends(r.wkt);
    if (std::strlen(r.wkt) > r.wkt_length) fail("more WKT than counted");
    const tolvren_copc &copc = r.copc;
    std::uint64_t points = 0;
    for (std::size_t level = 0; level < TOLVREN_COPC_MAX_LEVELS; ++level) {
        if (level >= copc.levels && (copc.nodes[level] || copc.points[level])) fail("a COPC level beyond the count");
        points += copc.points[level];
    }
    if (points != copc.hierarchy_points) fail("the COPC levels do not add up");
    check_ends(copc.problem);
    tolvren_report report;
    if (tolvren_check_file(path.c_str(), 0, nullptr, nullptr, &report, nullptr) != TOLVREN_OK) {
        fail("a readable file cannot be checked");
    }
    tolvren_fuzz::check_report(report);
    check_points(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    const std::uint8_t mode = data[0];
    const std::vector<unsigned char> rest(data + 1, data + size);
    Records records;
    switch (mode) {
        case 0:
            tolvren::las::decode_wkt(std::string(rest.begin(), rest.end()), records);
            check_ends(records.crs.linear_unit_name);
            check_ends(records.crs.vertical_unit_name);
            return 0;
        case 1: {
            if (rest.size() < 2) return 0;
            const std::size_t first = std::min<std::size_t>(rest[0] * 8u, rest.size() - 2);
            const std::size_t second = std::min<std::size_t>(rest[1] * 8u, rest.size() - 2 - first);
            const auto at = rest.begin() + 2;
            const std::vector<unsigned char> directory(at, at + static_cast<std::ptrdiff_t>(first));
            const std::vector<unsigned char> doubles(at + static_cast<std::ptrdiff_t>(first),
                                                     at + static_cast<std::ptrdiff_t>(first + second));
            const std::vector<unsigned char> ascii(at + static_cast<std::ptrdiff_t>(first + second), rest.end());
            tolvren::las::decode_geokeys(directory, doubles, ascii, records);
            check_geokeys(records, directory.size(), doubles.size(), ascii.size());
            return 0;
        }
        case 2:
            tolvren::las::decode_extra_bytes(rest, records);
            check_dimensions(records, rest.size());
            return 0;
        default:
            check_file(data + 1, size - 1);
            return 0;
    }
}
