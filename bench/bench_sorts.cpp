// SPDX-License-Identifier: MIT
// Index-carrying quicksorts against std::sort of (key, index) pairs on the
// same keys. Every iteration restores its working arrays from a source array
// built once in SetUp; the restore runs with the timer paused, for both sides
// alike, so only the sorting is measured.

#include "Tolvren_LiDAR.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

enum Shape : std::int64_t { kRandom, kSorted, kReversed, kAllEqual };

constexpr std::int64_t kLargeCount = 10'000'000;
constexpr std::int64_t kSmallCount = 100'000;
constexpr std::uint64_t kSeed = 0x5EED'2024'0417ULL;

template <typename Key>
std::vector<Key> random_keys(std::size_t count) {
    std::mt19937_64 engine(kSeed);
    std::vector<Key> keys(count);
    if constexpr (std::is_integral_v<Key>) {
        std::uniform_int_distribution<Key> draw(std::numeric_limits<Key>::min(),
                                                std::numeric_limits<Key>::max());
        for (Key &key : keys)
            key = draw(engine);
    } else {
        std::uniform_real_distribution<Key> draw(-1.0e6, 1.0e6);
        for (Key &key : keys)
            key = draw(engine);
    }
    return keys;
}

template <typename Key>
std::vector<Key> shaped_keys(Shape shape, std::size_t count) {
    if (shape == kRandom)
        return random_keys<Key>(count);
    std::vector<Key> keys(count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t rank = shape == kSorted ? k : shape == kReversed ? count - 1 - k : 0;
        keys[k] = static_cast<Key>(rank);
    }
    return keys;
}

const char *shape_name(Shape shape) {
    switch (shape) {
        case kRandom:
            return "random";
        case kSorted:
            return "sorted";
        case kReversed:
            return "reversed";
        case kAllEqual:
            return "all_equal";
    }
    return "?";
}

template <typename Key>
class SortFixture : public benchmark::Fixture {
  public:
    void SetUp(const benchmark::State &state) override {
        const auto shape = static_cast<Shape>(state.range(0));
        const auto count = static_cast<std::size_t>(state.range(1));
        source_ = shaped_keys<Key>(shape, count);
    }
    void TearDown(const benchmark::State &) override { source_.clear(); }

  protected:
    void label(benchmark::State &state) const {
        state.SetLabel(shape_name(static_cast<Shape>(state.range(0))));
        state.SetItemsProcessed(state.iterations() * state.range(1));
    }
    std::vector<Key> source_;
};

template <typename Key, typename Sort>
void run_index_sort(benchmark::State &state, const std::vector<Key> &source, Sort sort) {
    std::vector<Key> keys(source.size());
    std::vector<std::int32_t> index(source.size());
    const auto count = static_cast<std::int32_t>(source.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(source.begin(), source.end(), keys.begin());
        std::iota(index.begin(), index.end(), 0);
        state.ResumeTiming();
        sort(keys.data(), count, index.data());
        benchmark::DoNotOptimize(keys.data());
        benchmark::DoNotOptimize(index.data());
        benchmark::ClobberMemory();
    }
}

template <typename Key>
void run_pair_sort(benchmark::State &state, const std::vector<Key> &source) {
    std::vector<std::pair<Key, std::int32_t>> pairs(source.size());
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t k = 0; k < source.size(); ++k) {
            pairs[k] = {source[k], static_cast<std::int32_t>(k)};
        }
        state.ResumeTiming();
        std::sort(pairs.begin(), pairs.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        benchmark::DoNotOptimize(pairs.data());
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK_TEMPLATE_DEFINE_F(SortFixture, Int32Quicksort, std::int32_t)
(benchmark::State &state) {
    run_index_sort(state, source_, l_quicksort);
    label(state);
}
BENCHMARK_TEMPLATE_DEFINE_F(SortFixture, Int32ParallelQuicksort, std::int32_t)
(benchmark::State &state) {
    run_index_sort(state, source_, l_parallel_quicksort);
    label(state);
}
BENCHMARK_TEMPLATE_DEFINE_F(SortFixture, Int32StdSortPairs, std::int32_t)
(benchmark::State &state) {
    run_pair_sort(state, source_);
    label(state);
}
BENCHMARK_TEMPLATE_DEFINE_F(SortFixture, DoubleQuicksort, double)
(benchmark::State &state) {
    run_index_sort(state, source_, d_quicksort);
    label(state);
}
BENCHMARK_TEMPLATE_DEFINE_F(SortFixture, DoubleParallelQuicksort, double)
(benchmark::State &state) {
    run_index_sort(state, source_, d_parallel_quicksort);
    label(state);
}
BENCHMARK_TEMPLATE_DEFINE_F(SortFixture, DoubleStdSortPairs, double)
(benchmark::State &state) {
    run_pair_sort(state, source_);
    label(state);
}

namespace {
void shapes_and_sizes(benchmark::internal::Benchmark *bench) {
    for (std::int64_t count : {kSmallCount, kLargeCount}) {
        for (std::int64_t shape : {kRandom, kSorted, kReversed, kAllEqual}) {
            bench->Args({shape, count});
        }
    }
    bench->ArgNames({"shape", "count"})->Unit(benchmark::kMillisecond);
    // On a shared machine the fastest of several repetitions
    // (--benchmark_repetitions) is the steadiest figure to compare.
    bench->ComputeStatistics("min", [](const std::vector<double> &times) {
        return *std::min_element(times.begin(), times.end());
    });
}
}  // namespace

BENCHMARK_REGISTER_F(SortFixture, Int32Quicksort)->Apply(shapes_and_sizes);
BENCHMARK_REGISTER_F(SortFixture, Int32StdSortPairs)->Apply(shapes_and_sizes);
BENCHMARK_REGISTER_F(SortFixture, Int32ParallelQuicksort)->Apply(shapes_and_sizes);
BENCHMARK_REGISTER_F(SortFixture, DoubleQuicksort)->Apply(shapes_and_sizes);
BENCHMARK_REGISTER_F(SortFixture, DoubleStdSortPairs)->Apply(shapes_and_sizes);
BENCHMARK_REGISTER_F(SortFixture, DoubleParallelQuicksort)->Apply(shapes_and_sizes);

BENCHMARK_MAIN();
