// SPDX-License-Identifier: MIT
// Throughput of tolvren_scan_points on a LAS file in the page cache, against
// the floor the hardware sets: reading the same file with 1 MiB read() calls
// and doing nothing with the bytes. The target is a ratio of at most 2.
//
// Usage: bench_header_api [directory] [repetitions]
//
// Writes a LAS 1.2 file of point format 0 (50 million records, 1 GB) and a
// LAS 1.4 file of point format 6 (about 1 GB) in turn into a fresh directory
// under `directory` (default $TMPDIR or /tmp), reads each once so that it is
// cached, then alternates the two timed runs `repetitions` times (default 5)
// and prints the median and best of each and their ratio. Each file is
// removed as soon as it is done.
#include "tolvren_las.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
constexpr std::uint64_t kTargetBytes = 1000000000;

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// A descriptor, and the file behind it removed with its directory at the end.
struct BenchFile {
    explicit BenchFile(const std::string &base) {
        std::string pattern = base + "/tolvren-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) fail("cannot create a directory under " + base);
        dir = pattern;
        path = dir + "/bench.las";
    }
    ~BenchFile() {
        ::unlink(path.c_str());
        ::rmdir(dir.c_str());
    }
    BenchFile(const BenchFile &) = delete;
    BenchFile &operator=(const BenchFile &) = delete;
    std::string dir, path;
};

template <typename T>
void put(std::vector<unsigned char> &bytes, std::size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

// A LAS 1.`minor` file of `records` records of `format`: coordinates over a
// few kilometres and return numbers from a fixed-seed generator.
void write_las(const std::string &path, std::uint8_t minor, std::uint8_t format, std::uint16_t length,
               std::uint64_t records) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create " + path);
    const std::size_t header = minor == 4 ? TOLVREN_HEADER_SIZE_1_4 : TOLVREN_HEADER_SIZE_1_0;
    std::vector<unsigned char> block(header, 0);
    std::memcpy(block.data(), "LASF", 4);
    block[24] = 1;
    block[25] = minor;
    put<std::uint16_t>(block, 94, static_cast<std::uint16_t>(header));
    put<std::uint32_t>(block, 96, static_cast<std::uint32_t>(header));
    block[104] = format;
    put<std::uint16_t>(block, 105, length);
    for (int axis = 0; axis < 3; ++axis) put<double>(block, 131 + 8 * axis, 0.01);
    const std::size_t per_block = kBlockBytes / length;
    std::uint32_t state = 2463534242u;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    const unsigned returns = format >= 6 ? 15 : 5;
    for (std::uint64_t done = 0; done < records || !block.empty();) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(per_block, records - done));
        const std::size_t start = block.size();
        block.resize(start + n * length, 0);
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char *record = &block[start + i * length];
            const std::int32_t xyz[3] = {static_cast<std::int32_t>(next() % 500000),
                                         static_cast<std::int32_t>(next() % 500000),
                                         static_cast<std::int32_t>(next() % 20000) - 1000};
            std::memcpy(record, xyz, sizeof xyz);
            const std::uint32_t bits = next();
            record[14] = static_cast<unsigned char>((bits & 0xF0u) | (1 + bits % returns));
        }
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) fail("write");
        block.clear();
        done += n;
    }
    // Clean pages: background write-back must not run during the timings.
    if (::fdatasync(fd) != 0 || ::close(fd) != 0) fail("fdatasync");
}

std::uint64_t read_whole_file(const std::string &path, unsigned char *buffer) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open " + path);
    std::uint64_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer, kBlockBytes)) != 0; total += static_cast<std::uint64_t>(n)) {
        if (n < 0) fail("read");
    }
    ::close(fd);
    return total;
}

template <typename Run>
double seconds_of(Run run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool bench(const std::string &base, std::uint8_t minor, std::uint8_t format, std::uint16_t length,
           int repetitions) {
    const std::uint64_t records = kTargetBytes / length;
    struct statvfs fs;
    if (::statvfs(base.c_str(), &fs) != 0 ||
        static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize < kTargetBytes + (std::uint64_t{1} << 30)) {
        std::printf("not enough free space under %s for a 1 GB file and 1 GiB to spare\n", base.c_str());
        return false;
    }
    BenchFile file(base);
    write_las(file.path, minor, format, length, records);
    auto buffer = std::make_unique<unsigned char[]>(kBlockBytes);
    const std::uint64_t bytes = read_whole_file(file.path, buffer.get());

    std::vector<double> reads, scans;
    for (int i = 0; i < repetitions; ++i) {
        reads.push_back(seconds_of([&] { read_whole_file(file.path, buffer.get()); }));
        tolvren_scan scan;
        tolvren_detail detail;
        scans.push_back(seconds_of([&] {
            if (tolvren_scan_points(file.path.c_str(), nullptr, nullptr, nullptr, &scan, &detail) != TOLVREN_OK) {
                throw std::runtime_error(detail.message);
            }
        }));
        if (scan.records != records) throw std::runtime_error("the scan missed records");
    }
    std::sort(reads.begin(), reads.end());
    std::sort(scans.begin(), scans.end());
    const double gb = static_cast<double>(bytes) / 1e9;
    const double read_median = reads[reads.size() / 2], scan_median = scans[scans.size() / 2];
    std::printf("\nLAS 1.%u format %u: %llu records of %u bytes, %.3f GB\n", minor, format,
                static_cast<unsigned long long>(records), length, gb);
    std::printf("  median: read() %.3f s (%.1f GB/s), tolvren_scan_points %.3f s (%.1f GB/s), ratio %.2f\n",
                read_median, gb / read_median, scan_median, gb / scan_median, scan_median / read_median);
    std::printf("  best:   read() %.3f s (%.1f GB/s), tolvren_scan_points %.3f s (%.1f GB/s), ratio %.2f\n",
                reads[0], gb / reads[0], scans[0], gb / scans[0], scans[0] / reads[0]);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const char *tmp = std::getenv("TMPDIR");
    const std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::printf("tolvren_scan_points against 1 MiB read() calls, page cache warm, median of %d runs each\n",
                repetitions);
    bool ok = true;
    try {
        ok = bench(base, 2, 0, 20, repetitions) && ok;
        ok = bench(base, 4, 6, 30, repetitions) && ok;
    } catch (const std::exception &error) {
        std::printf("\n%s\n", error.what());
        return 1;
    }
    std::printf("\n");
    return ok ? 0 : 1;
}
