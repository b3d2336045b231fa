// SPDX-License-Identifier: MIT
// The scan of the point records: one sequential pass that counts the whole
// records, tallies them by return number and finds the smallest and largest
// raw X, Y and Z. The header update and the header API share it.
//
// Every point data format, 0 to 10, starts its record with X, Y and Z as
// signed 32-bit integers at offsets 0, 4 and 8, and keeps the return number
// in the low bits of byte 14: three bits in formats 0-5, four in 6-10.
#include "tolvren_internal.h"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tolvren::internal {

static_assert(std::numeric_limits<long double>::digits >= 64, "long double carries a 64-bit significand");

double real_coordinate(std::int32_t raw, double scale, double offset) noexcept {
    // The 32-bit raw value converts exactly; the product and the sum are
    // rounded once, when the result is narrowed to a double, so the extent
    // does not pick up a rounding of the product on its own.
    const long double product = static_cast<long double>(raw) * static_cast<long double>(scale);
    return static_cast<double>(product + static_cast<long double>(offset));
}

namespace {

// The point data is read in blocks of this size: large enough that the cost
// of a call vanishes, small enough that the block is still in the processor's
// cache when the scan reads what the kernel has just copied into it.
constexpr std::size_t kScanBufferBytes = std::size_t{1} << 18;
static_assert(kScanBufferBytes > std::numeric_limits<std::uint16_t>::max(),
              "a block holds at least one record of any length");

constexpr std::size_t kPointX = offsetof(LAS12fm0, X);
constexpr std::size_t kPointReturnByte = offsetof(LAS12fm0, bitfield);
constexpr std::size_t kSmallestRecord = sizeof(LAS12fm0);

// Return numbers are tallied in 64-bit words, one byte a return number, per
// run of at most kTallyRun records: a run is too short to carry out of a
// byte (and even, for the loop that takes records in pairs). The counts stay
// in registers instead of a chain of increments through memory, which runs
// of equal return numbers, the common case in real data, would serialise.
constexpr std::size_t kTallyRun = 254;
constexpr std::array<std::uint64_t, 8> kTallyByte = {
    std::uint64_t{1} << 0,  std::uint64_t{1} << 8,  std::uint64_t{1} << 16, std::uint64_t{1} << 24,
    std::uint64_t{1} << 32, std::uint64_t{1} << 40, std::uint64_t{1} << 48, std::uint64_t{1} << 56,
};

template <unsigned ReturnBits>
class ReturnTally {
public:
    static_assert(ReturnBits == 3 || ReturnBits == 4, "return numbers take three or four bits");
    static constexpr unsigned kMask = (1u << ReturnBits) - 1;

    void add(const unsigned char *record) noexcept {
        const unsigned r = record[kPointReturnByte] & kMask;
        words_[r >> 3] += kTallyByte[r & 7u];
    }

    // Moves the run's counts into the summary and starts a new run.
    void flush(PointSummary &summary) noexcept {
        for (std::size_t w = 0; w < words_.size(); ++w) {
            for (std::size_t k = 0; k < 8; ++k) summary.by_return[8 * w + k] += (words_[w] >> (8 * k)) & 0xFFu;
            words_[w] = 0;
        }
    }

private:
    std::array<std::uint64_t, (kMask >> 3) + 1> words_{};
};

// The hot loop over `count` whole records, in plain C++. RecordSize is the
// stride when known at compile time (a standard record length), else 0 and
// the stride is `stride`. A compile-time stride and local accumulators let
// the compiler keep everything in registers and turn the comparisons into
// conditional moves.
template <std::size_t RecordSize, unsigned ReturnBits>
void summarise_portable(const unsigned char *record, std::size_t count, std::size_t stride,
                        PointSummary &summary) noexcept {
    const std::size_t step = RecordSize != 0 ? RecordSize : stride;
    std::array<std::int32_t, 3> min = summary.min;
    std::array<std::int32_t, 3> max = summary.max;
    summary.records += count;
    ReturnTally<ReturnBits> tally;
    while (count > 0) {
        const std::size_t run = std::min(count, kTallyRun);
        count -= run;
        for (const unsigned char *const end = record + run * step; record != end; record += step) {
            for (std::size_t axis = 0; axis < 3; ++axis) {
                const std::int32_t value = load<std::int32_t>(record, kPointX + 4 * axis);
                min[axis] = std::min(min[axis], value);
                max[axis] = std::max(max[axis], value);
            }
            tally.add(record);
        }
        tally.flush(summary);
    }
    summary.min = min;
    summary.max = max;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOLVREN_SCAN_AVX2 1

// The same loop with the three axes side by side in one vector, two records
// at a time. A 16-byte load at the start of a record holds X, Y and Z in
// lanes 0-2 (lane 3, intensity and the next two bytes, is carried along and
// never read back); two such loads fill the halves of a 256-bit register,
// and one signed minimum and one maximum serve six coordinates. Every record
// is at least 20 bytes, so a load stays inside its record. The caller checks
// that the processor has AVX2.
static_assert(kSmallestRecord >= 16, "a record covers the 16-byte load");

__attribute__((target("avx2"))) __m256i load_two_records(const unsigned char *first,
                                                         const unsigned char *second) noexcept {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(first + kPointX));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(second + kPointX));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

template <std::size_t RecordSize, unsigned ReturnBits>
__attribute__((target("avx2"))) void summarise_avx2(const unsigned char *record, std::size_t count,
                                                    std::size_t stride, PointSummary &summary) noexcept {
    const std::size_t step = RecordSize != 0 ? RecordSize : stride;
    __m256i min = _mm256_setr_epi32(summary.min[0], summary.min[1], summary.min[2], kRawHighest,
                                    summary.min[0], summary.min[1], summary.min[2], kRawHighest);
    __m256i max = _mm256_setr_epi32(summary.max[0], summary.max[1], summary.max[2], kRawLowest,
                                    summary.max[0], summary.max[1], summary.max[2], kRawLowest);
    summary.records += count;
    ReturnTally<ReturnBits> tally;
    while (count > 0) {
        const std::size_t run = std::min(count, kTallyRun);
        count -= run;
        for (const unsigned char *const end = record + (run / 2) * 2 * step; record != end; record += 2 * step) {
            const __m256i xyz = load_two_records(record, record + step);
            min = _mm256_min_epi32(min, xyz);
            max = _mm256_max_epi32(max, xyz);
            tally.add(record);
            tally.add(record + step);
        }
        if (run % 2 != 0) {
            // A lone last record fills both halves; minimum and maximum do
            // not mind seeing it twice.
            const __m256i xyz = load_two_records(record, record);
            min = _mm256_min_epi32(min, xyz);
            max = _mm256_max_epi32(max, xyz);
            tally.add(record);
            record += step;
        }
        tally.flush(summary);
    }
    std::array<std::int32_t, 4> lanes;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes.data()),
                     _mm_min_epi32(_mm256_castsi256_si128(min), _mm256_extracti128_si256(min, 1)));
    std::copy_n(lanes.begin(), 3, summary.min.begin());
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes.data()),
                     _mm_max_epi32(_mm256_castsi256_si128(max), _mm256_extracti128_si256(max, 1)));
    std::copy_n(lanes.begin(), 3, summary.max.begin());
}
#endif

using Summarise = void (*)(const unsigned char *record, std::size_t count, std::size_t stride,
                           PointSummary &summary) noexcept;

template <std::size_t RecordSize, unsigned ReturnBits>
Summarise pick() noexcept {
#ifdef TOLVREN_SCAN_AVX2
    if (__builtin_cpu_supports("avx2")) return summarise_avx2<RecordSize, ReturnBits>;
#endif
    return summarise_portable<RecordSize, ReturnBits>;
}

// A loop with its stride fixed at compile time for the standard record
// length of every format (formats 0-5 with three return bits, 6-10 with
// four); records with extra bytes take the loop with a run-time stride.
Summarise pick_summarise(std::size_t record_size, unsigned return_bits) noexcept {
    if (return_bits == 3) {
        switch (record_size) {
            case 20: return pick<20, 3>();
            case 26: return pick<26, 3>();
            case 28: return pick<28, 3>();
            case 34: return pick<34, 3>();
            case 57: return pick<57, 3>();
            case 63: return pick<63, 3>();
            default: return pick<0, 3>();
        }
    }
    switch (record_size) {
        case 30: return pick<30, 4>();
        case 36: return pick<36, 4>();
        case 38: return pick<38, 4>();
        case 59: return pick<59, 4>();
        case 67: return pick<67, 4>();
        default: return pick<0, 4>();
    }
}

}  // namespace

namespace {

// How one range of a scan ended; a short read (the file became shorter) is
// seen by the scan's caller as records missing.
enum class RangeStatus { ok, read_error, canceled, short_read };

// The records of [offset, offset + data_bytes) through `buffer` (of
// kScanBufferBytes), each block's whole records handed to `consume`. A
// record cut by the end of a block is carried to the front of the buffer
// and completed by the next read. A read that delivers less than asked
// means the file has become shorter since its size was taken: the scan ends
// there. `after_block` hears of the bytes read in each block and returns
// false to stop.
template <typename Consume, typename AfterBlock>
RangeStatus scan_range(int fd, std::uint64_t offset, std::uint64_t data_bytes, std::size_t record_size,
                       unsigned char *buffer, Consume consume, AfterBlock after_block) noexcept {
    std::uint64_t done = 0;
    std::size_t carried = 0;
    while (done < data_bytes) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kScanBufferBytes - carried, data_bytes - done));
        const long long got = read_at(fd, buffer + carried, wanted, offset + done);
        if (got < 0) return RangeStatus::read_error;
        const auto delivered = static_cast<std::size_t>(got);
        done += delivered;

        const std::size_t available = carried + delivered;
        const std::size_t whole = available / record_size;
        consume(static_cast<const unsigned char *>(buffer), whole);
        carried = available - whole * record_size;
        std::memmove(buffer, buffer + whole * record_size, carried);
        if (!after_block(delivered)) return RangeStatus::canceled;
        if (delivered < wanted) return RangeStatus::short_read;
    }
    return RangeStatus::ok;
}

std::unique_ptr<unsigned char[]> scan_buffer() noexcept {
    try {
        // Not zeroed: every byte is read into before it is looked at.
        return std::unique_ptr<unsigned char[]>(new unsigned char[kScanBufferBytes]);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}


}  // namespace

void summarise_records(const unsigned char *records, std::size_t count, std::size_t record_size,
                       unsigned return_bits, PointSummary &summary) noexcept {
    if (record_size < kSmallestRecord || (return_bits != 3 && return_bits != 4)) return;
    pick_summarise(record_size, return_bits)(records, count, record_size, summary);
}

void merge_summary(PointSummary &summary, const PointSummary &more) noexcept {
    summary.records += more.records;
    for (std::size_t r = 0; r < summary.by_return.size(); ++r) summary.by_return[r] += more.by_return[r];
    for (std::size_t axis = 0; axis < 3; ++axis) {
        summary.min[axis] = std::min(summary.min[axis], more.min[axis]);
        summary.max[axis] = std::max(summary.max[axis], more.max[axis]);
    }
}

ScanStatus scan_point_records(int fd, std::uint64_t offset, std::uint64_t data_bytes,
                              std::size_t record_size, unsigned return_bits, PointSummary &summary,
                              const ScanProgress &progress) noexcept {
    if (record_size < kSmallestRecord || (return_bits != 3 && return_bits != 4)) return ScanStatus::read_error;
    const std::unique_ptr<unsigned char[]> buffer = scan_buffer();
    if (!buffer) return ScanStatus::no_memory;
    const Summarise summarise = pick_summarise(record_size, return_bits);
    std::uint64_t done = 0;
    const RangeStatus status = scan_range(
        fd, offset, data_bytes, record_size, buffer.get(),
        [&](const unsigned char *records, std::size_t count) { summarise(records, count, record_size, summary); },
        [&](std::size_t bytes) {
            done += bytes;
            return !progress.report || progress.report(done, progress.user);
        });
    return status == RangeStatus::read_error ? ScanStatus::read_error
           : status == RangeStatus::canceled ? ScanStatus::canceled
                                             : ScanStatus::ok;
}

ScanStatus read_record_blocks(int fd, std::uint64_t offset, std::uint64_t data_bytes, std::size_t record_size,
                              unsigned threads, RecordBlockSink &sink, const ScanProgress &progress,
                              bool &complete) noexcept {
    complete = false;
    if (record_size == 0) return ScanStatus::read_error;
    const std::uint64_t block = std::max<std::uint64_t>(kParallelBlockBytes / record_size, 1) * record_size;
    const std::uint64_t blocks = (data_bytes + block - 1) / block;
    threads = static_cast<unsigned>(std::clamp<std::uint64_t>(blocks, 1, std::max(threads, 1u)));

    std::atomic<std::uint64_t> next_block{0};
    std::atomic<std::uint64_t> bytes_done{0};
    std::atomic<bool> stop{false};
    struct Share {
        RangeStatus status = RangeStatus::ok;
        bool no_memory = false;
    };
    std::vector<Share> shares;
    try {
        shares.resize(threads);
    } catch (const std::bad_alloc &) {
        return ScanStatus::no_memory;
    }
    // Every thread takes blocks in turn; the calling thread (share 0) also
    // reports progress. Whole blocks, taken in any order, hold every record
    // once.
    auto work = [&](unsigned index) {
        Share &share = shares[index];
        const std::unique_ptr<unsigned char[]> buffer = scan_buffer();
        if (!buffer) {
            share.no_memory = true;
            stop = true;
            return;
        }
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) return;
            const std::uint64_t b = next_block.fetch_add(1);
            if (b >= blocks) return;
            const std::uint64_t start = b * block;
            const std::uint64_t size = std::min(block, data_bytes - start);
            const RangeStatus status = scan_range(
                fd, offset + start, size, record_size, buffer.get(),
                [&](const unsigned char *records, std::size_t count) { sink.records(index, records, count); },
                [&](std::size_t bytes) {
                    const std::uint64_t now = bytes_done += bytes;
                    if (stop.load(std::memory_order_relaxed)) return false;
                    if (index == 0 && progress.report && !progress.report(now, progress.user)) return false;
                    return true;
                });
            if (status != RangeStatus::ok) {
                // The file became shorter, could not be read, or the scan
                // was stopped: nothing more is read.
                if (!stop.exchange(true)) share.status = status;
                return;
            }
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(work, t);
        } catch (const std::system_error &) {
            break;  // the threads that started share the work
        }
    }
    work(0);
    for (std::thread &helper : helpers) helper.join();
    complete = true;
    for (const Share &share : shares) {
        if (share.no_memory) return ScanStatus::no_memory;
        if (share.status == RangeStatus::read_error) return ScanStatus::read_error;
        if (share.status == RangeStatus::canceled) return ScanStatus::canceled;
        if (share.status == RangeStatus::short_read) complete = false;
    }
    return ScanStatus::ok;
}

ScanStatus scan_point_records_parallel(int fd, std::uint64_t offset, std::uint64_t data_bytes,
                                       std::size_t record_size, unsigned return_bits, unsigned threads,
                                       PointSummary &summary, const ScanProgress &progress) noexcept {
    if (record_size < kSmallestRecord || (return_bits != 3 && return_bits != 4)) return ScanStatus::read_error;
    // Each thread's records in a summary of its own, merged at the end.
    class Summaries final : public RecordBlockSink {
    public:
        Summaries(Summarise summarise, std::size_t record_size, std::vector<PointSummary> &shares)
            : summarise_(summarise), record_size_(record_size), shares_(shares) {}
        void records(unsigned thread, const unsigned char *records, std::size_t count) noexcept override {
            summarise_(records, count, record_size_, shares_[thread]);
        }

    private:
        Summarise summarise_;
        std::size_t record_size_;
        std::vector<PointSummary> &shares_;
    };
    std::vector<PointSummary> shares;
    try {
        shares.resize(std::max(threads, 1u));
    } catch (const std::bad_alloc &) {
        return ScanStatus::no_memory;
    }
    Summaries sink(pick_summarise(record_size, return_bits), record_size, shares);
    bool complete = false;
    const ScanStatus status = read_record_blocks(fd, offset, data_bytes, record_size, threads, sink, progress, complete);
    // A file that became shorter: the caller sees records missing.
    if (status != ScanStatus::ok || !complete) return status;
    for (const PointSummary &share : shares) merge_summary(summary, share);
    return ScanStatus::ok;
}

}  // namespace tolvren::internal
