/* SPDX-License-Identifier: MIT */
// Helpers shared by the fuzz targets: a private scratch directory and
// writing an input to a file in it.
#ifndef TOLVREN_FUZZ_COMMON_H
#define TOLVREN_FUZZ_COMMON_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolvren_fuzz {

// Reports a finding in a way that survives NDEBUG and that every engine
// (and the replay runner) treats as a crash.
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// A directory of this process's own, removed with its contents at exit.
class ScratchDir {
public:
    ScratchDir() {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tolvren-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data())) fail("mkdtemp");
        path_ = buffer.data();
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The operations print their messages on standard output; a fuzzing run
// does not need them (TOLVREN_FUZZ_VERBOSE=1 keeps them). Returns the
// scratch directory, made once per process.
inline const std::string &scratch_dir() {
    static const ScratchDir dir = [] {
        if (!std::getenv("TOLVREN_FUZZ_VERBOSE") && !std::freopen("/dev/null", "w", stdout)) fail("stdout");
        return ScratchDir();
    }();
    return dir.path();
}

struct FileCloser {
    void operator()(std::FILE *fp) const noexcept { std::fclose(fp); }
};

inline void write_input(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::unique_ptr<std::FILE, FileCloser> fp(std::fopen(path.c_str(), "wb"));
    if (!fp || (size && std::fwrite(data, 1, size, fp.get()) != size) || std::fclose(fp.release()) != 0) {
        fail("cannot write the input file");
    }
}

}  // namespace tolvren_fuzz

#endif  // TOLVREN_FUZZ_COMMON_H
