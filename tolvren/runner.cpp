// SPDX-License-Identifier: MIT
#include "runner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tolvren_cli {

namespace {

using Clock = std::chrono::steady_clock;

// The line appears only once a run has lasted this long, so quick runs
// leave the terminal as they found it, and is redrawn this often.
constexpr auto kProgressDelay = std::chrono::seconds(1);
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

std::string human_bytes(double bytes) {
    static const char *const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    std::size_t unit = 0;
    while (bytes >= 1000.0 && unit + 1 < std::size(units)) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string human_duration(double seconds) {
    const auto total = static_cast<unsigned long long>(seconds + 0.5);
    char text[48];
    if (total < 60) {
        std::snprintf(text, sizeof text, "%llu s", total);
    } else if (total < 3600) {
        std::snprintf(text, sizeof text, "%llu min %llu s", total / 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu h %llu min", total / 3600, total % 3600 / 60);
    }
    return text;
}

// The progress line on standard error. Every write to the terminal, the
// outcomes' included, happens under `output_mutex`, so the line is erased
// before an outcome is written and redrawn after it.
class ProgressLine {
public:
    ProgressLine(std::mutex &output_mutex, const std::vector<Input> &inputs, ProgressUnit unit,
                 const std::vector<std::unique_ptr<ProgressSlot>> &slots)
        : output_mutex_(output_mutex), unit_(unit), slots_(slots), files_total_(inputs.size()) {
        for (const Input &input : inputs) bytes_total_ += input.size;
        if (isatty(STDERR_FILENO) != 1) return;
        try {
            thread_ = std::thread([this] { loop(); });
        } catch (const std::exception &) {
            // No thread to spare (a process or memory limit): the run goes
            // on without the line.
        }
    }
    ~ProgressLine() {
        {
            std::lock_guard<std::mutex> lock(stop_mutex_);
            stop_ = true;
        }
        stop_cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        std::lock_guard<std::mutex> lock(output_mutex_);
        erase();
    }
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    void file_done(std::uint64_t size) {
        files_done_.fetch_add(1, std::memory_order_relaxed);
        bytes_done_.fetch_add(size, std::memory_order_relaxed);
    }

    // Call with output_mutex held, before writing anything.
    void erase() {
        if (!shown_) return;
        std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

private:
    void loop() {
        const Clock::time_point start = Clock::now();
        std::unique_lock<std::mutex> lock(stop_mutex_);
        if (stop_cv_.wait_for(lock, kProgressDelay, [this] { return stop_; })) return;
        do {
            const std::string line = describe(std::chrono::duration<double>(Clock::now() - start).count());
            std::lock_guard<std::mutex> output_lock(output_mutex_);
            // What the outcomes wrote to a terminal stdout goes before the line.
            std::fflush(stdout);
            std::fputs(("\r\033[K" + line).c_str(), stderr);
            shown_ = true;
        } while (!stop_cv_.wait_for(lock, kProgressInterval, [this] { return stop_; }));
    }

    std::string describe(double elapsed) const {
        const std::size_t files = files_done_.load(std::memory_order_relaxed);
        std::string line = "tolvren: " + std::to_string(files) + " of " + std::to_string(files_total_) + " files";
        double fraction = files_total_ ? static_cast<double>(files) / static_cast<double>(files_total_) : 1.0;
        if (unit_ == ProgressUnit::Bytes && bytes_total_ > 0) {
            std::uint64_t bytes = bytes_done_.load(std::memory_order_relaxed);
            for (const auto &slot : slots_) bytes += slot->done();
            bytes = std::min(bytes, bytes_total_);
            fraction = static_cast<double>(bytes) / static_cast<double>(bytes_total_);
            line += ", " + human_bytes(static_cast<double>(bytes)) + " of " +
                    human_bytes(static_cast<double>(bytes_total_)) + ", " +
                    human_bytes(static_cast<double>(bytes) / elapsed) + "/s";
        } else {
            char rate[32];
            std::snprintf(rate, sizeof rate, ", %.0f files/s", static_cast<double>(files) / elapsed);
            line += rate;
        }
        if (fraction > 0.0 && fraction < 1.0) {
            line += ", " + human_duration(elapsed * (1.0 - fraction) / fraction) + " left";
        }
        return line;
    }

    std::mutex &output_mutex_;
    const ProgressUnit unit_;
    const std::vector<std::unique_ptr<ProgressSlot>> &slots_;
    const std::size_t files_total_;
    std::uint64_t bytes_total_ = 0;
    std::atomic<std::size_t> files_done_{0};
    std::atomic<std::uint64_t> bytes_done_{0};
    bool shown_ = false;  // guarded by output_mutex_

    std::mutex stop_mutex_;
    std::condition_variable stop_cv_;
    bool stop_ = false;
    std::thread thread_;
};

// For each input, the last input before it that names the same file, or
// `count` when there is none.
std::vector<std::size_t> same_file_before(const std::vector<Input> &inputs) {
    const std::size_t count = inputs.size();
    std::vector<std::size_t> before(count, count);
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> last;
    for (std::size_t i = 0; i < count; ++i) {
        if (inputs[i].inode == 0) continue;
        const auto [it, first] = last.try_emplace({inputs[i].device, inputs[i].inode}, i);
        if (!first) before[i] = std::exchange(it->second, i);
    }
    return before;
}

}  // namespace

int ProgressSlot::callback(std::uint64_t bytes_done, std::uint64_t bytes_total, void *user) {
    auto *slot = static_cast<ProgressSlot *>(user);
    if (bytes_total > 0) {
        // The scan counts bytes of the point records; the display counts
        // bytes of whole files.
        const double fraction = static_cast<double>(bytes_done) / static_cast<double>(bytes_total);
        slot->done_.store(static_cast<std::uint64_t>(fraction * static_cast<double>(slot->file_size_)),
                          std::memory_order_relaxed);
    }
    return 0;
}

std::size_t run_in_order(const std::vector<Input> &inputs, unsigned jobs, ProgressUnit unit, Writes writes,
                         SameFile same_file, const Task &task, std::FILE *out) {
    const std::size_t count = inputs.size();
    const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(jobs, count));
    // Reading needs no turns: then no input waits for another.
    const std::vector<std::size_t> before =
        same_file == SameFile::InTurn ? same_file_before(inputs) : std::vector<std::size_t>(count, count);

    std::vector<std::unique_ptr<ProgressSlot>> slots;
    for (std::size_t i = 0; i < workers; ++i) slots.push_back(std::make_unique<ProgressSlot>());

    std::mutex output_mutex;
    ProgressLine progress(output_mutex, inputs, unit, slots);

    // Guarded by results_mutex: outcomes not yet written, which tasks have
    // finished and how many outcomes are written (counted when paced).
    std::mutex results_mutex;
    std::condition_variable result_ready;
    std::vector<std::optional<Outcome>> results(count);
    std::vector<char> finished(count, 0);
    std::size_t written = 0;
    std::atomic<std::size_t> next{0};
    // The results can no longer be written; set under results_mutex, so
    // that waiting workers hear of it.
    std::atomic<bool> stop{false};
    const bool paced = writes == Writes::Flushed;

    auto work = [&](ProgressSlot &slot) {
        for (std::size_t i; !stop.load() && (i = next.fetch_add(1)) < count;) {
            if (paced || before[i] < count) {
                // Paced, a task waits until fewer than `workers` outcomes
                // before it are unwritten. Another name of the same file
                // that comes earlier must be done first, so one file is
                // never repaired by two threads and the outcomes do not
                // depend on timing; tasks are taken in order, so that one
                // is under way already.
                std::unique_lock<std::mutex> lock(results_mutex);
                result_ready.wait(lock, [&] {
                    return stop.load() || ((!paced || i < written + workers) &&
                                           (before[i] == count || finished[before[i]] != 0));
                });
                if (stop.load()) return;
            }
            slot.begin(inputs[i].size);
            Outcome outcome;
            try {
                outcome = task(i, slot);
            } catch (const std::exception &error) {
                outcome = Outcome{{}, "tolvren: " + inputs[i].path + ": " + error.what() + "\n", true};
            } catch (...) {
                outcome = Outcome{{}, "tolvren: " + inputs[i].path + ": unexpected failure\n", true};
            }
            progress.file_done(inputs[i].size);
            slot.begin(0);
            {
                std::lock_guard<std::mutex> lock(results_mutex);
                results[i] = std::move(outcome);
                finished[i] = 1;
            }
            result_ready.notify_all();
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(workers);
    try {
        for (std::size_t w = 0; w < workers; ++w) threads.emplace_back(work, std::ref(*slots[w]));
    } catch (const std::exception &) {
        // The system would start no more threads (a thread or memory
        // limit): those that started do the work, and leaving here while
        // they run would end the process.
        if (threads.empty()) throw;
    }

    // This thread writes: outcome i as soon as it and all before it are in.
    std::size_t failures = 0;
    for (std::size_t i = 0; i < count && !stop.load(); ++i) {
        Outcome outcome;
        {
            std::unique_lock<std::mutex> lock(results_mutex);
            result_ready.wait(lock, [&] { return results[i].has_value(); });
            outcome = std::move(*results[i]);
            results[i].reset();
        }
        if (outcome.failed) ++failures;
        std::lock_guard<std::mutex> lock(output_mutex);
        progress.erase();
        bool write_failed = false;
        if (!outcome.out.empty()) {
            write_failed = std::fwrite(outcome.out.data(), 1, outcome.out.size(), out) != outcome.out.size();
        }
        if (!outcome.err.empty()) {
            // Standard error may be the same terminal or file: what went to
            // the output before must show first.
            std::fflush(out);
            std::fwrite(outcome.err.data(), 1, outcome.err.size(), stderr);
        }
        if (paced && std::fflush(out) != 0) write_failed = true;
        // Nobody reads the results any more (a closed pipe, a full disk):
        // start no new file; those under way finish.
        write_failed = write_failed || std::ferror(out);
        if (paced || write_failed) {
            {
                std::lock_guard<std::mutex> results_lock(results_mutex);
                if (write_failed) stop.store(true);
                written = i + 1;
            }
            result_ready.notify_all();
        }
    }
    for (std::thread &thread : threads) thread.join();
    return failures;
}

}  // namespace tolvren_cli
