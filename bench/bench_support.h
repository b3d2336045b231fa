/* SPDX-License-Identifier: MIT */
// What the two page-cache benchmarks (bench_update_header, bench_header_api)
// share: a scratch directory, a LAS file of about 1 GB from a fixed-seed
// generator, the floor of reading that file with 1 MiB read() calls, the
// timed loop and the lines that report it.
//
// Each case writes its file, reads it once so that it is cached, then
// alternates the floor and the operation `repetitions` times and prints the
// median and best of each and their ratio. Failures throw, so that the big
// file is removed on the way out; bench_main catches and prints them.
#ifndef TOLVREN_BENCH_SUPPORT_H
#define TOLVREN_BENCH_SUPPORT_H

#include "tolvren_internal.h"
#include "tolvren_las.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvren_bench {

// The read() size of the floor, and the block the writer fills per write().
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// About 1 GB of records: large enough that the timings are memory-bound
// (format 0: 50 million 20-byte records).
constexpr std::uint64_t kTargetBytes = 1000000000;
// Free space left over after the file, so that a run never fills the disk.
constexpr std::uint64_t kSpareBytes = std::uint64_t{1} << 30;

[[noreturn]] inline void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A fresh directory under `base` holding one file, both removed however the
// run ends.
class Scratch {
public:
    explicit Scratch(const std::string &base) {
        std::string pattern = base + "/tolvren-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) fail("cannot create a directory under " + base);
        dir_ = pattern;
    }
    ~Scratch() {
        ::unlink(file().c_str());
        ::rmdir(dir_.c_str());
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    std::string file() const { return dir_ + "/bench.las"; }

private:
    std::string dir_;
};

// A small fixed-seed generator: the same file every run.
struct XorShift {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<std::uint32_t>(state >> 32);
    }
};

inline void write_all(int fd, const unsigned char *bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n <= 0) fail("write");
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

template <typename T>
void put(std::vector<unsigned char> &bytes, std::size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

// One benchmark file: LAS 1.`minor`, point format `format` with records of
// `length` bytes, as many as fill kTargetBytes.
struct LasFile {
    std::uint8_t minor, format;
    std::uint16_t length;
    // Every field filled as in real data (see fill_fields), not only the
    // coordinates and returns.
    bool every_field = false;

    std::size_t header_size() const {
        return minor == 4 ? TOLVREN_HEADER_SIZE_1_4 : minor == 3 ? TOLVREN_HEADER_SIZE_1_3 : TOLVREN_HEADER_SIZE_1_0;
    }
    std::uint64_t records() const { return kTargetBytes / length; }
    std::uint64_t bytes() const { return header_size() + records() * length; }
};

// The fields after the returns byte as a survey fills them: classes 1-9
// with the flag bits mostly clear, scan angles within -30 to 30 degrees,
// user data, a flight line that changes every 100,000 points among 40,
// GPS times that grow (adjusted standard time), intensity and colours over
// 16 bits. Offsets by point format as in the LAS records.
inline void fill_fields(unsigned char *record, unsigned format, std::uint64_t index, XorShift &random) {
    const std::uint32_t bits = random.next();
    const auto put_at = [record](std::size_t offset, auto value) { std::memcpy(record + offset, &value, sizeof value); };
    put_at(12, static_cast<std::uint16_t>(bits));  // intensity
    const auto line = static_cast<std::uint16_t>(1 + (index / 100000) % 40);
    const double time = 3.0e8 + static_cast<double>(index) * 1e-5;
    const auto angle = static_cast<int>(bits >> 16) % 61 - 30;
    if (format <= 5) {
        record[15] = static_cast<unsigned char>(1 + (bits >> 8) % 9 + ((bits & 0xFF) == 0 ? 0x20 : 0));
        record[16] = static_cast<unsigned char>(static_cast<std::int8_t>(angle));
        record[17] = static_cast<unsigned char>(bits >> 24);
        put_at(18, line);
        if (format == 1 || format >= 3) put_at(20, time);
        if (format == 2 || format == 3 || format == 5) {
            for (std::size_t c = 0; c < 3; ++c) put_at((format == 2 ? 20 : 28) + 2 * c, static_cast<std::uint16_t>(random.next()));
        }
    } else {
        record[15] = static_cast<unsigned char>((bits >> 8) & 0xF0);  // channel and scan flags
        record[16] = static_cast<unsigned char>(1 + (bits >> 8) % 9);
        record[17] = static_cast<unsigned char>(bits >> 24);
        put_at(18, static_cast<std::int16_t>(angle * 166));
        put_at(20, line);
        put_at(22, time);
        if (format == 7 || format == 8 || format == 10) {
            // Red, green, blue, and near infrared in formats 8 and 10.
            const std::size_t colours = format == 7 ? 3 : 4;
            for (std::size_t c = 0; c < colours; ++c) put_at(30 + 2 * c, static_cast<std::uint16_t>(random.next()));
        }
    }
}

// Writes `file` to `path`: a header with no VLRs whose counts and extents
// are left at 0 (with every_field, the extents hold the points), then
// records with coordinates spread over a few kilometres and return numbers
// 1-5 (formats 0-5) or 1-15 (formats 6-10) under random high bits.
inline void write_las(const std::string &path, const LasFile &file) {
    tolvren::internal::Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) fail("cannot create " + path);
    const std::size_t header = file.header_size();
    std::vector<unsigned char> h(header, 0);
    std::memcpy(h.data(), "LASF", 4);
    h[24] = 1;
    h[25] = file.minor;
    std::memcpy(&h[58], "tolvren bench", 13);  // generating software
    put<std::uint16_t>(h, 94, static_cast<std::uint16_t>(header));
    put<std::uint32_t>(h, 96, static_cast<std::uint32_t>(header));
    h[104] = file.format;
    put<std::uint16_t>(h, 105, file.length);
    for (std::size_t axis = 0; axis < 3; ++axis) put<double>(h, 131 + 8 * axis, 0.01);
    put<double>(h, 155, 500000.0);   // X offset
    put<double>(h, 163, 4600000.0);  // Y offset
    write_all(fd.get(), h.data(), h.size());

    // Formats 6-10 keep the return number in the low four bits, 0-5 in three.
    const unsigned returns = file.format >= 6 ? 15 : 5;
    const unsigned high_bits = file.format >= 6 ? 0xF0u : 0xF8u;
    const std::size_t length = file.length;
    const std::size_t per_block = kBlockBytes / length;
    std::vector<unsigned char> block(per_block * length, 0);
    XorShift random;
    std::int32_t low[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, high[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    for (std::uint64_t done = 0, records = file.records(); done < records;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(per_block, records - done));
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char *record = &block[i * length];
            const std::int32_t xyz[3] = {static_cast<std::int32_t>(random.next() % 500000),
                                         static_cast<std::int32_t>(random.next() % 500000),
                                         static_cast<std::int32_t>(random.next() % 20000) - 1000};
            std::memcpy(record, xyz, sizeof xyz);
            for (std::size_t axis = 0; axis < 3; ++axis) {
                low[axis] = std::min(low[axis], xyz[axis]);
                high[axis] = std::max(high[axis], xyz[axis]);
            }
            const std::uint32_t bits = random.next();
            record[14] = static_cast<unsigned char>((bits & high_bits) | (1 + bits % returns));
            if (file.every_field) fill_fields(record, file.format, done + i, random);
        }
        write_all(fd.get(), block.data(), n * length);
        done += n;
    }
    if (file.every_field) {
        // A header whose extents hold the points, as a survey's does.
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const double offset = axis == 0 ? 500000.0 : axis == 1 ? 4600000.0 : 0.0;
            const double extents[2] = {high[axis] * 0.01 + offset, low[axis] * 0.01 + offset};
            const ssize_t n = ::pwrite(fd.get(), extents, sizeof extents, static_cast<off_t>(179 + 16 * axis));
            if (n != static_cast<ssize_t>(sizeof extents)) fail("pwrite");
        }
    }
    // Clean pages: background write-back must not run during the timings.
    if (::fdatasync(fd.get()) != 0) fail("fdatasync");
}

// The floor: every byte of a file through 1 MiB read() calls, into a buffer
// that lives as long as the reader.
class WholeFileReader {
public:
    std::uint64_t operator()(const std::string &path) {
        tolvren::internal::Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) fail("cannot open " + path);
        std::uint64_t total = 0;
        for (;;) {
            const ssize_t n = ::read(fd.get(), buffer_.get(), kBlockBytes);
            if (n < 0) fail("read");
            if (n == 0) break;
            total += static_cast<std::uint64_t>(n);
        }
        return total;
    }

private:
    std::unique_ptr<unsigned char[]> buffer_ = std::make_unique<unsigned char[]>(kBlockBytes);
};

template <typename Run>
double seconds_of(Run run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Assumes `values` is not empty.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

inline double best(const std::vector<double> &values) { return *std::min_element(values.begin(), values.end()); }

// One case: `label` names it in the report, `operation` its timed call;
// `run(path, file)` makes that call and throws if it fails. Returns false,
// having said why, when `base` lacks the space for the file.
template <typename Run>
bool bench_case(const std::string &base, const std::string &label, const LasFile &file, const char *operation,
                int repetitions, Run run) {
    const std::uint64_t bytes = file.bytes();
    struct statvfs fs;
    if (::statvfs(base.c_str(), &fs) != 0 ||
        static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize < bytes + kSpareBytes) {
        std::printf("not enough free space under %s for a %llu-byte file and 1 GiB to spare\n", base.c_str(),
                    static_cast<unsigned long long>(bytes));
        return false;
    }

    Scratch scratch(base);
    const std::string path = scratch.file();
    write_las(path, file);
    WholeFileReader read_whole_file;
    read_whole_file(path);

    std::vector<double> read_times, run_times;
    for (int i = 0; i < repetitions; ++i) {
        read_times.push_back(seconds_of([&] {
            if (read_whole_file(path) != bytes) fail("short read of " + path);
        }));
        run_times.push_back(seconds_of([&] { run(path, file); }));
    }

    const double read_median = median(read_times), run_median = median(run_times);
    const double read_best = best(read_times), run_best = best(run_times);
    const double gb = static_cast<double>(bytes) / 1e9;
    std::printf("\n%s: %llu records of %u bytes, %.3f GB\n", label.c_str(),
                static_cast<unsigned long long>(file.records()), static_cast<unsigned>(file.length), gb);
    std::printf("  median: read() %.3f s (%.1f GB/s), %s %.3f s (%.1f GB/s), ratio %.2f\n", read_median,
                gb / read_median, operation, run_median, gb / run_median, run_median / read_median);
    std::printf("  best:   read() %.3f s (%.1f GB/s), %s %.3f s (%.1f GB/s), ratio %.2f\n", read_best,
                gb / read_best, operation, run_best, gb / run_best, run_best / read_best);
    std::fflush(stdout);
    return true;
}

// One benchmark file and the name the report gives it.
struct Case {
    std::string label;
    LasFile file;
};

// The programs' common main: arguments [directory] [repetitions] (default
// $TMPDIR or /tmp, and 5), the title line, then every case in turn, timing
// `operation` through `run` (see bench_case). Exit status 1 when a case
// failed or lacked the space, else 0.
template <typename Run>
int bench_main(int argc, char **argv, const char *operation, const std::vector<Case> &cases, Run run) {
    const char *tmp = std::getenv("TMPDIR");
    const std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::printf("%s against 1 MiB read() calls, page cache warm, median of %d runs each\n", operation,
                repetitions);
    bool ok = true;
    try {
        for (const Case &c : cases) ok = bench_case(base, c.label, c.file, operation, repetitions, run) && ok;
    } catch (const std::exception &error) {
        std::printf("\n%s\n", error.what());
        return 1;
    }
    std::printf("\n");
    return ok ? 0 : 1;
}

}  // namespace tolvren_bench

#endif  // TOLVREN_BENCH_SUPPORT_H
