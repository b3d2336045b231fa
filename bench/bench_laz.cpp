// SPDX-License-Identifier: MIT
// Points per second of the LAZ decoder on large files made from real ones:
// the chunks of ../shared/laz/loadersgl__indoor.laz (point format 3, chunks
// of 50,000 points) and of loadersgl__pdrf7-v4-1.4.laz (format 7 with extra
// bytes, chunks of 256 points) repeated many times behind a matching header
// and a new chunk table. The chunks are copied as they are, so every point is
// a real compressed point.
//
//   bench_laz [--benchmark_filter=...]    (Google Benchmark flags)
//
// Cases: decoding every field of the cached file (format 3 and format 7)
// on 1 and 2 threads, the scan of tolvren_scan_points_mt (format 7 decodes
// only the layers of the returns and coordinates) and
// tolvren_compute_statistics (every layer, every field tallied) on 1 and 2
// threads, and tolvren_decompress on 1 and 2 threads against its two parts
// timed alone in the same iterations. Targets: the format 7 scan at least 3
// times the full decode, 2 threads at least 1.8 times 1, the statistics
// within 1.2 times the full decode on as many threads, decompress at most
// 1.2 times decoding plus writing. The files (about 100 MB, and the
// decompressed ones, about 800 MB) go to $TMPDIR or /tmp and are removed at
// the end; without ../shared the program says so and does nothing.
#include "laz/laz_reader.h"
#include "tolvren_internal.h"
#include "laz_writer.h"
#include "tolvren_las.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using laz_writer::Bytes;

Bytes read_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// `source`'s chunks `copies` times over, in a file of its own.
struct BigFile {
    std::string path;
    Bytes bytes;
    std::uint64_t points = 0;
};

BigFile make_big(const fs::path &source, std::size_t copies, const fs::path &dir) {
    const laz_writer::LazParts one = laz_writer::split(read_bytes(source));
    laz_writer::LazParts many = one;
    many.chunks.clear();
    many.points.clear();
    BigFile big;
    for (std::size_t c = 0; c < copies; ++c) {
        many.chunks.insert(many.chunks.end(), one.chunks.begin(), one.chunks.end());
        many.points.insert(many.points.end(), one.points.begin(), one.points.end());
    }
    for (std::uint32_t n : many.points) big.points += n;
    // The copies' last chunks are shorter than the others: chunks of
    // varying size, their counts in the table.
    big.bytes = laz_writer::assemble(many, 0xFFFFFFFFu, big.points);
    big.path = (dir / source.filename()).string();
    std::ofstream out(big.path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(big.bytes.data()), static_cast<std::streamsize>(big.bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + big.path);
    return big;
}

class Files {
public:
    Files() {
        const fs::path shared = fs::path(TOLVREN_SHARED_LAS_DIR).parent_path() / "laz";
        if (!fs::exists(shared)) return;
        const char *tmp = std::getenv("TMPDIR");
        dir_ = fs::path(tmp && *tmp ? tmp : "/tmp") / ("tolvren-bench-laz-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        format3_ = make_big(shared / "loadersgl__indoor.laz", 25, dir_);
        format7_ = make_big(shared / "loadersgl__pdrf7-v4-1.4.laz", 3000, dir_);
        ready_ = true;
    }
    ~Files() {
        std::error_code ignored;
        if (!dir_.empty()) fs::remove_all(dir_, ignored);
    }
    bool ready() const { return ready_; }
    const BigFile &format(int f) const { return f == 3 ? format3_ : format7_; }
    std::string scratch(const std::string &name) const { return (dir_ / name).string(); }

private:
    fs::path dir_;
    BigFile format3_, format7_;
    bool ready_ = false;
};

Files &files() {
    static Files made;
    return made;
}

// Takes the records and does nothing but touch them.
class Discard final : public tolvren::laz::ChunkConsumer, public tolvren::laz::RecordSink {
public:
    tolvren::laz::RecordSink &begin_chunk(const tolvren::laz::ChunkSpec &) override { return *this; }
    bool records(const unsigned char *records, std::size_t count) override {
        benchmark::DoNotOptimize(records[0] + count);
        return true;
    }
    void end_chunk(const tolvren::laz::ChunkSpec &, const tolvren::laz::ChunkResult &) override {}
};

void DecodeEveryField(benchmark::State &state) {
    using namespace tolvren::laz;
    if (!files().ready()) return state.SkipWithError("no ../shared/laz");
    const BigFile &big = files().format(static_cast<int>(state.range(0)));
    // From the cached file, as the library's own calls read it.
    const tolvren::internal::Descriptor fd(::open(big.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return state.SkipWithError("cannot open the file");
    const FileInput input(fd.get(), big.bytes.size());
    const LasLayout layout = laz_writer::layout_of(big.bytes);
    const Container container = open_container(input, layout);
    std::vector<Discard> sinks(static_cast<std::size_t>(state.range(1)));
    std::vector<ChunkConsumer *> consumers;
    for (Discard &sink : sinks) consumers.push_back(&sink);
    for (auto _ : state) {
        const DecodeReport report = decode_chunks(input, layout, container, LayerChoice::all, consumers, {});
        if (report.points != big.points) return state.SkipWithError("points missing");
    }
    state.counters["points_per_second"] =
        benchmark::Counter(static_cast<double>(big.points), benchmark::Counter::kIsIterationInvariantRate);
}

void Scan(benchmark::State &state) {
    if (!files().ready()) return state.SkipWithError("no ../shared/laz");
    const BigFile &big = files().format(static_cast<int>(state.range(0)));
    const auto threads = static_cast<unsigned>(state.range(1));
    tolvren_scan scan;
    tolvren_detail detail;
    for (auto _ : state) {
        if (tolvren_scan_points_mt(big.path.c_str(), nullptr, threads, nullptr, nullptr, &scan, &detail) != TOLVREN_OK) {
            return state.SkipWithError(detail.message);
        }
        if (scan.records != big.points) return state.SkipWithError("points missing");
    }
    state.counters["points_per_second"] =
        benchmark::Counter(static_cast<double>(big.points), benchmark::Counter::kIsIterationInvariantRate);
}

void Statistics(benchmark::State &state) {
    if (!files().ready()) return state.SkipWithError("no ../shared/laz");
    const BigFile &big = files().format(static_cast<int>(state.range(0)));
    const auto threads = static_cast<unsigned>(state.range(1));
    const auto statistics = std::make_unique<tolvren_statistics>();
    tolvren_detail detail;
    for (auto _ : state) {
        if (tolvren_compute_statistics(big.path.c_str(), threads, nullptr, nullptr, statistics.get(), &detail) !=
            TOLVREN_OK) {
            return state.SkipWithError(detail.message);
        }
        if (statistics->scan.records != big.points) return state.SkipWithError("points missing");
    }
    state.counters["points_per_second"] =
        benchmark::Counter(static_cast<double>(big.points), benchmark::Counter::kIsIterationInvariantRate);
}

// Every chunk's records, appended in the order they come (on one thread,
// the file's order).
class Keep final : public tolvren::laz::ChunkConsumer, public tolvren::laz::RecordSink {
public:
    explicit Keep(std::size_t record_length) : length_(record_length) {}
    tolvren::laz::RecordSink &begin_chunk(const tolvren::laz::ChunkSpec &) override { return *this; }
    bool records(const unsigned char *records, std::size_t count) override {
        kept.insert(kept.end(), records, records + count * length_);
        return true;
    }
    void end_chunk(const tolvren::laz::ChunkSpec &, const tolvren::laz::ChunkResult &) override {}
    Bytes kept;

private:
    std::size_t length_;
};

// What decompress writes, in the same way: a new file of `bytes` in blocks
// of 1 MiB, synced, renamed over `path`.
void write_new_file(const Bytes &bytes, const std::string &path) {
    const std::string part = path + ".part";
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("cannot create " + part);
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    for (std::size_t at = 0; at < bytes.size(); at += kBlock) {
        const std::size_t size = std::min(kBlock, bytes.size() - at);
        if (::pwrite(fd, bytes.data() + at, size, static_cast<off_t>(at)) != static_cast<ssize_t>(size)) {
            throw std::runtime_error("cannot write " + part);
        }
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(part.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot finish " + part);
    }
}

// tolvren_decompress against decoding every field from the same file on the
// same threads plus writing the decoded records to a new file, each timed
// alone within every iteration, so that whatever else the machine does falls
// on all three alike. The iteration time is the decompression's; the
// counters give each part's mean time, `ratio` (decompress over the sum of
// the means) and `best_ratio` (the same of the best times).
void DecompressAgainstDecodeAndWrite(benchmark::State &state) {
    using namespace tolvren::laz;
    using Clock = std::chrono::steady_clock;
    if (!files().ready()) return state.SkipWithError("no ../shared/laz");
    const BigFile &big = files().format(static_cast<int>(state.range(0)));
    const auto threads = static_cast<unsigned>(state.range(1));
    const std::string decoded = files().scratch("decoded.las");
    const std::string written = files().scratch("written.las");
    const LasLayout layout = laz_writer::layout_of(big.bytes);
    Bytes records;
    {
        const MemoryInput memory(big.bytes.data(), big.bytes.size());
        Keep keep(layout.record_length);
        decode_chunks(memory, layout, open_container(memory, layout), LayerChoice::all, {&keep}, {});
        records = std::move(keep.kept);
    }
    const int fd = ::open(big.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return state.SkipWithError("cannot open the file");
    const FileInput input(fd, big.bytes.size());
    const Container container = open_container(input, layout);
    std::vector<Discard> sinks(threads);
    std::vector<ChunkConsumer *> consumers;
    for (Discard &sink : sinks) consumers.push_back(&sink);
    double decode_s = 0, write_s = 0, decompress_s = 0;
    double best_decode = 1e300, best_write = 1e300, best_decompress = 1e300;
    const auto seconds = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double>(to - from).count();
    };
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        const DecodeReport report = decode_chunks(input, layout, container, LayerChoice::all, consumers, {});
        const Clock::time_point decoded_at = Clock::now();
        write_new_file(records, written);
        const Clock::time_point written_at = Clock::now();
        tolvren_decompress_result result;
        tolvren_detail detail;
        const int code = tolvren_decompress(big.path.c_str(), decoded.c_str(), TOLVREN_DECOMPRESS_FORCE, threads,
                                            nullptr, nullptr, &result, &detail);
        const Clock::time_point end = Clock::now();
        if (code != TOLVREN_OK) return state.SkipWithError(detail.message);
        if (report.points != big.points || result.points != big.points) return state.SkipWithError("points missing");
        decode_s += seconds(start, decoded_at);
        write_s += seconds(decoded_at, written_at);
        decompress_s += seconds(written_at, end);
        best_decode = std::min(best_decode, seconds(start, decoded_at));
        best_write = std::min(best_write, seconds(decoded_at, written_at));
        best_decompress = std::min(best_decompress, seconds(written_at, end));
        state.SetIterationTime(seconds(written_at, end));
    }
    ::close(fd);
    const auto mean = [&](double total) {
        return benchmark::Counter(total * 1e3 / static_cast<double>(state.iterations()));
    };
    state.counters["decode_ms"] = mean(decode_s);
    state.counters["write_ms"] = mean(write_s);
    state.counters["decompress_ms"] = mean(decompress_s);
    state.counters["ratio"] = decompress_s / (decode_s + write_s);
    state.counters["best_ratio"] = best_decompress / (best_decode + best_write);
    state.counters["points_per_second"] =
        benchmark::Counter(static_cast<double>(big.points), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(DecodeEveryField)->ArgNames({"format", "threads"})->ArgsProduct({{3, 7}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Statistics)->ArgNames({"format", "threads"})->ArgsProduct({{3, 7}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Scan)->ArgNames({"format", "threads"})->ArgsProduct({{3, 7}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DecompressAgainstDecodeAndWrite)
    ->ArgNames({"format", "threads"})
    ->ArgsProduct({{3, 7}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
