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
#include "bench_support.h"

#include <cstdint>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    constexpr std::uint16_t kLengths[] = {20, 28, 26, 34};
    std::vector<tolvren_bench::Case> cases;
    for (std::uint8_t format = 0; format <= 3; ++format) {
        cases.push_back({"format " + std::to_string(format), {2, format, kLengths[format]}});
    }
    return tolvren_bench::bench_main(argc, argv, "update_header", cases,
                                     [](const std::string &path, const tolvren_bench::LasFile &) {
                                         update_header(path.c_str());
                                     });
}
