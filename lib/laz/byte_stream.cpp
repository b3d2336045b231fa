// SPDX-License-Identifier: MIT
// The windows through which the LAZ decoder reads a file.
#include "laz/byte_stream.h"

#include "tolvren_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace tolvren::laz {

long long MemoryInput::read(std::uint64_t offset, unsigned char *out, std::size_t size) const noexcept {
    if (offset >= size_) return 0;
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - offset));
    std::memcpy(out, bytes_ + offset, count);
    return static_cast<long long>(count);
}

long long FileInput::read(std::uint64_t offset, unsigned char *out, std::size_t size) const noexcept {
    return internal::read_at(fd_, out, size, offset);
}

void Stream::open(const Input &input, std::uint64_t begin, std::uint64_t end) noexcept {
    input_ = &input;
    begin_ = begin;
    position_ = begin;
    end_ = std::max(begin, end);
    status_ = Status::ok;
    sys_errno_ = 0;
}

bool Stream::next_window(const unsigned char *&cur, const unsigned char *&lim) noexcept {
    if (status_ != Status::ok || position_ >= end_ || input_ == nullptr) return false;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, end_ - position_));
    if (buffer_.size() < wanted) {
        try {
            // A stream shorter than a window gets a buffer of its own size:
            // the many small layers of a chunk stay small.
            buffer_.resize(std::max(wanted, std::min(buffer_.size() * 2, kWindowBytes)));
        } catch (const std::bad_alloc &) {
            status_ = Status::no_memory;
            return false;
        }
    }
    const long long got = input_->read(position_, buffer_.data(), wanted);
    if (got < 0) {
        sys_errno_ = errno;
        status_ = Status::read_error;
        return false;
    }
    if (static_cast<std::size_t>(got) < wanted) {
        // The file is shorter than it was when it was opened.
        status_ = Status::short_read;
        return false;
    }
    position_ += wanted;
    cur = buffer_.data();
    lim = cur + wanted;
    return true;
}

void Cursor::reopen(std::uint64_t at) noexcept {
    position_ = at;
    cur_ = lim_ = nullptr;
    stream_.open(*input_, std::min(at, end_), end_);
}

bool Cursor::read(unsigned char *out, std::size_t size) noexcept {
    if (input_ == nullptr || position_ > end_ || size > end_ - position_) return false;
    while (size > 0) {
        if (cur_ == lim_ && !stream_.next_window(cur_, lim_)) return false;
        const auto count = std::min(size, static_cast<std::size_t>(lim_ - cur_));
        std::memcpy(out, cur_, count);
        cur_ += count;
        out += count;
        size -= count;
        position_ += count;
    }
    return true;
}

void Cursor::skip(std::uint64_t size) noexcept {
    if (input_ == nullptr) return;
    if (size <= static_cast<std::uint64_t>(lim_ - cur_)) {
        cur_ += size;
        position_ += size;
        return;
    }
    const std::uint64_t room = position_ <= end_ ? end_ - position_ : 0;
    reopen(size <= room ? position_ + size : end_ + 1);
}

}  // namespace tolvren::laz
