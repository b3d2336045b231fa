// Runs update_header with pread replaced, so that the tests can hand the
// point scan what a disk or a network file system may hand it: short reads,
// and an I/O error part way through a file.
//
// Usage: tolvren_pread_faults <most bytes per read, 0 for no limit>
//                             <offset that fails, -1 for none> <LAS file>
//
// A read that would reach the failing offset delivers the bytes before it;
// a read that starts at or after it fails with EIO. After update_header
// returns, the driver prints how many reads it served, so that a test can
// tell that the replacement was in effect.
//
// The library calls pread through the dynamic linker, which finds this
// program's definition before the C library's.
#include "Tolvren_LiDAR.h"

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Set once by main before the first read.
struct Faults {
    long long most_per_read = 0;
    long long fail_at = -1;
    unsigned long long reads = 0;
};
Faults faults;

ssize_t faulty_pread(int fd, void *buffer, size_t count, long long offset) {
    ++faults.reads;
    if (faults.most_per_read > 0 && count > static_cast<size_t>(faults.most_per_read)) {
        count = static_cast<size_t>(faults.most_per_read);
    }
    if (faults.fail_at >= 0) {
        if (offset >= faults.fail_at) {
            errno = EIO;
            return -1;
        }
        if (offset + static_cast<long long>(count) > faults.fail_at) {
            count = static_cast<size_t>(faults.fail_at - offset);
        }
    }
    return static_cast<ssize_t>(::syscall(SYS_pread64, fd, buffer, count, offset));
}

}  // namespace

extern "C" ssize_t pread(int fd, void *buffer, size_t count, off_t offset) {
    return faulty_pread(fd, buffer, count, offset);
}

extern "C" ssize_t pread64(int fd, void *buffer, size_t count, off64_t offset) {
    return faulty_pread(fd, buffer, count, offset);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        std::printf("usage: %s <most bytes per read> <failing offset> <LAS file>\n", argv[0]);
        return 2;
    }
    faults.most_per_read = std::atoll(argv[1]);
    faults.fail_at = std::atoll(argv[2]);
    update_header(argv[3]);
    std::printf("\n%llu reads\n", faults.reads);
    return 0;
}
