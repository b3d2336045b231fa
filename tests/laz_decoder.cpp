// SPDX-License-Identifier: MIT
// The LAZ decoder against real files: every LAZ file in ../shared with an
// uncompressed twin decodes to the twin's records byte for byte, on one
// thread or two, and the large file without one to what independent
// decoders agree on; damaged copies (cut at every length, a byte flipped in
// each chunk, a moved or missing chunk table, a wrong point count) always
// give a finding or an error and never a crash; repair mends the header of a
// LAZ file and nothing else. Skips when ../shared is absent.
#include "laz/laz_reader.h"
#include "laz_writer.h"
#include "test_support.h"
#include "tolvren_las.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using laz_writer::Bytes;
using laz_writer::get;
using laz_writer::put;
using namespace tolvren::laz;
namespace fs = std::filesystem;

const fs::path kShared = fs::path(TOLVREN_SHARED_LAS_DIR).parent_path();

Bytes load(const fs::path &path) { return tolvren_test::read_file(path.string()); }

// Every chunk's records, by chunk, whatever thread decoded it.
class Collector {
public:
    explicit Collector(std::size_t threads, std::size_t record_length) : sinks_(threads) {
        for (Sink &sink : sinks_) sink.length = record_length;
    }
    std::vector<ChunkConsumer *> consumers() {
        std::vector<ChunkConsumer *> out;
        for (Sink &sink : sinks_) out.push_back(&sink);
        return out;
    }
    // The records of the chunks that decoded, in chunk order.
    Bytes records() const {
        std::map<std::uint64_t, const Bytes *> ordered;
        for (const Sink &sink : sinks_) {
            for (const auto &[index, bytes] : sink.chunks) ordered[index] = &bytes;
        }
        Bytes all;
        for (const auto &[index, bytes] : ordered) all.insert(all.end(), bytes->begin(), bytes->end());
        return all;
    }

private:
    struct Sink final : ChunkConsumer, RecordSink {
        std::size_t length = 0;
        Bytes current;
        std::map<std::uint64_t, Bytes> chunks;
        RecordSink &begin_chunk(const ChunkSpec &) override {
            current.clear();
            return *this;
        }
        bool records(const unsigned char *records, std::size_t count) override {
            current.insert(current.end(), records, records + count * length);
            return true;
        }
        void end_chunk(const ChunkSpec &spec, const ChunkResult &result) override {
            if (result.outcome == ChunkOutcome::ok || result.outcome == ChunkOutcome::count_differs) {
                chunks[spec.index] = current;
            }
        }
    };
    std::vector<Sink> sinks_;
};

struct Decoded {
    bool decodable = false;
    bool table_found = false;
    DecodeReport report;
    Bytes records;
};

// Decodes `file` as the header says (or, when `header_of` is given, as the
// header of that file says: `file` may be cut short of its own header).
Decoded decode(const Bytes &file, LayerChoice choice = LayerChoice::all, std::size_t threads = 1,
               const Bytes *header_of = nullptr) {
    const MemoryInput input(file.data(), file.size());
    LasLayout layout = laz_writer::layout_of(header_of ? *header_of : file);
    layout.region_end = std::min<std::uint64_t>(layout.region_end, file.size());
    Decoded out;
    const Container container = open_container(input, layout);
    out.decodable = container.decodable;
    out.table_found = container.table.kind != TableLocation::Kind::missing;
    if (!container.decodable) return out;
    Collector collector(threads, layout.record_length);
    out.report = decode_chunks(input, layout, container, choice, collector.consumers(), {});
    out.records = collector.records();
    return out;
}

// The records of an uncompressed twin: point count times record length
// bytes from OffsetToData.
Bytes twin_records(const Bytes &las) {
    const std::uint64_t count = las[25] >= 4 ? get<std::uint64_t>(las, 247) : get<std::uint32_t>(las, 107);
    const std::size_t start = get<std::uint32_t>(las, 96);
    return Bytes(las.begin() + static_cast<std::ptrdiff_t>(start),
                 las.begin() + static_cast<std::ptrdiff_t>(start + count * get<std::uint16_t>(las, 105)));
}

std::vector<fs::path> pairs() {
    std::vector<fs::path> out;
    for (const char *folder : {"laz", "las"}) {
        if (!fs::exists(kShared / folder)) continue;
        for (const fs::directory_entry &entry : fs::directory_iterator(kShared / folder)) {
            const fs::path twin = fs::path(entry.path()).replace_extension(".las");
            if (entry.path().extension() == ".laz" && fs::exists(twin)) out.push_back(entry.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

class LazFiles : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kShared / "laz")) GTEST_SKIP() << "no LAZ sample files in " << kShared;
    }
};

TEST_F(LazFiles, DecodeToTheirTwinsRecordsOnAnyNumberOfThreads) {
    const std::vector<fs::path> files = pairs();
    ASSERT_GE(files.size(), 15u);
    for (const fs::path &path : files) {
        SCOPED_TRACE(path.filename().string());
        const Bytes laz = load(path);
        const Bytes want = twin_records(load(fs::path(path).replace_extension(".las")));
        for (const std::size_t threads : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
            const Decoded got = decode(laz, LayerChoice::all, threads);
            ASSERT_TRUE(got.decodable);
            EXPECT_EQ(got.report.bad_chunks, 0u);
            EXPECT_EQ(got.report.count_mismatches, 0u);
            EXPECT_TRUE(got.report.table_problem.empty()) << got.report.table_problem;
            ASSERT_EQ(got.records.size(), want.size()) << threads << " threads";
            EXPECT_TRUE(got.records == want) << threads << " threads";
        }
        // Decoding only the returns and coordinates gets those exactly:
        // X, Y, Z, the returns in byte 14 and, in formats 6-10, the scanner
        // channel.
        const Decoded some = decode(laz, LayerChoice::coordinates, 2);
        const std::size_t length = get<std::uint16_t>(laz, 105);
        const bool layered = (laz[104] & 0x3F) >= 6;
        ASSERT_EQ(some.records.size(), want.size());
        for (std::size_t r = 0; r < want.size() / length; ++r) {
            const unsigned char *a = some.records.data() + r * length;
            const unsigned char *b = want.data() + r * length;
            ASSERT_EQ(std::memcmp(a, b, 12), 0) << "record " << r;
            ASSERT_EQ(a[14], b[14]) << "record " << r;
            if (layered) {
                ASSERT_EQ(a[15] & 0x30, b[15] & 0x30) << "record " << r;
            }
        }
    }
}

// A compact SHA-256, for the digest decoded.json gives of a file's records.
std::string sha256(const Bytes &data) {
    static constexpr std::array<std::uint32_t, 64> k = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    Bytes m = data;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8) m.push_back(static_cast<unsigned char>((data.size() * 8) >> shift));
    auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (std::size_t block = 0; block < m.size(); block += 64) {
        std::array<std::uint32_t, 64> w{};
        for (std::size_t i = 0; i < 16; ++i) {
            w[i] = std::uint32_t{m[block + 4 * i]} << 24 | std::uint32_t{m[block + 4 * i + 1]} << 16 |
                   std::uint32_t{m[block + 4 * i + 2]} << 8 | m[block + 4 * i + 3];
        }
        for (std::size_t i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = h;
        for (std::size_t i = 0; i < 64; ++i) {
            const std::uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                                     ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + w[i];
            const std::uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
                                     ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
            v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (std::size_t i = 0; i < 8; ++i) h[i] += v[i];
    }
    std::string hex;
    for (std::uint32_t word : h) {
        std::array<char, 9> part{};
        std::snprintf(part.data(), part.size(), "%08x", word);
        hex += part.data();
    }
    return hex;
}

TEST_F(LazFiles, LargeFileWithoutTwinGivesWhatIndependentDecodersAgreeOn) {
    // loadersgl__indoor.laz in decoded.json: 808042 points in 17 chunks.
    const fs::path path = kShared / "laz" / "loadersgl__indoor.laz";
    ASSERT_TRUE(fs::exists(path));
    const Decoded got = decode(load(path), LayerChoice::all, 2);
    EXPECT_EQ(got.report.good_chunks, 17u);
    EXPECT_EQ(got.records.size(), 808042u * 34);
    EXPECT_EQ(sha256(got.records), "6284ad99b45759adfb88f8bdce6a057c6817b5a611219963573b97d31003335f");

    tolvren_scan scan;
    ASSERT_EQ(tolvren_scan_points_mt(path.c_str(), nullptr, 2, nullptr, nullptr, &scan, nullptr), TOLVREN_OK);
    EXPECT_EQ(scan.records, 808042u);
    EXPECT_EQ(scan.return_histogram[1], 808042u);
    const std::array<std::int32_t, 3> raw_min = {-2299, -197, -790};
    const std::array<std::int32_t, 3> raw_max = {563, 755, 1236};
    const std::array<double, 3> real_min = {-22.990000000000002, -1.97, -7.9};
    const std::array<double, 3> real_max = {5.63, 7.55, 12.36};
    for (std::size_t a = 0; a < 3; ++a) {
        EXPECT_EQ(scan.raw_min[a], raw_min[a]);
        EXPECT_EQ(scan.raw_max[a], raw_max[a]);
        EXPECT_EQ(scan.real_min[a], real_min[a]);
        EXPECT_EQ(scan.real_max[a], real_max[a]);
    }
}

// Whether decoding a damaged copy said that something is wrong.
bool flagged(const Decoded &got, std::uint64_t header_count) {
    return !got.decodable || !got.table_found || got.report.bad_chunks > 0 || !got.report.table_problem.empty() ||
           got.report.count_mismatches > 0 || got.report.points != header_count;
}

// Where a file's chunk table's coded entries end.
std::uint64_t table_end(const Bytes &file) {
    const MemoryInput input(file.data(), file.size());
    const LasLayout layout = laz_writer::layout_of(file);
    const Container container = open_container(input, layout);
    ChunkTableReader reader;
    reader.open(input, container.table, container.vlr.vlr.variable_chunks());
    std::uint64_t points = 0, bytes = 0;
    while (reader.next(points, bytes)) {
    }
    return reader.end();
}

TEST_F(LazFiles, CutAtEveryLengthIsFoundAndNothingPastTheEndIsRead) {
    // Every length of a point-wise file; every fifth of a layered one with
    // four chunks, whose chunks are longer to set up.
    for (const auto &[name, step] : {std::pair<const char *, std::size_t>{"lazperf__point10.laz", 1},
                                     std::pair<const char *, std::size_t>{"loadersgl__pdrf7-v4-1.4.laz", 5}}) {
        SCOPED_TRACE(name);
        const Bytes whole = load(kShared / "laz" / name);
        const std::uint64_t count = laz_writer::layout_of(whole).point_count;
        const std::uint64_t needed = table_end(whole);
        const Bytes want = decode(whole, LayerChoice::coordinates).records;
        // Bytes after the table's entries mean nothing; the test goes up to
        // them, from the header's end.
        for (std::size_t size = 227; size < whole.size(); size += step) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
            const Decoded got = decode(cut, LayerChoice::coordinates, 1, &whole);
            if (size < needed) {
                ASSERT_TRUE(flagged(got, count)) << "cut at " << size;
            } else {
                ASSERT_FALSE(flagged(got, count)) << "cut at " << size;
                ASSERT_TRUE(got.records == want) << "cut at " << size;
            }
        }
    }
}

TEST_F(LazFiles, AByteChangedInAChunkNamesThatChunkAndTheOthersStillDecode) {
    for (const char *name : {"lazperf__autzen_trim.laz", "loadersgl__pdrf7-v4-1.4.laz", "loadersgl__pdrf10-1.4.laz"}) {
        SCOPED_TRACE(name);
        const Bytes whole = load(kShared / "laz" / name);
        const laz_writer::LazParts parts = laz_writer::split(whole);
        const std::uint64_t count = laz_writer::layout_of(whole).point_count;
        const bool layered = (whole[104] & 0x3F) >= 6;
        const std::size_t record = get<std::uint16_t>(whole, 105);
        const std::size_t layers =
            layer_count(find_laszip_vlr(MemoryInput(whole.data(), whole.size()), laz_writer::layout_of(whole)).vlr);
        std::size_t start = get<std::uint32_t>(whole, 96) + 8;
        for (std::size_t chunk = 0; chunk < parts.chunks.size(); ++chunk) {
            const std::size_t size = parts.chunks[chunk].size();
            // Past the raw first record (and a layered chunk's count and
            // layer sizes): the raw record seeds the predictors, so a change
            // there gives other points but the same bytes used. Layered
            // chunks: inside the first layer, the one every scan decodes.
            const std::size_t head = record + (layered ? 4 + 4 * layers : 4);
            const std::size_t coded = layered ? get<std::uint32_t>(whole, start + record + 4) : size - head;
            for (const double where : {0.1, 0.5, 0.8}) {
                Bytes damaged = whole;
                damaged[start + head + static_cast<std::size_t>(where * static_cast<double>(coded))] ^= 0x5A;
                for (const LayerChoice choice : {LayerChoice::all, LayerChoice::coordinates}) {
                    const Decoded got = decode(damaged, choice, 2);
                    ASSERT_TRUE(flagged(got, count)) << "chunk " << chunk << " at " << where;
                    EXPECT_EQ(got.report.bad_chunks, 1u);
                    EXPECT_EQ(got.report.first_bad.spec.index, chunk);
                    EXPECT_EQ(got.report.good_chunks, parts.chunks.size() - 1);
                }
            }
            start += size;
        }
    }
}

// The finding codes of `file` checked with a scan, as a file of its own.
std::vector<std::string> scan_findings(const Bytes &file) {
    tolvren_test::TempDir dir;
    tolvren_test::write_file(dir.file("f.laz"), file);
    tolvren_report report;
    EXPECT_EQ(tolvren_check_file(dir.file("f.laz").c_str(), TOLVREN_CHECK_SCAN, nullptr, nullptr, &report, nullptr),
              TOLVREN_OK);
    // The container's and the points' findings; those of the other records
    // (the real files' VLRs carry LAS 1.0's record signature) are not these
    // tests' concern.
    std::vector<std::string> found;
    for (std::size_t i = 0; i < report.count; ++i) {
        if (report.findings[i].code <= TOLVREN_F_CHUNK_COUNT_MISMATCH) {
            found.push_back(tolvren_finding_name(report.findings[i].code));
        }
    }
    return found;
}

TEST_F(LazFiles, MovedMissingAndVariableChunkTablesGiveTheSamePoints) {
    const Bytes whole = load(kShared / "laz" / "lazperf__autzen_trim.laz");
    const Bytes want = decode(whole).records;
    const std::size_t position = get<std::uint32_t>(whole, 96);
    const auto check = scan_findings;

    // A writer that could not seek back: -1, the position in the last bytes.
    Bytes streamed = whole;
    const std::int64_t table = get<std::int64_t>(whole, position);
    put<std::int64_t>(streamed, position, -1);
    streamed.resize(streamed.size() + 8);
    put<std::int64_t>(streamed, streamed.size() - 8, table);
    EXPECT_TRUE(decode(streamed).records == want);
    EXPECT_EQ(check(streamed), std::vector<std::string>{"chunk_table_at_end"});

    // A writer that stopped before the table: the chunks are walked.
    Bytes unfinished = whole;
    put<std::int64_t>(unfinished, position, static_cast<std::int64_t>(position));
    EXPECT_TRUE(decode(unfinished).records == want);
    EXPECT_EQ(check(unfinished), std::vector<std::string>{"chunk_table_missing"});

    // Chunks of varying size, a table with their counts; and a chunk size of
    // 0, read the same way.
    const laz_writer::LazParts parts = laz_writer::split(whole);
    for (const std::uint32_t size : {0xFFFFFFFFu, 0u}) {
        Bytes variable = laz_writer::assemble(parts, 0xFFFFFFFFu, 110000);
        put<std::uint32_t>(variable, parts.laszip_payload + 12, size);
        const Decoded got = decode(variable, LayerChoice::all, 2);
        EXPECT_EQ(got.report.good_chunks, 3u);
        EXPECT_TRUE(got.records == want);
        EXPECT_TRUE(check(variable).empty());
    }
    // A table whose entries give chunks that do not fit: found, not trusted.
    laz_writer::LazParts wrong = parts;
    wrong.points[1] += 1;
    const std::vector<std::string> found = check(laz_writer::assemble(wrong, 0xFFFFFFFFu, 110001));
    EXPECT_NE(std::find(found.begin(), found.end(), "chunk_undecodable"), found.end());
}

TEST_F(LazFiles, DecompressRefusesChunksThatTheTableDoesNotAccountFor) {
    // Layered chunks whose own counts the table contradicts (every chunk
    // after the first would move); a table the writer never wrote (nothing
    // says the walked chunks are all).
    laz_writer::LazParts parts = laz_writer::split(load(kShared / "laz" / "loadersgl__pdrf7-v4-1.4.laz"));
    parts.points[1] += 1;
    Bytes unfinished = load(kShared / "laz" / "lazperf__autzen_trim.laz");
    put<std::int64_t>(unfinished, get<std::uint32_t>(unfinished, 96), get<std::uint32_t>(unfinished, 96));
    for (const Bytes &file : {laz_writer::assemble(parts, 0xFFFFFFFFu, 1025), unfinished}) {
        tolvren_test::TempDir dir;
        tolvren_test::write_file(dir.file("f.laz"), file);
        tolvren_decompress_result result;
        EXPECT_EQ(tolvren_decompress(dir.file("f.laz").c_str(), dir.file("f.las").c_str(), 0, 2, nullptr, nullptr,
                                     &result, nullptr),
                  TOLVREN_ECORRUPT);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    }
}

TEST_F(LazFiles, RepairMendsAWrongCountAndTouchesNothingButTheHeader) {
    const Bytes whole = load(kShared / "laz" / "lazperf__autzen_trim.laz");
    tolvren_test::TempDir dir;
    const std::string path = dir.file("f.laz");
    for (const std::uint32_t stored : {109999u, 110001u, 100000u}) {
        SCOPED_TRACE(stored);
        Bytes wrong = whole;
        put<std::uint32_t>(wrong, 107, stored);
        put<std::uint32_t>(wrong, 111, stored);  // the first returns, to match
        tolvren_test::write_file(path, wrong);
        tolvren_report report;
        ASSERT_EQ(tolvren_check_file_mt(path.c_str(), TOLVREN_CHECK_SCAN, 2, nullptr, nullptr, &report, nullptr),
                  TOLVREN_OK);
        ASSERT_GE(report.count, 1u);
        EXPECT_EQ(report.findings[report.count > 1 ? 1 : 0].code, TOLVREN_F_POINT_COUNT_MISMATCH);
        tolvren_repair_result result;
        ASSERT_EQ(tolvren_repair_mt(path.c_str(), 0, 2, nullptr, nullptr, &result, nullptr), TOLVREN_OK);
        EXPECT_EQ(result.scan.records, 110000u);
        EXPECT_TRUE(tolvren_test::read_file(path) == whole);
    }
    // A damaged chunk: refused, every byte kept.
    Bytes damaged = whole;
    damaged[whole.size() / 2] ^= 0x5A;
    put<std::uint32_t>(damaged, 107, 1);
    tolvren_test::write_file(path, damaged);
    tolvren_repair_result result;
    tolvren_detail detail;
    EXPECT_EQ(tolvren_repair(path.c_str(), 0, nullptr, nullptr, &result, &detail), TOLVREN_ECORRUPT);
    EXPECT_NE(std::string(detail.message).find("chunk 1 (from point 50000)"), std::string::npos) << detail.message;
    EXPECT_TRUE(tolvren_test::read_file(path) == damaged);
}

TEST_F(LazFiles, ContainersNoReaderCanDecodeAreFindingsAndNotScanned) {
    const Bytes whole = load(kShared / "laz" / "lazperf__point10.laz");
    const laz_writer::LazParts parts = laz_writer::split(whole);
    auto findings = [](const Bytes &file) {
        std::string found;
        for (const std::string &code : scan_findings(file)) found += (found.empty() ? "" : " ") + code;
        return found;
    };
    Bytes unknown = whole;
    put<std::uint16_t>(unknown, parts.laszip_payload, 4);  // no such compressor
    EXPECT_EQ(findings(unknown), "not_scanned laszip_vlr_malformed");
    Bytes longer = whole;
    put<std::uint16_t>(longer, 105, 21);  // records of 21 bytes, items of 20
    EXPECT_EQ(findings(longer), "not_scanned laszip_items_mismatch");
    Bytes unnamed = whole;
    std::memcpy(unnamed.data() + parts.laszip_payload - 52, "laszip encodee", 14);
    EXPECT_EQ(findings(unnamed), "not_scanned laszip_vlr_missing");
    Bytes unmarked = whole;
    unmarked[104] = 0;  // the format byte without the compression bit
    EXPECT_NE(findings(unmarked).find("laszip_vlr_unmarked"), std::string::npos);

    // Tables that claim what is not there: a chunk of no bytes, four billion
    // chunks in a few bytes. Both end at once with a finding; the one chunk
    // there, no longer the last, does not hold the 50000 points of a whole
    // chunk.
    laz_writer::LazParts empty = parts;
    empty.chunks.push_back({});
    empty.points.push_back(0);
    EXPECT_EQ(findings(laz_writer::assemble(empty, 50000, 1065)), "chunk_table_invalid chunk_undecodable");
    Bytes many = whole;
    put<std::uint32_t>(many, static_cast<std::size_t>(get<std::int64_t>(whole, get<std::uint32_t>(whole, 96))) + 4,
                       0xFFFFFFFFu);
    EXPECT_EQ(findings(many), "chunk_table_invalid chunk_undecodable");
}

}  // namespace
