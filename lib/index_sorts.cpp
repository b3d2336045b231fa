// SPDX-License-Identifier: MIT
// Index-carrying sorts: in-place quicksorts of 32-bit integer or double keys
// that carry an index array through the same exchanges.
#include "Tolvren_LiDAR.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// The sorts compare and move keys a block at a time with SSE2 where it is
// available (every x86-64 target); elsewhere they use the plain loops.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif


namespace {

// Positions travel as ptrdiff_t inside the sorts: the pivot sum of two 32-bit
// bounds, and a cursor stepping one place past either end of a stretch, then
// stay in range whatever bounds a direct worker call passes.
using SortPosition = std::ptrdiff_t;

// The depth-carrying entries let the depth-carrying worker handle the top 16
// levels (deep 15 down to 0).
constexpr std::int64_t kEntrySortDepth = 15;

// A pass examines its keys in blocks of kMaxSortBlock keys while the part not
// yet examined holds two such blocks, then in blocks of a half, a quarter ...
// down to kMinSortBlock keys. One bit per key of a block fits in 64 bits, and
// every width is a whole number of SSE2 registers.
constexpr int kMaxSortBlock = 64;
constexpr int kMinSortBlock = 4;

// The two parts a pass leaves: left .. left_end and right_begin .. right.
struct SortParts {
    SortPosition left_end;
    SortPosition right_begin;
    // Set when the pass found no key of the stretch less than another, so
    // that neither part holds one either.
    bool even = false;
};

template <typename Key>
inline void exchange_entries(Key *p, std::int32_t *p_ind, SortPosition a,
                             SortPosition b) noexcept {
    // Plain copies: a double moves as its raw 64-bit value, so NaN payloads
    // (signalling ones too) and the sign of zero survive.
    const Key key = p[a];
    p[a] = p[b];
    p[b] = key;
    const std::int32_t index = p_ind[a];
    p_ind[a] = p_ind[b];
    p_ind[b] = index;
}

inline int lowest_bit(std::uint64_t mask) noexcept { return __builtin_ctzll(mask); }

inline int highest_bit(std::uint64_t mask) noexcept { return 63 - __builtin_clzll(mask); }

// The `width` lowest bits set, for 1 <= width <= 64: one bit per key of a
// block.
inline std::uint64_t low_bits(int width) noexcept { return ~std::uint64_t{0} >> (64 - width); }

#if defined(__SSE2__)
// The blocks are handled a register at a time: four 32-bit keys or indexes,
// or two doubles. Register loads, stores and shuffles move doubles bit for
// bit, NaN payloads included. SortLanes<Value> holds what differs by type.
template <typename Value>
struct SortLanes;

template <>
struct SortLanes<std::int32_t> {
    using Vector = __m128i;
    static constexpr int kLanes = 4;
    static Vector load(const std::int32_t *at) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); }
    static void store(std::int32_t *at, Vector v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i *>(at), v); }
    static Vector splat(std::int32_t value) noexcept { return _mm_set1_epi32(value); }
    static Vector reversed(Vector v) noexcept { return _mm_shuffle_epi32(v, 0x1B); }
    static Vector less(Vector a, Vector b) noexcept { return _mm_cmplt_epi32(a, b); }
    // One register's comparison results (all ones or all zeros per lane) as
    // one bit each, in key order.
    static std::uint64_t bits(Vector v) noexcept {
        return static_cast<std::uint64_t>(_mm_movemask_ps(_mm_castsi128_ps(v)));
    }
    // Four registers' results, sixteen bits.
    static std::uint64_t bits(Vector a, Vector b, Vector c, Vector d) noexcept {
        const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(bytes)));
    }
};

template <>
struct SortLanes<double> {
    using Vector = __m128d;
    static constexpr int kLanes = 2;
    static Vector load(const double *at) noexcept { return _mm_loadu_pd(at); }
    static void store(double *at, Vector v) noexcept { _mm_storeu_pd(at, v); }
    static Vector splat(double value) noexcept { return _mm_set1_pd(value); }
    static Vector reversed(Vector v) noexcept { return _mm_shuffle_pd(v, v, 1); }
    static Vector less(Vector a, Vector b) noexcept { return _mm_cmplt_pd(a, b); }
    static std::uint64_t bits(Vector v) noexcept { return static_cast<std::uint64_t>(_mm_movemask_pd(v)); }
    // Four registers' results, eight bits.
    static std::uint64_t bits(Vector a, Vector b, Vector c, Vector d) noexcept {
        const __m128i low = _mm_castps_si128(
            _mm_shuffle_ps(_mm_castpd_ps(a), _mm_castpd_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i high = _mm_castps_si128(
            _mm_shuffle_ps(_mm_castpd_ps(c), _mm_castpd_ps(d), _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i words = _mm_packs_epi32(low, high);
        return static_cast<std::uint64_t>(
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(words, words))) & 0xFFu);
    }
};

// Exchanges up[t] with down[width - 1 - t] for t = 0 .. width - 1: two blocks
// that do not overlap, end for end. Assumes width is a multiple of the lanes.
template <typename Value>
inline void exchange_reversed(Value *up, Value *down, int width) noexcept {
    using Lanes = SortLanes<Value>;
    for (int t = 0; t < width; t += Lanes::kLanes) {
        Value *const low = up + t;
        Value *const high = down + width - Lanes::kLanes - t;
        const auto low_values = Lanes::load(low);
        const auto high_values = Lanes::load(high);
        Lanes::store(low, Lanes::reversed(high_values));
        Lanes::store(high, Lanes::reversed(low_values));
    }
}

// Bit t set when block[t] < pivot, or with PivotFirst when pivot < block[t];
// ordered comparisons, false when either side is a NaN. Assumes width is a
// multiple of the lanes.
template <bool PivotFirst, typename Key>
inline std::uint64_t less_mask(const Key *block, Key pivot, int width) noexcept {
    using Lanes = SortLanes<Key>;
    constexpr int kLanes = Lanes::kLanes;
    const auto pivots = Lanes::splat(pivot);
    const auto compare = [block, pivots](int t) {
        const auto keys = Lanes::load(block + t);
        return PivotFirst ? Lanes::less(pivots, keys) : Lanes::less(keys, pivots);
    };
    std::uint64_t mask = 0;
    int t = 0;
    for (; t + 4 * kLanes <= width; t += 4 * kLanes) {
        mask |= Lanes::bits(compare(t), compare(t + kLanes), compare(t + 2 * kLanes), compare(t + 3 * kLanes)) << t;
    }
    for (; t < width; t += kLanes) {
        mask |= Lanes::bits(compare(t)) << t;
    }
    return mask;
}
#else
template <typename Value>
inline void exchange_reversed(Value *up, Value *down, int width) noexcept {
    for (int t = 0; t < width; ++t) {
        const Value value = up[t];
        up[t] = down[width - 1 - t];
        down[width - 1 - t] = value;
    }
}

template <bool PivotFirst, typename Key>
inline std::uint64_t less_mask(const Key *block, Key pivot, int width) noexcept {
    std::uint64_t mask = 0;
    for (int t = 0; t < width; ++t) {
        const bool less = PivotFirst ? pivot < block[t] : block[t] < pivot;
        mask |= static_cast<std::uint64_t>(less) << t;
    }
    return mask;
}
#endif

// The stops in a block of `width` keys, one bit per key. Bit t of an up mask
// is set when block[t] is not less than the pivot (it stops the scan up), bit
// t of a down mask when block[t] is not greater (it stops the scan down).
// "Not less" holds when either side is a NaN: a NaN stops both scans.
template <typename Key>
inline std::uint64_t up_stop_mask(const Key *block, Key pivot, int width) noexcept {
    return ~less_mask<false>(block, pivot, width) & low_bits(width);
}

template <typename Key>
inline std::uint64_t down_stop_mask(const Key *block, Key pivot, int width) noexcept {
    return ~less_mask<true>(block, pivot, width) & low_bits(width);
}

// The widest block of which two fit into `length` keys; 0 when not even two
// of the narrowest do.
inline int block_width(SortPosition length) noexcept {
    if (length >= 2 * kMaxSortBlock) {
        return kMaxSortBlock;
    }
    if (length < 2 * kMinSortBlock) {
        return 0;
    }
    return 1 << highest_bit(static_cast<std::uint64_t>(length) / 2);
}

// The cycles of a pass one at a time, the scans starting at i and j, until
// the cursors cross; returns the two parts.
template <typename Key>
inline SortParts run_cycles(Key *p, std::int32_t *p_ind, Key pivot, SortPosition i,
                            SortPosition j) noexcept {
    for (;;) {
        while (p[i] < pivot) {
            ++i;
        }
        while (pivot < p[j]) {
            --j;
        }
        if (i > j) {
            break;
        }
        // A position exchanged with itself keeps its key and index: skip the
        // loads and stores, which on sorted keys would be the only access to
        // the index array in the whole pass.
        if (i < j) {
            exchange_entries(p, p_ind, i, j);
        }
        ++i;
        --j;
        if (i > j) {
            break;
        }
    }
    return {j, i};
}

// One partition-exchange pass over left .. right (left < right).
//
// The pivot is the key at (left + right) / 2, the sum halved with truncation
// toward zero, copied once and fixed for the whole pass. A cycle scans up
// while the key is less than the pivot, scans down while it is greater, and
// exchanges the keys (and indexes) at the two stopping positions, a position
// with itself when the cursors meet; both cursors then move on. The pass ends
// when the cursors have crossed.
//
// Until the cursors cross, the k-th exchange of a pass pairs the k-th position
// from the left whose key is not less than the pivot (an up stop) with the
// k-th position from the right whose key is not greater (a down stop): the
// keys between the cursors are untouched, so the stops can be read off the
// keys as they came in. The stops are therefore found a block at a time, in a
// left and a right block that do not overlap, without a branch per key, and
// exchanged in pairs; when both blocks hold stops only, the pairs are the two
// blocks end for end. The few keys left near the middle run the cycles one at
// a time.
//
// The one-at-a-time scans carry no bound tests. With no exchange made yet,
// the pivot's own position stops both of them (a key is neither less nor
// greater than itself, and a NaN pivot stops them at once); after an
// exchange, the old down position holds a key that is not less than the pivot
// and the old up position one that is not greater. So the scan up stops at or
// before `right` and the scan down at or after `left`, exactly where a
// bounded scan would.
// Stops found in a block and not yet exchanged: bit t stands for the
// position base + t. Up stops are taken lowest first, down stops highest
// first.
struct PendingStops {
    SortPosition base = 0;
    std::uint64_t bits = 0;
};

// Examines the `width` keys from lo for up stops. Assumes at least `width`
// keys from lo are not examined yet.
template <typename Key>
inline void examine_up_block(const Key *p, Key pivot, int width, SortPosition &lo,
                             PendingStops &up) noexcept {
    up.base = lo;
    up.bits = up_stop_mask(p + up.base, pivot, width);
    lo += width;
}

// Examines the `width` keys up to hi for down stops. Assumes at least
// `width` keys up to hi are not examined yet.
template <typename Key>
inline void examine_down_block(const Key *p, Key pivot, int width, SortPosition &hi,
                               PendingStops &down) noexcept {
    down.base = hi - (width - 1);
    down.bits = down_stop_mask(p + down.base, pivot, width);
    hi -= width;
}

// Exchanges the two blocks end for end: the exchanges of two blocks in
// which every key stops its scan. Assumes both are whole blocks of stops.
// The cursors move past them.
template <typename Key>
inline void exchange_stop_blocks(Key *p, std::int32_t *p_ind, int width, PendingStops &up,
                                 PendingStops &down, SortPosition &i, SortPosition &j) noexcept {
    exchange_reversed(p + up.base, p + down.base, width);
    exchange_reversed(p_ind + up.base, p_ind + down.base, width);
    i = up.base + width;
    j = down.base - 1;
    up.bits = 0;
    down.bits = 0;
}

// Exchanges pending stops in pairs until one side runs out; the cursors
// follow the last exchange.
template <typename Key>
inline void exchange_pending_stops(Key *p, std::int32_t *p_ind, PendingStops &up, PendingStops &down,
                                   SortPosition &i, SortPosition &j) noexcept {
    while (up.bits != 0 && down.bits != 0) {
        const int up_bit = lowest_bit(up.bits);
        const int down_bit = highest_bit(down.bits);
        exchange_entries(p, p_ind, up.base + up_bit, down.base + down_bit);
        i = up.base + up_bit + 1;
        j = down.base + down_bit - 1;
        up.bits &= up.bits - 1;
        down.bits ^= std::uint64_t{1} << down_bit;
    }
}

// True when no key of lo .. hi is less or greater than the pivot.
template <typename Key>
inline bool keys_even(const Key *p, Key pivot, SortPosition lo, SortPosition hi) noexcept {
    bool uneven = false;
    for (SortPosition t = lo; t <= hi; ++t) {
        uneven |= (p[t] < pivot) | (pivot < p[t]);
    }
    return !uneven;
}

// Ends a pass one cycle at a time, once fewer than two of the narrowest
// blocks are left. The keys from i up to the next pending up stop (or to lo)
// do not stop the scan up, and those from j down to the next pending down
// stop (or to hi) do not stop the scan down, so the scans may start there
// and reach the same positions.
template <typename Key>
inline SortParts finish_pass(Key *p, std::int32_t *p_ind, Key pivot, SortPosition i, SortPosition j,
                             SortPosition lo, SortPosition hi, const PendingStops &up,
                             const PendingStops &down) noexcept {
    if (i > j) return {j, i};
    return run_cycles(p, p_ind, pivot, up.bits != 0 ? up.base + lowest_bit(up.bits) : lo,
                      down.bits != 0 ? down.base + highest_bit(down.bits) : hi);
}

template <typename Key>
inline SortParts partition_stretch(Key *p, SortPosition left, SortPosition right,
                                   std::int32_t *p_ind) noexcept {
    const Key pivot = p[(left + right) / 2];
    if (right - left < 2 * kMinSortBlock - 1) {
        return run_cycles(p, p_ind, pivot, left, right);
    }
    // The cursors, where the next one-at-a-time scans would start; the keys
    // lo .. hi, not examined yet; the stops found but not yet exchanged.
    SortPosition i = left;
    SortPosition j = right;
    SortPosition lo = left;
    SortPosition hi = right;
    PendingStops up;
    PendingStops down;
    // Every key examined so far is the pivot's equal or a NaN, and the pivot
    // is not a NaN.
    bool even = pivot == pivot;
    for (;;) {
        const int width = block_width(hi - lo + 1);
        if (width == 0) break;
        if (up.bits == 0 && down.bits == 0) {
            examine_up_block(p, pivot, width, lo, up);
            examine_down_block(p, pivot, width, hi, down);
            const std::uint64_t whole_block = low_bits(width);
            if (up.bits == whole_block && down.bits == whole_block) {
                // No key on the left is less than the pivot and none on the
                // right greater; the pivot's equals are those that are not
                // greater or not less either.
                even = even && down_stop_mask(p + up.base, pivot, width) == whole_block &&
                       up_stop_mask(p + down.base, pivot, width) == whole_block;
                exchange_stop_blocks(p, p_ind, width, up, down, i, j);
                continue;
            }
            even = false;
        } else if (up.bits == 0) {
            examine_up_block(p, pivot, width, lo, up);
        } else {
            examine_down_block(p, pivot, width, hi, down);
        }
        exchange_pending_stops(p, p_ind, up, down, i, j);
    }
    if (even && keys_even(p, pivot, lo, hi)) {
        // The whole stretch is even: the rest of the pass exchanges end for
        // end, and the parts are even stretches too.
        SortParts parts = i > j ? SortParts{j, i} : run_cycles(p, p_ind, pivot, lo, hi);
        parts.even = true;
        return parts;
    }
    return finish_pass(p, p_ind, pivot, i, j, lo, hi, up, down);
}

// Passes over two and three keys, written out. Two keys are exchanged unless
// the first is less than the second, wherever the pivot falls: equal keys and
// NaNs change places. Over three keys the pivot is the middle key v; the
// first cycle's scan up stops at the first key unless it is less than v, the
// scan down at the last unless it is greater, otherwise both at the middle:
//   both ends stop:  the ends are exchanged, then the middle with itself;
//   the first only:  first and middle are exchanged, then the part made of
//                    the last two keys is sorted;
//   the last only:   middle and last are exchanged, then the part made of the
//                    first two keys is sorted;
//   neither:         the middle is exchanged with itself.
template <typename Key>
inline void sort_two(Key *p, std::int32_t *p_ind, SortPosition first,
                     SortPosition second) noexcept {
    if (!(p[first] < p[second])) {
        exchange_entries(p, p_ind, first, second);
    }
}

template <typename Key>
inline void sort_three(Key *p, std::int32_t *p_ind, SortPosition left,
                       SortPosition right) noexcept {
    const SortPosition middle = (left + right) / 2;
    const Key pivot = p[middle];
    const bool first_stops = !(p[left] < pivot);
    const bool last_stops = !(pivot < p[right]);
    if (first_stops) {
        if (last_stops) {
            exchange_entries(p, p_ind, left, right);
        } else {
            exchange_entries(p, p_ind, left, middle);
            sort_two(p, p_ind, middle, right);
        }
    } else if (last_stops) {
        exchange_entries(p, p_ind, middle, right);
        sort_two(p, p_ind, left, middle);
    }
}

// Sorts a stretch of at most three keys; shorter and empty ones stay as they
// are. The positions are passed as the stretch's bounds and its middle rather
// than as left + 1: keys at positions known to be neighbours would be loaded
// as one register, straight after the two separate stores of an exchange,
// which costs a stall.
template <typename Key>
inline void sort_short(Key *p, SortPosition left, SortPosition right,
                       std::int32_t *p_ind) noexcept {
    if (right - left == 1) {
        sort_two(p, p_ind, left, right);
    } else if (right - left == 2) {
        sort_three(p, p_ind, left, right);
    }
}

// The plain worker sorts stretches of at most kShortStretch keys in one
// function, without blocks or nested calls. A stretch of that length leaves
// at most log2(kShortStretch) parts pending.
constexpr SortPosition kShortStretch = 16;
constexpr int kShortPending = 4;
static_assert(SortPosition{1} << kShortPending >= kShortStretch, "room for pending parts");

// When no key of a stretch is less than another (all keys equal, NaNs
// aside), every scan stops at once whatever the pivot, so the exchanges of the
// whole sort depend on the length alone. short_even_orders[n][t] is the
// position, counted from the stretch's left end, whose entry ends up at
// position t of a stretch of n keys.
struct ShortEvenOrders {
    std::uint8_t from[kShortStretch + 1][kShortStretch];
};

constexpr ShortEvenOrders make_short_even_orders() {
    ShortEvenOrders orders{};
    for (int n = 0; n <= kShortStretch; ++n) {
        std::uint8_t at[kShortStretch] = {};
        for (int t = 0; t < n; ++t) {
            at[t] = static_cast<std::uint8_t>(t);
        }
        int stack[2 * kShortStretch + 2] = {};
        int depth = 0;
        if (n > 1) {
            stack[0] = 0;
            stack[1] = n - 1;
            depth = 1;
        }
        while (depth > 0) {
            --depth;
            const int left = stack[2 * depth];
            const int right = stack[2 * depth + 1];
            int i = left;
            int j = right;
            while (i <= j) {
                const std::uint8_t held = at[i];
                at[i] = at[j];
                at[j] = held;
                ++i;
                --j;
            }
            if (left < j) {
                stack[2 * depth] = left;
                stack[2 * depth + 1] = j;
                ++depth;
            }
            if (i < right) {
                stack[2 * depth] = i;
                stack[2 * depth + 1] = right;
                ++depth;
            }
        }
        for (int t = 0; t < n; ++t) {
            orders.from[n][t] = at[t];
        }
    }
    return orders;
}

constexpr ShortEvenOrders kShortEvenOrders = make_short_even_orders();

// True when no key of left .. right is less than another: each is equal to
// the first key, or a NaN, and the first key is not a NaN.
template <typename Key>
inline bool short_stretch_even(const Key *p, SortPosition left, SortPosition right) noexcept {
    const Key first = p[left];
    if (!(first == first)) {
        return false;
    }
    bool uneven = false;
    for (SortPosition t = left + 1; t <= right; ++t) {
        uneven |= (p[t] < first) | (first < p[t]);
    }
    return !uneven;
}

// Places the entries of an even stretch of n keys (2 <= n <= kShortStretch)
// where its sort leaves them.
template <typename Key>
inline void order_even_stretch(Key *p, SortPosition left, SortPosition n,
                               std::int32_t *p_ind) noexcept {
    Key keys[kShortStretch];
    std::int32_t indexes[kShortStretch];
    std::memcpy(keys, p + left, static_cast<std::size_t>(n) * sizeof(Key));
    std::memcpy(indexes, p_ind + left, static_cast<std::size_t>(n) * sizeof(std::int32_t));
    const std::uint8_t *from = kShortEvenOrders.from[n];
    for (SortPosition t = 0; t < n; ++t) {
        std::memcpy(p + left + t, keys + from[t], sizeof(Key));
        p_ind[left + t] = indexes[from[t]];
    }
}

// Longer even stretches. A pass over an even stretch of n keys exchanges
// them end for end, the middle key (n odd) with itself, and leaves two parts
// of h = n / 2 keys. So if "sorted" stands for where the sort of an even
// stretch leaves its entries and "turned" for the same applied to the stretch
// taken end for end, then for n > kShortStretch, with L the first h keys, U
// the last h and M the middle key when there is one:
//   sorted(L M U) = turned(U) M turned(L)
//   turned(L M U) = sorted(L) M sorted(U)
// place_even puts the entries of a at that place; trade_even, given two
// stretches a and b of n keys that do not overlap, puts at a the entries b
// would end up with and at b those of a.
template <typename Key>
inline void trade_short_even(Key *p, std::int32_t *p_ind, SortPosition a, SortPosition b,
                             SortPosition n, bool turned) noexcept {
    Key keys_a[kShortStretch];
    Key keys_b[kShortStretch];
    std::int32_t indexes_a[kShortStretch];
    std::int32_t indexes_b[kShortStretch];
    const auto key_bytes = static_cast<std::size_t>(n) * sizeof(Key);
    const auto index_bytes = static_cast<std::size_t>(n) * sizeof(std::int32_t);
    std::memcpy(keys_a, p + a, key_bytes);
    std::memcpy(keys_b, p + b, key_bytes);
    std::memcpy(indexes_a, p_ind + a, index_bytes);
    std::memcpy(indexes_b, p_ind + b, index_bytes);
    const std::uint8_t *from = kShortEvenOrders.from[n];
    for (SortPosition t = 0; t < n; ++t) {
        const SortPosition f = turned ? n - 1 - from[t] : from[t];
        std::memcpy(p + a + t, keys_b + f, sizeof(Key));
        std::memcpy(p + b + t, keys_a + f, sizeof(Key));
        p_ind[a + t] = indexes_b[f];
        p_ind[b + t] = indexes_a[f];
    }
}

template <typename Key>
void trade_even(Key *p, std::int32_t *p_ind, SortPosition a, SortPosition b, SortPosition n,
                bool turned) noexcept {
    if (n <= kShortStretch) {
        trade_short_even(p, p_ind, a, b, n, turned);
        return;
    }
    const SortPosition h = n / 2;
    if (n % 2 != 0) {
        exchange_entries(p, p_ind, a + h, b + h);
    }
    if (turned) {
        trade_even(p, p_ind, a, b, h, false);
        trade_even(p, p_ind, a + n - h, b + n - h, h, false);
    } else {
        trade_even(p, p_ind, a, b + n - h, h, true);
        trade_even(p, p_ind, a + n - h, b, h, true);
    }
}

// Sorts the even stretch of n keys from `left` (turned: sorts it as if it
// had been taken end for end first).
template <typename Key>
void place_even(Key *p, std::int32_t *p_ind, SortPosition left, SortPosition n,
                bool turned) noexcept {
    if (n <= kShortStretch) {
        if (n >= 2) {
            if (turned) {
                trade_short_even(p, p_ind, left, left, n, true);
            } else {
                order_even_stretch(p, left, n, p_ind);
            }
        }
        return;
    }
    const SortPosition h = n / 2;
    if (turned) {
        place_even(p, p_ind, left, h, false);
        place_even(p, p_ind, left + n - h, h, false);
    } else {
        trade_even(p, p_ind, left, left + n - h, h, true);
    }
}

// Both parts of a pass that found no key less than another are even
// stretches themselves: each goes straight to where its sort leaves it.
template <typename Key>
void place_even_parts(Key *p, std::int32_t *p_ind, SortPosition left, SortPosition right,
                      const SortParts &parts) noexcept {
    place_even(p, p_ind, left, parts.left_end - left + 1, false);
    place_even(p, p_ind, parts.right_begin, right - parts.right_begin + 1, false);
}

// Sorts a stretch of at most kShortStretch keys: passes one cycle at a time,
// looping on the shorter part of each pass and holding the longer one on a
// local stack, each pending part at least as long as the rest.
template <typename Key>
void sort_short_stretch(Key *p, SortPosition left, SortPosition right,
                        std::int32_t *p_ind) noexcept {
    if (right - left >= 3 && !(p[left] < p[right]) && !(p[right] < p[left]) &&
        short_stretch_even(p, left, right)) {
        order_even_stretch(p, left, right - left + 1, p_ind);
        return;
    }
    SortPosition pending[2 * kShortPending];
    int pending_count = 0;
    for (;;) {
        while (right - left >= 3) {
            const SortParts parts =
                run_cycles(p, p_ind, p[(left + right) / 2], left, right);
            if (parts.left_end - left < right - parts.right_begin) {
                pending[2 * pending_count] = parts.right_begin;
                pending[2 * pending_count + 1] = right;
                right = parts.left_end;
            } else {
                pending[2 * pending_count] = left;
                pending[2 * pending_count + 1] = parts.left_end;
                left = parts.right_begin;
            }
            ++pending_count;
        }
        sort_short(p, left, right, p_ind);
        if (pending_count == 0) {
            return;
        }
        --pending_count;
        left = pending[2 * pending_count];
        right = pending[2 * pending_count + 1];
    }
}

// The plain worker. The two parts of a pass share no position, so the order
// in which they are sorted does not change the result: the shorter one is
// sorted by a nested call and the longer one by the next round of the loop,
// which keeps the nesting below log2 of the stretch length for any key order.
template <typename Key>
void sort_stretch(Key *p, SortPosition left, SortPosition right, std::int32_t *p_ind) noexcept {
    while (right - left >= kShortStretch) {
        const SortParts parts = partition_stretch(p, left, right, p_ind);
        if (parts.even) {
            place_even_parts(p, p_ind, left, right, parts);
            return;
        }
        if (parts.left_end - left < right - parts.right_begin) {
            sort_stretch(p, left, parts.left_end, p_ind);
            left = parts.right_begin;
        } else {
            sort_stretch(p, parts.right_begin, right, p_ind);
            right = parts.left_end;
        }
    }
    sort_short_stretch(p, left, right, p_ind);
}

// The depth-carrying worker: the same passes, but while `deep` is non-zero
// both parts of a pass go on to this worker with `deep` - 1, and at `deep` 0
// to the plain worker. A negative `deep` never reaches 0. `deep` only decides
// which worker handles a level, never which entries are exchanged.
template <typename Key>
void sort_stretch_deep(Key *p, SortPosition left, SortPosition right, std::int32_t *p_ind,
                       std::int64_t deep) noexcept {
    while (right - left >= 3) {
        const SortParts parts = partition_stretch(p, left, right, p_ind);
        if (parts.even) {
            place_even_parts(p, p_ind, left, right, parts);
            return;
        }
        if (deep == 0) {
            sort_stretch(p, left, parts.left_end, p_ind);
            sort_stretch(p, parts.right_begin, right, p_ind);
            return;
        }
        --deep;
        if (parts.left_end - left < right - parts.right_begin) {
            sort_stretch_deep(p, left, parts.left_end, p_ind, deep);
            left = parts.right_begin;
        } else {
            sort_stretch_deep(p, parts.right_begin, right, p_ind, deep);
            right = parts.left_end;
        }
    }
    sort_short(p, left, right, p_ind);
}

}  // namespace

extern "C" {

void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch(p, 0, SortPosition{count} - 1, p_ind);
    }
}

void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind) noexcept {
    sort_stretch(p, left, right, p_ind);
}

void d_quicksort(double *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch(p, 0, SortPosition{count} - 1, p_ind);
    }
}

void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind) noexcept {
    sort_stretch(p, left, right, p_ind);
}

void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch_deep(p, 0, SortPosition{count} - 1, p_ind, kEntrySortDepth);
    }
}

void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind,
                   int32_t deep) noexcept {
    sort_stretch_deep(p, left, right, p_ind, deep);
}

void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind) noexcept {
    if (count > 0) {
        sort_stretch_deep(p, 0, SortPosition{count} - 1, p_ind, kEntrySortDepth);
    }
}

void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind,
                   int32_t deep) noexcept {
    sort_stretch_deep(p, left, right, p_ind, deep);
}

}  // extern "C"

