// SPDX-License-Identifier: MIT
// Runs tolvren_repair, or tolvren_set_fields, with pwrite and fdatasync
// replaced, so that the tests can make the write of a new header fail part
// way, and the writing back of the original bytes fail too.
//
// Usage: tolvren_header_api_faults [set] <writes that succeed> <writes after
//        the first failure: ok|fail> <syncs that fail> <LAS file>
//
// With `set`, the system identifier is set to "FAULTS" instead of a repair.
// Prints the name of the code the call returned and how many writes and
// syncs it asked for, so that a test can tell the replacements were in
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
    const bool set = argc == 6 && std::strcmp(argv[1], "set") == 0;
    if (argc != 5 && !set) {
        std::printf("usage: %s [set] <writes that succeed> <ok|fail> <syncs that fail> <LAS file>\n", argv[0]);
        return 2;
    }
    char **args = set ? argv + 1 : argv;
    faults.good_writes = std::atoll(args[1]);
    faults.recover = std::strcmp(args[2], "ok") == 0;
    faults.failing_syncs = std::atoll(args[3]);
    if (const char *sig = std::getenv("TOLVREN_SIGNAL_AFTER_WRITE")) faults.signal_after_write = std::atoi(sig);
    int code = TOLVREN_OK;
    if (set) {
        tolvren_header_fields fields{};
        fields.which = TOLVREN_SET_SYSTEM_IDENTIFIER;
        fields.system_identifier = "FAULTS";
        tolvren_set_result result;
        code = tolvren_set_fields(args[4], &fields, 0, &result, nullptr);
    } else {
        tolvren_repair_result result;
        code = tolvren_repair(args[4], 0, nullptr, nullptr, &result, nullptr);
    }
    std::printf("%s %lld writes %lld syncs\n", tolvren_error_name(code), faults.writes, faults.syncs);
    return 0;
}
