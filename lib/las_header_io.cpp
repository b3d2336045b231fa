// Header API: opening, reading and writing files through POSIX descriptors.
// Interim: the library's shared file helpers are to hold these; the header
// API then uses them in place of this file.
//
// Descriptors rather than C streams: pread and pwrite take 64-bit offsets,
// tell an I/O error from the end of the file, and keep no buffer of their own
// that could hide a failed write.

#include "las_header_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <vector>

namespace tolvren::las {

static_assert(sizeof(off_t) >= 8, "point data beyond 2 GiB needs 64-bit file offsets");

Descriptor::~Descriptor() { reset(-1); }

void Descriptor::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

OpenStatus open_regular_file(const char *path, bool for_writing, OpenedFile &out, int &error) noexcept {
    // O_NONBLOCK: opening a FIFO with no writer, or some devices, would
    // otherwise wait; a regular file ignores the flag.
    const int flags = (for_writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
    int fd;
    do {
        fd = ::open(path, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return OpenStatus::cannot_open;
    }
    out.fd.reset(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        error = errno;
        return OpenStatus::cannot_stat;
    }
    if (!S_ISREG(info.st_mode)) {
        error = 0;
        return OpenStatus::not_regular;
    }
    out.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    out.device = static_cast<std::uint64_t>(info.st_dev);
    out.inode = static_cast<std::uint64_t>(info.st_ino);
    return OpenStatus::ok;
}

long long read_at(int fd, unsigned char *out, std::size_t size, std::uint64_t offset) noexcept {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(offset + got));
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

namespace {

bool write_all_at(int fd, const unsigned char *bytes, std::size_t size, std::uint64_t offset) noexcept {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0) errno = EIO;
            return false;
        }
    }
    return true;
}

int sync_data(int fd) noexcept {
    int result;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

WriteStatus write_ranges(int fd, std::uint64_t expected_size, const unsigned char *original,
                         const unsigned char *updated, std::size_t image_size, const ByteRange *ranges,
                         std::size_t range_count, int &error) noexcept {
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        error = errno;
        return WriteStatus::write_failed;
    }
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) != expected_size) {
        error = 0;
        return WriteStatus::changed;
    }
    try {
        std::vector<unsigned char> now(image_size);
        const long long got = read_at(fd, now.data(), image_size, 0);
        if (got < 0) {
            error = errno;
            return WriteStatus::write_failed;
        }
        if (static_cast<std::size_t>(got) != image_size ||
            (image_size > 0 && std::memcmp(now.data(), original, image_size) != 0)) {
            error = 0;
            return WriteStatus::changed;
        }
    } catch (...) {
        error = ENOMEM;
        return WriteStatus::write_failed;
    }

    std::size_t written = 0;
    bool ok = true;
    for (; written < range_count; ++written) {
        const ByteRange &range = ranges[written];
        if (!write_all_at(fd, updated + range.offset, range.size, range.offset)) {
            ok = false;
            break;
        }
    }
    if (ok && sync_data(fd) == 0) return WriteStatus::written;
    error = errno;

    // Put back every range that may have been touched, the failed one too.
    const std::size_t touched = ok ? range_count : written + 1;
    for (std::size_t i = 0; i < touched; ++i) {
        const ByteRange &range = ranges[i];
        if (!write_all_at(fd, original + range.offset, range.size, range.offset)) return WriteStatus::restore_failed;
    }
    return sync_data(fd) == 0 ? WriteStatus::write_failed : WriteStatus::restore_failed;
}

// ---------------------------------------------------------------------------
// Point record scan
// ---------------------------------------------------------------------------

namespace {

// Blocks of this size: the cost of a call vanishes, and the block is still
// in the processor's cache when the scan reads what was just copied in.
constexpr std::size_t kScanBufferBytes = std::size_t{1} << 18;

// Return numbers are tallied in byte lanes of two 64-bit words (values 0-7,
// then 8-15) per run of at most 255 records, too short to carry out of a
// lane: the counts stay in registers instead of memory.
constexpr std::size_t kTallyRun = 255;

struct TallyStep {
    std::uint64_t low, high;
};

constexpr std::array<TallyStep, 16> make_tally_steps() {
    std::array<TallyStep, 16> steps{};
    for (std::size_t v = 0; v < 16; ++v) {
        steps[v] = v < 8 ? TallyStep{std::uint64_t{1} << (8 * v), 0} : TallyStep{0, std::uint64_t{1} << (8 * (v - 8))};
    }
    return steps;
}
constexpr std::array<TallyStep, 16> kTallySteps = make_tally_steps();

constexpr std::size_t kReturnByte = 14;

void summarise(const unsigned char *record, std::size_t count, std::size_t stride, unsigned mask,
               PointSummary &summary) {
    std::array<std::int32_t, 3> min = summary.min;
    std::array<std::int32_t, 3> max = summary.max;
    summary.records += count;
    while (count > 0) {
        const std::size_t run = std::min(count, kTallyRun);
        count -= run;
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        for (const unsigned char *const end = record + run * stride; record != end; record += stride) {
            for (std::size_t axis = 0; axis < 3; ++axis) {
                const std::int32_t value = load<std::int32_t>(record, 4 * axis);
                min[axis] = std::min(min[axis], value);
                max[axis] = std::max(max[axis], value);
            }
            const TallyStep &step = kTallySteps[record[kReturnByte] & mask];
            low += step.low;
            high += step.high;
        }
        for (std::size_t v = 0; v < 8; ++v) {
            summary.by_return[v] += (low >> (8 * v)) & 0xFFu;
            summary.by_return[v + 8] += (high >> (8 * v)) & 0xFFu;
        }
    }
    summary.min = min;
    summary.max = max;
}

}  // namespace

ScanStatus scan_point_records(int fd, std::uint64_t offset, std::uint64_t data_bytes, std::size_t record_size,
                              unsigned return_bits, PointSummary &summary, const ScanProgress &progress) noexcept {
    if (record_size < 20 || record_size > kScanBufferBytes) return ScanStatus::read_error;
    std::unique_ptr<unsigned char[]> buffer;
    try {
        buffer = std::make_unique<unsigned char[]>(kScanBufferBytes);
    } catch (const std::bad_alloc &) {
        return ScanStatus::no_memory;
    }
    const unsigned mask = (1u << return_bits) - 1u;
    std::uint64_t done = 0;
    std::size_t carried = 0;
    while (data_bytes > 0) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(kScanBufferBytes - carried, data_bytes));
        const long long got = read_at(fd, buffer.get() + carried, wanted, offset);
        if (got < 0) return ScanStatus::read_error;
        const std::size_t delivered = static_cast<std::size_t>(got);
        offset += delivered;
        data_bytes -= delivered;
        done += delivered;

        const std::size_t available = carried + delivered;
        const std::size_t whole = available / record_size;
        summarise(buffer.get(), whole, record_size, mask, summary);
        carried = available - whole * record_size;
        std::memmove(buffer.get(), buffer.get() + whole * record_size, carried);
        if (progress.report && !progress.report(done, progress.user)) return ScanStatus::canceled;
        // The file has become shorter since its size was taken.
        if (delivered < wanted) break;
    }
    return ScanStatus::ok;
}

double real_coordinate(std::int32_t raw, double scale, double offset) noexcept {
    const long double product = static_cast<long double>(raw) * static_cast<long double>(scale);
    return static_cast<double>(product + static_cast<long double>(offset));
}

}  // namespace tolvren::las
