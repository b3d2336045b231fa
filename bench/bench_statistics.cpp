// SPDX-License-Identifier: MIT
// Throughput of tolvren_compute_statistics on a LAS file in the page cache,
// against the floor the hardware sets: reading the same file with 1 MiB
// read() calls and doing nothing with the bytes. The target is a ratio of
// at most 2 on two threads, for a LAS 1.2 file of point format 3 and a LAS
// 1.4 file of point format 6, about 1 GB each, every field filled as in
// real data (so that every histogram and range has work to do).
//
// Usage: bench_statistics [directory] [repetitions]
//
// As bench_header_api: each file is written into a fresh directory under
// `directory` (default $TMPDIR or /tmp), read once so that it is cached,
// then the two timed runs alternate `repetitions` times (default 5); the
// median and best of each and their ratio are printed. Each file is removed
// as soon as it is done.
#include "bench_support.h"
#include "tolvren_las.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace {

void statistics_two_threads(const std::string &path, const tolvren_bench::LasFile &file) {
    const auto result = std::make_unique<tolvren_statistics>();
    tolvren_detail detail;
    if (tolvren_compute_statistics(path.c_str(), 2, nullptr, nullptr, result.get(), &detail) != TOLVREN_OK) {
        throw std::runtime_error(detail.message);
    }
    if (result->scan.records != file.records()) throw std::runtime_error("the statistics missed records");
}

}  // namespace

int main(int argc, char **argv) {
    return tolvren_bench::bench_main(argc, argv, "tolvren_compute_statistics (2 threads)",
                                     {{"LAS 1.2 format 3", {2, 3, 34, true}}, {"LAS 1.4 format 6", {4, 6, 30, true}}},
                                     statistics_two_threads);
}
