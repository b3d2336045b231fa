// SPDX-License-Identifier: MIT
// Listing the chunks of a LAZ file and decoding them on several threads.
#include "laz/laz_reader.h"

#include "laz/pointwise_items.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace tolvren::laz {

Container open_container(const Input &input, const LasLayout &layout) {
    Container container;
    container.vlr = find_laszip_vlr(input, layout);
    if (container.vlr.finding.problem != ContainerProblem::none) {
        container.why_not = container.vlr.finding;
        return container;
    }
    container.table = locate_chunk_table(input, layout, container.vlr.vlr);
    if (container.table.kind == TableLocation::Kind::missing) {
        const ContainerProblem problem = container.table.finding.problem;
        if (problem == ContainerProblem::read_error || problem == ContainerProblem::table_unreadable ||
            container.vlr.vlr.variable_chunks()) {
            // Chunks of varying size cannot be told apart without the table;
            // a table that is there but unreadable is not walked around.
            container.why_not = container.table.finding;
            if (problem != ContainerProblem::read_error && problem != ContainerProblem::table_unreadable) {
                container.why_not.message += "; chunks of varying size cannot be found without it";
            }
            return container;
        }
    }
    container.decodable = true;
    return container;
}

namespace {

// Hands out the chunks one at a time, under a lock: from the chunk table as
// its entries are decoded (so a table of any length needs no memory), or by
// walking from one chunk's end to the next start.
class ChunkList {
public:
    ChunkList(const Input &input, const LasLayout &layout, const Container &container)
        : layout_(layout), vlr_(container.vlr.vlr), table_(container.table) {
        smallest_ = smallest_chunk_bytes(vlr_, layout.record_length);
        start_ = table_.data_start;
        size_ = vlr_.chunk_size;
        switch (table_.kind) {
            case TableLocation::Kind::stored:
            case TableLocation::Kind::stored_at_end:
                reader_.open(input, table_, vlr_.variable_chunks());
                remaining_ = table_.chunk_count;
                last_expected_ = last_fixed_count(table_.chunk_count);
                break;
            case TableLocation::Kind::none_needed:
                walking_ = true;
                remaining_ = layout.point_count > 0 ? 1 : 0;
                size_ = 0;
                break;
            case TableLocation::Kind::missing:
                walking_ = true;
                remaining_ = size_ == 0 ? 0 : (layout.point_count + size_ - 1) / size_;
                last_expected_ = last_fixed_count(remaining_);
                break;
        }
    }

    bool walking() const noexcept { return walking_; }
    std::uint64_t bytes_total() const noexcept { return table_.data_end - table_.data_start; }

    // The next chunk to decode; false when there is none. While walking, the
    // previous chunk must have been reported with walked() first.
    bool next(ChunkSpec &spec) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (remaining_ == 0 || broken_) return false;
        spec = ChunkSpec{};
        spec.index = index_;
        spec.first_point = first_point_;
        spec.start = start_;
        spec.limit = table_.data_end;
        const bool last = remaining_ == 1;
        if (walking_) {
            if (start_ >= table_.data_end) return false;
            spec.points = size_ == 0 ? layout_.point_count : (last ? last_expected_ : size_);
        } else {
            std::uint64_t points = 0;
            std::uint64_t bytes = 0;
            if (!reader_.next(points, bytes)) {
                return broken(reader_.stream_status() == Stream::Status::ok
                                  ? "the chunk table's entries cannot be decoded"
                                  : "the chunk table's entries cannot be read");
            }
            if (bytes < smallest_ || bytes > table_.data_end - start_) {
                std::array<char, 200> text{};
                std::snprintf(text.data(), text.size(),
                              "the chunk table gives chunk %llu %llu bytes from byte %llu, which %s",
                              static_cast<unsigned long long>(index_), static_cast<unsigned long long>(bytes),
                              static_cast<unsigned long long>(start_),
                              bytes < smallest_ ? "is less than a chunk of one point takes"
                                                : "runs past the chunk table");
                return broken(text.data());
            }
            if (vlr_.variable_chunks() && points == 0) {
                std::array<char, 120> text{};
                std::snprintf(text.data(), text.size(), "the chunk table gives chunk %llu no points",
                              static_cast<unsigned long long>(index_));
                return broken(text.data());
            }
            spec.bytes = bytes;
            if (vlr_.variable_chunks()) {
                spec.points = points;
            } else {
                spec.points = last ? last_expected_ : size_;
                spec.count_from_header = last;
                spec.most_points = size_;
            }
            start_ += bytes;
            if (last && start_ != table_.data_end) {
                std::array<char, 160> text{};
                std::snprintf(text.data(), text.size(),
                              "the chunks end at byte %llu, %llu bytes before the chunk table",
                              static_cast<unsigned long long>(start_),
                              static_cast<unsigned long long>(table_.data_end - start_));
                gap_ = text.data();
            }
        }
        ++index_;
        --remaining_;
        first_point_ += spec.points;
        return true;
    }

    // While walking: where the chunk just decoded ended. A chunk that did
    // not decode ends the walk, since nothing tells where the next starts.
    void walked(const ChunkSpec &spec, const ChunkResult &result) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (result.outcome != ChunkOutcome::ok && result.outcome != ChunkOutcome::count_differs) {
            remaining_ = 0;
            return;
        }
        start_ = spec.start + result.consumed;
    }

    bool table_broken() const noexcept { return broken_; }
    const std::string &table_problem() const noexcept { return broken_ ? problem_ : gap_; }

private:
    // The last of `chunks` fixed-size chunks holds what the header's count
    // leaves, at least one point and at most a whole chunk.
    std::uint64_t last_fixed_count(std::uint64_t chunks) const noexcept {
        if (chunks == 0 || size_ == 0) return 0;
        const std::uint64_t before = (chunks - 1) * std::uint64_t{size_};
        if (layout_.point_count <= before) return 1;
        return std::min<std::uint64_t>(layout_.point_count - before, size_);
    }

    bool broken(const char *why) {
        broken_ = true;
        problem_ = why;
        return false;
    }

    std::mutex mutex_;
    const LasLayout &layout_;
    const LaszipVlr &vlr_;
    const TableLocation &table_;
    ChunkTableReader reader_;
    bool walking_ = false;
    bool broken_ = false;
    std::string problem_;
    std::string gap_;
    std::uint64_t smallest_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t remaining_ = 0;
    std::uint64_t last_expected_ = 0;
    std::uint64_t index_ = 0;
    std::uint64_t first_point_ = 0;
    std::uint64_t start_ = 0;
};

// One thread's count of what its chunks gave.
struct Tally {
    std::uint64_t chunks = 0, good = 0, points = 0, bad = 0, mismatches = 0;
    bool have_bad = false, have_mismatch = false;
    ChunkProblem first_bad, first_mismatch;

    void add(const ChunkSpec &spec, const ChunkResult &result) {
        ++chunks;
        switch (result.outcome) {
            case ChunkOutcome::count_differs:
                ++mismatches;
                keep_lowest(have_mismatch, first_mismatch, spec, result);
                [[fallthrough]];
            case ChunkOutcome::ok:
                ++good;
                points += result.points;
                break;
            case ChunkOutcome::truncated:
            case ChunkOutcome::corrupt:
                ++bad;
                keep_lowest(have_bad, first_bad, spec, result);
                break;
            default:
                break;
        }
    }
    static void keep_lowest(bool &have, ChunkProblem &kept, const ChunkSpec &spec, const ChunkResult &result) {
        if (!have || spec.index < kept.spec.index) kept = ChunkProblem{spec, result};
        have = true;
    }
    void merge(const Tally &other) {
        chunks += other.chunks;
        good += other.good;
        points += other.points;
        bad += other.bad;
        mismatches += other.mismatches;
        if (other.have_bad) keep_lowest(have_bad, first_bad, other.first_bad.spec, other.first_bad.result);
        if (other.have_mismatch) {
            keep_lowest(have_mismatch, first_mismatch, other.first_mismatch.spec, other.first_mismatch.result);
        }
    }
};

// Passes records on to a consumer's sink until the run is to stop.
class StoppableSink final : public RecordSink {
public:
    StoppableSink(RecordSink &sink, const std::atomic<bool> &stop) : sink_(sink), stop_(stop) {}
    bool records(const unsigned char *records, std::size_t count) override {
        return !stop_.load(std::memory_order_relaxed) && sink_.records(records, count);
    }

private:
    RecordSink &sink_;
    const std::atomic<bool> &stop_;
};

// What all threads share.
struct Run {
    Run(const Input &in, const LasLayout &lay, const Container &c, LayerChoice ch, ChunkList &l)
        : input(in), layout(lay), container(c), choice(ch), list(l) {}
    const Input &input;
    const LasLayout &layout;
    const Container &container;
    LayerChoice choice;
    ChunkList &list;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> bytes_done{0};
    std::mutex mutex;  // guards the stop reason
    DecodeReport::Stop reason = DecodeReport::Stop::none;
    int sys_errno = 0;

    void halt(DecodeReport::Stop why, int error = 0) {
        std::lock_guard<std::mutex> lock(mutex);
        if (reason == DecodeReport::Stop::none) {
            reason = why;
            sys_errno = error;
        }
        stop.store(true);
    }
};

// Decodes chunks until there are none left or the run stops. `after_chunk`
// runs on this thread after every chunk (the calling thread reports
// progress there).
template <typename AfterChunk>
void work(Run &run, ChunkConsumer &consumer, Tally &tally, AfterChunk after_chunk) {
    try {
        const LaszipVlr &vlr = run.container.vlr.vlr;
        std::unique_ptr<ChunkDecoder> decoder;
        if (vlr.layered()) {
            decoder = std::make_unique<LayeredChunkDecoder>(vlr, run.choice);
        } else {
            decoder = std::make_unique<PointwiseChunkDecoder>(vlr);
        }
        ChunkSpec spec;
        while (!run.stop.load() && run.list.next(spec)) {
            StoppableSink sink(consumer.begin_chunk(spec), run.stop);
            const ChunkResult result = decoder->decode(run.input, spec, sink);
            consumer.end_chunk(spec, result);
            tally.add(spec, result);
            if (run.list.walking()) run.list.walked(spec, result);
            run.bytes_done += spec.bytes != 0 ? spec.bytes : result.consumed;
            switch (result.outcome) {
                case ChunkOutcome::read_error: run.halt(DecodeReport::Stop::read_error, result.sys_errno); break;
                case ChunkOutcome::changed: run.halt(DecodeReport::Stop::changed); break;
                case ChunkOutcome::no_memory: run.halt(DecodeReport::Stop::no_memory); break;
                case ChunkOutcome::stopped: run.halt(DecodeReport::Stop::canceled); break;
                default: break;
            }
            after_chunk();
        }
    } catch (...) {
        // No memory for a decoder or its models (or an item list the
        // container let through that no decoder has): nothing may leave a
        // thread, and the run cannot be trusted.
        run.halt(DecodeReport::Stop::no_memory);
    }
}

}  // namespace

DecodeReport decode_chunks(const Input &input, const LasLayout &layout, const Container &container,
                           LayerChoice choice, const std::vector<ChunkConsumer *> &consumers,
                           const DecodeProgress &progress) {
    DecodeReport report;
    ChunkList list(input, layout, container);
    report.bytes_total = list.bytes_total();
    Run run(input, layout, container, choice, list);

    auto report_progress = [&]() {
        if (progress.report && !progress.report(run.bytes_done.load(), report.bytes_total, progress.user)) {
            run.halt(DecodeReport::Stop::canceled);
        }
    };

    // Walking finds each chunk's start from the one before: one thread.
    const std::size_t threads = list.walking() ? 1 : consumers.size();
    std::vector<Tally> tallies(threads);
    std::vector<std::thread> helpers;
    std::mutex done_mutex;
    std::condition_variable done_signal;
    std::size_t running = 0;
    for (std::size_t t = 1; t < threads; ++t) {
        {
            std::lock_guard<std::mutex> lock(done_mutex);
            ++running;
        }
        try {
            helpers.emplace_back([&, t]() {
                work(run, *consumers[t], tallies[t], [] {});
                std::lock_guard<std::mutex> lock(done_mutex);
                --running;
                done_signal.notify_all();
            });
        } catch (const std::system_error &) {
            // A thread that cannot start leaves its share to the others.
            std::lock_guard<std::mutex> lock(done_mutex);
            --running;
            break;
        }
    }
    work(run, *consumers[0], tallies[0], report_progress);
    {
        // Keep reporting while the other threads finish their chunks.
        std::unique_lock<std::mutex> lock(done_mutex);
        while (running > 0) {
            if (done_signal.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout) {
                lock.unlock();
                report_progress();
                lock.lock();
            }
        }
    }
    for (std::thread &helper : helpers) helper.join();

    Tally total;
    for (const Tally &tally : tallies) total.merge(tally);
    report.chunks = total.chunks;
    report.good_chunks = total.good;
    report.points = total.points;
    report.bad_chunks = total.bad;
    report.first_bad = total.first_bad;
    report.count_mismatches = total.mismatches;
    report.first_mismatch = total.first_mismatch;
    report.table_broken = list.table_broken();
    report.table_problem = list.table_problem();
    report.stop = run.reason;
    report.sys_errno = run.sys_errno;
    // The last report says the work is done, whatever chunks were skipped.
    if (report.stop == DecodeReport::Stop::none && progress.report &&
        !progress.report(report.bytes_total, report.bytes_total, progress.user)) {
        report.stop = DecodeReport::Stop::canceled;
    }
    return report;
}

}  // namespace tolvren::laz
