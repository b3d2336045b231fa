// SPDX-License-Identifier: MIT
// The index-carrying sorts on arbitrary keys of both types, over arbitrary
// stretches and depths. Keys without NaN must end ascending inside the
// stretch and untouched outside it, every index must still travel with its
// key, the plain and depth-carrying workers must give identical arrays, and
// both must match, exchange for exchange, a literal one-cycle-at-a-time
// rendering of the partition-exchange scheme.
#include "Tolvren_LiDAR.h"
#include "fuzz_common.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

template <typename Key>
struct Sorts;

template <>
struct Sorts<std::int32_t> {
    static void entry(std::int32_t *p, std::int32_t n, std::int32_t *ind) { l_quicksort(p, n, ind); }
    static void parallel_entry(std::int32_t *p, std::int32_t n, std::int32_t *ind) { l_parallel_quicksort(p, n, ind); }
    static void worker(std::int32_t *p, std::int32_t l, std::int32_t r, std::int32_t *ind) { l_qs(p, l, r, ind); }
    static void parallel_worker(std::int32_t *p, std::int32_t l, std::int32_t r, std::int32_t *ind, std::int32_t d) {
        l_parallel_qs(p, l, r, ind, d);
    }
    static bool is_nan(std::int32_t) { return false; }
};

template <>
struct Sorts<double> {
    static void entry(double *p, std::int32_t n, std::int32_t *ind) { d_quicksort(p, n, ind); }
    static void parallel_entry(double *p, std::int32_t n, std::int32_t *ind) { d_parallel_quicksort(p, n, ind); }
    static void worker(double *p, std::int32_t l, std::int32_t r, std::int32_t *ind) { d_qs(p, l, r, ind); }
    static void parallel_worker(double *p, std::int32_t l, std::int32_t r, std::int32_t *ind, std::int32_t d) {
        d_parallel_qs(p, l, r, ind, d);
    }
    static bool is_nan(double key) { return std::isnan(key); }
};

// The scheme as plainly as it can be written: pivot copied from the middle
// position, scans up and down, an exchange per cycle, then both parts. The
// parts share no position, so a work list serves for the nested calls.
template <typename Key>
void reference_sort(Key *p, std::int64_t left, std::int64_t right, std::int32_t *p_ind) {
    std::vector<std::pair<std::int64_t, std::int64_t>> stretches{{left, right}};
    while (!stretches.empty()) {
        const auto [l, r] = stretches.back();
        stretches.pop_back();
        if (l >= r) continue;
        std::int64_t i = l, j = r;
        const Key v = p[(l + r) / 2];
        do {
            while (p[i] < v && i < r) ++i;
            while (p[j] > v && j > l) --j;
            if (i <= j) {
                std::swap(p[i], p[j]);
                std::swap(p_ind[i], p_ind[j]);
                ++i;
                --j;
            }
        } while (i <= j);
        if (l < j) stretches.emplace_back(l, j);
        if (i < r) stretches.emplace_back(i, r);
    }
}

template <typename Key>
bool same_bits(const std::vector<Key> &a, const std::vector<Key> &b) {
    // memcmp must not see the null data pointer of an empty vector.
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Key)) == 0);
}

template <typename Key>
void check(const std::uint8_t *data, std::size_t size) {
    // Control bytes: which stretch and which depth; the rest are the keys.
    if (size < 9) return;
    std::uint16_t left_raw, right_raw;
    std::int32_t deep;
    std::memcpy(&left_raw, data, 2);
    std::memcpy(&right_raw, data + 2, 2);
    std::memcpy(&deep, data + 4, 4);
    const bool whole = (data[8] & 1) != 0;
    data += 9;
    size -= 9;

    const std::size_t count = size / sizeof(Key);
    std::vector<Key> keys(count);
    if (count) std::memcpy(keys.data(), data, count * sizeof(Key));
    std::vector<std::int32_t> index(count);
    for (std::size_t i = 0; i < count; ++i) index[i] = static_cast<std::int32_t>(i);

    std::int32_t left = 0, right = static_cast<std::int32_t>(count) - 1;
    if (!whole && count) {
        left = left_raw % static_cast<std::int32_t>(count);
        right = right_raw % static_cast<std::int32_t>(count);
    }

    std::vector<Key> plain_keys = keys, parallel_keys = keys;
    std::vector<std::int32_t> plain_index = index, parallel_index = index;
    if (whole) {
        Sorts<Key>::entry(plain_keys.data(), static_cast<std::int32_t>(count), plain_index.data());
        Sorts<Key>::parallel_entry(parallel_keys.data(), static_cast<std::int32_t>(count), parallel_index.data());
    } else if (count) {
        Sorts<Key>::worker(plain_keys.data(), left, right, plain_index.data());
        Sorts<Key>::parallel_worker(parallel_keys.data(), left, right, parallel_index.data(), deep);
    }
    if (!same_bits(plain_keys, parallel_keys) || plain_index != parallel_index) {
        tolvren_fuzz::fail("plain and depth-carrying sorts differ");
    }

    std::vector<Key> reference_keys = keys;
    std::vector<std::int32_t> reference_index = index;
    if (count) reference_sort(reference_keys.data(), left, right, reference_index.data());
    if (!same_bits(plain_keys, reference_keys) || plain_index != reference_index) {
        tolvren_fuzz::fail("the sort departs from the partition-exchange scheme");
    }

    bool any_nan = false;
    std::vector<bool> seen(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Each index still names the key that came in at that position,
        // bit for bit, and positions outside the stretch are untouched.
        const auto from = static_cast<std::size_t>(plain_index[i]);
        if (from >= count || std::memcmp(&plain_keys[i], &keys[from], sizeof(Key)) != 0) {
            tolvren_fuzz::fail("an index lost its key");
        }
        if (seen[from]) tolvren_fuzz::fail("an index appears twice");
        seen[from] = true;
        const auto position = static_cast<std::int32_t>(i);
        if ((position < left || position > right) && from != i) tolvren_fuzz::fail("a key outside the stretch moved");
        if (position >= left && position <= right) any_nan |= Sorts<Key>::is_nan(plain_keys[i]);
    }
    if (any_nan) return;
    for (std::int32_t i = left; i < right; ++i) {
        if (plain_keys[static_cast<std::size_t>(i) + 1] < plain_keys[static_cast<std::size_t>(i)]) {
            tolvren_fuzz::fail("keys are not ascending");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1 || size > 65536) return 0;
    if (data[0] & 1) {
        check<double>(data + 1, size - 1);
    } else {
        check<std::int32_t>(data + 1, size - 1);
    }
    return 0;
}
