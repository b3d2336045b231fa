/* SPDX-License-Identifier: MIT */
// Shared helpers for the tests: temporary directories, small LAS writers,
// running Quarlin as a process, and capturing what the library prints.
#ifndef TOLVREN_TEST_SUPPORT_H
#define TOLVREN_TEST_SUPPORT_H

#include "Tolvren_LiDAR.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvren_test {

using Bytes = std::vector<unsigned char>;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tolvren-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
        path_ = buffer.data();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::string &path) {
    const Bytes bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// A value stored at `offset` of a file's bytes, and read from there. LAS is
// little-endian like every host the tests run on (the build refuses others).
template <typename T>
void put(Bytes &bytes, std::size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

template <typename T>
T get(const Bytes &bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, &bytes[offset], sizeof value);
    return value;
}

// The record length of each point format, 0 to 10.
inline constexpr std::array<std::uint16_t, 11> kRecordLengths = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

inline std::uint16_t record_length_of(std::uint8_t format) { return kRecordLengths.at(format); }

// A plausible header of version 1.minor with the given point format. The 1.0,
// 1.1 and 1.2 records share every field that is set here.
inline LAS12Header make_header(std::uint8_t minor, std::uint8_t format) {
    LAS12Header h{};
    std::memcpy(h.LASF, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = minor;
    std::memcpy(h.SystemIdentifier, "TEST SYSTEM", 11);
    std::memcpy(h.GeneratingSoftware, "tolvren tests", 13);
    h.HeaderSize = 227;
    h.OffsetToData = 227;
    h.PointDataFormatID = format;
    h.PointDataRecordLength = record_length_of(format);
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 0.01;
    return h;
}

template <typename Header>
Bytes bytes_of(const Header &header) {
    Bytes bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

// Appends one point record of `length` bytes: raw X, Y, Z and the bitfield,
// the rest filled with a recognisable pattern.
inline void append_point(Bytes &bytes, std::size_t length, std::int32_t x, std::int32_t y, std::int32_t z,
                         std::uint8_t bitfield) {
    if (length < 20) throw std::invalid_argument("a point record holds at least 20 bytes");
    Bytes record(length, 0xA5);
    std::memcpy(&record[0], &x, 4);
    std::memcpy(&record[4], &y, 4);
    std::memcpy(&record[8], &z, 4);
    record[14] = bitfield;
    bytes.insert(bytes.end(), record.begin(), record.end());
}

struct Point {
    std::int32_t x, y, z;
    std::uint8_t bitfield;  // return number in the low 3 bits (formats 0-5) or 4 (6-10)
};

// A WKT CRS for the files of formats 6-10 that need one.
inline constexpr char kTestWkt[] = R"(PROJCS["WGS 84 / UTM zone 32N",AUTHORITY["EPSG","32632"]])";

// A LAS 1.`minor` file of any point format whose header agrees with its
// points. Scale 0.25 and integral offsets make every real coordinate exact,
// so the extents are the same whichever way they are computed. The system
// identifier holds a control character and a backslash for the escaping of
// text output.
struct LasFile {
    std::uint8_t minor = 4;
    std::uint8_t format = 6;
    std::uint16_t extra = 0;          // bytes after the format's own in a record
    std::uint16_t header_pad = 0;     // bytes after the version's header
    std::vector<std::uint16_t> vlrs;  // data bytes of each VLR
    std::vector<Point> points{{8, -4, 40, 1}, {-12, 20, 0, 2}, {4, 0, -8, 1}, {0, 6, 2, 3}};
    std::size_t tail = 0;              // stray bytes after the records
    std::vector<std::uint64_t> evlrs;  // data bytes of each EVLR
    std::array<double, 3> offset{100.0, -50.0, 10.0};
    std::string wkt;                   // LAS 1.4: a WKT CRS record after the
                                       // other VLRs and the WKT bit, when set

    Bytes build() const {
        const std::size_t header = (minor == 4 ? 375 : minor == 3 ? 235 : 227) + header_pad;
        Bytes b(header, 0);
        std::memcpy(b.data(), "LASF", 4);
        b[24] = 1;
        b[25] = minor;
        std::memcpy(&b[26], "TEST\x01SYSTEM\\", 12);
        std::memcpy(&b[58], "tolvren tests", 13);
        put<std::uint16_t>(b, 90, 60);  // 1 March 2024
        put<std::uint16_t>(b, 92, 2024);
        put<std::uint16_t>(b, 94, static_cast<std::uint16_t>(header));
        for (std::uint16_t length : vlrs) {
            // A recognisable pattern, but for the reserved field (0) and
            // the length.
            Bytes vlr(54u + length, 0x11);
            put<std::uint16_t>(vlr, 0, 0);
            put<std::uint16_t>(vlr, 20, length);
            b.insert(b.end(), vlr.begin(), vlr.end());
        }
        const bool with_wkt = minor == 4 && !wkt.empty();
        if (with_wkt) {
            Bytes vlr(54 + wkt.size() + 1, 0);
            const std::string user_id = "LASF_Projection";
            std::copy(user_id.begin(), user_id.end(), vlr.begin() + 2);
            put<std::uint16_t>(vlr, 18, 2112);
            put<std::uint16_t>(vlr, 20, static_cast<std::uint16_t>(wkt.size() + 1));
            std::memcpy(&vlr[54], wkt.data(), wkt.size());
            b.insert(b.end(), vlr.begin(), vlr.end());
            put<std::uint16_t>(b, 6, 1u << 4);
        }
        put<std::uint32_t>(b, 96, static_cast<std::uint32_t>(b.size()));
        put<std::uint32_t>(b, 100, static_cast<std::uint32_t>(vlrs.size() + (with_wkt ? 1 : 0)));
        b[104] = format;
        const std::uint16_t length = static_cast<std::uint16_t>(record_length_of(format) + extra);
        put<std::uint16_t>(b, 105, length);
        const unsigned mask = format >= 6 ? 15u : 7u;
        const std::size_t slots = format >= 6 ? 15 : 5;
        std::array<std::uint64_t, 15> by_return{};
        std::array<double, 3> low{}, high{};
        for (std::size_t i = 0; i < points.size(); ++i) {
            const Point &p = points[i];
            append_point(b, length, p.x, p.y, p.z, p.bitfield);
            const unsigned r = p.bitfield & mask;
            if (r >= 1 && r <= slots) ++by_return[r - 1];
            const std::array<std::int32_t, 3> raw{p.x, p.y, p.z};
            for (std::size_t a = 0; a < 3; ++a) {
                const double real = raw[a] * 0.25 + offset[a];
                low[a] = i == 0 ? real : std::min(low[a], real);
                high[a] = i == 0 ? real : std::max(high[a], real);
            }
        }
        b.insert(b.end(), tail, 0x5A);
        for (std::size_t a = 0; a < 3; ++a) {
            put<double>(b, 131 + 8 * a, 0.25);
            put<double>(b, 155 + 8 * a, offset[a]);
            put<double>(b, 179 + 16 * a, high[a]);
            put<double>(b, 187 + 16 * a, low[a]);
        }
        // 1.4 keeps the legacy counts 0 for formats 6-10.
        const std::uint64_t n = points.size();
        const bool mirror = minor < 4 || format <= 5;
        put<std::uint32_t>(b, 107, mirror ? static_cast<std::uint32_t>(n) : 0);
        for (std::size_t i = 0; i < 5; ++i) {
            put<std::uint32_t>(b, 111 + 4 * i, mirror ? static_cast<std::uint32_t>(by_return[i]) : 0);
        }
        if (minor == 4) {
            put<std::uint64_t>(b, 235, evlrs.empty() ? 0 : b.size());
            put<std::uint32_t>(b, 243, static_cast<std::uint32_t>(evlrs.size()));
            put<std::uint64_t>(b, 247, n);
            for (std::size_t i = 0; i < 15; ++i) put<std::uint64_t>(b, 255 + 8 * i, by_return[i]);
            for (std::uint64_t size : evlrs) {
                Bytes evlr(60 + size, 0x22);
                put<std::uint16_t>(evlr, 0, 0);
                put<std::uint64_t>(evlr, 20, size);
                b.insert(b.end(), evlr.begin(), evlr.end());
            }
        }
        return b;
    }
};

struct ProcessResult {
    int exit_code = -1;  // low 8 bits of the exit status, or -1 after a signal
    std::string out;     // everything written to standard output
    std::string err;     // and to standard error, when it was captured
};

// Runs `body` in a forked child whose standard output (and, with
// `capture_err`, standard error) goes to a pipe, in `cwd` if one is given,
// and collects that output and the exit status. A body that returns ends the
// child with status 0; one that calls exit ends it with its own status. Use
// it for operations that may end the process. Without `capture_err` the
// child's standard error stays the tests' own, so sanitizer reports show.
template <typename Body>
ProcessResult run_in_child(Body &&body, const std::string &cwd = "", bool capture_err = false) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe(out) != 0 || (capture_err && pipe(err) != 0)) throw std::runtime_error("pipe failed");
    // Nothing buffered before the fork may be written twice.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        dup2(out[1], STDOUT_FILENO);
        if (capture_err) dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) close(fd);
        }
        try {
            body();
        } catch (...) {
            _exit(125);
        }
        std::fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    if (capture_err) close(err[1]);
    ProcessResult result;
    // Both pipes are drained together, so a child filling one while the
    // other is read cannot stall.
    std::array<pollfd, 2> fds{{{out[0], POLLIN, 0}, {capture_err ? err[0] : -1, POLLIN, 0}}};
    std::string *sinks[2] = {&result.out, &result.err};
    for (int open_fds = capture_err ? 2 : 1; open_fds > 0;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Runs a program with the given arguments (args[0] is the program path) in
// `cwd`, with extra environment variables ("NAME=value"), collecting its
// standard output.
inline ProcessResult run_process(const std::vector<std::string> &args, const std::string &cwd = "",
                                 const std::vector<std::string> &env = {}) {
    std::vector<char *> argv;
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    return run_in_child(
        [&argv, &env] {
            for (const std::string &setting : env) putenv(const_cast<char *>(setting.c_str()));
            execv(argv[0], argv.data());
            _exit(127);
        },
        cwd);
}

inline ProcessResult run_quarlin(const std::vector<std::string> &arguments, const std::string &cwd = "",
                                 const std::vector<std::string> &env = {}) {
    std::vector<std::string> args{TOLVREN_QUARLIN_PATH};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return run_process(args, cwd, env);
}

// Captures what this process writes to standard output between
// construction and finish(), at the file descriptor level.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        sink_ = std::tmpfile();
        if (saved_ < 0 || !sink_) throw std::runtime_error("cannot capture stdout");
        dup2(fileno(sink_), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    std::string finish() {
        restore();
        std::string text;
        std::rewind(sink_);
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, sink_)) > 0) text.append(buffer, got);
        std::fclose(sink_);
        sink_ = nullptr;
        return text;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    std::FILE *sink_ = nullptr;
};

// The banner exactly as credits() prints it.
inline std::string banner() {
    return "\nTolvren LiDAR Utilities"
           "\n\nDeveloped and maintained by the Tolvren LiDAR Utilities maintainers"
           "\nTolvren LiDAR Utilities project"
           "\nContact: see the README of the Tolvren LiDAR Utilities"
           "\n\n** No warranty regarding script behavior is given or implied **"
           "\n** Acknowledging the author's efforts ensures script updates and availability **\n";
}

}  // namespace tolvren_test

#endif  // TOLVREN_TEST_SUPPORT_H
