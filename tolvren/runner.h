/* SPDX-License-Identifier: MIT */
// Runs one task per input on a pool of threads and writes each outcome in
// input order, whatever order the tasks finish in, with an optional progress
// line on a terminal's standard error.
#ifndef TOLVREN_CLI_RUNNER_H
#define TOLVREN_CLI_RUNNER_H

#include "inputs.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tolvren_cli {

// What one task produced: the text for standard output and for standard
// error (each may be empty), and whether the input counts as a failure for
// the exit status.
struct Outcome {
    std::string out;
    std::string err;
    bool failed = false;
};

// Where a running task reports how far it got through its file. Handed to
// the library as its progress callback (`callback`, with the slot as user
// data); never cancels.
class ProgressSlot {
public:
    static int callback(std::uint64_t bytes_done, std::uint64_t bytes_total, void *user);

    void begin(std::uint64_t file_size) {
        file_size_ = file_size;
        done_.store(0, std::memory_order_relaxed);
    }
    std::uint64_t done() const { return done_.load(std::memory_order_relaxed); }

private:
    std::uint64_t file_size_ = 0;
    std::atomic<std::uint64_t> done_{0};  // in bytes of the file
};

// How the progress line counts: files only (work that reads a header or
// two), or bytes too (work that reads every point record).
enum class ProgressUnit { Files, Bytes };

// How outcomes go to standard output. Buffered: quickest, but a failed
// output (a closed pipe, a full disk) shows only when the buffer is flushed.
// Flushed: each outcome is flushed as it is written, and a task starts only
// once fewer than `jobs` outcomes before it are unwritten, so when writing
// fails, only the tasks under way then finish; for work that changes files,
// whose results must not be lost unseen.
enum class Writes { Buffered, Flushed };

// What inputs that name one file (the same device and inode: hard links,
// other spellings of a path) do. Together: they are worked on like any
// others, at the same time; for work that only reads. InTurn: one after the
// other in input order, so that one file is never changed by two threads
// and each outcome says what the one before it left.
enum class SameFile { Together, InTurn };

using Task = std::function<Outcome(std::size_t index, ProgressSlot &slot)>;

// Runs `task` for every index of `inputs` on up to `jobs` threads (at least
// one; fewer when the system starts no more, and an exception only when it
// starts none). Outcome i is written (out to `out`, err to stderr) only after
// outcomes 0 to i-1, and as soon as they are. Inputs that name the same file
// run as `same_file` says. When standard error is a terminal
// and the run lasts more than about a second, a progress line is kept on it
// and cleared at the end. An exception from `task` becomes a failed outcome.
// Once a write to `out` fails, no further task starts. Returns the number of
// failed outcomes.
std::size_t run_in_order(const std::vector<Input> &inputs, unsigned jobs, ProgressUnit unit, Writes writes,
                         SameFile same_file, const Task &task, std::FILE *out = stdout);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_RUNNER_H
