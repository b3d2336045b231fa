// SPDX-License-Identifier: MIT
// Header API: decoding the public header of LAS 1.0-1.4 files and walking
// their VLR and EVLR headers, from bytes in memory or from a file.

#include "tolvren_internal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace tolvren::las {

// ---------------------------------------------------------------------------
// Failures and the numbers in sentences
// ---------------------------------------------------------------------------

namespace {

// strerror_r comes in two flavours (XSI returns int, GNU a pointer); either
// way the text lands in, or is pointed to instead of, `buffer`.
[[maybe_unused]] const char *errno_text(int result, const char *buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char *errno_text(const char *result, const char *) { return result; }

}  // namespace

int fail(tolvren_detail *detail, int code, int sys_errno, const char *path, const char *format, ...) noexcept {
    if (!detail) return code;
    detail->code = code;
    detail->sys_errno = sys_errno;
    constexpr std::size_t kRoom = sizeof detail->message;
    // The reason goes first into a buffer of its own, so that it is kept
    // whole and the path gives way to it.
    std::array<char, kRoom> reason{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason.data(), reason.size(), format, args);
    va_end(args);
    if (sys_errno != 0) {
        const std::size_t used = std::strlen(reason.data());
        std::array<char, 128> text{};
        std::snprintf(reason.data() + used, reason.size() - used, " (%s)",
                      errno_text(strerror_r(sys_errno, text.data(), text.size()), text.data()));
    }
    // "path: reason" when it fits; else "...", the end of the path (which
    // names the file) as far as it leaves room, ": reason".
    char *const message = detail->message;
    std::size_t used = 0;
    const auto append = [&](const char *text, std::size_t length) {
        length = std::min(length, kRoom - 1 - used);
        std::memcpy(message + used, text, length);
        used += length;
    };
    const std::size_t reason_length = std::strlen(reason.data());
    if (path) {
        constexpr char kCut[] = "...";
        constexpr std::size_t kCutLength = sizeof kCut - 1;
        const std::size_t path_length = std::strlen(path);
        const std::size_t path_room = kRoom - 1 - std::min(kRoom - 1, reason_length + 2);
        if (path_length <= path_room) {
            append(path, path_length);
        } else {
            const char *tail = path + path_length - (path_room > kCutLength ? path_room - kCutLength : 0);
            // Not from the middle of a UTF-8 character: skip its continuation bytes.
            while (*tail != '\0' && (static_cast<unsigned char>(*tail) & 0xC0) == 0x80) ++tail;
            append(kCut, kCutLength);
            append(tail, std::strlen(tail));
        }
        append(": ", 2);
    }
    append(reason.data(), reason_length);
    message[used] = '\0';
    return code;
}

void clear(tolvren_detail *detail) noexcept {
    if (!detail) return;
    detail->code = TOLVREN_OK;
    detail->sys_errno = 0;
    detail->message[0] = '\0';
}

namespace {

// The magnitudes written in plain digits: every scale, offset and extent a
// LAS header plausibly holds, and far beyond.
constexpr double kPlainLeast = 1e-15;
constexpr double kPlainBeyond = 1e17;

}  // namespace

DoubleText double_text(double value) noexcept {
    DoubleText out;
    char *const first = out.text.data();
    char *const last = first + out.text.size() - 1;  // room for the terminator
    const double magnitude = std::fabs(value);
    // Fixed notation without a precision is the shortest that reads back as
    // the same double, as the general one is.
    const std::to_chars_result written = value == 0.0 || (magnitude >= kPlainLeast && magnitude < kPlainBeyond)
                                             ? std::to_chars(first, last, value, std::chars_format::fixed)
                                             : std::to_chars(first, last, value);
    *(written.ec == std::errc() ? written.ptr : first) = '\0';
    return out;
}

// ---------------------------------------------------------------------------
// Formats and versions
// ---------------------------------------------------------------------------

namespace {

// Bytes of one EVLR header: a VLR header (tolvren_internal.h) with the
// length as uint64.
using internal::kVlrHeaderBytes;
using internal::kVlrLengthOffset;
constexpr std::uint64_t kEvlrHeaderBytes = 60;
constexpr std::size_t kEvlrLengthOffset = 20;
// The description follows the length: 32 bytes at 22 in a VLR, at 28 in an
// EVLR.
constexpr std::size_t kVlrDescriptionOffset = 22;
constexpr std::size_t kEvlrDescriptionOffset = 28;

// Point format byte: the format in the low 6 bits, bit 7 or bit 6 set when
// the point data is compressed.
constexpr std::uint8_t kFormatMask = 0x3F;
constexpr std::uint8_t kCompressedBits = 0xC0;

}  // namespace

std::size_t public_header_size(unsigned version_minor) noexcept {
    if (version_minor >= 4) return TOLVREN_HEADER_SIZE_1_4;
    if (version_minor == 3) return TOLVREN_HEADER_SIZE_1_3;
    return TOLVREN_HEADER_SIZE_1_0;
}

std::uint16_t standard_record_length(unsigned format) noexcept {
    return format < kStandardRecordLengths.size() ? kStandardRecordLengths[format] : 0;
}

bool waveform_in_file(const tolvren_header &header) noexcept {
    // Global encoding bit 1: waveform data packets inside this file.
    constexpr std::uint16_t kWaveformInternal = 1u << 1;
    return header.version_minor >= 3 && (header.global_encoding & kWaveformInternal) != 0;
}

bool header_well_formed(const tolvren_header &header) noexcept {
    const std::uint16_t standard = standard_record_length(header.point_format);
    return header.version_major == 1 && header.version_minor <= 4 && standard != 0 &&
           header.point_record_length >= standard;
}

namespace {

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

using Layout = PublicHeaderLayout;

// A fixed-width text field as a zero-terminated copy; a zero inside the field
// ends the text there, as C readers of the field see it.
template <std::size_t N>
void copy_text(char (&out)[N], const unsigned char *bytes, std::size_t offset) {
    static_assert(N == 33, "32 bytes of text and a terminator");
    std::memcpy(out, bytes + offset, N - 1);
    out[N - 1] = '\0';
}

}  // namespace

void decode_fixed_fields(const unsigned char *bytes, tolvren_header &out) noexcept {
    // Bytes 4-7 are reserved in 1.0; 1.1 names the first two the file source
    // ID, 1.2 the other two the global encoding.
    if (out.version_minor >= 1) out.file_source_id = load<std::uint16_t>(bytes, offsetof(Layout, file_source_id));
    if (out.version_minor >= 2) out.global_encoding = load<std::uint16_t>(bytes, offsetof(Layout, global_encoding));
    std::memcpy(out.guid, bytes + offsetof(Layout, guid), sizeof out.guid);
    copy_text(out.system_identifier, bytes, offsetof(Layout, system_identifier));
    copy_text(out.generating_software, bytes, offsetof(Layout, generating_software));
    out.creation_day = load<std::uint16_t>(bytes, offsetof(Layout, creation_day));
    out.creation_year = load<std::uint16_t>(bytes, offsetof(Layout, creation_year));
}

namespace {

// Decodes the public header from `bytes` (at least its version's size) and
// tests what makes it readable at all. The walks come later.
int decode(const unsigned char *bytes, std::size_t size, std::uint64_t file_size, const char *path,
           tolvren_header &out, tolvren_detail *detail) {
    // Padding too: callers may compare headers byte for byte.
    std::memset(&out, 0, sizeof out);
    out.file_size = file_size;
    if (size < 4 || std::memcmp(bytes, "LASF", 4) != 0) {
        return fail(detail, TOLVREN_ENOTLAS, 0, path, "not a LAS file: no \"LASF\" signature");
    }
    if (size <= offsetof(Layout, version_minor)) {
        return fail(detail, TOLVREN_EHEADERSIZE, 0, path, "the file ends after %zu bytes, inside the header", size);
    }
    out.version_major = bytes[offsetof(Layout, version_major)];
    out.version_minor = bytes[offsetof(Layout, version_minor)];
    if (out.version_major != 1 || out.version_minor > 4) {
        return fail(detail, TOLVREN_EVERSION, 0, path, "LAS version %u.%u is not one of 1.0 to 1.4",
                    out.version_major, out.version_minor);
    }
    const std::size_t needed = public_header_size(out.version_minor);
    if (size < needed || file_size < needed) {
        return fail(detail, TOLVREN_EHEADERSIZE, 0, path,
                    "the file holds %llu bytes, fewer than the %zu of a LAS 1.%u header",
                    static_cast<unsigned long long>(std::min<std::uint64_t>(size, file_size)), needed,
                    out.version_minor);
    }
    out.header_size = load<std::uint16_t>(bytes, offsetof(Layout, header_size));
    if (out.header_size < needed) {
        return fail(detail, TOLVREN_EHEADERSIZE, 0, path, "HeaderSize %u is below the %zu bytes of a LAS 1.%u header",
                    out.header_size, needed, out.version_minor);
    }
    if (out.header_size > file_size) {
        return fail(detail, TOLVREN_EHEADERSIZE, 0, path, "HeaderSize %u is beyond the end of the file (%llu bytes)",
                    out.header_size, static_cast<unsigned long long>(file_size));
    }
    out.point_format_byte = bytes[offsetof(Layout, point_format)];
    out.point_format = static_cast<std::uint8_t>(out.point_format_byte & kFormatMask);
    out.compressed = (out.point_format_byte & kCompressedBits) != 0;
    if (out.point_format >= kStandardRecordLengths.size()) {
        return fail(detail, TOLVREN_EFORMAT, 0, path, "point data format %u is not one of 0 to 10", out.point_format);
    }
    out.point_record_length = load<std::uint16_t>(bytes, offsetof(Layout, point_record_length));
    out.standard_record_length = standard_record_length(out.point_format);
    if (out.point_record_length < out.standard_record_length) {
        return fail(detail, TOLVREN_ERECORDLENGTH, 0, path,
                    "point record length %u is shorter than the %u bytes of format %u", out.point_record_length,
                    out.standard_record_length, out.point_format);
    }
    out.extra_bytes = static_cast<std::uint16_t>(out.point_record_length - out.standard_record_length);

    decode_fixed_fields(bytes, out);
    out.offset_to_point_data = load<std::uint32_t>(bytes, offsetof(Layout, offset_to_point_data));
    out.number_of_vlrs = load<std::uint32_t>(bytes, offsetof(Layout, number_of_vlrs));
    out.legacy_point_count = load<std::uint32_t>(bytes, offsetof(Layout, legacy_point_count));
    for (std::size_t i = 0; i < 5; ++i) {
        out.legacy_points_by_return[i] =
            load<std::uint32_t>(bytes, offsetof(Layout, legacy_points_by_return) + 4 * i);
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
        out.scale[axis] = load<double>(bytes, offsetof(Layout, scale) + 8 * axis);
        out.offset[axis] = load<double>(bytes, offsetof(Layout, offset) + 8 * axis);
        out.max[axis] = load<double>(bytes, max_offset(axis));
        out.min[axis] = load<double>(bytes, min_offset(axis));
    }
    if (out.version_minor >= 3) {
        out.start_of_waveform_data = load<std::uint64_t>(bytes, offsetof(Layout, start_of_waveform_data));
    }
    if (out.version_minor >= 4) {
        out.start_of_first_evlr = load<std::uint64_t>(bytes, offsetof(Layout, start_of_first_evlr));
        out.number_of_evlrs = load<std::uint32_t>(bytes, offsetof(Layout, number_of_evlrs));
        out.point_count_64 = load<std::uint64_t>(bytes, offsetof(Layout, point_count));
        for (std::size_t i = 0; i < 15; ++i) {
            out.points_by_return_64[i] = load<std::uint64_t>(bytes, offsetof(Layout, points_by_return) + 8 * i);
        }
        out.point_count = out.point_count_64;
        std::copy(std::begin(out.points_by_return_64), std::end(out.points_by_return_64), out.points_by_return);
    } else {
        out.point_count = out.legacy_point_count;
        std::copy(std::begin(out.legacy_points_by_return), std::end(out.legacy_points_by_return),
                  out.points_by_return);
    }
    return TOLVREN_OK;
}

// ---------------------------------------------------------------------------
// Walks
// ---------------------------------------------------------------------------

// Where a walk reads record headers from. read() gives `size` bytes at
// `offset`: 1 when delivered, 0 when they are not available (beyond the bytes
// held), -1 on an I/O error with errno set.
class Source {
public:
    virtual int read(std::uint64_t offset, unsigned char *out, std::size_t size) = 0;

protected:
    ~Source() = default;
};

class MemorySource final : public Source {
public:
    MemorySource(const unsigned char *bytes, std::size_t size) : bytes_(bytes), size_(size) {}
    int read(std::uint64_t offset, unsigned char *out, std::size_t size) override {
        if (offset > size_ || size_ - offset < size) return 0;
        std::memcpy(out, bytes_ + offset, size);
        return 1;
    }

private:
    const unsigned char *bytes_;
    std::size_t size_;
};

// Reads through a window of the file, so that a walk over many small records
// costs one read per window rather than one per record.
class FileSource final : public Source {
public:
    FileSource(int fd, std::uint64_t file_size) : fd_(fd), file_size_(file_size) {}
    int read(std::uint64_t offset, unsigned char *out, std::size_t size) override {
        if (offset > file_size_ || file_size_ - offset < size) return 0;
        if (offset < start_ || offset + size > start_ + held_) {
            const long long got = read_at(fd_, window_.data(), window_.size(), offset);
            if (got < 0) return -1;
            start_ = offset;
            held_ = static_cast<std::size_t>(got);
            // The file has become shorter than its size said.
            if (held_ < size) return 0;
        }
        std::memcpy(out, window_.data() + (offset - start_), size);
        return 1;
    }

private:
    // Large enough for the VLR headers of most files in one read (their data
    // sits between them), small enough to cost little when only the public
    // header is wanted.
    static constexpr std::size_t kWindowBytes = 8192;
    int fd_;
    std::uint64_t file_size_;
    std::uint64_t start_ = 0;
    std::size_t held_ = 0;
    std::array<unsigned char, kWindowBytes> window_{};
};

// Follows `count` record headers of `header_bytes` bytes from `position`, each
// followed by as many data bytes as the length field (of type Length at
// `length_offset`) says. Records past `limit` are a problem; the walk stops at
// the first header that does not fit in the file, and after
// TOLVREN_MAX_WALKED_RECORDS headers. Returns the problem and sets `end` to
// where the walk ended; errno and -1 on an I/O error. `visit` sees each
// header read: its index, where it starts, its bytes, its length and
// whether its data end by the limit.
template <typename Length, typename Visit>
int walk(Source &source, std::uint64_t position, std::uint32_t count, std::uint64_t header_bytes,
         std::size_t length_offset, std::uint64_t limit, std::uint64_t file_size, std::uint64_t &end,
         Visit &&visit) {
    std::array<unsigned char, kEvlrHeaderBytes> record{};
    // Every record takes at least its header: a count whose headers alone
    // pass the limit is refused without reading them one by one (a hostile
    // count of 2^32 would otherwise read the whole file).
    if (position > limit || std::uint64_t{count} * header_bytes > limit - position) {
        end = position;
        return count == 0 && position <= limit ? TOLVREN_WALK_OK : TOLVREN_WALK_PAST_END;
    }
    int problem = TOLVREN_WALK_OK;
    for (std::uint32_t i = 0; i < count && position <= limit; ++i) {
        // A count that passes the test above may still ask for 2^32 reads
        // (headers of zeros in a sparse file, which costs nothing to make).
        if (i == TOLVREN_MAX_WALKED_RECORDS) {
            problem = TOLVREN_WALK_TOO_MANY;
            break;
        }
        if (position > file_size || file_size - position < header_bytes) {
            problem = TOLVREN_WALK_PAST_END;
            break;
        }
        const int got = source.read(position, record.data(), static_cast<std::size_t>(header_bytes));
        if (got < 0) return -1;
        if (got == 0) {
            problem = TOLVREN_WALK_INCOMPLETE;
            break;
        }
        const std::uint64_t length = load<Length>(record.data(), length_offset);
        const std::uint64_t start = position;
        position += header_bytes;
        // Past the end of the file the sum could wrap; it need not go on.
        if (length > file_size - position) {
            visit(i, start, record.data(), length, false);
            position = file_size;
            problem = TOLVREN_WALK_PAST_END;
            break;
        }
        position += length;
        visit(i, start, record.data(), length, position <= limit);
    }
    end = position;
    if (problem == TOLVREN_WALK_OK && position > limit) problem = TOLVREN_WALK_PAST_END;
    return problem;
}

// What a walk that only measures does with each record header.
constexpr auto kSkipRecord = [](bool, std::uint32_t, std::uint64_t, const unsigned char *, std::uint64_t, bool) {};

// Walks the VLRs and EVLRs of a decoded header and says where its point
// records end. `visit` sees every record header as walk() does, with
// `extended` first (false for the VLRs, true for the EVLRs).
template <typename Visit>
int locate_records(Source &source, const char *path, tolvren_header &out, tolvren_detail *detail, Visit &&visit) {
    const std::uint64_t file_size = out.file_size;
    const std::uint64_t offset = out.offset_to_point_data;
    const auto visit_as = [&visit](bool extended) {
        return [&visit, extended](std::uint32_t index, std::uint64_t start, const unsigned char *bytes,
                                  std::uint64_t length, bool complete) {
            visit(extended, index, start, bytes, length, complete);
        };
    };
    int problem = walk<std::uint16_t>(source, out.header_size, out.number_of_vlrs, kVlrHeaderBytes,
                                      kVlrLengthOffset, std::min(offset, file_size), file_size, out.vlr_end,
                                      visit_as(false));
    if (problem < 0) return fail(detail, TOLVREN_EREAD, errno, path, "cannot read a VLR header");
    out.vlr_problem = problem;

    const bool has_evlrs = out.version_minor >= 4 && out.number_of_evlrs > 0;
    if (has_evlrs) {
        if (out.start_of_first_evlr < std::max<std::uint64_t>(offset, out.header_size)) {
            out.evlr_end = out.start_of_first_evlr;
            out.evlr_problem = TOLVREN_WALK_PAST_END;
        } else {
            problem = walk<std::uint64_t>(source, out.start_of_first_evlr, out.number_of_evlrs, kEvlrHeaderBytes,
                                          kEvlrLengthOffset, file_size, file_size, out.evlr_end, visit_as(true));
            if (problem < 0) {
                return fail(detail, TOLVREN_EREAD, errno, path, "cannot read an EVLR header");
            }
            out.evlr_problem = problem;
        }
    }

    // The point records run to whichever comes first of the first EVLR and
    // waveform data kept in the file (LAS 1.3 puts them right after the
    // points, 1.4 may keep them in the first EVLR), else to the end of the
    // file; a start outside [offset, end of file] is not believed (the check
    // says so).
    const auto inside = [&](std::uint64_t start) { return start >= offset && start <= file_size; };
    out.point_region_end = file_size;
    if (has_evlrs && inside(out.start_of_first_evlr)) out.point_region_end = out.start_of_first_evlr;
    if (waveform_in_file(out) && inside(out.start_of_waveform_data)) {
        out.point_region_end = std::min(out.point_region_end, out.start_of_waveform_data);
    }
    return TOLVREN_OK;
}

int parse(const unsigned char *bytes, std::size_t size, std::uint64_t file_size, tolvren_header &out,
          tolvren_detail *detail) {
    if (size > file_size) {
        return fail(detail, TOLVREN_EINVAL, 0, nullptr, "%zu bytes were handed in for a file of %llu bytes", size,
                    static_cast<unsigned long long>(file_size));
    }
    const int code = decode(bytes, size, file_size, nullptr, out, detail);
    if (code != TOLVREN_OK) return code;
    MemorySource source(bytes, size);
    return locate_records(source, nullptr, out, detail, kSkipRecord);
}

}  // namespace

int open_file(const char *path, bool for_writing, OpenedFile &out, tolvren_detail *detail) noexcept {
    out = internal::open_regular_file(path, for_writing);
    switch (out.status) {
        case OpenedFile::Status::ok:
            return TOLVREN_OK;
        case OpenedFile::Status::not_regular:
            return fail(detail, TOLVREN_ENOTREGULAR, 0, path, "not a regular file");
        case OpenedFile::Status::cannot_open:
            break;
    }
    if (for_writing) {
        return fail(detail, TOLVREN_EWRITEOPEN, out.sys_errno, path, "cannot open the file for writing");
    }
    return fail(detail, TOLVREN_EOPEN, out.sys_errno, path, "cannot open the file");
}

int open_and_read_header(const char *path, OpenedFile &file, tolvren_header &out, HeaderImage &image,
                         tolvren_detail *detail) noexcept {
    const int opened = open_file(path, false, file, detail);
    if (opened != TOLVREN_OK) return opened;
    const int fd = file.fd.get();
    const std::uint64_t file_size = file.size;
    image.fill(0);
    const long long got = read_at(fd, image.data(), image.size(), 0);
    if (got < 0) return fail(detail, TOLVREN_EREAD, errno, path, "cannot read the header");
    // A file that shrank under us reads as the shorter file it now is.
    const std::size_t size = static_cast<std::size_t>(got);
    const int code = decode(image.data(), size, std::max<std::uint64_t>(file_size, size), path, out, detail);
    if (code != TOLVREN_OK) return code;
    FileSource source(fd, file_size);
    return locate_records(source, path, out, detail, kSkipRecord);
}

int walk_records(int fd, const char *path, tolvren_header &header, std::vector<tolvren_record> &out,
                 tolvren_detail *detail) {
    out.clear();
    FileSource source(fd, header.file_size);
    const auto text = [](char *to, std::size_t room, const unsigned char *from) {
        std::memcpy(to, from, room - 1);
        to[room - 1] = '\0';
    };
    return locate_records(source, path, header, detail,
                          [&](bool extended, std::uint32_t index, std::uint64_t start, const unsigned char *bytes,
                              std::uint64_t length, bool complete) {
                              tolvren_record record{};
                              record.extended = extended ? 1 : 0;
                              record.index = index;
                              record.reserved = load<std::uint16_t>(bytes, 0);
                              text(record.user_id, sizeof record.user_id, bytes + internal::kVlrUserIdOffset);
                              record.record_id = load<std::uint16_t>(bytes, internal::kVlrRecordIdOffset);
                              record.length = length;
                              text(record.description, sizeof record.description,
                                   bytes + (extended ? kEvlrDescriptionOffset : kVlrDescriptionOffset));
                              record.offset = start;
                              record.data_offset = start + (extended ? kEvlrHeaderBytes : kVlrHeaderBytes);
                              record.complete = complete ? 1 : 0;
                              out.push_back(record);
                          });
}

}  // namespace tolvren::las

using namespace tolvren::las;

extern "C" int tolvren_parse_header(const void *bytes, size_t size, uint64_t file_size, tolvren_header *out,
                                    tolvren_detail *detail) noexcept {
    clear(detail);
    if (!out || (!bytes && size > 0)) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    try {
        return parse(static_cast<const unsigned char *>(bytes), size, file_size, *out, detail);
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, nullptr, "an unexpected failure while parsing the header");
    }
}

extern "C" int tolvren_read_header(const char *path, tolvren_header *out, tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    try {
        OpenedFile file;
        HeaderImage image;
        return open_and_read_header(path, file, *out, image, detail);
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while reading the header");
    }
}
