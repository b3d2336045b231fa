// SPDX-License-Identifier: MIT
// The tolvren program run as a process: JSON keys and values against the
// independent reader's headers.json, exit statuses, what goes to stdout and
// what to stderr, repair of crafted and shared files, recursion and output
// order with several jobs. Built into its own test binary with the program.
#include "runner.h"
#include "test_support.h"
#include "tolvren_las.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace {

using json = nlohmann::ordered_json;  // keys in the order written
using tolvren_test::Bytes;
using tolvren_test::put;
using tolvren_test::read_file;
using tolvren_test::TempDir;
using tolvren_test::write_file;

struct ToolRun {
    int status = -1;
    std::string out, err;
    std::vector<json> lines() const {  // stdout as JSON Lines
        std::vector<json> parsed;
        for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            parsed.push_back(json::parse(out.substr(at, end - at)));
        }
        return parsed;
    }
};

// Runs tolvren with `args`, collecting stdout and stderr apart.
ToolRun tolvren(const std::vector<std::string> &args) {
    std::vector<std::string> all{TOLVREN_TOOL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto result = tolvren_test::run_in_child(
        [&argv] {
            execv(argv[0], argv.data());
            _exit(127);
        },
        "", true);
    return ToolRun{result.exit_code, std::move(result.out), std::move(result.err)};
}

// A consistent LAS 1.minor file of `format` with `points` records: raw X
// 100 + 7i, Y 900 - 3i, Z i % 10, return 1 + i % 3, offsets 0; formats 6-10
// with the WKT CRS they need.
Bytes craft(std::uint8_t minor, std::uint8_t format, std::uint32_t points) {
    tolvren_test::LasFile f;
    f.minor = minor;
    f.format = format;
    if (format >= 6) f.wkt = tolvren_test::kTestWkt;
    f.offset = {0.0, 0.0, 0.0};
    f.points.clear();
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(points); ++i) {
        f.points.push_back({100 + 7 * i, 900 - 3 * i, i % 10, static_cast<std::uint8_t>(1 + i % 3)});
    }
    return f.build();
}

std::string code_name(int code) { return tolvren_error_name(code); }

std::filesystem::path shared_dir() { return TOLVREN_SHARED_LAS_DIR; }

json shared_index() {
    const std::filesystem::path index = shared_dir() / "headers.json";
    return std::filesystem::exists(index) ? json::parse(tolvren_test::read_text(index.string()))["files"] : json();
}

TEST(TolvrenInfo, EveryKeyOfEverySharedFileIsWhatTheIndependentReaderFound) {
    json files = shared_index();  // not const: a missing key reads as null
    if (files.is_null()) GTEST_SKIP() << "no sample LAS files at " << shared_dir();
    std::vector<std::string> paths;
    for (const auto &[name, entry] : files.items()) paths.push_back((shared_dir() / name).string());
    std::vector<std::string> args{"info", "--json", "-j", "3"};
    args.insert(args.end(), paths.begin(), paths.end());
    const ToolRun run = tolvren(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    std::vector<json> lines = run.lines();
    ASSERT_EQ(lines.size(), paths.size());

    const std::vector<std::string> keys{
        "path", "version", "point_format", "compressed", "point_record_length", "extra_bytes", "header_size",
        "offset_to_point_data", "number_of_vlrs", "start_of_waveform_data", "start_of_first_evlr",
        "number_of_evlrs", "point_count", "points_by_return", "legacy_point_count", "legacy_points_by_return",
        "scale", "offset", "min", "max", "system_identifier", "generating_software", "creation_day",
        "creation_year", "file_source_id", "global_encoding", "guid", "vlrs", "evlrs", "crs", "extra_dimensions",
        "laszip", "copc"};
    // Our key -> the independent reader's, where they differ.
    const std::map<std::string, std::string> renamed{
        {"point_record_length", "record_length"},   {"offset_to_point_data", "offset_to_data"},
        {"number_of_vlrs", "n_vlr"},                {"start_of_waveform_data", "waveform_start"},
        {"start_of_first_evlr", "evlr_start"},      {"number_of_evlrs", "evlr_count"},
        {"legacy_points_by_return", "legacy_by_return"}};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        json &got = lines[i];
        json &expected = files[std::filesystem::path(paths[i]).filename().string()]["header"];
        SCOPED_TRACE(paths[i]);
        std::vector<std::string> got_keys;
        for (const auto &[key, value] : got.items()) got_keys.push_back(key);
        EXPECT_EQ(got_keys, keys);
        EXPECT_EQ(got["path"], paths[i]);
        const bool v1_0 = expected["version"] == "1.0", v1_4 = expected["version"] == "1.4";
        // The record headers as the independent reader listed them.
        for (const char *kind : {"vlrs", "evlrs"}) {
            const json &theirs = files[std::filesystem::path(paths[i]).filename().string()][kind];
            ASSERT_EQ(got[kind].size(), theirs.is_null() ? 0u : theirs.size()) << kind;
            for (std::size_t r = 0; r < got[kind].size(); ++r) {
                for (const char *member : {"user_id", "record_id", "length", "description"}) {
                    EXPECT_EQ(got[kind][r][member], theirs[r][member]) << kind << " " << r << " " << member;
                }
            }
        }
        const bool v1_0_1 = v1_0 || expected["version"] == "1.1";
        for (const std::string &key : keys) {
            if (key == "path" || got[key].is_array() || got[key].is_object() || key == "crs" || key == "laszip" ||
                key == "copc") {
                continue;
            }
            std::string theirs = renamed.count(key) ? renamed.at(key) : key;
            if (key == "points_by_return") theirs = v1_4 ? "by_return_64" : "legacy_by_return";
            json want = expected[theirs];
            if ((v1_0 && key == "file_source_id") || (v1_0_1 && key == "global_encoding")) want = nullptr;
            EXPECT_EQ(got[key], want) << key;
        }
    }
}

TEST(TolvrenInfo, TextBlocksAreAlignedUnsignedShortestAndEscaped) {
    TempDir dir;
    Bytes b = craft(4, 7, 3);
    put<std::uint16_t>(b, 4, 65535);                // file source ID
    put<std::uint64_t>(b, 247, 5000000000ull);      // a 64-bit count, whatever the records say
    put(b, 155, 0.1), put(b, 163, 1e-7), put(b, 171, 4170000.123456);
    write_file(dir.file("t.las"), b);
    write_file(dir.file("v12.las"), craft(2, 1, 2));
    const ToolRun run = tolvren({"info", dir.file("t.las"), dir.file("v12.las")});
    EXPECT_EQ(run.status, 0);
    for (const std::string &line : std::vector<std::string>{
             "File                     " + dir.file("t.las") + "\n", "Version                  1.4\n",
          "Point count              5000000000\n", "Points by return         1 1 1 0 0 0 0 0 0 0 0 0 0 0 0\n",
          "Offset                   0.1 0.0000001 4170000.123456\n", "Max                      28.5 225 0.5\n",
          std::string("System identifier        TEST\\x01SYSTEM\\\\\n"), std::string("File source ID           65535\n"),
          "\nFile                     " + dir.file("v12.las") + "\n"}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "in\n" << run.out;
    }
    // Fields 1.2 lacks are left out of its block.
    const std::string v12 = run.out.substr(run.out.find("v12.las"));
    EXPECT_EQ(v12.find("EVLR"), std::string::npos);
    EXPECT_EQ(v12.find("waveform"), std::string::npos);
}

// LAS 1.1 has a file source ID but no global encoding yet.
TEST(TolvrenInfo, GlobalEncodingIsNullBefore12) {
    TempDir dir;
    Bytes b = craft(1, 1, 2);
    put<std::uint16_t>(b, 4, 7), put<std::uint16_t>(b, 6, 1);
    write_file(dir.file("v11.las"), b);
    const json info = tolvren({"info", "--json", dir.file("v11.las")}).lines().at(0);
    EXPECT_EQ(info["file_source_id"], 7);
    EXPECT_EQ(info["global_encoding"], nullptr);
}

TEST(TolvrenCli, UsageErrorsHelpAndVersion) {
    const std::vector<std::vector<std::string>> usage_errors{
        {}, {"info"}, {"frob", "x.las"}, {"info", "--frob", "x.las"}, {"info", "-j", "0", "x.las"},
        {"check", "--dry-run", "x.las"}, {"repair", "--scan", "x.las"}, {"decompress", "x.laz"},
        {"repair", "--force", "x.las"}};
    for (const auto &args : usage_errors) {
        const ToolRun run = tolvren(args);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
    // The message names what is wrong.
    for (const auto &[args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"frobnicate", "x.las"}, "frobnicate is not a command of tolvren"},
             {{"info", "-j", "abc", "x.las"}, "--jobs: abc is not a number\n"},
             {{"set", "x.las"}, "set needs a field to set"},
             {{"set", "--creation-date", "2023-02-29", "x.las"}, "2023-02-29 is not a date"},
             {{"set", "--guid", "01234567-89ab-cdef-0123-456789abcdeg", "x.las"}, "is not a UUID"},
             {{"set", "--file-source-id", "65536", "x.las"}, "65536 is not between 0 and 65535"},
             {{"set", "--global-encoding-wkt", "yes", "x.las"}, "yes not in {on,off}"}}) {
        const ToolRun run = tolvren(args);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    }
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--help"}, {"info", "--help"}, {"check", "-h"}, {"repair", "--help"}, {"set", "--help"},
             {"decompress", "--help"}}) {
        const ToolRun run = tolvren(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find("Usage: tolvren"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
    const ToolRun version = tolvren({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tolvren " TOLVREN_PROJECT_VERSION "\n");
}

TEST(TolvrenInfo, UnreadableFilesAreReportedOnBothStreams) {
    TempDir dir;
    write_file(dir.file("good.las"), craft(2, 0, 1));
    write_file(dir.file("notes.txt"), Bytes(300, 'x'));
    const std::vector<std::string> paths{dir.file("good.las"), dir.file("missing.las"), dir.file("notes.txt"),
                                         dir.path()};
    const ToolRun run = tolvren({"info", "--json", paths[0], paths[1], paths[2], paths[3]});
    EXPECT_EQ(run.status, 1);
    std::vector<json> lines = run.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["point_count"], 1);
    const std::string codes[] = {code_name(TOLVREN_EOPEN), code_name(TOLVREN_ENOTLAS),
                                 code_name(TOLVREN_ENOTREGULAR)};
    std::string expected_err;
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(lines[i].size(), 2u);
        EXPECT_EQ(lines[i]["path"], paths[i]);
        EXPECT_EQ(lines[i]["error"]["code"], codes[i - 1]);
        expected_err += "tolvren: " + lines[i]["error"]["message"].get<std::string>() + "\n";
    }
    EXPECT_EQ(run.err, expected_err);
    EXPECT_EQ(lines[3]["error"]["message"],
              paths[3] + ": is a directory; give -r to take the LAS and LAZ files below it");
    EXPECT_EQ(tolvren({"info", paths[0]}).err, "");
}

TEST(TolvrenCheck, ErrorsFailWarningsDoNot) {
    TempDir dir;
    Bytes wrong = craft(2, 1, 30);
    put<std::uint32_t>(wrong, 111, 99);  // first-return count
    write_file(dir.file("wrong.las"), wrong);
    Bytes mirrored = craft(4, 6, 30);  // legacy fields as in formats 0-5
    put<std::uint32_t>(mirrored, 107, 30);
    for (std::size_t r = 0; r < 3; ++r) put<std::uint32_t>(mirrored, 111 + 4 * r, 10);
    write_file(dir.file("mirrored.las"), mirrored);

    ToolRun run = tolvren({"check", "--json", dir.file("mirrored.las")});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines().size(), 1u);
    json mirrored_report = run.lines()[0];
    EXPECT_EQ(mirrored_report["ok"], true);
    EXPECT_EQ(mirrored_report["findings"][0]["code"], tolvren_finding_name(TOLVREN_F_LEGACY_MIRRORED));
    EXPECT_EQ(mirrored_report["findings"][0]["severity"], tolvren_severity_name(TOLVREN_WARNING));

    run = tolvren({"check", dir.file("mirrored.las"), dir.file("wrong.las")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.rfind(dir.file("mirrored.las") + ": ok, 1 warning\n  warning  legacy_mirrored", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find(dir.file("wrong.las") + ": 1 error"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST(TolvrenCheck, PointsAddTheirFindingsAndInfoStatsCountsEveryPoint) {
    TempDir dir;
    // Returns 1-3 of 0 returns, a fill pattern for the rest: GPS times far
    // from week time, scan angles of -91 degrees.
    write_file(dir.file("f.las"), craft(2, 1, 30));
    const ToolRun scan = tolvren({"check", "--scan", "--json", dir.file("f.las")});
    const ToolRun both = tolvren({"check", "--scan", "--points", "--json", "-j", "2", dir.file("f.las")});
    EXPECT_EQ(both.status, 0);
    const json before = scan.lines().at(0)["findings"];
    const json after = both.lines().at(0)["findings"];
    std::vector<std::string> added;
    for (const json &finding : after) {
        if (std::find(before.begin(), before.end(), finding) == before.end()) added.push_back(finding["code"]);
    }
    EXPECT_EQ(added, (std::vector<std::string>{"return_above_count", "number_of_returns_zero",
                                               "gps_time_type_mismatch", "scan_angle_out_of_range"}));

    const ToolRun info = tolvren({"info", "--stats", "--json", TOLVREN_SAMPLE_PATH, dir.file("f.las")});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const json &file : info.lines()) {
        const json &stats = file.at("stats");
        std::uint64_t classes = 0, returns = 0;
        for (const json &c : stats["classes"]) classes += c["points"].get<std::uint64_t>();
        for (const json &cell : stats["returns"]) returns += cell["points"].get<std::uint64_t>();
        EXPECT_EQ(stats["points"], file["point_count"]);
        EXPECT_EQ(classes, file["point_count"]);
        EXPECT_EQ(returns, file["point_count"]);
        EXPECT_EQ(stats["ranges"].contains("red"), file["point_format"] == 3);
    }
    // The README shows the block of the sample file as it is.
    const std::string text = tolvren({"info", "--stats", TOLVREN_SAMPLE_PATH}).out;
    const std::string readme = tolvren_test::read_text(std::string(TOLVREN_SOURCE_DIR) + "/README.md");
    const std::size_t start = readme.find("```\nPoint statistics");
    ASSERT_NE(start, std::string::npos);
    const std::string shown = readme.substr(start + 4, readme.find("```", start + 4) - start - 4);
    EXPECT_EQ(text.substr(text.find("Point statistics")), shown);
}

TEST(TolvrenRepair, InconsistentCopiesAreRepairedToTheConsistentFile) {
    TempDir dir;
    for (const auto &[minor, format] : {std::pair<std::uint8_t, std::uint8_t>{2, 1}, {4, 6}, {4, 3}, {3, 5}}) {
        SCOPED_TRACE(std::to_string(minor) + "/" + std::to_string(format));
        const Bytes right = craft(minor, format, 40);
        Bytes wrong = right;
        put<std::uint32_t>(wrong, 111 + 4, 3);       // second-return count
        put(wrong, 187, -1.0);                        // min X
        if (minor >= 4) put<std::uint64_t>(wrong, 247, 41);
        const std::string path = dir.file("f.las");
        write_file(path, wrong);

        ToolRun run = tolvren({"repair", "--dry-run", path});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.rfind(path + ": would repair: ", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("min[0] -1 -> 25"), std::string::npos) << run.out;
        EXPECT_EQ(read_file(path), wrong);

        // Two names of one file are repaired one after the other, in order.
        run = tolvren({"repair", "--json", "-j", "2", path, dir.path() + "/./f.las"});
        EXPECT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(run.lines().size(), 2u);
        EXPECT_EQ(run.lines()[0]["status"], "repaired");
        EXPECT_EQ(run.lines()[1]["status"], "unchanged");
        EXPECT_EQ(read_file(path), right);
        run = tolvren({"check", "--scan", path});
        EXPECT_EQ(run.out, path + ": ok\n");
        EXPECT_EQ(tolvren({"repair", path}).out, path + ": unchanged\n");
    }
}

TEST(TolvrenRepair, CompressedFilesThatCannotBeDecodedAreRefusedUntouched) {
    TempDir dir;
    Bytes laz = craft(2, 3, 5);
    laz[104] |= 0x80;
    put<std::uint32_t>(laz, 107, 77);
    write_file(dir.file("a.laz"), laz);
    const ToolRun run = tolvren({"repair", "--json", dir.file("a.laz")});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines().size(), 1u);
    EXPECT_EQ(run.lines()[0]["status"], "refused");
    EXPECT_EQ(run.lines()[0]["error"]["code"], code_name(TOLVREN_ECOMPRESSED));
    EXPECT_NE(run.err, "");
    EXPECT_EQ(read_file(dir.file("a.laz")), laz);
}

TEST(TolvrenCheck, ATruncatedLazFileFailsTheScanAndIsNotRepaired) {
    const std::filesystem::path whole = shared_dir() / "liblas__1.2-with-color.laz";
    if (!std::filesystem::exists(whole)) GTEST_SKIP() << "no " << whole;
    TempDir dir;
    const Bytes bytes = read_file(whole.string());
    const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2));
    write_file(dir.file("cut.laz"), cut);
    // The header alone looks right; the points say otherwise.
    EXPECT_EQ(tolvren({"check", dir.file("cut.laz")}).status, 0);
    const ToolRun scan = tolvren({"check", "--scan", "--json", "-j", "2", dir.file("cut.laz")});
    EXPECT_EQ(scan.status, 1);
    const std::vector<json> lines = scan.lines();
    ASSERT_EQ(lines.size(), 1u);
    std::vector<std::string> codes;
    // Those of the chunks; the real file's other records have their own.
    for (const json &finding : lines[0]["findings"]) {
        if (finding["code"].get<std::string>().rfind("chunk", 0) == 0) codes.push_back(finding["code"]);
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"chunk_table_outside_file", "chunk_undecodable"}));
    const ToolRun repair = tolvren({"repair", "--json", dir.file("cut.laz")});
    EXPECT_EQ(repair.status, 1);
    ASSERT_EQ(repair.lines().size(), 1u);
    EXPECT_EQ(repair.lines()[0]["status"], "refused");
    EXPECT_EQ(repair.lines()[0]["error"]["code"], code_name(TOLVREN_ECORRUPT));
    EXPECT_EQ(read_file(dir.file("cut.laz")), cut);
}

TEST(TolvrenRepair, SharedFilesDryRunThenRepairThenCheckClean) {
    json files = shared_index();  // not const: a missing key reads as null
    if (files.is_null()) GTEST_SKIP() << "no sample LAS files at " << shared_dir();
    TempDir dir;
    std::vector<std::string> names;
    for (const auto &[name, entry] : files.items()) {
        std::filesystem::copy_file(shared_dir() / name, dir.file(name));
        names.push_back(name);
    }
    const auto run_all = [&](std::vector<std::string> args) {
        for (const std::string &name : names) args.push_back(dir.file(name));
        return tolvren(args);
    };
    const auto expect_status = [&](const ToolRun &run, const char *fixed) {
        std::vector<json> lines = run.lines();
        ASSERT_EQ(lines.size(), names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            json &entry = files[names[i]];
            // A LAZ file is judged by its uncompressed twin's points.
            const bool compressed = entry["header"]["compressed"] == true;
            const std::string twin = names[i].substr(0, names[i].size() - 1) + "s";
            const json &consistency = compressed ? files[twin]["consistency"] : entry["consistency"];
            const char *want = consistency["consistent"] == true ? "unchanged" : fixed;
            EXPECT_EQ(lines[i]["status"], want) << names[i];
            if (compressed) {
                EXPECT_EQ(read_file(dir.file(names[i])), read_file((shared_dir() / names[i]).string()));
            }
        }
    };
    const ToolRun dry = run_all({"repair", "--dry-run", "--json", "-j", "2"});
    EXPECT_EQ(dry.status, 1);
    expect_status(dry, "would_repair");
    for (const std::string &name : names) {
        EXPECT_EQ(read_file(dir.file(name)), read_file((shared_dir() / name).string())) << name;
    }
    expect_status(run_all({"repair", "--json", "-j", "2"}), "repaired");
    for (const std::string &name : names) {  // consistent files are byte-identical
        if (files[name].value("consistency", json::object()).value("consistent", false)) {
            EXPECT_EQ(read_file(dir.file(name)), read_file((shared_dir() / name).string())) << name;
        }
    }
    const ToolRun check = run_all({"check", "--scan", "--json"});
    for (json &line : check.lines()) {
        EXPECT_EQ(line["ok"], true) << line.dump();
    }
}

TEST(TolvrenCli, RecursionTakesLasFilesOfAnyCaseSorted) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("d/sub"));
    for (const char *name : {"d/b.LAS", "d/a.las", "d/sub/c.Laz", "d/sub/notes.txt", "d/x.las.bak", "d/sub/e.las"}) {
        write_file(dir.file(name), craft(2, 0, 1));
    }
    std::filesystem::create_directory_symlink(dir.file("d/sub"), dir.file("d/link"));
    const ToolRun run = tolvren({"info", "--json", "-r", dir.file("d/x.las.bak"), dir.file("d")});
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> paths;
    for (json &line : run.lines()) paths.push_back(line["path"]);
    const std::vector<std::string> expected{dir.file("d/x.las.bak"), dir.file("d/a.las"), dir.file("d/b.LAS"),
                                            dir.file("d/sub/c.Laz"), dir.file("d/sub/e.las")};
    EXPECT_EQ(paths, expected);
}

TEST(TolvrenDecompress, RecursionWritesEveryLazFileIntoTheSameTreeAndReplacesOnlyWhenForced) {
    const std::filesystem::path laz = shared_dir().parent_path() / "laz" / "lazperf__point10.laz";
    if (!std::filesystem::exists(laz)) GTEST_SKIP() << "no " << laz;
    TempDir dir;
    std::filesystem::create_directories(dir.file("in/sub"));
    const Bytes bytes = read_file(laz.string());
    write_file(dir.file("in/a.laz"), bytes);
    write_file(dir.file("in/sub/B.LAZ"), bytes);
    write_file(dir.file("in/sub/cut.laz"), Bytes(bytes.begin(), bytes.begin() + 2000));
    write_file(dir.file("in/sub/plain.las"), craft(2, 0, 3));
    const ToolRun run = tolvren({"decompress", "--json", "-r", "-j", "2", dir.file("in"), dir.file("out")});
    EXPECT_EQ(run.status, 1);
    const std::vector<json> lines = run.lines();
    ASSERT_EQ(lines.size(), 3u) << run.out;
    const std::vector<std::pair<std::string, std::string>> expected{
        {"a.laz", "a.las"}, {"sub/B.LAZ", "sub/B.las"}, {"sub/cut.laz", "sub/cut.las"}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i]["path"], dir.file("in/" + expected[i].first));
        EXPECT_EQ(lines[i]["output"], dir.file("out/" + expected[i].second));
        EXPECT_EQ(lines[i]["status"], i < 2 ? "decompressed" : "refused");
        EXPECT_EQ(lines[i]["points"], i < 2 ? json(1065) : json(nullptr));
    }
    EXPECT_EQ(lines[2]["error"]["code"], code_name(TOLVREN_ECORRUPT));
    EXPECT_EQ(run.err, "tolvren: " + lines[2]["error"]["message"].get<std::string>() + "\n");
    EXPECT_TRUE(read_file(dir.file("out/a.las")) == read_file(dir.file("out/sub/B.las")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/sub/cut.las")));

    const ToolRun again = tolvren({"decompress", dir.file("in/a.laz"), dir.file("out/a.las")});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out.rfind(dir.file("in/a.laz") + ": refused: ", 0), 0u) << again.out;
    const ToolRun forced = tolvren({"decompress", "--force", dir.file("in/a.laz"), dir.file("out/a.las")});
    EXPECT_EQ(forced.status, 0);
    EXPECT_EQ(forced.out, dir.file("in/a.laz") + ": decompressed to " + dir.file("out/a.las") + " (1065 points, " +
                              std::to_string(std::filesystem::file_size(dir.file("out/a.las"))) + " bytes)\n");
}

TEST(TolvrenCli, OutputKeepsTheOrderOfTheFilesWithManyJobs) {
    TempDir dir;
    std::vector<std::string> args{"check", "--scan"};
    // Large files first, so that later ones finish earlier; every fifth unreadable.
    for (int i = 0; i < 30; ++i) {
        const std::string path = dir.file("f" + std::to_string(i) + ".las");
        if (i % 5 == 4) {
            write_file(path, Bytes(10, 'x'));
        } else {
            write_file(path, craft(i % 2 ? 2 : 4, static_cast<std::uint8_t>(i % 11), i < 6 ? 50000u : 10u));
        }
        args.push_back(path);
    }
    const ToolRun one = tolvren(args);
    args.insert(args.begin() + 1, {"-j", "6"});
    const ToolRun six = tolvren(args);
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(six.status, 1);
    EXPECT_EQ(six.out, one.out);
    EXPECT_EQ(six.err, one.err);
    std::size_t at = 0;
    for (int i = 0; i < 30; ++i) {
        at = six.out.find(dir.file("f" + std::to_string(i) + ".las:"), at);
        ASSERT_NE(at, std::string::npos) << i;
    }
}


// Runs tolvren with `args` in a child that first calls `prepare` (to redirect
// a stream or set a limit); returns what it wrote to stdout and its status.
template <typename Prepare>
tolvren_test::ProcessResult tolvren_after(Prepare &&prepare, std::vector<std::string> args) {
    args.insert(args.begin(), TOLVREN_TOOL_PATH);
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return tolvren_test::run_in_child([&] {
        prepare();
        execv(argv[0], argv.data());
        _exit(127);
    });
}

TEST(TolvrenRepair, AFailingOutputStopsTheRunBeforeTheNextFile) {
    TempDir dir;
    Bytes wrong = craft(2, 1, 30);
    put<std::uint32_t>(wrong, 107, 31);
    write_file(dir.file("a.las"), wrong);
    write_file(dir.file("b.las"), wrong);
    const auto to_full_disk = [] {
        dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    };
    EXPECT_EQ(tolvren_after(to_full_disk, {"repair", "-j", "1", dir.file("a.las"), dir.file("b.las")}).exit_code, 1);
    // The first file's result was lost with it repaired; no other file is touched after that.
    EXPECT_EQ(read_file(dir.file("a.las")), craft(2, 1, 30));
    EXPECT_EQ(read_file(dir.file("b.las")), wrong);
}


TEST(TolvrenInfo, JsonDoublesAreShortestAndNonFiniteOnesNull) {
    TempDir dir;
    Bytes b = craft(2, 0, 1);
    put(b, 155, 0.0269056), put(b, 163, std::nan(""));  // offsets X and Y
    write_file(dir.file("t.las"), b);
    const ToolRun run = tolvren({"info", "--json", dir.file("t.las")});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\"offset\":[0.0269056,null,0.0],"), std::string::npos) << run.out;
}


// A double reads the same in check's sentences, in repair's text, in info
// and in JSON: shortest, without an exponent for what a header holds.
TEST(TolvrenCheck, DoublesReadTheSameEverywhereWithoutExponents) {
    TempDir dir;
    const std::string path = dir.file("f.las");
    Bytes b = craft(2, 1, 30);
    put(b, 187, 0.1);  // min X, the points' being 25
    put(b, 171, 600000.0), put(b, 211, 600002.25), put(b, 219, 600000.0);  // offset Z and the Z extents with it
    write_file(path, b);
    EXPECT_NE(tolvren({"check", "--scan", path}).out.find("[0.1, 75.75]"), std::string::npos);
    EXPECT_NE(tolvren({"repair", "--dry-run", path}).out.find("min[0] 0.1 -> 25\n"), std::string::npos);
    EXPECT_NE(tolvren({"info", path}).out.find("Offset                   0 0 600000\n"), std::string::npos);
    EXPECT_NE(tolvren({"info", "--json", path}).out.find("\"offset\":[0.0,0.0,600000.0]"), std::string::npos);
}

TEST(TolvrenRepair, AFailedWriteIsReportedAsFailedNotRefused) {
    TempDir dir;
    Bytes wrong = craft(2, 1, 30);
    put<std::uint32_t>(wrong, 107, 31);  // point count: written first
    put(wrong, 187, -1.0);               // min X: cannot be written below the limit
    const std::string path = dir.file("f.las");
    write_file(path, wrong);
    const auto file_size_limit = [] {
        signal(SIGXFSZ, SIG_DFL);  // a write past the limit must fail, not end the process
        const rlimit limit{150, 150};
        setrlimit(RLIMIT_FSIZE, &limit);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    };
    const tolvren_test::ProcessResult as_json = tolvren_after(file_size_limit, {"repair", "--json", path});
    EXPECT_EQ(as_json.exit_code, 1);
    const json line = json::parse(as_json.out);
    EXPECT_EQ(line["status"], "failed");
    EXPECT_EQ(line["error"]["code"], code_name(TOLVREN_EWRITE));
    EXPECT_EQ(line["changes"].size(), 2u);  // what it tried to write
    EXPECT_EQ(read_file(path), wrong);  // the original bytes were written back
    EXPECT_EQ(tolvren_after(file_size_limit, {"repair", path}).out.rfind(path + ": failed: ", 0), 0u);
}


TEST(TolvrenCli, RecursionReportsLinksThatLeadNowhere) {
    TempDir dir;
    write_file(dir.file("a.las"), craft(2, 0, 1));
    std::filesystem::create_symlink(dir.file("gone.las"), dir.file("b.las"));
    std::filesystem::create_symlink(dir.file("c.las"), dir.file("c.las"));
    const ToolRun run = tolvren({"info", "--json", "-r", dir.path()});
    EXPECT_EQ(run.status, 1);
    std::vector<json> lines = run.lines();
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t i = 1; i < 3; ++i) EXPECT_EQ(lines[i]["error"]["code"], code_name(TOLVREN_EOPEN)) << lines[i];
}


// With a standard stream closed, the files opened would take its number and
// messages or results would land in a tile: each ends as it was or repaired.
TEST(TolvrenRepair, ClosedStandardStreamsNeverReachATile) {
    TempDir dir;
    const Bytes right = craft(2, 1, 30);
    Bytes stale = right;
    put<std::uint32_t>(stale, 107, 31);
    std::vector<std::string> args{"repair", "-j", "3"};
    for (int i = 0; i < 200; ++i) args.push_back(dir.file(std::to_string(i) + ".las"));
    for (const std::vector<int> &closed : {std::vector<int>{2}, {1, 2}, {0, 1, 2}}) {
        // Every other file is no LAS file and gets a message on stderr.
        for (std::size_t i = 3; i < args.size(); ++i) write_file(args[i], i % 2 ? stale : Bytes(300, 'x'));
        EXPECT_EQ(tolvren_after([&] { for (const int fd : closed) close(fd); }, args).exit_code, 1);
        for (std::size_t i = 3; i < args.size(); i += 2) {
            const Bytes now = read_file(args[i]);
            EXPECT_TRUE(now == stale || now == right) << args[i];
        }
    }
}

// A repair writes extents its own check with a scan finds right, or refuses.
TEST(TolvrenRepair, ARepairedHeaderChecksCleanOrTheRepairRefuses) {
    TempDir dir;
    Bytes negative = craft(4, 6, 40);  // the raw maximum is the real minimum
    put(negative, 131, -0.25), put(negative, 179, 0.0), put(negative, 187, 0.0);
    // Every point at real X 102: extents crossed by less than half a step,
    // a NaN min beside such a max, and (zero scale) a crossed Y to refuse.
    tolvren_test::LasFile flat;
    flat.wkt = tolvren_test::kTestWkt;
    for (tolvren_test::Point &p : flat.points) p.x = 8;
    Bytes crossed = flat.build(), nan_min = crossed, bad_scale = crossed;
    put(crossed, 187, 102.1), put(crossed, 179, 101.9), put(nan_min, 187, std::nan("")), put(nan_min, 179, 101.9);
    put(bad_scale, 139, 0.0), put(bad_scale, 203, 1e9);
    for (const Bytes *bytes : {&negative, &crossed, &nan_min, &bad_scale}) {
        const std::string path = dir.file("f.las");
        write_file(path, *bytes);
        const ToolRun repair = tolvren({"repair", "--json", path});
        if (bytes == &bad_scale) {
            EXPECT_EQ(repair.lines().at(0)["error"]["code"], code_name(TOLVREN_EEXTENT));
            EXPECT_NE(repair.err.find("the Y extent"), std::string::npos) << repair.err;
            EXPECT_EQ(read_file(path), *bytes);
        } else {
            EXPECT_EQ(repair.lines().at(0)["status"], "repaired");
            EXPECT_EQ(tolvren({"check", "--scan", path}).out, path + ": ok\n");
        }
    }
}

// Waveform data said to be in the file and to start inside the point
// records end the records there, whether EVLRs follow or not.
TEST(TolvrenCheck, WaveformDataInsideThePointsAreFoundWithOrWithoutEvlrs) {
    TempDir dir;
    const std::string path = dir.file("f.las");
    std::vector<json> findings;
    for (const bool evlrs : {false, true}) {
        tolvren_test::LasFile f;
        f.wkt = tolvren_test::kTestWkt;
        f.points.assign(40, {1, 2, 3, 1});
        if (evlrs) f.evlrs = {8};
        Bytes b = f.build();
        b[6] |= 2;  // global encoding bit 1: waveform data in this file
        put<std::uint64_t>(b, 227, 375 + 30 * 10 + 7);
        write_file(path, b);
        findings.push_back(tolvren({"check", "--scan", "--json", path}).lines().at(0)["findings"]);
        EXPECT_EQ(tolvren({"repair", "--json", path}).lines().at(0)["status"], "refused");
    }
    EXPECT_EQ(findings[0].size(), 3u);
    EXPECT_EQ(findings[1], findings[0]);
}

// A path that is not UTF-8 shows U+FFFD in "path"; "path_bytes", right
// after it, gives the exact bytes in hex.
TEST(TolvrenCli, PathsThatAreNotUtf8KeepTheirBytes) {
    TempDir dir;
    const std::vector<std::string> paths{dir.file("x\xff.las"), dir.file("x\xfe.las"), dir.file("caf\xc3\xa9.las")};
    for (const std::string &path : paths) write_file(path, craft(2, 0, 1));
    std::string hex;
    for (const char c : paths[0]) hex += "0123456789abcdef"[(c >> 4) & 15], hex += "0123456789abcdef"[c & 15];
    for (const char *command : {"info", "check"}) {
        const std::vector<json> lines = tolvren({command, "--json", paths[0], paths[1], paths[2]}).lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(std::next(lines[0].begin()).key() + ": " + lines[0].value("path_bytes", ""), "path_bytes: " + hex);
        EXPECT_NE(lines[1]["path_bytes"], lines[0]["path_bytes"]);
        EXPECT_FALSE(lines[2].contains("path_bytes"));
    }
}

// However long the path, a failure's sentence keeps its reason, and the
// text gives the reason alone.
TEST(TolvrenInfo, TheReasonSurvivesAnyPathLength) {
    TempDir dir;
    std::string path = dir.path();
    for (int i = 0; i < 12; ++i) {  // about 2,500 bytes
        path += "/" + std::string(200, static_cast<char>('a' + i));
        std::filesystem::create_directory(path);
    }
    path += "/missing.las";
    const std::string reason = "cannot open the file (No such file or directory)";
    const std::string message = tolvren({"info", "--json", path}).lines().at(0)["error"]["message"];
    EXPECT_LT(message.size(), 512u);
    EXPECT_EQ(message, "..." + path.substr(path.size() - (message.size() - 5 - reason.size())) + ": " + reason);
    EXPECT_NE(tolvren({"info", path}).out.find("\nError                    " + reason + "\n"), std::string::npos);
}

// Two names of one file: work that only reads has both at once, work that
// changes files one after the other. Each task waits for the other to run
// too: long where they must overlap, briefly where they must not.
TEST(TolvrenRunner, OnlyWorkThatChangesFilesTakesTurnsOnOneFile) {
    const std::vector<tolvren_cli::Input> links(2, tolvren_cli::Input{"f.las", 0, 1, 42, {}});
    for (const auto same_file : {tolvren_cli::SameFile::Together, tolvren_cli::SameFile::InTurn}) {
        const bool together = same_file == tolvren_cli::SameFile::Together;
        std::mutex mutex;
        std::condition_variable changed;
        int running = 0, most = 0;
        const tolvren_cli::Task task = [&](std::size_t, tolvren_cli::ProgressSlot &) {
            std::unique_lock<std::mutex> lock(mutex);
            most = std::max(most, ++running);
            changed.notify_all();
            changed.wait_for(lock, together ? std::chrono::seconds(10) : std::chrono::milliseconds(200),
                             [&] { return most == 2; });
            --running;
            return tolvren_cli::Outcome{};
        };
        tolvren_cli::run_in_order(links, 2, tolvren_cli::ProgressUnit::Files, tolvren_cli::Writes::Buffered, same_file,
                                  task);
        EXPECT_EQ(most, together ? 2 : 1);
    }
}


// set: every option writes its field as info shows it back; the dry run
// says what would change, a second run that nothing does.
TEST(TolvrenSet, EachOptionWritesTheFieldInfoShows) {
    TempDir dir;
    const std::string path = dir.file("f.las");
    // A WKT record for the WKT bit to point at, the bit itself clear.
    tolvren_test::LasFile f;
    f.format = 1;
    f.wkt = tolvren_test::kTestWkt;
    Bytes b = f.build();
    put<std::uint16_t>(b, 6, 0);
    write_file(path, b);
    const std::vector<std::string> fields{
        "--file-source-id", "65535", "--system-identifier", "NEW SYS", "--generating-software", "",
        "--creation-date", "2024-12-31", "--guid", "01234567-89ab-cdef-0123-456789ABCDEF",
        "--global-encoding-gps", "adjusted", "--global-encoding-wkt", "on", path};
    std::vector<std::string> args{"set", "--dry-run"};
    args.insert(args.end(), fields.begin(), fields.end());
    ToolRun run = tolvren(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, path +
                           ": would set: file_source_id 0 -> 65535, system_identifier \"TEST\\x01SYSTEM\\\\\" -> "
                           "\"NEW SYS\", generating_software \"tolvren tests\" -> \"\", creation_date 2024-060 -> "
                           "2024-366, guid 00000000-0000-0000-0000-000000000000 -> "
                           "01234567-89ab-cdef-0123-456789abcdef, gps_time_type week -> adjusted, wkt off -> on\n");
    args.at(1) = "--json";
    run = tolvren(args);
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines().size(), 1u);
    EXPECT_EQ(run.lines()[0]["status"], "set");
    EXPECT_EQ(run.lines()[0]["changes"].size(), 7u);
    EXPECT_EQ(run.lines()[0]["changes"][3],
              json::parse(R"({"field":"creation_date","old":"2024-060","new":"2024-366"})"));
    json info = tolvren({"info", "--json", path}).lines().at(0);
    const json expected = json::parse(R"({"file_source_id":65535,"system_identifier":"NEW SYS",
        "generating_software":"","creation_day":366,"creation_year":2024,"global_encoding":17,
        "guid":"01234567-89ab-cdef-0123-456789abcdef"})");
    for (const auto &[key, value] : expected.items()) EXPECT_EQ(info[key], value) << key;
    args.erase(args.begin() + 1);
    EXPECT_EQ(tolvren(args).out, path + ": unchanged\n");
}

// A field the version lacks is refused file by file; --guid random gives the
// files of one run one new version-4 UUID; a write under a file-size limit
// fails and lists what it tried.
TEST(TolvrenSet, RefusalsRandomGuidsAndFailedWrites) {
    TempDir dir;
    const std::string old_file = dir.file("v10.las"), new_file = dir.file("v14.las");
    write_file(old_file, craft(0, 1, 3));
    write_file(new_file, craft(4, 6, 3));
    ToolRun run = tolvren({"set", "--json", "--file-source-id", "5", old_file, new_file});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines().size(), 2u);
    EXPECT_EQ(run.lines()[0]["status"], "refused");
    EXPECT_EQ(run.lines()[0]["error"]["code"], code_name(TOLVREN_EFIELD));
    EXPECT_EQ(run.lines()[0]["changes"], json::array());
    EXPECT_EQ(run.lines()[1]["status"], "set");
    EXPECT_EQ(read_file(old_file), craft(0, 1, 3));

    std::vector<std::string> guids;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(tolvren({"set", "--guid", "random", old_file, new_file}).status, 0);
        const std::vector<json> lines = tolvren({"info", "--json", old_file, new_file}).lines();
        EXPECT_EQ(lines.at(0)["guid"], lines.at(1)["guid"]);
        guids.push_back(lines.at(0)["guid"]);
        EXPECT_EQ(guids.back()[14], '4') << guids.back();
        EXPECT_NE(std::string("89ab").find(guids.back()[19]), std::string::npos) << guids.back();
    }
    EXPECT_NE(guids[0], guids[1]);

    const auto file_size_limit = [] {
        const rlimit limit{40, 40};  // below the system identifier's bytes
        setrlimit(RLIMIT_FSIZE, &limit);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    };
    const Bytes before = read_file(new_file);
    const tolvren_test::ProcessResult limited =
        tolvren_after(file_size_limit, {"set", "--json", "--system-identifier", "X", new_file});
    EXPECT_EQ(limited.exit_code, 1);
    const json line = json::parse(limited.out);
    EXPECT_EQ(line["status"], "failed");
    EXPECT_EQ(line["changes"].at(0)["new"], "X");
    EXPECT_EQ(read_file(new_file), before);
}

}  // namespace
