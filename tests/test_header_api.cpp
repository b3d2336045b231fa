// SPDX-License-Identifier: MIT
// The header API of tolvren_las.h: the sample files of other software against
// what an independent reader found in them (headers.json beside them, skipped
// when absent), and crafted files for every refusal, finding and boundary.
#include "tolvren_las.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using nlohmann::json;
using tolvren_test::Bytes;
using tolvren_test::get;
using tolvren_test::LasFile;
using tolvren_test::put;
using tolvren_test::read_file;
using tolvren_test::TempDir;
using tolvren_test::write_file;

// ---------------------------------------------------------------------------
// Crafted files
// ---------------------------------------------------------------------------

// A file on disk and the API's view of it.
class Crafted {
public:
    explicit Crafted(const Bytes &bytes, const std::string &name = "crafted.las") : path_(dir_.file(name)) {
        write_file(path_, bytes);
    }
    const char *path() const { return path_.c_str(); }
    Bytes bytes() const { return read_file(path_); }

    tolvren_report check(bool scan) const {
        tolvren_report report;
        EXPECT_EQ(tolvren_check_file(path(), scan ? TOLVREN_CHECK_SCAN : 0, nullptr, nullptr, &report, nullptr),
                  TOLVREN_OK);
        return report;
    }
    int repair(tolvren_repair_result &result, unsigned flags = 0, tolvren_detail *detail = nullptr) const {
        return tolvren_repair(path(), flags, nullptr, nullptr, &result, detail);
    }

private:
    TempDir dir_;
    std::string path_;
};

// The finding codes of a report with their severities, as "code:severity".
// Crafted files of formats 6-10 carry no CRS; the record tests say what that
// gives, and the others leave it out unless `with_crs`.
std::vector<std::string> findings(const tolvren_report &report, bool with_crs = false) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < report.count; ++i) {
        const int code = report.findings[i].code;
        if (!with_crs && (code == TOLVREN_F_CRS_MISSING || code == TOLVREN_F_WKT_BIT_CLEAR)) continue;
        out.push_back(std::string(tolvren_finding_name(report.findings[i].code)) + ":" +
                      tolvren_severity_name(report.findings[i].severity));
    }
    return out;
}

// ---------------------------------------------------------------------------
// The sample files against headers.json
// ---------------------------------------------------------------------------

class HeaderApiSharedFiles : public testing::Test {
protected:
    void SetUp() override {
        const std::string index = std::string(TOLVREN_SHARED_LAS_DIR) + "/headers.json";
        if (!std::filesystem::exists(index)) GTEST_SKIP() << "no sample files in " << TOLVREN_SHARED_LAS_DIR;
        std::ifstream in(index);
        files_ = json::parse(in).at("files");
        ASSERT_FALSE(files_.empty());
    }
    static std::string path_of(const std::string &name) { return std::string(TOLVREN_SHARED_LAS_DIR) + "/" + name; }

    // What the independent reader found in the points: a LAZ file's are
    // those of its uncompressed twin, whose counts and extents it shares.
    json twin_or_self(const std::string &name, const json &entry, const char *key) const {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".laz") == 0) {
            const std::string twin = name.substr(0, name.size() - 1) + "s";
            if (files_.contains(twin)) return files_.at(twin).value(key, json());
        }
        return entry.value(key, json());
    }

    json files_;
};

template <typename T>
T value_or_zero(const json &value) {
    return value.is_null() ? T{} : value.get<T>();
}

// headers.json lists every number as stored, null where a version lacks the
// field (which the API reads as 0).
TEST_F(HeaderApiSharedFiles, ReadsEveryHeaderField) {
    for (const auto &[name, entry] : files_.items()) {
        SCOPED_TRACE(name);
        tolvren_header h;
        ASSERT_EQ(tolvren_read_header(path_of(name).c_str(), &h, nullptr), TOLVREN_OK);
        const json &e = entry.at("header");
        const bool v14 = h.version_minor == 4;
        std::string guid;
        for (std::uint8_t byte : h.guid) guid += "0123456789abcdef"[byte >> 4], guid += "0123456789abcdef"[byte & 15];
        const std::vector<std::pair<const char *, json>> fields = {
            {"version_major", h.version_major}, {"version_minor", h.version_minor},
            {"file_source_id", h.file_source_id}, {"global_encoding", h.global_encoding},
            {"guid_bytes_hex", guid}, {"system_identifier", h.system_identifier},
            {"generating_software", h.generating_software}, {"creation_day", h.creation_day},
            {"creation_year", h.creation_year}, {"header_size", h.header_size},
            {"offset_to_data", h.offset_to_point_data}, {"n_vlr", h.number_of_vlrs},
            {"point_format_byte", h.point_format_byte}, {"point_format", h.point_format},
            {"compressed", h.compressed != 0}, {"record_length", h.point_record_length},
            {"standard_record_length", h.standard_record_length}, {"extra_bytes", h.extra_bytes},
            {"legacy_point_count", h.legacy_point_count}, {"legacy_by_return", h.legacy_points_by_return},
            {"point_count", h.point_count}, {"point_count_64", v14 ? json(h.point_count_64) : json()},
            {"by_return_64", v14 ? json(h.points_by_return_64) : json()},
            {"scale", h.scale}, {"offset", h.offset}, {"min", h.min}, {"max", h.max},
            {"waveform_start", h.version_minor >= 3 ? json(h.start_of_waveform_data) : json()},
            {"evlr_start", v14 ? json(h.start_of_first_evlr) : json()},
            {"evlr_count", v14 ? json(h.number_of_evlrs) : json()}, {"file_size", h.file_size},
        };
        for (const auto &[key, actual] : fields) EXPECT_EQ(actual, e.at(key)) << key;
        for (std::size_t i = 0; i < 15; ++i) {
            EXPECT_EQ(h.points_by_return[i], v14 ? h.points_by_return_64[i] : i < 5 ? h.legacy_points_by_return[i] : 0);
        }
        EXPECT_EQ(h.vlr_end, entry.at("vlr_end").get<std::uint64_t>());
        EXPECT_EQ(h.vlr_problem, TOLVREN_WALK_OK);
        EXPECT_EQ(h.evlr_problem, TOLVREN_WALK_OK);
        const json scan = entry.value("scan", json());
        if (!scan.is_null()) {
            EXPECT_EQ(h.point_region_end, scan.at("region_end").get<std::uint64_t>());
        }
    }
}

TEST_F(HeaderApiSharedFiles, ScanFindsWhatTheIndependentReaderFound) {
    for (const auto &[name, entry] : files_.items()) {
        SCOPED_TRACE(name);
        tolvren_scan scan;
        const int code = tolvren_scan_points(path_of(name).c_str(), nullptr, nullptr, nullptr, &scan, nullptr);
        const json e = twin_or_self(name, entry, "scan");
        ASSERT_FALSE(e.is_null());
        ASSERT_EQ(code, TOLVREN_OK);
        if (entry.at("header").at("compressed").get<bool>()) {
            EXPECT_EQ(scan.region_start, entry.at("header").at("offset_to_data").get<std::uint64_t>());
            EXPECT_EQ(scan.remainder_bytes, 0u);
        } else {
            EXPECT_EQ(scan.region_start, e.at("region_start").get<std::uint64_t>());
            EXPECT_EQ(scan.region_end, e.at("region_end").get<std::uint64_t>());
            EXPECT_EQ(scan.remainder_bytes, e.at("remainder_bytes").get<std::uint64_t>());
        }
        EXPECT_EQ(scan.records, e.at("whole_records").get<std::uint64_t>());
        // 8 entries for the 3 bits of formats 0-5, 16 for the 4 bits of 6-10.
        const json &histogram = e.at("return_number_histogram");
        for (std::size_t i = 0; i < 16; ++i) {
            EXPECT_EQ(scan.return_histogram[i], i < histogram.size() ? histogram[i].get<std::uint64_t>() : 0);
        }
        for (std::size_t i = 0; i < 15; ++i) {
            EXPECT_EQ(scan.points_by_return[i], e.at("by_return_15")[i].get<std::uint64_t>());
        }
        if (scan.records == 0) continue;
        for (std::size_t a = 0; a < 3; ++a) {
            EXPECT_EQ(scan.raw_min[a], e.at("raw_min")[a].get<std::int32_t>());
            EXPECT_EQ(scan.raw_max[a], e.at("raw_max")[a].get<std::int32_t>());
            EXPECT_EQ(scan.real_min[a], e.at("real_min")[a].get<double>());
            EXPECT_EQ(scan.real_max[a], e.at("real_max")[a].get<double>());
        }
    }
}

TEST_F(HeaderApiSharedFiles, CheckErrsExactlyWhereTheHeaderIsWrong) {
    for (const auto &[name, entry] : files_.items()) {
        SCOPED_TRACE(name);
        tolvren_report report;
        ASSERT_EQ(tolvren_check_file(path_of(name).c_str(), TOLVREN_CHECK_SCAN, nullptr, nullptr, &report, nullptr),
                  TOLVREN_OK);
        const std::vector<std::string> found = findings(report);
        const auto has = [&](const char *code) {
            return std::find(found.begin(), found.end(), std::string(code) + ":error") != found.end();
        };
        const json c = twin_or_self(name, entry, "consistency");
        ASSERT_FALSE(c.is_null());
        EXPECT_EQ(report.errors == 0, c.at("consistent").get<bool>()) << testing::PrintToString(found);
        EXPECT_EQ(has("point_count_mismatch"), !c.at("point_count_matches").get<bool>());
        EXPECT_EQ(has("by_return_mismatch"), !c.at("by_return_matches").get<bool>());
        EXPECT_EQ(has("extent_mismatch"), c.at("extents_within_half_scale") == false);
        // Formats 6-10 with mirrored legacy counts: an error where the
        // counts themselves are wrong, else tolerated.
        const bool legacy_finding = has("legacy_mismatch") ||
                                    std::find(found.begin(), found.end(), "legacy_mirrored:warning") != found.end();
        EXPECT_EQ(legacy_finding, c.value("legacy_fields_as_1_4_rules", true) == false);
    }
}

TEST_F(HeaderApiSharedFiles, RepairMendsInconsistentCopiesAndLeavesTheRestByteIdentical) {
    for (const auto &[name, entry] : files_.items()) {
        SCOPED_TRACE(name);
        const Bytes before = read_file(path_of(name));
        Crafted copy(before, name);
        tolvren_repair_result dry, result;
        const int dry_code = copy.repair(dry, TOLVREN_REPAIR_DRY_RUN);
        EXPECT_EQ(copy.bytes(), before) << "the dry run wrote";
        const int code = copy.repair(result);
        const json c = twin_or_self(name, entry, "consistency");
        ASSERT_FALSE(c.is_null());
        ASSERT_EQ(dry_code, TOLVREN_OK);
        ASSERT_EQ(code, TOLVREN_OK);
        EXPECT_EQ(dry.count, result.count);
        const Bytes after = copy.bytes();
        ASSERT_EQ(after.size(), before.size());
        if (c.at("consistent").get<bool>()) {
            EXPECT_EQ(result.count, 0u);
            EXPECT_EQ(result.written, 0);
            EXPECT_EQ(after, before);
            continue;
        }
        EXPECT_GT(result.count, 0u);
        EXPECT_EQ(result.written, 1);
        // Nothing outside the count and extent fields moved. Bytes 247-374
        // hold the 64-bit counts only in 1.4; before it they are VLRs or
        // point records.
        const bool v14 = before[25] == 4;
        for (std::size_t i = 0; i < before.size(); ++i) {
            const bool field = (i >= 107 && i < 131) || (i >= 179 && i < 227) || (v14 && i >= 247 && i < 375);
            if (!field) {
                ASSERT_EQ(after[i], before[i]) << "byte " << i;
            }
        }
        tolvren_header h;
        ASSERT_EQ(tolvren_read_header(copy.path(), &h, nullptr), TOLVREN_OK);
        const json &scan = entry.value("scan", json());
        EXPECT_EQ(h.point_count, scan.at("whole_records").get<std::uint64_t>());
        const std::size_t slots = h.version_minor == 4 ? 15 : 5;
        for (std::size_t i = 0; i < slots; ++i) EXPECT_EQ(h.points_by_return[i], scan.at("by_return_15")[i].get<std::uint64_t>());
        EXPECT_EQ(copy.check(true).errors, 0) << testing::PrintToString(findings(copy.check(true)));
        tolvren_repair_result again;
        EXPECT_EQ(copy.repair(again), TOLVREN_OK);
        EXPECT_EQ(again.count, 0u);
    }
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

TEST(HeaderApiRead, RefusalsHaveDistinctCodes) {
    TempDir dir;
    const Bytes good = LasFile{}.build();
    const auto with = [&](std::size_t offset, std::uint8_t value) {
        Bytes b = good;
        b[offset] = value;
        return b;
    };
    const struct {
        const char *name;
        Bytes bytes;
        int code;
    } cases[] = {
        {"signature", with(3, 'E'), TOLVREN_ENOTLAS},
        {"three-bytes", Bytes(good.begin(), good.begin() + 3), TOLVREN_ENOTLAS},
        {"major-2", with(24, 2), TOLVREN_EVERSION},
        {"minor-5", with(25, 5), TOLVREN_EVERSION},
        {"header-size-374", with(94, 118), TOLVREN_EHEADERSIZE},  // 375 = 0x177; 0x176 = 374
        {"file-inside-header", Bytes(good.begin(), good.begin() + 374), TOLVREN_EHEADERSIZE},
        {"format-11", with(104, 11), TOLVREN_EFORMAT},
        {"record-29", with(105, 29), TOLVREN_ERECORDLENGTH},
    };
    for (const auto &c : cases) {
        const std::string path = dir.file(std::string(c.name) + ".las");
        write_file(path, c.bytes);
        tolvren_header h;
        tolvren_detail detail;
        EXPECT_EQ(tolvren_read_header(path.c_str(), &h, &detail), c.code) << c.name;
        EXPECT_EQ(detail.code, c.code);
        EXPECT_NE(std::string(detail.message).find(path), std::string::npos) << detail.message;
        EXPECT_STRNE(tolvren_error_name(c.code), "unknown");
    }
    tolvren_header h;
    tolvren_detail detail;
    EXPECT_EQ(tolvren_read_header(dir.file("missing.las").c_str(), &h, &detail), TOLVREN_EOPEN);
    EXPECT_EQ(detail.sys_errno, ENOENT);
    EXPECT_EQ(tolvren_read_header(dir.path().c_str(), &h, nullptr), TOLVREN_ENOTREGULAR);
    // A FIFO without a writer would block an ordinary open.
    const std::string fifo = dir.file("fifo.las");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(tolvren_read_header(fifo.c_str(), &h, nullptr), TOLVREN_ENOTREGULAR);
    EXPECT_EQ(tolvren_read_header(nullptr, &h, nullptr), TOLVREN_EINVAL);
}

TEST(HeaderApiRead, HeaderSizeBoundariesOfEveryVersion) {
    for (std::uint8_t minor = 0; minor <= 4; ++minor) {
        for (const std::uint16_t pad : {std::uint16_t{0}, std::uint16_t{1}, std::uint16_t{40}}) {
            LasFile f;
            f.minor = minor;
            f.format = minor == 4 ? 6 : 1;
            f.header_pad = pad;
            f.vlrs = {0, 7};
            const Bytes bytes = f.build();
            Crafted file(bytes);
            tolvren_header h;
            ASSERT_EQ(tolvren_read_header(file.path(), &h, nullptr), TOLVREN_OK) << int(minor) << " pad " << pad;
            EXPECT_EQ(h.header_size, get<std::uint16_t>(bytes, 94));
            EXPECT_EQ(h.vlr_end, h.offset_to_point_data);
            EXPECT_EQ(h.point_count, 4u);
            EXPECT_EQ(file.check(true).errors, 0) << testing::PrintToString(findings(file.check(true)));
            // Extra header bytes are the file's own: a repair keeps them.
            Bytes wrong = bytes;
            put<std::uint32_t>(wrong, minor == 4 ? 247 : 107, 9);
            Crafted stale(wrong);
            tolvren_repair_result result;
            ASSERT_EQ(stale.repair(result), TOLVREN_OK);
            EXPECT_EQ(stale.bytes(), bytes);
        }
        LasFile f;
        f.minor = minor;
        f.format = 1;
        Bytes short_header = f.build();
        put<std::uint16_t>(short_header, 94, static_cast<std::uint16_t>(get<std::uint16_t>(short_header, 94) - 1));
        Crafted file(short_header);
        tolvren_header h;
        EXPECT_EQ(tolvren_read_header(file.path(), &h, nullptr), TOLVREN_EHEADERSIZE) << int(minor);
    }
}

// Bytes 4-5 are the file source ID from LAS 1.1 on, bytes 6-7 the global
// encoding from 1.2 on; before, they are reserved and read as 0.
TEST(HeaderApiRead, FileSourceIdFrom11GlobalEncodingFrom12) {
    for (std::uint8_t minor = 0; minor <= 2; ++minor) {
        LasFile f;
        f.minor = minor;
        f.format = 1;
        Bytes bytes = f.build();
        put<std::uint16_t>(bytes, 4, 7);
        put<std::uint16_t>(bytes, 6, 1);
        tolvren_header h;
        ASSERT_EQ(tolvren_parse_header(bytes.data(), bytes.size(), bytes.size(), &h, nullptr), TOLVREN_OK);
        EXPECT_EQ(h.file_source_id, minor >= 1 ? 7 : 0) << int(minor);
        EXPECT_EQ(h.global_encoding, minor >= 2 ? 1 : 0) << int(minor);
    }
}

TEST(HeaderApiRead, ParseAgreesWithReadAndSaysWhereTheBytesEnd) {
    LasFile f;
    f.vlrs = {100, 3};
    f.evlrs = {16};
    const Bytes bytes = f.build();
    Crafted file(bytes);
    tolvren_header read, parsed;
    ASSERT_EQ(tolvren_read_header(file.path(), &read, nullptr), TOLVREN_OK);
    ASSERT_EQ(tolvren_parse_header(bytes.data(), bytes.size(), bytes.size(), &parsed, nullptr), TOLVREN_OK);
    EXPECT_EQ(std::memcmp(&read, &parsed, sizeof read), 0);
    EXPECT_EQ(read.point_region_end, read.start_of_first_evlr);
    EXPECT_EQ(read.evlr_end, bytes.size());
    // Only the header and the first VLR: the walk cannot finish.
    ASSERT_EQ(tolvren_parse_header(bytes.data(), 375 + 54 + 100, bytes.size(), &parsed, nullptr), TOLVREN_OK);
    EXPECT_EQ(parsed.vlr_problem, TOLVREN_WALK_INCOMPLETE);
    EXPECT_EQ(parsed.vlr_end, 375u + 154u);
    EXPECT_EQ(tolvren_parse_header(bytes.data(), bytes.size(), bytes.size() - 1, &parsed, nullptr), TOLVREN_EINVAL);
}

// ---------------------------------------------------------------------------
// Checking and refusing to repair
// ---------------------------------------------------------------------------

struct Case {
    const char *name;
    std::function<void(LasFile &)> shape;  // what is built
    std::function<void(Bytes &)> edit;     // then changed in its bytes
    std::vector<std::string> expected;     // findings of the check with a scan
    int repair;                            // what the repair returns
    std::size_t changes;                   // and how many fields it rewrites
};

TEST(HeaderApiCheck, EachFindingOnACraftedFile) {
    const auto as_is = [](LasFile &) {};
    const auto unchanged = [](Bytes &) {};
    // Built as 1.4 format 6 with one VLR, four points and an EVLR of 8 bytes.
    // The legacy rows show the repair keeping a correct mirror in format 6,
    // setting a wrong one to 0, and mirroring the counts in format 1.
    const Case cases[] = {
        {"consistent", as_is, unchanged, {}, TOLVREN_OK, 0},
        {"offset-inside-header", as_is, [](Bytes &b) { put<std::uint32_t>(b, 96, 374); },
         // The VLR and the first record now read as records of 30 bytes.
         {"offset_inside_header:error", "more_records_than_count:error", "trailing_bytes:error",
          "by_return_mismatch:error", "extent_mismatch:error", "extent_mismatch:error", "extent_mismatch:error"},
         TOLVREN_ELAYOUT, 0},
        {"vlrs-past-offset", as_is, [](Bytes &b) { put<std::uint16_t>(b, 375 + 20, 11); },
         {"vlrs_past_offset:error"}, TOLVREN_ELAYOUT, 0},
        {"evlr-past-end", as_is, [](Bytes &b) { put<std::uint64_t>(b, b.size() - 68 + 20, 9); },
         {"evlrs_outside_file:error"}, TOLVREN_ELAYOUT, 0},
        {"evlr-before-points", as_is, [](Bytes &b) { put<std::uint64_t>(b, 235, 375); },
         // The EVLR is not believed: the point records run to the end.
         {"evlrs_outside_file:error", "more_records_than_count:error", "trailing_bytes:warning",
          "by_return_mismatch:error", "extent_mismatch:error", "extent_mismatch:error", "extent_mismatch:error"},
         TOLVREN_ELAYOUT, 0},
        {"evlr-inside-a-record", as_is, [](Bytes &b) { put<std::uint64_t>(b, 235, get<std::uint64_t>(b, 235) - 1); },
         // The EVLR header read a byte early has a length past the end, and
         // the last byte of a record in its reserved field.
         {"evlrs_outside_file:error", "fewer_records_than_count:error", "trailing_bytes:error",
          "by_return_mismatch:error", "vlr_reserved_nonzero:warning"},
         TOLVREN_ELAYOUT, 0},
        {"waveform-outside", as_is,
         [](Bytes &b) {
             b[6] = 2;
             put<std::uint64_t>(b, 227, 1u << 30);
         },
         {"waveform_outside_file:error"}, TOLVREN_ELAYOUT, 0},
        {"trailing-bytes",
         [](LasFile &f) {
             f.tail = 7;
             f.evlrs.clear();
         },
         unchanged, {"trailing_bytes:warning"}, TOLVREN_OK, 0},
        {"more-records", as_is, [](Bytes &b) { put<std::uint64_t>(b, 247, 3); },
         {"more_records_than_count:error", "by_return_sum_above_count:error"}, TOLVREN_OK, 1},
        {"by-return-above", as_is, [](Bytes &b) { put<std::uint64_t>(b, 255, 9); },
         {"by_return_sum_above_count:error", "by_return_mismatch:error"}, TOLVREN_OK, 1},
        {"by-return-below", as_is, [](Bytes &b) { put<std::uint64_t>(b, 255, 0); },
         {"by_return_sum_below_count:warning", "by_return_mismatch:error"}, TOLVREN_OK, 1},
        {"legacy-mirrored", as_is,
         [](Bytes &b) {
             put<std::uint32_t>(b, 107, 4);
             put<std::uint32_t>(b, 111, 2);
             put<std::uint32_t>(b, 115, 1);
             put<std::uint32_t>(b, 119, 1);
         },
         {"legacy_mirrored:warning"}, TOLVREN_OK, 0},
        {"legacy-wrong", as_is, [](Bytes &b) { put<std::uint32_t>(b, 107, 4); }, {"legacy_mismatch:error"}, TOLVREN_OK, 1},
        {"legacy-missing-format-1", [](LasFile &f) { f.format = 1; }, [](Bytes &b) { put<std::uint32_t>(b, 107, 0); },
         {"legacy_mismatch:error"}, TOLVREN_OK, 1},
        {"min-above-max", as_is, [](Bytes &b) { put<double>(b, 187, 1e9); },
         {"min_above_max:error", "extent_mismatch:error"}, TOLVREN_OK, 1},
        {"bad-scale", as_is, [](Bytes &b) { put<double>(b, 139, 0.0); }, {"bad_scale:error"}, TOLVREN_OK, 0},
        {"format-not-in-version",
         [](LasFile &f) {
             f.minor = 2;
             f.evlrs.clear();
         },
         unchanged, {"format_not_in_version:warning"}, TOLVREN_OK, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LasFile f;
        f.vlrs = {10};
        f.evlrs = {8};
        c.shape(f);
        Bytes bytes = f.build();
        c.edit(bytes);
        Crafted file(bytes);
        EXPECT_EQ(findings(file.check(true)), c.expected);
        tolvren_repair_result result;
        tolvren_detail detail;
        EXPECT_EQ(file.repair(result, 0, &detail), c.repair) << detail.message;
        EXPECT_EQ(result.count, c.changes);
        if (c.repair != TOLVREN_OK) {
            EXPECT_EQ(file.bytes(), bytes);
            continue;
        }
        // What a repair mends is gone; a bad scale is not its to mend.
        for (const std::string &left : findings(file.check(true))) {
            EXPECT_TRUE(left == "bad_scale:error" || left.find(":warning") != std::string::npos) << left;
        }
    }
}

// Sentences that say what is wrong: the limit a walk of the VLRs breaks
// (OffsetToData, or the end of the file when OffsetToData lies beyond it)
// and where it stopped; an extent that is no number, not a minimum above
// its maximum; the half step of a negative scale, half its magnitude.
TEST(HeaderApiCheck, FindingSentencesSayWhatIsWrong) {
    LasFile f;
    f.vlrs = {10};  // OffsetToData 439; real X of the raw 8, -12, 4, 0 at scale -0.25: 98, 103, 99, 100
    const struct {
        std::function<void(Bytes &)> edit;
        int code;
        const char *sentence;
    } cases[] = {
        {[](Bytes &b) { put<std::uint32_t>(b, 100, 0xFFFFFFFFu); }, TOLVREN_F_VLRS_PAST_OFFSET,
         "the header counts 4294967295 VLRs, whose 54-byte headers alone run past OffsetToData 439; the walk "
         "stopped before the first, at byte 375"},
        {[](Bytes &b) { put<std::uint16_t>(b, 375 + 20, 11); }, TOLVREN_F_VLRS_PAST_OFFSET,
         "the 1 VLR runs past OffsetToData 439; the walk stopped at byte 440"},
        {[](Bytes &b) { put<std::uint32_t>(b, 96, 1u << 20), put<std::uint16_t>(b, 375 + 20, 60000); },
         TOLVREN_F_VLRS_PAST_OFFSET,
         "the 1 VLR runs past the end of the file (559 bytes); the walk stopped at byte 559"},
        {[](Bytes &b) { put<double>(b, 187, std::nan("")); }, TOLVREN_F_MIN_ABOVE_MAX, "the X minimum is not a number"},
        {[](Bytes &b) { put<double>(b, 131, -0.25); }, TOLVREN_F_EXTENT_MISMATCH,
         "the X extent [97, 102] is more than half a scale step of 0.25 from the points' [98, 103]"},
    };
    for (const auto &c : cases) {
        Bytes bytes = f.build();
        c.edit(bytes);
        const tolvren_report report = Crafted(bytes).check(true);
        const auto found = std::find_if(report.findings, report.findings + report.count,
                                        [&](const tolvren_finding &x) { return x.code == c.code; });
        ASSERT_NE(found, report.findings + report.count) << c.sentence;
        EXPECT_STREQ(found->message, c.sentence);
    }
}

// ---------------------------------------------------------------------------
// Repairing
// ---------------------------------------------------------------------------

// Changed fields only, with their old and new values; the VLR, the EVLR, the
// extra record bytes and the extra header bytes keep theirs.
TEST(HeaderApiRepair, WritesOnlyTheFieldsThatChange) {
    LasFile f;
    f.extra = 3;
    f.header_pad = 5;
    f.vlrs = {20};
    f.evlrs = {12};
    const Bytes right = f.build();
    Bytes stale = right;
    put<std::uint64_t>(stale, 247, 7);            // point count
    put<std::uint64_t>(stale, 255 + 8 * 1, 0);    // returns 2
    put<double>(stale, 219, -100.0);              // min Z
    put<double>(stale, 179, get<double>(right, 179) + 0.1);  // max X, within half a step
    Crafted file(stale);

    tolvren_repair_result result;
    ASSERT_EQ(file.repair(result, TOLVREN_REPAIR_DRY_RUN), TOLVREN_OK);
    EXPECT_EQ(result.written, 0);
    EXPECT_EQ(file.bytes(), stale);
    ASSERT_EQ(file.repair(result), TOLVREN_OK);
    EXPECT_EQ(result.written, 1);
    ASSERT_EQ(result.count, 3u);
    EXPECT_EQ(result.changes[0].field, TOLVREN_FIELD_POINT_COUNT);
    EXPECT_EQ(result.changes[0].old_count, 7u);
    EXPECT_EQ(result.changes[0].new_count, 4u);
    EXPECT_EQ(result.changes[1].field, TOLVREN_FIELD_POINTS_BY_RETURN);
    EXPECT_EQ(result.changes[1].index, 1);
    EXPECT_EQ(result.changes[1].new_count, 1u);
    EXPECT_EQ(result.changes[2].field, TOLVREN_FIELD_MIN);
    EXPECT_EQ(result.changes[2].index, 2);
    EXPECT_EQ(result.changes[2].is_real, 1);
    EXPECT_EQ(result.changes[2].old_real, -100.0);
    EXPECT_EQ(result.changes[2].new_real, 8.0);  // raw -8 * 0.25 + 10
    EXPECT_STREQ(tolvren_field_name(result.changes[2].field), "min");
    Bytes expected = right;
    put<double>(expected, 179, get<double>(stale, 179));
    EXPECT_EQ(file.bytes(), expected);
}

// Waveform data said to be in the file but starting outside it are refused
// for the side they lie on.
TEST(HeaderApiRepair, AWaveformStartOutsideTheFileIsRefusedForWhereItLies) {
    for (const auto &[start, reason] : {std::pair<std::uint64_t, const char *>{1u << 30, "start beyond its end"},
                                        {300, "start before the point data"}}) {
        Bytes bytes = LasFile{}.build();
        bytes[6] = 2;  // global encoding bit 1: waveform data in this file
        put<std::uint64_t>(bytes, 227, start);
        Crafted file(bytes);
        tolvren_repair_result result;
        tolvren_detail detail;
        EXPECT_EQ(file.repair(result, 0, &detail), TOLVREN_ELAYOUT);
        EXPECT_NE(std::string(detail.message).find(reason), std::string::npos) << detail.message;
    }
}

struct Progress {
    std::vector<std::uint64_t> done;
    std::uint64_t total = 0;
    std::size_t stop_after = SIZE_MAX;
    std::function<void()> on_call;

    static int report(std::uint64_t done, std::uint64_t total, void *user) {
        auto &self = *static_cast<Progress *>(user);
        self.done.push_back(done);
        self.total = total;
        if (self.on_call) self.on_call();
        return self.done.size() >= self.stop_after;
    }
};

TEST(HeaderApiRepair, ProgressReportsAndCancels) {
    LasFile f;
    f.points.clear();
    for (std::int32_t i = 0; i < 30000; ++i) f.points.push_back({i, -i, i % 7, static_cast<std::uint8_t>(i % 16)});
    Bytes bytes = f.build();
    put<std::uint64_t>(bytes, 247, 1);
    Crafted file(bytes);

    Progress progress;
    tolvren_scan scan;
    ASSERT_EQ(tolvren_scan_points(file.path(), nullptr, &Progress::report, &progress, &scan, nullptr), TOLVREN_OK);
    EXPECT_EQ(progress.total, 30000u * 30u);
    ASSERT_GT(progress.done.size(), 1u);
    EXPECT_TRUE(std::is_sorted(progress.done.begin(), progress.done.end()));
    EXPECT_EQ(progress.done.back(), progress.total);

    Progress cancel;
    cancel.stop_after = 1;
    tolvren_repair_result result;
    EXPECT_EQ(tolvren_repair(file.path(), 0, &Progress::report, &cancel, &result, nullptr), TOLVREN_ECANCELED);
    EXPECT_EQ(cancel.done.size(), 1u);
    EXPECT_EQ(file.bytes(), bytes);
}

// Headers a hostile or careless writer makes: a count of 2^32 - 1 VLRs, an
// offset or scale that gives no finite coordinate, a caller's header with
// a record too short for its format, a file without points.
TEST(HeaderApiRepair, HostileNumbersNeitherHangNorWriteNonFiniteValues) {
    LasFile f;
    Bytes many_vlrs = f.build();
    put<std::uint32_t>(many_vlrs, 100, 0xFFFFFFFFu);
    tolvren_header header;
    ASSERT_EQ(tolvren_parse_header(many_vlrs.data(), many_vlrs.size(), many_vlrs.size(), &header, nullptr), TOLVREN_OK);
    EXPECT_EQ(header.vlr_problem, TOLVREN_WALK_PAST_END);
    EXPECT_EQ(header.vlr_end, 375u);

    // X with a NaN offset; Y whose scale takes a raw 2e9 beyond the doubles.
    LasFile wide = f;
    wide.points.push_back({0, 2000000000, 0, 1});
    for (const auto &[offset_x, scale_y, axis] : {std::tuple<double, double, std::size_t>{std::nan(""), 0.25, 0},
                                                  {100.0, 1e300, 1}}) {
        Bytes bytes = wide.build();
        put<double>(bytes, 155, offset_x);
        put<double>(bytes, 139, scale_y);
        put<double>(bytes, 187 + 16 * axis, -1.0);  // a stale minimum
        Crafted file(bytes);
        tolvren_repair_result result;
        ASSERT_EQ(file.repair(result), TOLVREN_OK);
        for (std::size_t i = 0; i < result.count; ++i) {
            EXPECT_TRUE(!result.changes[i].is_real || std::isfinite(result.changes[i].new_real));
        }
        EXPECT_EQ(get<double>(file.bytes(), 179 + 16 * axis), get<double>(bytes, 179 + 16 * axis));
        EXPECT_EQ(get<double>(file.bytes(), 187 + 16 * axis), -1.0);
    }
    Crafted nan_offset([&] { Bytes b = f.build(); put<double>(b, 155, std::nan("")); return b; }());
    const std::vector<std::string> nan_findings = findings(nan_offset.check(false));
    EXPECT_NE(std::count(nan_findings.begin(), nan_findings.end(), "bad_scale:error"), 0);

    Crafted empty([&] { LasFile none; none.points.clear(); return none.build(); }());
    ASSERT_EQ(tolvren_read_header(empty.path(), &header, nullptr), TOLVREN_OK);
    Progress progress;
    tolvren_scan scan;
    ASSERT_EQ(tolvren_scan_points(empty.path(), &header, &Progress::report, &progress, &scan, nullptr), TOLVREN_OK);
    EXPECT_EQ(progress.done, std::vector<std::uint64_t>{0});
    header.point_record_length = 10;
    EXPECT_EQ(tolvren_scan_points(empty.path(), &header, nullptr, nullptr, &scan, nullptr), TOLVREN_EINVAL);
}

// A file that changes between the scan and the write is left as the other
// writer made it.
TEST(HeaderApiRepair, FileChangedDuringTheScanIsNotWritten) {
    LasFile f;
    Bytes bytes = f.build();
    put<std::uint64_t>(bytes, 247, 9);
    for (const bool grow : {false, true}) {
        Crafted file(bytes);
        Progress meddler;
        meddler.on_call = [&] {
            std::fstream out(file.path(), std::ios::in | std::ios::out | std::ios::binary);
            out.seekp(grow ? 0 : 30, grow ? std::ios::end : std::ios::beg);
            out.put('!');
        };
        tolvren_repair_result result;
        tolvren_detail detail;
        EXPECT_EQ(tolvren_repair(file.path(), 0, &Progress::report, &meddler, &result, &detail), TOLVREN_ECHANGED);
        EXPECT_EQ(detail.code, TOLVREN_ECHANGED);
        Bytes expected = bytes;
        if (grow) {
            expected.push_back('!');
        } else {
            expected[30] = '!';
        }
        EXPECT_EQ(file.bytes(), expected);
    }
    // A header read before the file changed is not scanned against it.
    Crafted file(bytes);
    tolvren_header h;
    ASSERT_EQ(tolvren_read_header(file.path(), &h, nullptr), TOLVREN_OK);
    ++h.file_size;
    tolvren_scan scan;
    EXPECT_EQ(tolvren_scan_points(file.path(), &h, nullptr, nullptr, &scan, nullptr), TOLVREN_ECHANGED);
}

// Failed writes and syncs put the original bytes back; when that fails too
// the repair, or the setting of a field, says so. The changed fields go in
// one write.
TEST(HeaderApiRepair, FailedWritesAreUndone) {
    LasFile f;
    Bytes bytes = f.build();
    put<std::uint64_t>(bytes, 247, 9);
    put<std::uint64_t>(bytes, 255, 0);
    const struct {
        const char *good_writes, *after_failure, *failing_syncs, *expected;
        bool restored;
    } cases[] = {
        {"0", "ok", "0", "write_failed", true},
        {"1", "ok", "0", "ok", false},
        {"9", "ok", "1", "write_failed", true},
        {"1", "fail", "1", "restore_failed", false},
        {"9", "ok", "2", "restore_failed", true},
        {"9", "ok", "0", "ok", false},
    };
    for (const bool set : {false, true}) {
        SCOPED_TRACE(set ? "set" : "repair");
        for (const auto &c : cases) {
            Crafted file(bytes);
            std::vector<std::string> args{TOLVREN_HEADER_API_FAULTS_PATH, c.good_writes, c.after_failure,
                                          c.failing_syncs, file.path()};
            if (set) args.insert(args.begin() + 1, "set");
            const tolvren_test::ProcessResult run = tolvren_test::run_process(args);
            EXPECT_EQ(run.out.substr(0, run.out.find(' ')), c.expected) << run.out;
            EXPECT_EQ(file.bytes() == bytes, c.restored) << run.out;
            if (c.expected == std::string("ok")) {
                EXPECT_EQ(run.out, "ok 1 writes 1 syncs\n");
            }
        }
    }
}

// More records than 32 bits count, in a sparse file: a LAS 1.4 header holds
// them, a 1.2 header cannot and its repair refuses before scanning.
TEST(HeaderApiRepair, MoreThan4294967295Records) {
    const std::uint64_t records = (std::uint64_t{1} << 32) + 1;
    for (const std::uint8_t minor : {std::uint8_t{2}, std::uint8_t{4}}) {
        LasFile f;
        f.minor = minor;
        f.format = 0;
        f.points.clear();
        Bytes bytes = f.build();
        if (minor == 4) put<std::uint64_t>(bytes, 247, records);
        put<std::uint32_t>(bytes, 107, minor == 4 ? 0 : 1);
        Crafted file(bytes);
        ASSERT_EQ(truncate(file.path(), static_cast<off_t>(bytes.size() + records * 20)), 0);

        tolvren_report report = file.check(false);
        tolvren_repair_result result;
        if (minor == 2) {
            EXPECT_EQ(findings(report),
                      (std::vector<std::string>{"more_records_than_count:error", "by_return_sum_below_count:warning"}));
            EXPECT_EQ(file.repair(result), TOLVREN_ETOOMANYPOINTS);
            tolvren_header h;
            ASSERT_EQ(tolvren_read_header(file.path(), &h, nullptr), TOLVREN_OK);
            EXPECT_EQ(h.point_count, 1u);
            continue;
        }
        // The legacy fields must be 0 above 4294967295 points, whatever the format.
        EXPECT_EQ(findings(report), std::vector<std::string>{"by_return_sum_below_count:warning"});
        Bytes legacy = bytes;
        put<std::uint32_t>(legacy, 107, 1);
        Crafted mirrored(legacy);
        ASSERT_EQ(truncate(mirrored.path(), static_cast<off_t>(bytes.size() + records * 20)), 0);
        EXPECT_EQ(findings(mirrored.check(false)),
                  (std::vector<std::string>{"by_return_sum_below_count:warning", "legacy_mismatch:error"}));
        Progress cancel;
        cancel.stop_after = 1;
        EXPECT_EQ(tolvren_repair(file.path(), 0, &Progress::report, &cancel, &result, nullptr), TOLVREN_ECANCELED);
        EXPECT_EQ(cancel.total, records * 20);
    }
}

}  // namespace
