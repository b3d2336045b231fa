// SPDX-License-Identifier: MIT
// What an attacker or an unlucky user does to the files under the checks,
// the header update and Quarlin: FIFOs, files cut or edited or swapped while
// they are read, writes that fail half way, reports that cannot be written.
#include "test_support.h"
#include "tolvren_las.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tolvren_test;

// A LAS 1.2 format 0 file of `points` records whose summary fields are
// stale, so an update changes them.
Bytes stale_file(int points = 2000) {
    LAS12Header h = make_header(2, 0);
    h.NumberOfPointReturns = 7;
    h.MaxX = 99.0;
    Bytes bytes = bytes_of(h);
    for (int i = 0; i < points; ++i) append_point(bytes, 20, i, -i, 3 * i, static_cast<std::uint8_t>(1 + i % 5));
    return bytes;
}

std::uint32_t u32_at(const Bytes &bytes, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, &bytes[offset], sizeof value);
    return value;
}

// A child that is given a few seconds: a call that blocks ends as a signal.
ProcessResult run_bounded(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    std::vector<std::string> with_alarm = env;
    return run_in_child([&] {
        alarm(10);
        for (const std::string &setting : with_alarm) putenv(const_cast<char *>(setting.c_str()));
        std::vector<char *> argv;
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    });
}

TEST(Hardening, FifosAreRefusedWithoutBlocking) {
    TempDir dir;
    const std::string fifo = dir.file("x.las");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const ProcessResult viewer = run_bounded({TOLVREN_QUARLIN_PATH, fifo});
    EXPECT_EQ(viewer.exit_code, 255);
    EXPECT_EQ(viewer.out, "\n" + fifo + " is not a valid .las file\n\n");

    const ProcessResult update = run_in_child([&] {
        alarm(10);
        update_header(fifo.c_str());
    });
    EXPECT_EQ(update.exit_code, 255);
    EXPECT_EQ(update.out, viewer.out);

    // A FIFO beside a floating point grid is no header file.
    ASSERT_EQ(mkfifo(dir.file("grid.hdr").c_str(), 0644), 0);
    const std::string grid = dir.file("grid.flt");
    const ProcessResult dem = run_in_child([&] {
        alarm(10);
        check_DEM(grid.c_str());
    });
    EXPECT_EQ(dem.exit_code, 255);
    EXPECT_EQ(dem.out, "\nFile extension of " + grid + " is not .asc\nUnable to open file " + dir.file("grid.hdr") +
                           " in file_access()\n\nFloating point binary DEM files also require a ASCII header file "
                           "('.hdr')\n");

    // A link to a regular file is still a file.
    write_file(dir.file("real.las"), stale_file(1));
    ASSERT_EQ(symlink(dir.file("real.las").c_str(), dir.file("link.las").c_str()), 0);
    EXPECT_EQ(run_bounded({TOLVREN_QUARLIN_PATH, dir.file("link.las")}).exit_code, 0);
}

// With the file size limit at `limit` bytes, writes beyond it fail after the
// bytes below it went in: the update reports the failure and the file keeps
// every byte.
TEST(Hardening, AFailedWriteLeavesTheHeaderAsItWas) {
    TempDir dir;
    const std::string path = dir.file("limited.las");
    for (const rlim_t limit : {rlim_t{150}, rlim_t{200}}) {
        SCOPED_TRACE(limit);
        write_file(path, stale_file());
        const Bytes before = read_file(path);
        const ProcessResult result = run_in_child([&] {
            const rlimit cap{limit, limit};
            signal(SIGXFSZ, SIG_IGN);
            if (setrlimit(RLIMIT_FSIZE, &cap) != 0) _exit(1);
            update_header(path.c_str());
        });
        EXPECT_EQ(result.exit_code, 255);
        EXPECT_EQ(result.out, "\nCannot write the updated header of " + path + "\n");
        EXPECT_EQ(read_file(path), before);
    }
}

ProcessResult update_while(const std::string &path, const std::string &action, const std::string &call = "2") {
    return run_bounded({TOLVREN_PREAD_FAULTS_PATH, "0", "-1", path},
                       {"TOLVREN_PREAD_ACTION_CALL=" + call, "TOLVREN_PREAD_ACTION=" + action});
}

TEST(Hardening, ChangesMadeDuringTheScanAreKeptOrRefused) {
    TempDir dir;
    const std::string path = dir.file("live.las");

    // An edit of another field during the scan stays; the counts are new.
    write_file(path, stale_file());
    EXPECT_EQ(update_while(path, "edit").exit_code, 0);
    const Bytes edited = read_file(path);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&edited[26]), 16), "EDITED ELSEWHERE");
    EXPECT_EQ(u32_at(edited, 107), 2000u);

    // A file cut short during the scan is refused, and never re-extended.
    write_file(path, stale_file());
    const std::size_t cut = 227 + 20 * 10;
    const ProcessResult truncated = update_while(path, "truncate=" + std::to_string(cut));
    EXPECT_EQ(truncated.exit_code, 255);
    EXPECT_EQ(truncated.out, "\nCannot update header of " + path + ": the file became shorter while its points were read\n");
    const Bytes original = stale_file();
    EXPECT_EQ(read_file(path), Bytes(original.begin(), original.begin() + static_cast<long>(cut)));
}

// A LAS 1.4 file renamed over the path between the checks and the reopen
// is neither rewritten by the update nor reported by the viewer.
TEST(Hardening, AFileSwappedAfterTheChecksIsNotTouched) {
    TempDir dir;
    const std::string path = dir.file("swap.las");
    const std::string newer = dir.file("newer.las");
    Bytes version14 = stale_file(3);
    version14[25] = 4;
    const std::vector<std::string> swap_third_open = {std::string("LD_PRELOAD=") + TOLVREN_FAIL_OPEN_PATH,
                                                      "TOLVREN_SWAP_OPEN_CALL=3", "TOLVREN_SWAP_FROM=" + newer,
                                                      "ASAN_OPTIONS=verify_asan_link_order=0"};
    write_file(path, stale_file());
    write_file(newer, version14);
    const ProcessResult update = run_bounded({TOLVREN_PREAD_FAULTS_PATH, "0", "-1", path}, swap_third_open);
    EXPECT_EQ(update.exit_code, 255);
    EXPECT_EQ(update.out, "\nCannot update header of " + path + ": the file is no longer the one that was checked\n");
    EXPECT_EQ(read_file(path), version14);

    write_file(path, stale_file());
    write_file(newer, version14);
    const ProcessResult viewer = run_bounded({TOLVREN_QUARLIN_PATH, path}, swap_third_open);
    EXPECT_EQ(viewer.exit_code, 255);
    EXPECT_EQ(viewer.out, "\n" + path + " is not a valid .las file\n\n");
}

TEST(Hardening, PointDataInsideTheHeaderIsRefused) {
    TempDir dir;
    const std::string path = dir.file("inside.las");
    for (const std::uint32_t offset : {0u, 107u, 226u}) {
        SCOPED_TRACE(offset);
        Bytes bytes = stale_file(5);
        std::memcpy(&bytes[96], &offset, sizeof offset);
        write_file(path, bytes);
        const ProcessResult result = run_in_child([&] { update_header(path.c_str()); });
        EXPECT_EQ(result.exit_code, 255);
        EXPECT_EQ(result.out, "\nCannot update header of " + path + ": offset to point data (" +
                                  std::to_string(offset) + ") lies inside the 227-byte header\n");
        EXPECT_EQ(read_file(path), bytes);
    }
}

// A report written to a full device or a closed standard output is a
// failure; nothing is said on standard error.
TEST(Hardening, ALostReportIsAFailure) {
    TempDir dir;
    const std::string errors = dir.file("stderr.txt");
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "/dev/full");
        const ProcessResult result = run_in_child([&] {
            const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, STDERR_FILENO);
            if (closed) {
                close(STDOUT_FILENO);
            } else {
                dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO);
            }
            execl(TOLVREN_QUARLIN_PATH, TOLVREN_QUARLIN_PATH, TOLVREN_SAMPLE_PATH, static_cast<char *>(nullptr));
            _exit(127);
        });
        EXPECT_EQ(result.exit_code, 255);
        EXPECT_EQ(read_text(errors), "");
    }
}

// A caller that closed its standard streams: the files the library opens
// never take their numbers, so nothing the caller writes to them reaches a
// file. The progress callback looks while the file is open.
TEST(Hardening, TheLibraryNeverOpensAFileAsAStandardStream) {
    TempDir dir;
    const std::string path = dir.file("streams.las");
    write_file(path, tolvren_test::LasFile{}.build());
    const auto streams_closed = [](std::uint64_t, std::uint64_t, void *) {
        for (int fd = 0; fd <= 2; ++fd) {
            if (fcntl(fd, F_GETFD) != -1) _exit(10 + fd);
        }
        return 0;
    };
    const ProcessResult result = run_in_child([&] {
        for (int fd = 0; fd <= 2; ++fd) close(fd);
        tolvren_report report;
        if (tolvren_check_file(path.c_str(), TOLVREN_CHECK_SCAN, streams_closed, nullptr, &report, nullptr)) _exit(2);
    });
    EXPECT_EQ(result.exit_code, 0);
}

// A repair that a signal stops leaves the header all old or all new, never
// some fields of each; under a file-size limit the write fails, reported,
// and the file keeps every byte.
TEST(Hardening, ASignalNeverLeavesAHalfRepairedHeader) {
    TempDir dir;
    const std::string path = dir.file("signalled.las");
    const Bytes right = tolvren_test::LasFile{}.build();
    Bytes stale = right;
    tolvren_test::put<std::uint64_t>(stale, 247, 9);  // point count
    tolvren_test::put<std::uint64_t>(stale, 255, 0);  // first returns
    tolvren_test::put<double>(stale, 187, -1.0);      // min X
    std::vector<std::string> repair{TOLVREN_HEADER_API_FAULTS_PATH, "1000", "ok", "0", path};
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        write_file(path, stale);
        EXPECT_EQ(run_bounded(repair, {"TOLVREN_SIGNAL_AFTER_WRITE=" + std::to_string(sig)}).exit_code, -1);
        EXPECT_EQ(read_file(path), right);  // the signal came after the write
    }
    // Writing at byte 250 or beyond fails; the SIGXFSZ for it does not end
    // the process.
    write_file(path, stale);
    const ProcessResult limited = run_in_child([&] {
        signal(SIGXFSZ, SIG_DFL);
        const rlimit cap{250, 250};
        if (setrlimit(RLIMIT_FSIZE, &cap) != 0) _exit(1);
        execv(repair[0].c_str(), std::vector<char *>{repair[0].data(), repair[1].data(), repair[2].data(),
                                                     repair[3].data(), repair[4].data(), nullptr}.data());
        _exit(127);
    });
    EXPECT_EQ(limited.out.substr(0, limited.out.find(' ')), "write_failed") << limited.out;
    EXPECT_EQ(read_file(path), stale);
}

// Headers that claim as many (E)VLRs as 32 bits count, in sparse files just
// long enough to hold their headers: a read walks a bounded number of them,
// says so, and a repair refuses. The alarm ends a walk of them all.
TEST(Hardening, HostileRecordCountsAreWalkedOnlyToTheLimit) {
    TempDir dir;
    const std::string path = dir.file("sparse.las");
    for (const std::uint8_t minor : {std::uint8_t{4}, std::uint8_t{2}}) {
        const bool extended = minor == 4;
        tolvren_test::LasFile f;
        f.minor = minor;
        f.format = 0;
        f.points.clear();
        Bytes bytes = f.build();
        const std::uint64_t start = bytes.size(), record = extended ? 60 : 54;
        const std::uint64_t size = extended ? start + 0xFFFFFFFFull * record : 0xFFFFFFFFull;
        if (extended) {
            tolvren_test::put<std::uint64_t>(bytes, 235, start);
        } else {
            tolvren_test::put<std::uint32_t>(bytes, 96, 0xFFFFFFFFu);  // OffsetToData
        }
        const auto count = static_cast<std::uint32_t>((size - start) / record);
        tolvren_test::put<std::uint32_t>(bytes, extended ? 243 : 100, count);
        write_file(path, bytes);
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
        const ProcessResult result = run_in_child([&] {
            alarm(20);
            tolvren_header h;
            tolvren_report r;
            tolvren_repair_result repaired;
            if (tolvren_read_header(path.c_str(), &h, nullptr) ||
                tolvren_check_file(path.c_str(), 0, nullptr, nullptr, &r, nullptr)) {
                _exit(2);
            }
            const tolvren_finding &last = r.findings[r.count - 1];
            std::printf("%d %llu %s:%s %s\n", extended ? h.evlr_problem : h.vlr_problem,
                        static_cast<unsigned long long>(extended ? h.evlr_end : h.vlr_end),
                        tolvren_finding_name(last.code), tolvren_severity_name(last.severity),
                        tolvren_error_name(tolvren_repair(path.c_str(), 0, nullptr, nullptr, &repaired, nullptr)));
        });
        EXPECT_EQ(result.out, std::to_string(TOLVREN_WALK_TOO_MANY) + " " +
                                  std::to_string(start + TOLVREN_MAX_WALKED_RECORDS * record) +
                                  " records_not_walked:warning bad_layout\n");
    }
}

}  // namespace
