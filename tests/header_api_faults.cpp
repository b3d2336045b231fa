// SPDX-License-Identifier: MIT
// Runs tolvren_repair with pwrite and fdatasync replaced, so that the tests
// can make the write of a repaired header fail part way, and the writing
// back of the original bytes fail too.
//
// Usage: tolvren_header_api_faults <writes that succeed> <writes after the
//        first failure: ok|fail> <syncs that fail> <LAS file>
//
// Prints the name of the code tolvren_repair returned and how many writes
// and syncs it asked for, so that a test can tell the replacements were in
// effect. The library calls both through the dynamic linker, which finds
// this program's definitions before the C library's.
//
// With TOLVREN_SIGNAL_AFTER_WRITE=N the driver sends itself signal N, as
// another process would (kill), as soon as the first write has gone in.
#include "tolvren_las.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Set once by main before the repair.
struct Faults {
    long long good_writes = 0;
    bool recover = true;
    long long failing_syncs = 0;
    int signal_after_write = 0;
    long long writes = 0;
    long long syncs = 0;
    bool failed = false;
};
Faults faults;

ssize_t faulty_pwrite(int fd, const void *buffer, size_t count, long long offset) {
    ++faults.writes;
    if (faults.writes > faults.good_writes && !(faults.failed && faults.recover)) {
        faults.failed = true;
        errno = EIO;
        return -1;
    }
    const auto written = static_cast<ssize_t>(::syscall(SYS_pwrite64, fd, buffer, count, offset));
    if (faults.signal_after_write != 0 && written >= 0) ::kill(::getpid(), std::exchange(faults.signal_after_write, 0));
    return written;
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset) {
    return faulty_pwrite(fd, buffer, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void *buffer, size_t count, off64_t offset) {
    return faulty_pwrite(fd, buffer, count, offset);
}

extern "C" int fdatasync(int fd) {
    if (++faults.syncs <= faults.failing_syncs) {
        faults.failed = true;
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

int main(int argc, char **argv) {
    if (argc != 5) {
        std::printf("usage: %s <writes that succeed> <ok|fail> <syncs that fail> <LAS file>\n", argv[0]);
        return 2;
    }
    faults.good_writes = std::atoll(argv[1]);
    faults.recover = std::strcmp(argv[2], "ok") == 0;
    faults.failing_syncs = std::atoll(argv[3]);
    if (const char *sig = std::getenv("TOLVREN_SIGNAL_AFTER_WRITE")) faults.signal_after_write = std::atoi(sig);
    tolvren_repair_result result;
    const int code = tolvren_repair(argv[4], 0, nullptr, nullptr, &result, nullptr);
    std::printf("%s %lld writes %lld syncs\n", tolvren_error_name(code), faults.writes, faults.syncs);
    return 0;
}
