// SPDX-License-Identifier: MIT
// tolvren_decompress on the LAZ files of other software: the records of
// their uncompressed twins, their own VLRs and EVLRs, headers that check
// clean; counts taken from the chunks, what follows the points moved with
// them; and every way it refuses or fails leaves no output and no
// temporary file, and never touches the input. Skips without ../shared.
#include "test_support.h"
#include "tolvren_las.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace tolvren_test;
namespace fs = std::filesystem;

const fs::path kShared = fs::path(TOLVREN_SHARED_LAS_DIR).parent_path();

int decompress(const std::string &in, const std::string &out, unsigned flags = 0,
               tolvren_decompress_result *result = nullptr, tolvren_progress_fn progress = nullptr) {
    tolvren_decompress_result ignored;
    tolvren_detail detail;
    const int code = tolvren_decompress(in.c_str(), out.c_str(), flags, 2, progress, nullptr,
                                        result ? result : &ignored, &detail);
    EXPECT_EQ(code, detail.code) << detail.message;
    return code;
}

// The point records a header counts, from OffsetToData.
Bytes records(const Bytes &las) {
    const std::uint64_t count = las[25] >= 4 ? get<std::uint64_t>(las, 247) : get<std::uint32_t>(las, 107);
    const std::size_t start = get<std::uint32_t>(las, 96);
    return Bytes(las.begin() + static_cast<std::ptrdiff_t>(start),
                 las.begin() + static_cast<std::ptrdiff_t>(start + count * get<std::uint16_t>(las, 105)));
}

// Every VLR but the LASzip VLR, then every EVLR: its header's fields and
// its data.
std::vector<std::string> vlrs_and_evlrs(const std::string &path) {
    const auto listed = std::make_unique<tolvren_records>();
    EXPECT_EQ(tolvren_read_records(path.c_str(), listed.get(), nullptr), TOLVREN_OK);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < listed->listed; ++i) {
        const tolvren_record &r = listed->records[i];
        if (std::string(r.user_id) == "laszip encoded" && r.record_id == 22204) continue;
        std::string data(r.length, '\0');
        std::size_t got = 0;
        EXPECT_EQ(tolvren_read_record_data(path.c_str(), &r, data.data(), data.size(), &got, nullptr), TOLVREN_OK);
        out.push_back(std::to_string(r.extended) + "/" + std::to_string(r.reserved) + "/" + r.user_id + "/" +
                      std::to_string(r.record_id) + "/" + r.description + "/" + data.substr(0, got));
    }
    return out;
}

int errors_of(const std::string &path) {
    tolvren_report report;
    EXPECT_EQ(tolvren_check_file(path.c_str(), TOLVREN_CHECK_SCAN, nullptr, nullptr, &report, nullptr), TOLVREN_OK);
    return report.errors;
}

std::set<std::string> names_in(const TempDir &dir) {
    std::set<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(dir.path())) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class SharedLaz : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kShared / "laz")) GTEST_SKIP() << "no LAZ sample files in " << kShared;
    }
    TempDir dir;
};

TEST_F(SharedLaz, EveryFileGivesItsTwinsRecordsItsOwnRecordsAndAHeaderThatChecksClean) {
    std::vector<fs::path> files;
    for (const char *folder : {"laz", "las"}) {
        for (const fs::directory_entry &entry : fs::directory_iterator(kShared / folder)) {
            if (entry.path().extension() == ".laz") files.push_back(entry.path());
        }
    }
    ASSERT_GE(files.size(), 16u);
    for (const fs::path &path : files) {
        SCOPED_TRACE(path.filename().string());
        const std::string out = dir.file(path.stem().string() + ".las");
        tolvren_decompress_result result;
        ASSERT_EQ(decompress(path.string(), out, 0, &result), TOLVREN_OK);
        const Bytes input = read_file(path.string());
        const Bytes got = read_file(out);
        EXPECT_EQ(result.bytes_written, got.size());
        EXPECT_EQ(result.output_size, got.size());
        // Only the layout and count fields of the header change.
        EXPECT_EQ(got[104], input[104] & 0x3F);
        for (std::size_t i = 0; i < get<std::uint16_t>(input, 94); ++i) {
            const bool layout = (i >= 96 && i < 105) || (i >= 227 && i < 243);
            const bool counts = (i >= 107 && i < 131) || i >= 247;
            if (!layout && !counts) {
                ASSERT_EQ(got[i], input[i]) << "header byte " << i;
            }
        }
        EXPECT_EQ(vlrs_and_evlrs(out), vlrs_and_evlrs(path.string()));
        const fs::path twin = fs::path(path).replace_extension(".las");
        if (fs::exists(twin)) {
            const Bytes want = records(read_file(twin.string()));
            EXPECT_EQ(result.points * get<std::uint16_t>(got, 105), want.size());
            EXPECT_TRUE(records(got) == want);
        } else {
            EXPECT_EQ(result.points, 808042u);  // loadersgl__indoor, as decoded.json says
        }
        EXPECT_EQ(errors_of(out), 0);
    }
}

TEST_F(SharedLaz, TheRecordsAreThoseTheChunksHoldAndWhatFollowsThemMovesWithThem) {
    // Point-wise chunks of 50000 and layered ones of 256: the last chunk
    // holds what it holds, whatever count the header gives.
    for (const auto &[name, counts] : {std::pair<const char *, std::vector<std::uint64_t>>{
                                           "lazperf__autzen_trim.laz", {109999, 110001, 1}},
                                       {"loadersgl__pdrf7-v4-1.4.laz", {1000, 1100}}}) {
        const Bytes whole = read_file((kShared / "laz" / name).string());
        ASSERT_EQ(decompress((kShared / "laz" / name).string(), dir.file("right.las"), TOLVREN_DECOMPRESS_FORCE),
                  TOLVREN_OK);
        const Bytes right = read_file(dir.file("right.las"));
        for (const std::uint64_t count : counts) {
            SCOPED_TRACE(std::string(name) + " counting " + std::to_string(count));
            Bytes wrong = whole;
            if (wrong[25] >= 4) {
                put<std::uint64_t>(wrong, 247, count);
            } else {
                put<std::uint32_t>(wrong, 107, static_cast<std::uint32_t>(count));
            }
            write_file(dir.file("wrong.laz"), wrong);
            tolvren_decompress_result result;
            ASSERT_EQ(decompress(dir.file("wrong.laz"), dir.file("out.las"), TOLVREN_DECOMPRESS_FORCE, &result),
                      TOLVREN_OK);
            EXPECT_EQ(result.header_point_count, count);
            EXPECT_EQ(result.counts_changed, 1);
            EXPECT_TRUE(read_file(dir.file("out.las")) == right);
        }
    }
    // Waveform data kept in a LAS 1.3 file after the chunk table: their
    // start moves to the end of the records.
    Bytes waves = read_file((kShared / "laz" / "loadersgl__pdrf4-1.3.laz").string());
    put<std::uint16_t>(waves, 6, 2);
    put<std::uint64_t>(waves, 227, waves.size());
    const Bytes packets(60 + 100, 0x3C);
    waves.insert(waves.end(), packets.begin(), packets.end());
    write_file(dir.file("waves.laz"), waves);
    ASSERT_EQ(decompress(dir.file("waves.laz"), dir.file("waves.las")), TOLVREN_OK);
    const Bytes got = read_file(dir.file("waves.las"));
    EXPECT_EQ(get<std::uint64_t>(got, 227), got.size() - packets.size());
    EXPECT_TRUE(Bytes(got.end() - static_cast<std::ptrdiff_t>(packets.size()), got.end()) == packets);
    EXPECT_EQ(errors_of(dir.file("waves.las")), 0);
}

TEST_F(SharedLaz, RefusalsAndFailuresLeaveNoOutputAndNeverTouchTheInput) {
    const Bytes whole = read_file((kShared / "laz" / "lazperf__autzen_trim.laz").string());
    const std::string in = dir.file("in.laz");
    const std::string out = dir.file("out.las");
    const auto only_input = std::set<std::string>{"in.laz"};

    Bytes damaged = whole;
    damaged[whole.size() / 2] ^= 0x5A;
    write_file(in, damaged);
    EXPECT_EQ(decompress(in, out), TOLVREN_ECORRUPT);
    EXPECT_EQ(names_in(dir), only_input);

    write_file(in, whole);
    const tolvren_progress_fn cancel = [](std::uint64_t, std::uint64_t, void *) { return 1; };
    EXPECT_EQ(decompress(in, out, 0, nullptr, cancel), TOLVREN_ECANCELED);
    EXPECT_EQ(names_in(dir), only_input);

    // A file-size limit below the output: the write fails, the process lives.
    const ProcessResult limited = run_in_child([&] {
        signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{1000000, 1000000};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::printf("%d", decompress(in, out));
    });
    EXPECT_EQ(limited.out, std::to_string(TOLVREN_EWRITE));
    EXPECT_EQ(names_in(dir), only_input);

    // The input by its own name, another link and a symbolic link, even
    // forced; an uncompressed file.
    fs::create_hard_link(in, dir.file("link.laz"));
    fs::create_symlink("in.laz", dir.file("symlink.las"));
    for (const char *name : {"in.laz", "link.laz", "symlink.las"}) {
        EXPECT_EQ(decompress(in, dir.file(name), TOLVREN_DECOMPRESS_FORCE), TOLVREN_EINVAL) << name;
    }
    EXPECT_TRUE(read_file(in) == whole);
    write_file(dir.file("plain.las"), LasFile().build());
    EXPECT_EQ(decompress(dir.file("plain.las"), out), TOLVREN_EINVAL);

    // An existing output only when forced; a new file's mode is any new
    // file's.
    const mode_t mask = ::umask(022);
    write_file(out, Bytes{'x'});
    tolvren_detail detail;
    tolvren_decompress_result result;
    EXPECT_EQ(tolvren_decompress(in.c_str(), out.c_str(), 0, 1, nullptr, nullptr, &result, &detail),
              TOLVREN_EWRITEOPEN);
    EXPECT_EQ(detail.sys_errno, EEXIST);
    EXPECT_TRUE(read_file(out) == Bytes{'x'});
    EXPECT_EQ(decompress(in, out, TOLVREN_DECOMPRESS_FORCE), TOLVREN_OK);
    struct stat info;
    ASSERT_EQ(::stat(out.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ::umask(mask);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.laz", "link.laz", "out.las", "plain.las", "symlink.las"}));
}

}  // namespace
