// SPDX-License-Identifier: MIT
// Positioned reads and writes on POSIX descriptors.
//
// The header update and the header API work on descriptors rather than C
// streams: pread and pwrite take a 64-bit file offset (point data may start
// anywhere below 4 GiB and run far beyond it), their results tell an I/O
// error from the end of the file, and the bytes go straight between the
// kernel and the caller's buffer.
#include "tolvren_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

namespace tolvren::internal {

static_assert(sizeof(off_t) >= 8, "point data beyond 2 GiB needs 64-bit file offsets");

namespace {

// Calls `read_some(got)` until `size` bytes are in, the end of the file
// (a result of 0) or an error other than an interruption. Returns the bytes
// delivered, or -1 on an error.
template <typename ReadSome>
long long read_fully(std::size_t size, ReadSome read_some) noexcept {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read_some(got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<long long>(got);
}

}  // namespace

long long read_at(int fd, unsigned char *out, std::size_t size, std::uint64_t offset) noexcept {
    return read_fully(size, [=](std::size_t got) {
        return ::pread(fd, out + got, size - got, static_cast<off_t>(offset + got));
    });
}

long long read_prefix(int fd, unsigned char *out, std::size_t size) noexcept {
    return read_fully(size, [=](std::size_t got) { return ::read(fd, out + got, size - got); });
}

bool write_all_at(int fd, const unsigned char *bytes, std::size_t size, std::uint64_t offset,
                  std::size_t *written) noexcept {
    std::size_t done = 0;
    bool ok = true;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A write that makes no progress without an error is an I/O error.
            if (n == 0) errno = EIO;
            ok = false;
            break;
        }
    }
    if (written) *written = done;
    return ok;
}

namespace {

// 0, 1 and 2 are standard input, output and error.
constexpr int kFirstPrivateDescriptor = 3;

}  // namespace

Descriptor open_descriptor(const char *path, int flags, mode_t mode) noexcept {
    Descriptor fd(::open(path, flags | O_CLOEXEC, mode));
    if (fd.get() < 0 || fd.get() >= kFirstPrivateDescriptor) return fd;
    Descriptor moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, kFirstPrivateDescriptor));
    // Closing the low descriptor must not hide why the move failed.
    const int error = errno;
    fd = std::move(moved);
    errno = error;
    return fd;
}

OpenedFile open_regular_file(const char *path, bool for_writing) noexcept {
    OpenedFile file;
    file.fd = open_descriptor(path, (for_writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY);
    struct stat info;
    if (file.fd.get() < 0 || ::fstat(file.fd.get(), &info) != 0) {
        file.sys_errno = errno;
        file.fd = Descriptor();
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        file.status = OpenedFile::Status::not_regular;
        file.fd = Descriptor();
        return file;
    }
    // Non-blocking mode means nothing for a regular file; it stays set.
    file.status = OpenedFile::Status::ok;
    file.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return file;
}

namespace {

// Writes back the original bytes of the first `count` runs, the last of
// them only as far as `last_written` bytes of it reached the file, and syncs
// them. Nothing touched, nothing to do.
bool restore_runs(int fd, const unsigned char *before, const ByteRun *runs, std::size_t count,
                  std::size_t last_written) noexcept {
    if (count == 0 || (count == 1 && last_written == 0)) return true;
    bool restored = true;
    for (std::size_t r = 0; r < count; ++r) {
        const std::size_t size = r + 1 == count ? last_written : runs[r].size;
        restored = write_all_at(fd, before + runs[r].offset, size, runs[r].offset) && restored;
    }
    return restored && ::fdatasync(fd) == 0;
}

}  // namespace

PatchStatus patch_runs(int fd, const unsigned char *before, const unsigned char *after, const ByteRun *runs,
                       std::size_t count, std::uint64_t min_size, int &sys_errno) noexcept {
    sys_errno = 0;
    // The file may have been cut short since it was read: writing then would
    // both extend it again and stamp a summary of data that is gone.
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        sys_errno = errno;
        return PatchStatus::write_failed;
    }
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) < min_size) return PatchStatus::changed;

    for (std::size_t r = 0; r < count; ++r) {
        std::size_t written = 0;
        if (!write_all_at(fd, after + runs[r].offset, runs[r].size, runs[r].offset, &written)) {
            sys_errno = errno;
            const bool restored = restore_runs(fd, before, runs, r + 1, written);
            return restored ? PatchStatus::write_failed : PatchStatus::restore_failed;
        }
    }
    // The bytes are safe only once the device has them: a failed sync is a
    // failed write.
    if (::fdatasync(fd) != 0) {
        sys_errno = errno;
        const bool restored = count == 0 || restore_runs(fd, before, runs, count, runs[count - 1].size);
        return restored ? PatchStatus::write_failed : PatchStatus::restore_failed;
    }
    return PatchStatus::written;
}

namespace {

// Writes of at most a page that stay within it are copied into the file in
// one step: the kernel looks for a fatal signal only before each page.
constexpr std::uint64_t kPageBytes = 4096;

// Blocks every signal that can be blocked, but for the synchronous ones of
// faults, in the calling thread for its lifetime, and restores the thread's
// mask after. A SIGXFSZ that became pending meanwhile was raised by a write
// made here (the file-size limit) and is taken back first, so that
// unblocking it does not end the process.
class SignalShield {
public:
    SignalShield() noexcept {
        sigset_t all;
        sigfillset(&all);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
        blocked_ = pthread_sigmask(SIG_BLOCK, &all, &saved_) == 0;
        xfsz_was_pending_ = xfsz_pending();
    }
    ~SignalShield() {
        if (!blocked_) return;
        if (!xfsz_was_pending_ && xfsz_pending()) {
            sigset_t xfsz;
            sigemptyset(&xfsz);
            sigaddset(&xfsz, SIGXFSZ);
            const timespec now{0, 0};
            const int saved_errno = errno;
            while (sigtimedwait(&xfsz, nullptr, &now) < 0 && errno == EINTR) {
            }
            errno = saved_errno;
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    SignalShield(const SignalShield &) = delete;
    SignalShield &operator=(const SignalShield &) = delete;

private:
    static bool xfsz_pending() noexcept {
        sigset_t pending;
        return sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ) == 1;
    }

    sigset_t saved_{};
    bool blocked_ = false;
    bool xfsz_was_pending_ = false;
};

// Whether a write ending at byte `end` stays below the file-size limit.
bool below_size_limit(std::uint64_t end) noexcept {
    struct rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || end <= limit.rlim_cur;
}

}  // namespace

PatchStatus patch_span(int fd, const unsigned char *before, const unsigned char *after, ByteRun span,
                       std::uint64_t min_size, int &sys_errno) noexcept {
    sys_errno = 0;
    const std::uint64_t end = span.offset + span.size;
    if (span.size == 0 || span.size > kPageBytes || span.offset / kPageBytes != (end - 1) / kPageBytes) {
        sys_errno = EINVAL;
        return PatchStatus::write_failed;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        sys_errno = errno;
        return PatchStatus::write_failed;
    }
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) < min_size) return PatchStatus::changed;
    // A write at or beyond the limit stops short, or fails: either would
    // leave the span part new.
    if (!below_size_limit(end)) {
        sys_errno = EFBIG;
        return PatchStatus::write_failed;
    }

    const SignalShield shield;
    std::size_t written = 0;
    if (!write_all_at(fd, after + span.offset, span.size, span.offset, &written)) {
        sys_errno = errno;
        const bool restored = written == 0 || (write_all_at(fd, before + span.offset, written, span.offset) &&
                                               ::fdatasync(fd) == 0);
        return restored ? PatchStatus::write_failed : PatchStatus::restore_failed;
    }
    // The bytes are safe only once the device has them: a failed sync is a
    // failed write.
    if (::fdatasync(fd) != 0) {
        sys_errno = errno;
        const bool restored =
            write_all_at(fd, before + span.offset, span.size, span.offset) && ::fdatasync(fd) == 0;
        return restored ? PatchStatus::write_failed : PatchStatus::restore_failed;
    }
    return PatchStatus::written;
}

}  // namespace tolvren::internal
