// SPDX-License-Identifier: MIT
// Index-carrying quicksorts: exact index arrays for the cases whose exchange
// order is known by hand, agreement with a literal one-cycle-at-a-time model
// of the partition-exchange scheme, bit-exact moves of doubles, and a stack
// that stays small on keys that drive a naive recursion to full depth.

#include "Tolvren_LiDAR.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using IndexArray = std::vector<std::int32_t>;

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Overloads that pick the l_ or d_ operation from the key type.
void quicksort(std::int32_t *p, std::int32_t count, std::int32_t *p_ind) {
    l_quicksort(p, count, p_ind);
}
void quicksort(double *p, std::int32_t count, std::int32_t *p_ind) {
    d_quicksort(p, count, p_ind);
}
void qs(std::int32_t *p, std::int32_t left, std::int32_t right, std::int32_t *p_ind) {
    l_qs(p, left, right, p_ind);
}
void qs(double *p, std::int32_t left, std::int32_t right, std::int32_t *p_ind) {
    d_qs(p, left, right, p_ind);
}
void parallel_quicksort(std::int32_t *p, std::int32_t count, std::int32_t *p_ind) {
    l_parallel_quicksort(p, count, p_ind);
}
void parallel_quicksort(double *p, std::int32_t count, std::int32_t *p_ind) {
    d_parallel_quicksort(p, count, p_ind);
}
void parallel_qs(std::int32_t *p, std::int32_t left, std::int32_t right, std::int32_t *p_ind,
                 std::int32_t deep) {
    l_parallel_qs(p, left, right, p_ind, deep);
}
void parallel_qs(double *p, std::int32_t left, std::int32_t right, std::int32_t *p_ind,
                 std::int32_t deep) {
    d_parallel_qs(p, left, right, p_ind, deep);
}

// Every way of sorting a whole array: both entries, and the workers called
// directly on 0 .. count - 1, the depth-carrying one with depths that hand
// levels to the plain worker at once, after one level, after the entries'
// 16 levels, never (negative), or never within any reachable depth.
enum class Way { kEntry, kParallelEntry, kWorker, kParallelWorker };

struct Route {
    const char *name;
    Way way;
    std::int32_t deep;
};

constexpr Route kRoutes[] = {
    {"quicksort", Way::kEntry, 0},
    {"parallel_quicksort", Way::kParallelEntry, 0},
    {"qs", Way::kWorker, 0},
    {"parallel_qs deep 0", Way::kParallelWorker, 0},
    {"parallel_qs deep 1", Way::kParallelWorker, 1},
    {"parallel_qs deep 15", Way::kParallelWorker, 15},
    {"parallel_qs deep -1", Way::kParallelWorker, -1},
    {"parallel_qs deep min", Way::kParallelWorker, kInt32Min},
    {"parallel_qs deep max", Way::kParallelWorker, kInt32Max},
};

template <typename Key>
void sort_whole(const Route &route, Key *keys, std::int32_t count, std::int32_t *index) {
    switch (route.way) {
        case Way::kEntry:
            quicksort(keys, count, index);
            break;
        case Way::kParallelEntry:
            parallel_quicksort(keys, count, index);
            break;
        case Way::kWorker:
            qs(keys, 0, count - 1, index);
            break;
        case Way::kParallelWorker:
            parallel_qs(keys, 0, count - 1, index, route.deep);
            break;
    }
}

IndexArray identity(std::size_t count) {
    IndexArray index(count);
    std::iota(index.begin(), index.end(), 0);
    return index;
}

template <typename Key>
struct Sorted {
    std::vector<Key> keys;
    IndexArray index;
};

// Sorts a copy of `keys` with the index array 0, 1, 2, ... beside it.
template <typename Key>
Sorted<Key> sorted_copy(const Route &route, std::vector<Key> keys) {
    IndexArray index = identity(keys.size());
    sort_whole(route, keys.data(), static_cast<std::int32_t>(keys.size()), index.data());
    return {std::move(keys), std::move(index)};
}

std::uint64_t bits_of(double key) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &key, sizeof bits);
    return bits;
}
std::uint64_t bits_of(std::int32_t key) {
    return static_cast<std::uint32_t>(key);
}
double double_from_bits(std::uint64_t bits) {
    double key = 0.0;
    std::memcpy(&key, &bits, sizeof key);
    return key;
}

// Keys compared by their bit patterns, so that NaNs compare equal to
// themselves and -0.0 differs from +0.0.
template <typename Key>
std::vector<std::uint64_t> bit_patterns(const std::vector<Key> &keys) {
    std::vector<std::uint64_t> patterns;
    patterns.reserve(keys.size());
    for (Key key : keys) {
        patterns.push_back(bits_of(key));
    }
    return patterns;
}

template <typename Key>
std::vector<Key> keys_of(std::initializer_list<double> values) {
    std::vector<Key> keys;
    for (double value : values) {
        keys.push_back(static_cast<Key>(value));
    }
    return keys;
}

// Sorts `keys` by every route and expects exactly `want_keys` (bit for bit)
// and `want_index`.
template <typename Key>
void expect_every_route_gives(const std::vector<Key> &keys, const std::vector<Key> &want_keys,
                              const IndexArray &want_index) {
    for (const Route &route : kRoutes) {
        SCOPED_TRACE(route.name);
        const Sorted<Key> got = sorted_copy(route, keys);
        EXPECT_EQ(bit_patterns(got.keys), bit_patterns(want_keys));
        EXPECT_EQ(got.index, want_index);
    }
}

// The partition-exchange scheme one cycle at a time, as plainly as it can be
// written: bounded scans, both parts by nested calls, left part first. It
// records how deep the nesting goes and whether every pass took the smallest
// key of its stretch as pivot (with keys that are not NaN).
struct ModelTrace {
    int deepest = 0;
    bool every_pivot_smallest = true;
};

template <typename Key>
void model_sort(Key *p, std::int64_t left, std::int64_t right, std::int32_t *p_ind,
                ModelTrace &trace, int depth) {
    trace.deepest = std::max(trace.deepest, depth);
    const Key v = p[(left + right) / 2];
    if (*std::min_element(p + left, p + right + 1) < v) {
        trace.every_pivot_smallest = false;
    }
    std::int64_t i = left;
    std::int64_t j = right;
    do {
        while (p[i] < v && i < right) {
            ++i;
        }
        while (p[j] > v && j > left) {
            --j;
        }
        if (i <= j) {
            std::swap(p[i], p[j]);
            std::swap(p_ind[i], p_ind[j]);
            ++i;
            --j;
        }
    } while (i <= j);
    if (left < j) {
        model_sort(p, left, j, p_ind, trace, depth + 1);
    }
    if (i < right) {
        model_sort(p, i, right, p_ind, trace, depth + 1);
    }
}

template <typename Key>
Sorted<Key> model_sorted_copy(std::vector<Key> keys, ModelTrace &trace) {
    IndexArray index = identity(keys.size());
    if (keys.size() > 1) {
        model_sort(keys.data(), 0, static_cast<std::int64_t>(keys.size()) - 1, index.data(), trace,
                   1);
    }
    return {std::move(keys), std::move(index)};
}

template <typename Key>
Sorted<Key> model_sorted_copy(std::vector<Key> keys) {
    ModelTrace trace;
    return model_sorted_copy(std::move(keys), trace);
}

// Random keys from `lowest` to `highest`; a narrow range gives many ties.
template <typename Key>
std::vector<Key> random_keys(std::mt19937 &engine, std::size_t count, std::int32_t lowest,
                             std::int32_t highest) {
    std::uniform_int_distribution<std::int32_t> draw(lowest, highest);
    std::vector<Key> keys(count);
    for (Key &key : keys) {
        key = static_cast<Key>(draw(engine));
    }
    if constexpr (std::is_floating_point_v<Key>) {
        // Fractions too, so that doubles are not all whole numbers.
        std::uniform_int_distribution<int> fraction(0, 3);
        for (Key &key : keys) {
            key += fraction(engine) * 0.25;
        }
    }
    return keys;
}

// Keys that make every pass take the smallest key of its stretch as pivot.
// With such a pivot a pass over left .. right makes one exchange: the scan up
// stops at once at `left` (no key is less than the pivot), the scan down stops
// at the pivot's position, and the two change places; the one part left is
// left + 1 .. right. Running this on positions and handing out 0, 1, 2, ...
// to the keys in the order they become pivots gives the arrangement.
std::vector<std::int32_t> smallest_pivot_keys(std::int32_t count) {
    std::vector<std::int32_t> keys(static_cast<std::size_t>(count));
    IndexArray origin = identity(keys.size());  // where each slot's key began
    for (std::int32_t left = 0; left < count; ++left) {
        const std::int32_t middle = (left + count - 1) / 2;
        keys[static_cast<std::size_t>(origin[static_cast<std::size_t>(middle)])] = left;
        std::swap(origin[static_cast<std::size_t>(left)], origin[static_cast<std::size_t>(middle)]);
    }
    return keys;
}

template <typename Key>
void expect_sorted_with_companions(const std::vector<Key> &original, const Sorted<Key> &got) {
    ASSERT_EQ(got.keys.size(), original.size());
    EXPECT_TRUE(std::is_sorted(got.keys.begin(), got.keys.end()));
    IndexArray seen = got.index;
    std::sort(seen.begin(), seen.end());
    ASSERT_EQ(seen, identity(original.size())) << "index is not a permutation";
    for (std::size_t k = 0; k < got.keys.size(); ++k) {
        ASSERT_EQ(bits_of(got.keys[k]), bits_of(original[static_cast<std::size_t>(got.index[k])]))
            << "key at " << k << " lost its index";
    }
}

// ---- Cases shared by both key types ----

template <typename Key>
class SortSharedCases : public testing::Test {};

using KeyTypes = testing::Types<std::int32_t, double>;
// The empty last argument selects the default names (SortSharedCases/0, /1).
TYPED_TEST_SUITE(SortSharedCases, KeyTypes, );

TYPED_TEST(SortSharedCases, SortedKeysStayWhereTheyAre) {
    const auto keys = keys_of<TypeParam>({0, 1, 2, 3, 4});
    expect_every_route_gives(keys, keys, {0, 1, 2, 3, 4});
}

TYPED_TEST(SortSharedCases, ReversedKeysReverseTheIndex) {
    expect_every_route_gives(keys_of<TypeParam>({4, 3, 2, 1, 0}),
                             keys_of<TypeParam>({0, 1, 2, 3, 4}), {4, 3, 2, 1, 0});
}

TYPED_TEST(SortSharedCases, AllEqualKeysPermuteTheIndex) {
    const std::vector<IndexArray> want = {
        {1, 0}, {2, 1, 0}, {2, 3, 0, 1}, {3, 4, 2, 0, 1}, {5, 4, 7, 6, 1, 0, 3, 2}};
    for (const IndexArray &want_index : want) {
        SCOPED_TRACE(want_index.size());
        const std::vector<TypeParam> keys(want_index.size(), TypeParam{7});
        expect_every_route_gives(keys, keys, want_index);
    }
}

TYPED_TEST(SortSharedCases, EqualKeysChangeTheirOrder) {
    expect_every_route_gives(keys_of<TypeParam>({2, 1, 2}), keys_of<TypeParam>({1, 2, 2}),
                             {1, 2, 0});
}

TYPED_TEST(SortSharedCases, TwoKeysExchangeOnlyWhenOutOfOrder) {
    expect_every_route_gives(keys_of<TypeParam>({0, 1}), keys_of<TypeParam>({0, 1}), {0, 1});
    expect_every_route_gives(keys_of<TypeParam>({1, 0}), keys_of<TypeParam>({0, 1}), {1, 0});
}

TYPED_TEST(SortSharedCases, SmallestPivotEveryLevelStillSorts) {
    expect_every_route_gives(keys_of<TypeParam>({1, 3, 0, 2, 4}),
                             keys_of<TypeParam>({0, 1, 2, 3, 4}), {2, 0, 3, 1, 4});
}

TYPED_TEST(SortSharedCases, OneKeyChangesNothing) {
    expect_every_route_gives(keys_of<TypeParam>({-5}), keys_of<TypeParam>({-5}), {0});
}

TYPED_TEST(SortSharedCases, CountZeroOrNegativeTouchesNothing) {
    for (std::int32_t count : {0, -1, -2, kInt32Min}) {
        SCOPED_TRACE(count);
        // Null arrays: any read or write would fault.
        quicksort(static_cast<TypeParam *>(nullptr), count, nullptr);
        parallel_quicksort(static_cast<TypeParam *>(nullptr), count, nullptr);

        const auto before = keys_of<TypeParam>({3, 1, 2});
        auto keys = before;
        IndexArray index = {30, 10, 20};
        quicksort(keys.data(), count, index.data());
        parallel_quicksort(keys.data(), count, index.data());
        EXPECT_EQ(bit_patterns(keys), bit_patterns(before));
        EXPECT_EQ(index, (IndexArray{30, 10, 20}));
    }
}

TYPED_TEST(SortSharedCases, WorkerWithEmptyOrSingleStretchTouchesNothing) {
    const auto before = keys_of<TypeParam>({3, 1, 2, 0});
    for (std::int32_t left : {0, 1, 3}) {
        for (std::int32_t right : {0, 1, 2}) {
            if (left < right) {
                continue;
            }
            SCOPED_TRACE(std::to_string(left) + " .. " + std::to_string(right));
            auto keys = before;
            IndexArray index = identity(keys.size());
            qs(keys.data(), left, right, index.data());
            for (std::int32_t deep : {0, 15, -1}) {
                parallel_qs(keys.data(), left, right, index.data(), deep);
            }
            EXPECT_EQ(bit_patterns(keys), bit_patterns(before));
            EXPECT_EQ(index, identity(keys.size()));
        }
    }
}

TYPED_TEST(SortSharedCases, WorkerSortsOnlyItsStretch) {
    std::mt19937 engine(11);
    const auto before = random_keys<TypeParam>(engine, 300, -50, 50);
    const auto want_middle =
        model_sorted_copy(std::vector<TypeParam>(before.begin() + 20, before.begin() + 281));
    for (const bool depth_carrying : {false, true}) {
        SCOPED_TRACE(depth_carrying);
        auto keys = before;
        IndexArray index = identity(keys.size());
        if (depth_carrying) {
            parallel_qs(keys.data(), 20, 280, index.data(), 3);
        } else {
            qs(keys.data(), 20, 280, index.data());
        }
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (k < 20 || k > 280) {
                EXPECT_EQ(bits_of(keys[k]), bits_of(before[k])) << k;
                EXPECT_EQ(index[k], static_cast<std::int32_t>(k));
            } else {
                EXPECT_EQ(bits_of(keys[k]), bits_of(want_middle.keys[k - 20])) << k;
                EXPECT_EQ(index[k], want_middle.index[k - 20] + 20) << k;
            }
        }
    }
}

TYPED_TEST(SortSharedCases, NegativeBoundsTakeThePivotTruncatedTowardZero) {
    // Positions -3 .. 0 through pointers to the second of six entries. The
    // first pivot position (-3 + 0) / 2 is -1; rounding down to -2 would end
    // with the index array 0, 1, 3, 4, 2, 5 instead.
    const auto keys = keys_of<TypeParam>({9, 0, 2, 1, 1, 9});
    for (const bool depth_carrying : {false, true}) {
        SCOPED_TRACE(depth_carrying);
        auto work = keys;
        IndexArray index = identity(work.size());
        if (depth_carrying) {
            parallel_qs(work.data() + 4, -3, 0, index.data() + 4, 15);
        } else {
            qs(work.data() + 4, -3, 0, index.data() + 4);
        }
        EXPECT_EQ(bit_patterns(work), bit_patterns(keys_of<TypeParam>({9, 0, 1, 1, 2, 9})));
        EXPECT_EQ(index, (IndexArray{0, 1, 4, 3, 2, 5}));
    }
}

// Sorts every array of 1 to max_length keys drawn from `values` by every
// route and compares keys (bit for bit) and indexes with the model.
template <typename Key>
void expect_every_array_matches_model(const std::vector<Key> &values, std::size_t max_length) {
    for (std::size_t length = 1; length <= max_length; ++length) {
        std::size_t arrays = 1;
        for (std::size_t k = 0; k < length; ++k) {
            arrays *= values.size();
        }
        for (std::size_t code = 0; code < arrays; ++code) {
            std::vector<Key> keys(length);
            std::size_t rest = code;
            for (Key &key : keys) {
                key = values[rest % values.size()];
                rest /= values.size();
            }
            const Sorted<Key> want = model_sorted_copy(keys);
            for (const Route &route : kRoutes) {
                const Sorted<Key> got = sorted_copy(route, keys);
                ASSERT_EQ(bit_patterns(got.keys), bit_patterns(want.keys))
                    << route.name << ", array " << code << " of length " << length;
                ASSERT_EQ(got.index, want.index)
                    << route.name << ", array " << code << " of length " << length;
            }
        }
    }
}

TYPED_TEST(SortSharedCases, EveryShortArrayOfThreeValuesMatchesTheOneCycleModel) {
    // All 3^n arrays of the keys 0, 1, 2 for n up to 8: every order and tie
    // pattern of short stretches, whose passes over two and three keys are
    // written out.
    expect_every_array_matches_model(keys_of<TypeParam>({0, 1, 2}), 8);
}

TYPED_TEST(SortSharedCases, RandomKeysMatchTheOneCycleModel) {
    // Narrow ranges give long runs of ties, where the order of exchanges shows
    // in the index array; lengths straddle the point where passes start to
    // collect their stops block by block.
    std::mt19937 engine(20240417);
    const std::vector<std::size_t> lengths = {2,   3,   4,   5,   6,   7,   8,   9,    15,
                                              16,  17,  31,  64,  100, 126, 127, 128,  129,
                                              130, 255, 256, 257, 300, 511, 999, 4096, 20000};
    for (std::size_t length : lengths) {
        for (std::int32_t highest : {0, 1, 2, 9, 1000, kInt32Max}) {
            SCOPED_TRACE("length " + std::to_string(length) + ", keys 0 .. " +
                         std::to_string(highest));
            const auto keys = random_keys<TypeParam>(engine, length, 0, highest);
            const Sorted<TypeParam> want = model_sorted_copy(keys);
            for (const Route &route : kRoutes) {
                SCOPED_TRACE(route.name);
                const Sorted<TypeParam> got = sorted_copy(route, keys);
                ASSERT_EQ(bit_patterns(got.keys), bit_patterns(want.keys));
                ASSERT_EQ(got.index, want.index);
            }
        }
    }
}

TYPED_TEST(SortSharedCases, RandomKeysEndSortedWithTheirIndex) {
    std::mt19937 engine(7);
    for (const std::size_t length : {std::size_t{1000}, std::size_t{100000}}) {
        for (std::int32_t highest : {3, kInt32Max}) {
            SCOPED_TRACE("length " + std::to_string(length) + ", keys up to " +
                         std::to_string(highest));
            const auto keys = random_keys<TypeParam>(engine, length, -highest, highest);
            const Sorted<TypeParam> first = sorted_copy(kRoutes[0], keys);
            expect_sorted_with_companions(keys, first);
            for (const Route &route : kRoutes) {
                SCOPED_TRACE(route.name);
                const Sorted<TypeParam> got = sorted_copy(route, keys);
                ASSERT_EQ(bit_patterns(got.keys), bit_patterns(first.keys));
                ASSERT_EQ(got.index, first.index);
            }
        }
    }
}

TYPED_TEST(SortSharedCases, ShapedInputsMatchTheOneCycleModel) {
    // Long sorted, reversed, equal and organ-pipe runs exercise whole blocks of
    // stops and blocks without any.
    const std::size_t length = 5000;
    std::vector<std::vector<TypeParam>> inputs(4, std::vector<TypeParam>(length));
    for (std::size_t k = 0; k < length; ++k) {
        inputs[0][k] = static_cast<TypeParam>(k);
        inputs[1][k] = static_cast<TypeParam>(length - k);
        inputs[2][k] = TypeParam{4};
        inputs[3][k] = static_cast<TypeParam>(std::min(k, length - k));
    }
    for (std::size_t shape = 0; shape < inputs.size(); ++shape) {
        SCOPED_TRACE(shape);
        const Sorted<TypeParam> want = model_sorted_copy(inputs[shape]);
        const Sorted<TypeParam> got = sorted_copy(kRoutes[0], inputs[shape]);
        EXPECT_EQ(bit_patterns(got.keys), bit_patterns(want.keys));
        EXPECT_EQ(got.index, want.index);
    }
}

// ---- Integer keys ----

TEST(IntegerSort, NegativeKeysSortBeforeNonNegativeOnes) {
    expect_every_route_gives<std::int32_t>({3, -1, 0, -7, 2}, {-7, -1, 0, 2, 3}, {3, 1, 2, 4, 0});
}

TEST(IntegerSort, ExtremeKeysCompareAsSigned) {
    expect_every_route_gives<std::int32_t>({kInt32Max, 0, kInt32Min, -1, 1},
                                           {kInt32Min, -1, 0, 1, kInt32Max}, {2, 3, 1, 4, 0});
}

// ---- Double keys ----

TEST(DoubleSort, NanKeyIsExchangedLikeAnEqualKey) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expect_every_route_gives<double>({1, nan, 0}, {0, nan, 1}, {2, 1, 0});
}

TEST(DoubleSort, NanPivotReversesItsStretch) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expect_every_route_gives<double>({0, 3, nan, 1, 2}, {1, 2, nan, 0, 3}, {3, 4, 2, 0, 1});
}

TEST(DoubleSort, SignedZerosAreEqualKeysThatKeepTheirSigns) {
    expect_every_route_gives<double>({0.0, -0.0, 0.0}, {0.0, -0.0, 0.0}, {2, 1, 0});
}

TEST(DoubleSort, InfinitiesAreTheSmallestAndLargestKeys) {
    expect_every_route_gives<double>({kInf, -kInf, 0.0}, {-kInf, 0.0, kInf}, {1, 2, 0});
}

TEST(DoubleSort, BitPatternsArriveUnchanged) {
    // Signalling and quiet NaNs with payloads of both signs, zeros of both
    // signs, infinities, the smallest subnormal and ordinary keys, repeated and
    // shuffled so that every one of them is exchanged many times.
    const std::vector<std::uint64_t> specials = {
        0x7FF0000000000001ULL, 0x7FF4000000000ABCULL, 0xFFF0000000DEAD01ULL, 0x7FF8000000000000ULL,
        0xFFF8000000012345ULL, 0x7FFFFFFFFFFFFFFFULL, 0x0000000000000000ULL, 0x8000000000000000ULL,
        0x7FF0000000000000ULL, 0xFFF0000000000000ULL, 0x0000000000000001ULL, 0x8000000000000001ULL,
        0x3FF0000000000000ULL, 0xC000000000000000ULL};
    std::mt19937 engine(99);
    std::vector<double> keys;
    for (int copy = 0; copy < 300; ++copy) {
        for (std::uint64_t bits : specials) {
            keys.push_back(double_from_bits(bits));
        }
    }
    std::shuffle(keys.begin(), keys.end(), engine);
    const Sorted<double> want = model_sorted_copy(keys);
    for (const Route &route : kRoutes) {
        SCOPED_TRACE(route.name);
        const Sorted<double> got = sorted_copy(route, keys);
        ASSERT_EQ(bit_patterns(got.keys), bit_patterns(want.keys));
        ASSERT_EQ(got.index, want.index);
        for (std::size_t k = 0; k < keys.size(); ++k) {
            ASSERT_EQ(bits_of(got.keys[k]), bits_of(keys[static_cast<std::size_t>(got.index[k])]))
                << "key at " << k;
        }
    }
}

TEST(DoubleSort, EveryShortArrayWithNansMatchesTheOneCycleModel) {
    // All arrays of up to 7 keys drawn from -0.0, +0.0, 1 and a NaN.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expect_every_array_matches_model(std::vector<double>{-0.0, 0.0, 1.0, nan}, 7);
}

TEST(DoubleSort, RandomKeysWithNansAndZerosMatchTheOneCycleModel) {
    std::mt19937 engine(5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> pool = {nan, -0.0, 0.0, 1.5, -2.0, kInf, -kInf};
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_real_distribution<double> value(-10.0, 10.0);
    std::bernoulli_distribution special(0.3);
    for (const std::size_t length : {3u, 10u, 100u, 129u, 500u, 3000u}) {
        SCOPED_TRACE(length);
        std::vector<double> keys(length);
        for (double &key : keys) {
            key = special(engine) ? pool[pick(engine)] : value(engine);
        }
        const Sorted<double> want = model_sorted_copy(keys);
        for (const Route &route : kRoutes) {
            SCOPED_TRACE(route.name);
            const Sorted<double> got = sorted_copy(route, keys);
            ASSERT_EQ(bit_patterns(got.keys), bit_patterns(want.keys));
            ASSERT_EQ(got.index, want.index);
        }
    }
}

// ---- Keys that make every pivot the smallest of its stretch ----

TEST(SmallestPivotKeys, FiveKeysAreTheKnownArrangement) {
    EXPECT_EQ(smallest_pivot_keys(5), (std::vector<std::int32_t>{1, 3, 0, 2, 4}));
}

TEST(SmallestPivotKeys, DriveTheOneCycleModelToFullDepth) {
    for (std::int32_t count = 2; count <= 300; ++count) {
        SCOPED_TRACE(count);
        ModelTrace trace;
        model_sorted_copy(smallest_pivot_keys(count), trace);
        EXPECT_TRUE(trace.every_pivot_smallest);
        EXPECT_EQ(trace.deepest, count - 1);
    }
    ModelTrace trace;
    model_sorted_copy(smallest_pivot_keys(3000), trace);
    EXPECT_TRUE(trace.every_pivot_smallest);
    EXPECT_EQ(trace.deepest, 2999);
}

// Sorts on a thread whose stack holds a few thousand small frames at most: a
// recursion that followed the 49,999 levels of nesting would overflow it. The
// depth-carrying worker runs with a negative depth too, so that it handles
// every level itself.
constexpr std::int32_t kDeepCount = 50000;
constexpr std::size_t kSmallStack = 256 * 1024;

struct DeepSortJob {
    std::vector<std::int32_t> int_keys;
    std::vector<std::int32_t> worker_keys;
    std::vector<double> double_keys;
    IndexArray int_index;
    IndexArray worker_index;
    IndexArray double_index;
};

void *run_deep_sorts(void *argument) {
    auto &job = *static_cast<DeepSortJob *>(argument);
    l_quicksort(job.int_keys.data(), kDeepCount, job.int_index.data());
    l_parallel_qs(job.worker_keys.data(), 0, kDeepCount - 1, job.worker_index.data(), -1);
    d_parallel_quicksort(job.double_keys.data(), kDeepCount, job.double_index.data());
    return nullptr;
}

TEST(SmallestPivotKeys, SortOnASmallStack) {
    const std::vector<std::int32_t> keys = smallest_pivot_keys(kDeepCount);
    DeepSortJob job;
    job.int_keys = keys;
    job.worker_keys = keys;
    job.double_keys.assign(keys.begin(), keys.end());
    job.int_index = identity(keys.size());
    job.worker_index = identity(keys.size());
    job.double_index = identity(keys.size());

    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, run_deep_sorts, &job), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attributes);

    // Keys 0 .. count - 1, each index pointing back at its key.
    for (std::int32_t k = 0; k < kDeepCount; ++k) {
        const auto slot = static_cast<std::size_t>(k);
        ASSERT_EQ(job.int_keys[slot], k);
        ASSERT_EQ(job.worker_keys[slot], k);
        ASSERT_EQ(job.double_keys[slot], static_cast<double>(k));
        ASSERT_EQ(keys[static_cast<std::size_t>(job.int_index[slot])], k);
        ASSERT_EQ(keys[static_cast<std::size_t>(job.worker_index[slot])], k);
        ASSERT_EQ(keys[static_cast<std::size_t>(job.double_index[slot])], k);
    }
}

}  // namespace
