// SPDX-License-Identifier: MIT
// The footprints of `tolvren index` through PROJ, with each way of sharing
// a transformation between threads: a context and a transformation of each
// CRS for every thread (PerThread), or one transformation of each CRS that
// one thread at a time uses behind its mutex (Locked). Each iteration is a
// whole run as `tolvren index` makes one: the transformations made anew,
// then the footprints of 10,000 tiles of 1 km in NAD83 / UTM zone 10N (41
// positions each) reprojected to WGS 84, shared out between 1 or 2 threads.

#include "footprints.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kTiles = 10'000;
constexpr std::size_t kColumns = 100;
constexpr double kSide = 1000.0;

void footprints(benchmark::State &state) {
    const auto sharing = state.range(0) == 0 ? tolvren_cli::Sharing::PerThread : tolvren_cli::Sharing::Locked;
    const auto threads = static_cast<std::size_t>(state.range(1));
    state.SetLabel(sharing == tolvren_cli::Sharing::PerThread ? "per thread" : "locked");
    for (auto _ : state) {
        tolvren_cli::CrsTransforms transforms(4326, sharing);
        std::atomic<std::size_t> next{0}, placed{0};
        const auto work = [&] {
            for (std::size_t i; (i = next.fetch_add(1)) < kTiles;) {
                const double x = 450000.0 + kSide * static_cast<double>(i % kColumns);
                const double y = 4100000.0 + kSide * static_cast<double>(i / kColumns);
                const tolvren_cli::SourceCrs &source = transforms.source({26910, {}});
                const tolvren_cli::Footprint f =
                    tolvren_cli::footprint_of(transforms, source, {x, y, x + kSide, y + kSide});
                if (!f.ring.empty()) placed.fetch_add(1);
                benchmark::DoNotOptimize(f.ring.data());
            }
        };
        std::vector<std::thread> pool;
        for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
        work();
        for (std::thread &thread : pool) thread.join();
        if (placed.load() != kTiles) throw std::runtime_error("PROJ did not reproject every tile");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTiles));
}

BENCHMARK(footprints)
    ->ArgNames({"locked", "threads"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
