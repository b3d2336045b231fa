/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): the bytes a LAZ
// decoder reads. An Input gives random access to a whole file, from any
// thread; a Stream walks one run of it (a chunk, or one layer of a chunk) in
// windows of bounded size, so no claim of the file can make a reader hold
// more than one window per stream in memory.
#ifndef TOLVREN_LAZ_BYTE_STREAM_H
#define TOLVREN_LAZ_BYTE_STREAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvren::laz {

// Random access to the bytes of one file.
class Input {
public:
    virtual ~Input() = default;
    // The size the file had when it was opened.
    virtual std::uint64_t size() const noexcept = 0;
    // Reads up to `size` bytes at `offset`. Returns the bytes delivered
    // (fewer than asked only at the end of the file) or -1 on an I/O error.
    // Safe to call from several threads at once.
    virtual long long read(std::uint64_t offset, unsigned char *out, std::size_t size) const noexcept = 0;
};

// A file held in memory (the fuzz targets and the tests).
class MemoryInput final : public Input {
public:
    MemoryInput(const unsigned char *bytes, std::size_t size) noexcept : bytes_(bytes), size_(size) {}
    std::uint64_t size() const noexcept override { return size_; }
    long long read(std::uint64_t offset, unsigned char *out, std::size_t size) const noexcept override;

private:
    const unsigned char *bytes_;
    std::size_t size_;
};

// An open descriptor, read with pread.
class FileInput final : public Input {
public:
    FileInput(int fd, std::uint64_t size) noexcept : fd_(fd), size_(size) {}
    std::uint64_t size() const noexcept override { return size_; }
    long long read(std::uint64_t offset, unsigned char *out, std::size_t size) const noexcept override;

private:
    int fd_;
    std::uint64_t size_;
};

// The bytes [begin, end) of an Input, handed out window by window.
class Stream {
public:
    // Large enough that a read call costs nothing next to decoding the
    // bytes it brings, small enough to stay in the processor's cache.
    static constexpr std::size_t kWindowBytes = std::size_t{1} << 16;

    enum class Status { ok, read_error, short_read, no_memory };

    // Starts the stream; nothing is read until the first window is asked
    // for. The buffer is kept from one use to the next.
    void open(const Input &input, std::uint64_t begin, std::uint64_t end) noexcept;

    // Points [cur, lim) at the next window. False at the end of the run, or
    // when reading failed (status() says which).
    bool next_window(const unsigned char *&cur, const unsigned char *&lim) noexcept;

    // Bytes handed out in windows so far.
    std::uint64_t delivered() const noexcept { return position_ - begin_; }
    std::uint64_t size() const noexcept { return end_ - begin_; }
    std::uint64_t begin() const noexcept { return begin_; }
    Status status() const noexcept { return status_; }
    // errno of a failed read.
    int sys_errno() const noexcept { return sys_errno_; }

private:
    const Input *input_ = nullptr;
    int sys_errno_ = 0;
    std::uint64_t begin_ = 0;
    std::uint64_t position_ = 0;
    std::uint64_t end_ = 0;
    Status status_ = Status::ok;
    std::vector<unsigned char> buffer_;
};

// Plain sequential reads over a Stream, for the parts of a file that are
// stored rather than coded (VLR headers, the head of a layered chunk).
class Cursor {
public:
    void open(const Input &input, std::uint64_t begin, std::uint64_t end) noexcept {
        input_ = &input;
        end_ = end;
        reopen(begin);
    }
    // Copies the next `size` bytes; false when fewer remain or reading fails.
    bool read(unsigned char *out, std::size_t size) noexcept;
    // Moves `size` bytes on without reading them.
    void skip(std::uint64_t size) noexcept;
    std::uint64_t position() const noexcept { return position_; }
    Stream::Status status() const noexcept { return stream_.status(); }

private:
    void reopen(std::uint64_t at) noexcept;

    const Input *input_ = nullptr;
    Stream stream_;
    const unsigned char *cur_ = nullptr;
    const unsigned char *lim_ = nullptr;
    std::uint64_t position_ = 0;
    std::uint64_t end_ = 0;
};

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_BYTE_STREAM_H
