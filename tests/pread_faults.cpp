// SPDX-License-Identifier: MIT
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
// With TOLVREN_PREAD_ACTION_CALL=N, just before the Nth read another
// program's change is made to the file: TOLVREN_PREAD_ACTION=edit writes a
// new SystemIdentifier, truncate=L cuts the file to L bytes.
//
// The library calls pread through the dynamic linker, which finds this
// program's definition before the C library's.
#include "Tolvren_LiDAR.h"

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Set once by main before the first read.
struct Faults {
    long long most_per_read = 0;
    long long fail_at = -1;
    unsigned long long reads = 0;
    const char *path = nullptr;
};
Faults faults;

// What another program does to the file in the middle of the update.
void act_on_file() {
    const char *call = std::getenv("TOLVREN_PREAD_ACTION_CALL");
    const char *action = std::getenv("TOLVREN_PREAD_ACTION");
    if (!call || !action || faults.reads != std::strtoull(call, nullptr, 10)) return;
    if (std::strncmp(action, "truncate=", 9) == 0) {
        if (::truncate(faults.path, std::atoll(action + 9)) != 0) std::abort();
    } else if (std::strcmp(action, "edit") == 0) {
        const int fd = ::open(faults.path, O_WRONLY);
        static const char kEdit[] = "EDITED ELSEWHERE";
        if (fd < 0 || ::pwrite(fd, kEdit, sizeof kEdit - 1, 26) != static_cast<ssize_t>(sizeof kEdit - 1)) std::abort();
        ::close(fd);
    }
}

ssize_t faulty_pread(int fd, void *buffer, size_t count, long long offset) {
    ++faults.reads;
    act_on_file();
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
    faults.path = argv[3];
    update_header(argv[3]);
    std::printf("\n%llu reads\n", faults.reads);
    return 0;
}
