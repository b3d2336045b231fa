// Positioned reads and writes on POSIX descriptors.
//
// The header update and the header API work on descriptors rather than C
// streams: pread and pwrite take a 64-bit file offset (point data may start
// anywhere below 4 GiB and run far beyond it), their results tell an I/O
// error from the end of the file, and the bytes go straight between the
// kernel and the caller's buffer.
#include "tolvren_internal.h"

#include <unistd.h>

#include <cerrno>

namespace tolvren::internal {

static_assert(sizeof(off_t) >= 8, "point data beyond 2 GiB needs 64-bit file offsets");

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

bool write_all_at(int fd, const unsigned char *bytes, std::size_t size, std::uint64_t offset) noexcept {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace tolvren::internal
