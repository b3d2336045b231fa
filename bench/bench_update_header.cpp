// SPDX-License-Identifier: MIT
// Throughput of update_header on a LAS file that sits in the page cache,
// measured against the floor that the hardware sets: reading the same file
// with 1 MiB read() calls and doing nothing with the bytes.
//
// Usage: bench_update_header [directory] [repetitions]
//
// For each point format 0-3 it writes a LAS 1.2 file of about 1 GB (format 0:
// 50 million records) into a fresh directory under `directory` (default
// $TMPDIR or /tmp), reads it once so that it is cached, then alternates the
// two timed runs `repetitions` times (default 5) and prints the median and
// the best of each and their ratios. Each file is removed as soon as its
// format is done. update_header prints its own success line on every run.
#include "Tolvren_LiDAR.h"
#include "tolvren_internal.h"

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
constexpr std::uint64_t kTargetBytes = 1000000000;  // 50 million 20-byte records

// Failures unwind, so that the big file is removed on the way out.
[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

using tolvren::internal::Descriptor;

// Removes the benchmark's directory and file however the run ends.
class Scratch {
public:
    explicit Scratch(const std::string &base) {
        std::string pattern = base + "/tolvren-bench-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!::mkdtemp(name.data())) fail("cannot create a directory under " + base);
        dir_ = name.data();
    }
    ~Scratch() {
        ::unlink(file().c_str());
        ::rmdir(dir_.c_str());
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    std::string file() const { return dir_ + "/bench.las"; }
    const std::string &dir() const { return dir_; }

private:
    std::string dir_;
};

std::uint16_t record_length_of(std::uint8_t format) {
    constexpr std::uint16_t kLengths[] = {20, 28, 26, 34};
    return kLengths[format];
}

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

void write_all(int fd, const unsigned char *bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n <= 0) fail("write");
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Writes a LAS 1.2 file of `records` records of `format`: coordinates spread
// over a few kilometres, return numbers 1-5 with random high bits.
void write_las(const std::string &path, std::uint8_t format, std::uint64_t records) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) fail("cannot create " + path);
    LAS12Header h{};
    std::memcpy(h.LASF, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = 2;
    std::memcpy(h.GeneratingSoftware, "bench_update_header", 19);
    h.HeaderSize = sizeof h;
    h.OffsetToData = sizeof h;
    h.PointDataFormatID = format;
    h.PointDataRecordLength = record_length_of(format);
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 0.01;
    h.XOffset = 500000.0;
    h.YOffset = 4600000.0;
    write_all(fd.get(), reinterpret_cast<const unsigned char *>(&h), sizeof h);

    const std::size_t length = h.PointDataRecordLength;
    const std::size_t per_block = kBlockBytes / length;
    std::vector<unsigned char> block(per_block * length, 0);
    XorShift random;
    for (std::uint64_t done = 0; done < records;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(per_block, records - done));
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char *record = &block[i * length];
            const std::int32_t x = static_cast<std::int32_t>(random.next() % 500000);
            const std::int32_t y = static_cast<std::int32_t>(random.next() % 500000);
            const std::int32_t z = static_cast<std::int32_t>(random.next() % 20000) - 1000;
            std::memcpy(record, &x, 4);
            std::memcpy(record + 4, &y, 4);
            std::memcpy(record + 8, &z, 4);
            const std::uint32_t bits = random.next();
            record[14] = static_cast<unsigned char>((bits & 0xF8u) | (1 + bits % 5));
        }
        write_all(fd.get(), block.data(), n * length);
        done += n;
    }
    // Clean pages: background write-back must not run during the timings.
    if (::fdatasync(fd.get()) != 0) fail("fdatasync");
}

// The floor: every byte of the file through 1 MiB read() calls.
std::uint64_t read_whole_file(const std::string &path, unsigned char *buffer) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("cannot open " + path);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, kBlockBytes);
        if (n < 0) fail("read");
        if (n == 0) break;
        total += static_cast<std::uint64_t>(n);
    }
    return total;
}

template <typename Run>
double seconds_of(Run run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool bench_format(const std::string &base, std::uint8_t format, int repetitions) {
    const std::uint64_t records = format == 0 ? 50000000u : kTargetBytes / record_length_of(format);
    const std::uint64_t bytes = sizeof(LAS12Header) + records * record_length_of(format);

    struct statvfs fs;
    if (::statvfs(base.c_str(), &fs) != 0 ||
        static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize < bytes + (std::uint64_t{1} << 30)) {
        std::printf("not enough free space under %s for a %llu-byte file and 1 GiB to spare\n", base.c_str(),
                    static_cast<unsigned long long>(bytes));
        return false;
    }

    Scratch scratch(base);
    const std::string path = scratch.file();
    write_las(path, format, records);
    auto buffer = std::make_unique<unsigned char[]>(kBlockBytes);
    read_whole_file(path, buffer.get());

    std::vector<double> read_times;
    std::vector<double> update_times;
    for (int i = 0; i < repetitions; ++i) {
        read_times.push_back(seconds_of([&] {
            if (read_whole_file(path, buffer.get()) != bytes) fail("short read of " + path);
        }));
        update_times.push_back(seconds_of([&] { update_header(path.c_str()); }));
    }

    const double read_s = median(read_times);
    const double update_s = median(update_times);
    const double read_best = *std::min_element(read_times.begin(), read_times.end());
    const double update_best = *std::min_element(update_times.begin(), update_times.end());
    const double gigabytes = static_cast<double>(bytes) / 1e9;
    std::printf("\nformat %u: %llu records of %u bytes, %.3f GB\n", static_cast<unsigned>(format),
                static_cast<unsigned long long>(records), static_cast<unsigned>(record_length_of(format)), gigabytes);
    std::printf("  median: read() %.3f s (%.1f GB/s), update_header %.3f s (%.1f GB/s), ratio %.2f\n", read_s,
                gigabytes / read_s, update_s, gigabytes / update_s, update_s / read_s);
    std::printf("  best:   read() %.3f s (%.1f GB/s), update_header %.3f s (%.1f GB/s), ratio %.2f\n", read_best,
                gigabytes / read_best, update_best, gigabytes / update_best, update_best / read_best);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const char *tmp = std::getenv("TMPDIR");
    const std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::printf("update_header against 1 MiB read() calls, page cache warm, median of %d runs each\n",
                repetitions);
    bool ok = true;
    try {
        for (std::uint8_t format = 0; format <= 3; ++format) ok = bench_format(base, format, repetitions) && ok;
    } catch (const std::exception &error) {
        std::printf("\n%s\n", error.what());
        return 1;
    }
    std::printf("\n");
    return ok ? 0 : 1;
}
