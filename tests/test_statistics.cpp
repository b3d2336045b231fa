// SPDX-License-Identifier: MIT
// The statistics of the point records: the sample files against the return
// histograms of the independent readers (headers.json, decoded.json) and
// against what a small record parser here finds in their bytes; LAZ files
// against their uncompressed twins; one thread against three; each point
// finding of TOLVREN_CHECK_POINTS on a crafted file. The sample files are
// skipped when ../shared is absent.
#include "tolvren_las.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using tolvren_test::Bytes;
using tolvren_test::get;
using tolvren_test::LasFile;
using tolvren_test::put;
namespace fs = std::filesystem;

const fs::path kShared = fs::path(TOLVREN_SHARED_LAS_DIR).parent_path();

std::unique_ptr<tolvren_statistics> statistics_of(const std::string &path, unsigned threads = 1) {
    auto out = std::make_unique<tolvren_statistics>();
    tolvren_detail detail;
    EXPECT_EQ(tolvren_compute_statistics(path.c_str(), threads, nullptr, nullptr, out.get(), &detail), TOLVREN_OK)
        << detail.message;
    return out;
}

// Every number of a result as text, so that two results compare whole and
// a difference shows where it is. The region of the points is left out: a
// LAZ file's ends with its chunks.
std::string describe(const tolvren_statistics &s) {
    std::string text;
    const auto add = [&](const char *name, double value) {
        char line[96];
        std::snprintf(line, sizeof line, "%s %.17g\n", name, value);
        text += line;
    };
    const auto range = [&](const char *name, const tolvren_range &r) {
        add(name, r.present);
        add(name, r.min);
        add(name, r.max);
    };
    add("records", static_cast<double>(s.scan.records));
    for (std::size_t a = 0; a < 3; ++a) {
        add("raw", s.scan.raw_min[a]), add("raw", s.scan.raw_max[a]);
        add("real", s.scan.real_min[a]), add("real", s.scan.real_max[a]);
    }
    for (const tolvren_range *r : {&s.return_number, &s.number_of_returns, &s.classification, &s.synthetic,
                                   &s.key_point, &s.withheld, &s.overlap, &s.scanner_channel, &s.scan_direction,
                                   &s.edge_of_flight_line, &s.scan_angle, &s.scan_angle_degrees, &s.user_data,
                                   &s.point_source_id, &s.gps_time, &s.intensity, &s.red, &s.green, &s.blue,
                                   &s.nir}) {
        range("range", *r);
    }
    for (std::uint64_t count : {s.synthetic_points, s.key_point_points, s.withheld_points, s.overlap_points,
                                s.other_source_points, s.return_number_zero, s.return_above_count,
                                s.number_of_returns_zero, s.outside_extents, s.reserved_class, s.scan_angle_outside}) {
        add("count", static_cast<double>(count));
    }
    add("distance", s.outside_distance);
    for (std::size_t c = 0; c < 256; ++c) add("class", static_cast<double>(s.classes[c]));
    for (std::size_t n = 0; n < 16; ++n) {
        for (std::size_t r = 0; r < 16; ++r) add("returns", static_cast<double>(s.returns[n][r]));
    }
    add("sources", static_cast<double>(s.source_ids));
    for (std::size_t i = 0; i < s.source_count; ++i) add("source", s.sources[i].id), add("of", static_cast<double>(s.sources[i].points));
    for (std::size_t i = 0; i < std::min<std::size_t>(s.extra_count, TOLVREN_STATS_MAX_EXTRA); ++i) {
        for (std::size_t c = 0; c < s.extra[i].components; ++c) {
            add(s.extra[i].name, static_cast<double>(s.extra[i].values[c]));
            add(s.extra[i].name, s.extra[i].min[c]), add(s.extra[i].name, s.extra[i].max[c]);
        }
    }
    return text;
}

// What the records hold, read straight from their bytes by the layout of
// each point format.
struct Expected {
    std::uint64_t records = 0;
    std::map<std::string, std::pair<double, double>> ranges;
    std::uint64_t synthetic = 0, key_point = 0, withheld = 0, overlap = 0;
    std::array<std::uint64_t, 256> classes{};
    std::set<unsigned> sources;

    void see(const std::string &field, double value) {
        auto [at, fresh] = ranges.try_emplace(field, value, value);
        if (!fresh) at->second = {std::min(at->second.first, value), std::max(at->second.second, value)};
    }
};

Expected parse_records(const Bytes &file, std::size_t start, std::uint64_t count) {
    const unsigned format = file[104] & 0x3F;
    const std::size_t length = get<std::uint16_t>(file, 105);
    const bool legacy = format <= 5;
    const std::size_t gps = format == 1 || (format >= 3 && format <= 5) ? 20 : format >= 6 ? 22 : 0;
    const std::size_t rgb = format == 2 ? 20 : format == 3 || format == 5 ? 28 : format == 7 || format == 8 || format == 10 ? 30 : 0;
    Expected e;
    e.records = count;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t at = start + i * length;
        const unsigned returns = file[at + 14];
        e.see("intensity", get<std::uint16_t>(file, at + 12));
        e.see("user_data", file[at + 17]);
        if (legacy) {
            const unsigned c = file[at + 15];
            ++e.classes[c & 31];
            e.synthetic += (c >> 5) & 1, e.key_point += (c >> 6) & 1, e.withheld += (c >> 7) & 1;
            e.see("scan_angle", static_cast<std::int8_t>(file[at + 16]));
            e.see("scan_direction", (returns >> 6) & 1);
            e.sources.insert(get<std::uint16_t>(file, at + 18));
        } else {
            const unsigned flags = file[at + 15];
            ++e.classes[file[at + 16]];
            e.synthetic += flags & 1, e.key_point += (flags >> 1) & 1, e.withheld += (flags >> 2) & 1;
            e.overlap += (flags >> 3) & 1;
            e.see("scanner_channel", (flags >> 4) & 3);
            e.see("scan_direction", (flags >> 6) & 1);
            e.see("scan_angle", get<std::int16_t>(file, at + 18));
            e.sources.insert(get<std::uint16_t>(file, at + 20));
        }
        if (gps && !std::isnan(get<double>(file, at + gps))) e.see("gps_time", get<double>(file, at + gps));
        if (rgb) e.see("red", get<std::uint16_t>(file, at + rgb)), e.see("blue", get<std::uint16_t>(file, at + rgb + 4));
        if (format == 8 || format == 10) e.see("nir", get<std::uint16_t>(file, at + 36));
    }
    return e;
}

void expect_matches(const Expected &e, const tolvren_statistics &s) {
    ASSERT_EQ(s.scan.records, e.records);
    if (e.records == 0) return;
    const std::map<std::string, const tolvren_range *> fields = {
        {"intensity", &s.intensity},     {"user_data", &s.user_data},  {"scan_angle", &s.scan_angle},
        {"scan_direction", &s.scan_direction}, {"scanner_channel", &s.scanner_channel},
        {"gps_time", &s.gps_time},       {"red", &s.red},              {"blue", &s.blue},
        {"nir", &s.nir}};
    for (const auto &[name, r] : fields) {
        const auto found = e.ranges.find(name);
        EXPECT_EQ(r->present != 0, found != e.ranges.end()) << name;
        if (found == e.ranges.end()) continue;
        EXPECT_EQ(r->min, found->second.first) << name;
        EXPECT_EQ(r->max, found->second.second) << name;
    }
    EXPECT_EQ(s.synthetic_points, e.synthetic);
    EXPECT_EQ(s.key_point_points, e.key_point);
    EXPECT_EQ(s.withheld_points, e.withheld);
    EXPECT_EQ(s.overlap_points, e.overlap);
    EXPECT_TRUE(std::equal(e.classes.begin(), e.classes.end(), s.classes));
    EXPECT_EQ(s.source_ids, e.sources.size());
    EXPECT_EQ(s.point_source_id.min, *e.sources.begin());
    EXPECT_EQ(s.point_source_id.max, *e.sources.rbegin());
    std::uint64_t listed = s.other_source_points;
    for (std::size_t i = 0; i < s.source_count; ++i) listed += s.sources[i].points;
    EXPECT_EQ(listed, e.records);
}

// The points by return number: the returns matrix summed over the number
// of returns.
std::vector<std::uint64_t> by_return_number(const tolvren_statistics &s, std::size_t slots) {
    std::vector<std::uint64_t> out(slots);
    for (std::size_t n = 0; n < 16; ++n) {
        for (std::size_t r = 0; r < slots; ++r) out[r] += s.returns[n][r];
    }
    return out;
}

class StatisticsSharedFiles : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kShared / "las" / "headers.json")) GTEST_SKIP() << "no sample files in " << kShared;
    }
};

TEST_F(StatisticsSharedFiles, AgreeWithTheIndependentReadersAndTheRecordsBytes) {
    std::ifstream in(kShared / "las" / "headers.json");
    const json files = json::parse(in).at("files");
    std::size_t checked = 0;
    for (const auto &[name, entry] : files.items()) {
        if (!entry.contains("scan") || entry.at("scan").is_null()) continue;
        SCOPED_TRACE(name);
        const json &scan = entry.at("scan");
        const std::string path = (kShared / "las" / name).string();
        const auto s = statistics_of(path, 2);
        const auto histogram = scan.at("return_number_histogram").get<std::vector<std::uint64_t>>();
        EXPECT_EQ(by_return_number(*s, histogram.size()), histogram);
        expect_matches(parse_records(tolvren_test::read_file(path), scan.at("region_start").get<std::size_t>(),
                                     scan.at("whole_records").get<std::uint64_t>()),
                       *s);
        ++checked;
    }
    EXPECT_GE(checked, 20u);

    // The large LAZ file without a twin: decoded.json's histogram.
    std::ifstream decoded_in(kShared / "laz" / "decoded.json");
    const json decoded = json::parse(decoded_in).at("files").at("loadersgl__indoor.laz");
    const auto s = statistics_of((kShared / "laz" / "loadersgl__indoor.laz").string(), 2);
    const auto histogram = decoded.at("return_number_histogram").get<std::vector<std::uint64_t>>();
    EXPECT_EQ(by_return_number(*s, histogram.size()), histogram);
    EXPECT_EQ(s->scan.raw_min[0], decoded.at("raw_min")[0].get<std::int32_t>());
    EXPECT_EQ(s->scan.real_max[2], decoded.at("real_max")[2].get<double>());
}

TEST_F(StatisticsSharedFiles, LazFilesGiveTheirTwinsStatisticsOnAnyNumberOfThreads) {
    std::size_t pairs = 0;
    for (const char *folder : {"laz", "las"}) {
        for (const fs::directory_entry &entry : fs::directory_iterator(kShared / folder)) {
            const fs::path twin = fs::path(entry.path()).replace_extension(".las");
            if (entry.path().extension() != ".laz" || !fs::exists(twin)) continue;
            SCOPED_TRACE(entry.path().filename().string());
            const std::string want = describe(*statistics_of(twin.string()));
            EXPECT_EQ(describe(*statistics_of(entry.path().string(), 1)), want);
            EXPECT_EQ(describe(*statistics_of(entry.path().string(), 3)), want);
            ++pairs;
        }
    }
    EXPECT_GE(pairs, 15u);
}

// The sane values of every field after the returns byte, for a crafted
// file whose records are otherwise a fill pattern: class 2 (ground), no
// flags, scan angle 0, source 7, GPS time 1000 s into the week, colours
// over 16 bits.
void sane_fields(Bytes &file) {
    const unsigned format = file[104];
    const std::size_t length = get<std::uint16_t>(file, 105);
    const std::uint64_t count = file[25] == 4 ? get<std::uint64_t>(file, 247) : get<std::uint32_t>(file, 107);
    for (std::size_t at = get<std::uint32_t>(file, 96), i = 0; i < count; ++i, at += length) {
        std::fill(file.begin() + static_cast<std::ptrdiff_t>(at + 15), file.begin() + static_cast<std::ptrdiff_t>(at + length), 0);
        file[at + (format <= 5 ? 15 : 16)] = 2;
        put<std::uint16_t>(file, at + (format <= 5 ? 18 : 20), 7);
        if (format == 1 || format == 3) put<double>(file, at + 20, 1000.0);
        if (format >= 6) put<double>(file, at + 22, 1000.0);
        if (format == 3) put<std::uint16_t>(file, at + 28, 4096);
    }
}

std::string point_findings(const Bytes &file, unsigned flags = TOLVREN_CHECK_POINTS, unsigned threads = 1) {
    tolvren_test::TempDir dir;
    tolvren_test::write_file(dir.file("f.las"), file);
    tolvren_report report;
    EXPECT_EQ(tolvren_check_file_mt(dir.file("f.las").c_str(), flags, threads, nullptr, nullptr, &report, nullptr),
              TOLVREN_OK);
    std::string found;
    for (std::size_t i = 0; i < report.count; ++i) {
        if (report.findings[i].code < TOLVREN_F_RETURN_NUMBER_ZERO && report.findings[i].code != TOLVREN_F_EXTENT_MISMATCH) continue;
        found += std::string(tolvren_finding_name(report.findings[i].code)) + ":" +
                 tolvren_severity_name(report.findings[i].severity) + ": " + report.findings[i].message + "\n";
    }
    return found;
}

TEST(StatisticsChecks, EachPointRuleOnACraftedFile) {
    // Format 6, LAS 1.4: four points of two returns each, made wrong one
    // field at a time; the header's counts still agree with them.
    LasFile las;
    las.points = {{8, -4, 40, 0x21}, {-12, 20, 0, 0x22}, {4, 0, -8, 0x21}, {0, 6, 2, 0x22}};
    Bytes good = las.build();
    sane_fields(good);
    EXPECT_EQ(point_findings(good), "");

    const std::size_t first = get<std::uint32_t>(good, 96);
    Bytes returns = good;
    returns[first + 14] = 0x20;       // return 0 of 2
    returns[first + 30 + 14] = 0x23;  // return 3 of 2
    returns[first + 60 + 14] = 0x01;  // return 1 of 0
    Bytes odd = good;
    odd[first + 16] = 23;                                  // a reserved class
    put<std::int16_t>(odd, first + 30 + 18, -15001);       // beyond -90 degrees
    put<std::uint16_t>(odd, 6, static_cast<std::uint16_t>(get<std::uint16_t>(odd, 6) | 1));  // adjusted standard time
    EXPECT_EQ(point_findings(returns),
              "return_number_zero:warning: 1 of 4 points has return number 0\n"
              "return_above_count:warning: 2 of 4 points have a return number above their number of returns\n"
              "number_of_returns_zero:warning: 1 of 4 points has number of returns 0\n");
    EXPECT_EQ(point_findings(odd, TOLVREN_CHECK_POINTS, 2),
              "class_reserved:warning: 1 of 4 points has a class that point format 6 reserves (23-63)\n"
              "gps_time_type_mismatch:warning: the GPS times of all 4 points lie within one week's seconds "
              "(1000 to 1000), but global-encoding bit 0 says adjusted standard GPS time\n"
              "scan_angle_out_of_range:warning: 1 of 4 points has a scan angle outside -90 to 90 degrees "
              "(-90.006 to 0)\n");

    // X runs to raw 8, 102 in real terms; a maximum of 101 leaves the first
    // point 1 (four scale steps) outside. With the scan asked for as well
    // the points are read once and the extent is judged both ways.
    Bytes narrow = good;
    put<double>(narrow, 179, 101.0);
    EXPECT_EQ(point_findings(narrow, TOLVREN_CHECK_POINTS | TOLVREN_CHECK_SCAN),
              "extent_mismatch:error: the X extent [97, 101] is more than half a scale step of 0.25 from the "
              "points' [97, 102]\n"
              "points_outside_extents:error: 1 of 4 points lies more than half a scale step outside the header's "
              "extents, the farthest by 1\n");
    put<double>(narrow, 179, 101.875);  // within half a step of 102
    EXPECT_EQ(point_findings(narrow), "");

    // Format 3, LAS 1.2: colours of 8 bits, standard times with the bit
    // clear, the classes formats 0-5 reserve but not 12 (overlap).
    LasFile legacy;
    legacy.minor = 2;
    legacy.format = 3;
    legacy.points = {{8, -4, 40, 0x11}, {-12, 20, 0, 0x12}, {4, 0, -8, 0x11}, {0, 6, 2, 0x12}};
    Bytes colours = legacy.build();
    sane_fields(colours);
    const std::size_t start = get<std::uint32_t>(colours, 96);
    for (std::size_t i = 0; i < 4; ++i) {
        put<std::uint16_t>(colours, start + 34 * i + 28, static_cast<std::uint16_t>(50 * i));
        put<double>(colours, start + 34 * i + 20, 3.5e8);
    }
    colours[start + 15] = 12;
    colours[start + 34 + 15] = 10 | 0x20;  // reserved, and synthetic
    colours[start + 68 + 16] = static_cast<unsigned char>(-91);
    EXPECT_EQ(point_findings(colours),
              "class_reserved:warning: 1 of 4 points has a class that point format 3 reserves (10, 11 and 13-31)\n"
              "gps_time_type_mismatch:warning: the GPS times run from 350000000 to 350000000, outside one week's "
              "seconds (0 to 604800), but global-encoding bit 0 is clear, which says GPS week time\n"
              "rgb_low_bits_only:warning: every red, green and blue value of the 4 points is at most 255 (maxima "
              "150, 0, 0): the colours use only the low 8 of their 16 bits\n"
              "scan_angle_out_of_range:warning: 1 of 4 points has a scan angle outside -90 to 90 degrees (-91 to "
              "0)\n");
    tolvren_test::TempDir dir;
    tolvren_test::write_file(dir.file("c.las"), colours);
    const auto s = statistics_of(dir.file("c.las"));
    EXPECT_EQ(s->classes[12], 1u);
    EXPECT_EQ(s->classes[10], 1u);
    EXPECT_EQ(s->synthetic_points, 1u);
    EXPECT_EQ(s->synthetic.max, 1.0);
    EXPECT_EQ(s->overlap.present, 0);
}

TEST(StatisticsChecks, OneThreadAndThreeGiveTheSameOverManyBlocks) {
    // 600,000 records of 28 bytes: three blocks of the parallel read.
    LasFile las;
    las.minor = 2;
    las.format = 1;
    las.points.clear();
    for (std::int32_t i = 0; i < 600000; ++i) {
        las.points.push_back({i % 977, -(i % 631), i % 89, static_cast<std::uint8_t>(1 + i % 5 + 8 * (1 + i % 5))});
    }
    Bytes file = las.build();
    const std::size_t start = get<std::uint32_t>(file, 96);
    for (std::size_t i = 0; i < las.points.size(); ++i) {
        file[start + 28 * i + 15] = static_cast<unsigned char>(i * 7 % 256);
        put<std::uint16_t>(file, start + 28 * i + 18, static_cast<std::uint16_t>(i * i % 1000));
        put<double>(file, start + 28 * i + 20, static_cast<double>(i % 1000003) * 0.5);
    }
    tolvren_test::TempDir dir;
    tolvren_test::write_file(dir.file("big.las"), file);
    const auto one = statistics_of(dir.file("big.las"), 1);
    EXPECT_EQ(describe(*statistics_of(dir.file("big.las"), 3)), describe(*one));
    expect_matches(parse_records(file, start, las.points.size()), *one);
    EXPECT_EQ(one->source_count, static_cast<std::size_t>(TOLVREN_STATS_MAX_SOURCES));
    // The listed IDs have the most points, most first.
    for (std::size_t i = 1; i < one->source_count; ++i) EXPECT_GE(one->sources[i - 1].points, one->sources[i].points);
}

TEST(StatisticsChecks, ClassNamesFollowThePointFormat) {
    EXPECT_STREQ(tolvren_class_name(8, 3), "Model Key-point");
    EXPECT_STREQ(tolvren_class_name(8, 6), "Reserved");
    EXPECT_STREQ(tolvren_class_name(11, 5), "Reserved");
    EXPECT_STREQ(tolvren_class_name(11, 10), "Road Surface");
    EXPECT_STREQ(tolvren_class_name(63, 6), "Reserved");
    EXPECT_STREQ(tolvren_class_name(64, 6), "User definable");
    EXPECT_EQ(tolvren_class_name(32, 0), nullptr);
    EXPECT_EQ(tolvren_class_name(1, 11), nullptr);
}

}  // namespace
