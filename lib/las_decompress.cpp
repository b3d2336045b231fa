// SPDX-License-Identifier: MIT
// Header API: writing the uncompressed LAS file that a LAZ file stands for.
//
// The output is built under a temporary name in its target's directory: the
// header and the VLRs as they are (but for the LASzip VLR, left out), the
// records the chunks decode to, then whatever followed the point data; the
// header's layout and count fields are written last, when the records are
// known. Where each chunk's records go is known before the chunk is decoded
// (its first point, from the chunk list), so every thread writes the records
// of its chunks straight to their place: memory stays within the decoders'
// own buffers, and no chunk waits for another. Only a complete, synced file
// is renamed into place; any failure removes it.

#include "laz/laz_reader.h"
#include "tolvren_internal.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace tolvren::las {

namespace {

using Layout = PublicHeaderLayout;
using internal::kVlrHeaderBytes;
using internal::kVlrLengthOffset;
using internal::write_all_at;

unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }

// Bytes copied as they are (the VLRs, what follows the point data) move in
// blocks of this size.
constexpr std::size_t kCopyBlockBytes = std::size_t{1} << 20;

// The point format byte: bits 6 and 7 mark compressed points.
constexpr std::uint8_t kFormatBits = 0x3F;

// The output file's descriptor, with the process's file-size limit checked
// before each write: a write that passes it would raise SIGXFSZ, which ends
// a process that does not ignore it, so it fails with EFBIG unmade. Offsets
// beyond what a file can hold fail the same way.
class Output {
public:
    explicit Output(int fd) : fd_(fd) {
        struct rlimit limit;
        if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            limit_ = std::min<std::uint64_t>(limit_, limit.rlim_cur);
        }
    }
    // Writes every byte or returns false with errno set.
    bool write(const unsigned char *bytes, std::size_t size, std::uint64_t offset) const noexcept {
        if (offset > limit_ || size > limit_ - offset) {
            errno = EFBIG;
            return false;
        }
        return write_all_at(fd_, bytes, size, offset);
    }

private:
    int fd_;
    std::uint64_t limit_ = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
};

// How a copy of bytes as they are ended.
enum class Copy { done, read_error, short_read, write_error };

// Copies `size` bytes at `from` in the input to `to` in the output.
Copy copy_bytes(int input, std::uint64_t from, std::uint64_t size, const Output &output, std::uint64_t to) {
    std::vector<unsigned char> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, kCopyBlockBytes)));
    for (std::uint64_t done = 0; done < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        const long long got = read_at(input, block.data(), want, from + done);
        if (got < 0) return Copy::read_error;
        if (static_cast<std::size_t>(got) != want) return Copy::short_read;
        if (!output.write(block.data(), want, to + done)) return Copy::write_error;
        done += want;
    }
    return Copy::done;
}

// Read and write for everyone, as the process's umask allows: the mode any
// program gives a new file.
constexpr mode_t kNewFileMode = 0666;

// The output under its temporary name beside its target: created
// exclusively (never a file that was there) with the mode of any new file,
// and removed when the object goes, unless it was renamed into place.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile() {
        if (!path_.empty() && !renamed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    // Creates ".NAME.XXXXXXXXXXXX.part" in `directory`; returns 0 or the
    // errno of the failure.
    int create(const std::string &directory, const std::string &name) {
        // Long names keep their start: the new name must fit where the
        // target's does.
        constexpr std::size_t kKeptNameBytes = 200;
        const std::string stem = directory + "/." + name.substr(0, kKeptNameBytes) + ".";
        // Names differ by process, time and try; O_EXCL settles any clash.
        std::uint64_t seed = static_cast<std::uint64_t>(::getpid()) ^
                             static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                             reinterpret_cast<std::uintptr_t>(this);
        constexpr int kTries = 64;
        for (int attempt = 0; attempt < kTries; ++attempt) {
            seed += 0x9E3779B97F4A7C15u;
            std::uint64_t mixed = seed;
            mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9u;
            mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
            mixed ^= mixed >> 31;
            std::array<char, 16> suffix{};
            std::snprintf(suffix.data(), suffix.size(), "%012llx", ull(mixed & 0xFFFFFFFFFFFFu));
            const std::string path = stem + suffix.data() + ".part";
            fd_ = internal::open_descriptor(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, kNewFileMode);
            if (fd_.get() >= 0) {
                path_ = path;
                return 0;
            }
            if (errno != EEXIST) return errno;
        }
        return EEXIST;
    }
    int fd() const noexcept { return fd_.get(); }
    const std::string &path() const noexcept { return path_; }
    void close() noexcept { fd_ = Descriptor(); }
    void renamed() noexcept { renamed_ = true; }

private:
    std::string path_;
    Descriptor fd_;
    bool renamed_ = false;
};

int exists(const char *out_path, tolvren_detail *detail) {
    return fail(detail, TOLVREN_EWRITEOPEN, EEXIST, out_path, "the output exists; it is replaced only when forced");
}

// Whether the output path may take the new file: never the input (by device
// and inode, whatever name leads there), never a directory and, without the
// force flag, nothing there at all (a link that leads nowhere included).
int check_target(const char *out_path, const struct stat &input, bool force, tolvren_detail *detail) {
    struct stat there;
    if (::stat(out_path, &there) == 0) {
        if (there.st_dev == input.st_dev && there.st_ino == input.st_ino) {
            return fail(detail, TOLVREN_EINVAL, 0, out_path, "the output is the input file, which is never written");
        }
        if (S_ISDIR(there.st_mode)) return fail(detail, TOLVREN_EWRITEOPEN, EISDIR, out_path, "cannot be the output");
    } else if (::lstat(out_path, &there) != 0) {
        return TOLVREN_OK;
    }
    return force ? TOLVREN_OK : exists(out_path, detail);
}

// One thread's chunks: their records go straight to their place in the
// output, and into the thread's summary for the count fields.
class RecordWriter final : public laz::ChunkConsumer, public laz::RecordSink {
public:
    RecordWriter(const Output &output, std::uint64_t records_start, std::size_t record_length, unsigned return_bits)
        : output_(output), start_(records_start), length_(record_length), return_bits_(return_bits) {}

    laz::RecordSink &begin_chunk(const laz::ChunkSpec &spec) override {
        // A place past what any file holds (a hostile table) fails the
        // first write.
        const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
        at_ = spec.first_point > (most - start_) / length_ ? most : start_ + spec.first_point * length_;
        return *this;
    }
    bool records(const unsigned char *records, std::size_t count) override {
        const std::size_t bytes = count * length_;
        if (!output_.write(records, bytes, at_)) {
            sys_errno_ = errno;
            return false;
        }
        at_ += bytes;
        internal::summarise_records(records, count, length_, return_bits_, summary_);
        return true;
    }
    void end_chunk(const laz::ChunkSpec &spec, const laz::ChunkResult &result) override {
        // A layered chunk that holds another count than the chunk table (or
        // the chunk size) gives it would move every chunk after it: the table
        // contradicts the chunks. Only the last of fixed-size chunks takes
        // its count from the header, which may be wrong.
        if (result.outcome == laz::ChunkOutcome::count_differs && !spec.count_from_header &&
            (!contradiction_ || spec.index < contradiction_->spec.index)) {
            contradiction_ = laz::ChunkProblem{spec, result};
        }
    }

    int sys_errno() const noexcept { return sys_errno_; }
    const PointSummary &summary() const noexcept { return summary_; }
    const std::optional<laz::ChunkProblem> &contradiction() const noexcept { return contradiction_; }

private:
    const Output &output_;
    std::uint64_t start_;
    std::size_t length_;
    unsigned return_bits_;
    std::uint64_t at_ = 0;
    int sys_errno_ = 0;
    PointSummary summary_;
    std::optional<laz::ChunkProblem> contradiction_;
};

struct ProgressRelay {
    tolvren_progress_fn progress;
    void *user;
    static bool report(std::uint64_t done, std::uint64_t total, void *relay) {
        const auto &self = *static_cast<const ProgressRelay *>(relay);
        return self.progress(done, total, self.user) == 0;
    }
};

const char *chunk_phrase(const laz::ChunkResult &result) {
    return result.outcome == laz::ChunkOutcome::truncated ? "runs out of bytes before its last point"
                                                           : "is damaged";
}

// Decodes every chunk into the output from `records_start` on and fills the
// count of records and their summary. Returns a tolvren_error.
int write_records(int fd, const tolvren_header &header, const laz::Container &container, const Output &output,
                  std::uint64_t records_start, unsigned threads, tolvren_progress_fn progress, void *user,
                  const char *path, const char *out_path, PointSummary &summary, tolvren_detail *detail) {
    const laz::FileInput input(fd, header.file_size);
    const laz::LasLayout layout = laz_layout(header);
    const unsigned return_bits = header.point_format >= 6 ? 4u : 3u;
    std::vector<RecordWriter> writers(thread_count(threads),
                                      RecordWriter(output, records_start, header.point_record_length, return_bits));
    std::vector<laz::ChunkConsumer *> consumers;
    for (RecordWriter &writer : writers) consumers.push_back(&writer);
    ProgressRelay relay{progress, user};
    laz::DecodeProgress hook;
    if (progress) hook = laz::DecodeProgress{&ProgressRelay::report, &relay};
    const laz::DecodeReport report =
        laz::decode_chunks(input, layout, container, laz::LayerChoice::all, consumers, hook);

    // A failed write stops the decoding as a cancel would: it comes first.
    for (const RecordWriter &writer : writers) {
        if (writer.sys_errno() != 0) {
            return fail(detail, TOLVREN_EWRITE, writer.sys_errno(), out_path,
                        "writing the point records failed; nothing was put in place");
        }
    }
    switch (report.stop) {
        case laz::DecodeReport::Stop::none: break;
        case laz::DecodeReport::Stop::canceled:
            return fail(detail, TOLVREN_ECANCELED, 0, path, "the decompression was stopped by its progress callback");
        case laz::DecodeReport::Stop::read_error:
            return fail(detail, TOLVREN_EREAD, report.sys_errno, path, "cannot read the compressed points");
        case laz::DecodeReport::Stop::changed:
            return fail(detail, TOLVREN_ECHANGED, 0, path, "the file became shorter while it was read");
        case laz::DecodeReport::Stop::no_memory:
            return fail(detail, TOLVREN_ENOMEM, 0, path, "no memory for decoding the compressed points");
    }
    if (report.bad_chunks > 0) {
        const laz::ChunkProblem &bad = report.first_bad;
        const char *why = bad.result.why[0] != '\0' ? bad.result.why : nullptr;
        return fail(detail, TOLVREN_ECORRUPT, 0, path, "chunk %llu (from point %llu) %s%s%s", ull(bad.spec.index),
                    ull(bad.spec.first_point), chunk_phrase(bad.result), why ? ": " : "", why ? why : "");
    }
    if (report.table_broken || !report.table_problem.empty()) {
        return fail(detail, TOLVREN_ECORRUPT, 0, path, "%s", report.table_problem.c_str());
    }
    for (const RecordWriter &writer : writers) {
        if (const auto &odd = writer.contradiction()) {
            return fail(detail, TOLVREN_ECORRUPT, 0, path,
                        "chunk %llu (from point %llu) holds %llu points by its own count, %llu by the %s",
                        ull(odd->spec.index), ull(odd->spec.first_point), ull(odd->result.own_count),
                        ull(odd->spec.points), container.vlr.vlr.variable_chunks() ? "chunk table" : "chunk size");
        }
    }
    for (const RecordWriter &writer : writers) internal::merge_summary(summary, writer.summary());
    return TOLVREN_OK;
}

// Puts the finished file at `out_path`: with the force flag by a rename,
// which replaces what is there; without it by a link, which fails where
// anything is, so nothing that appeared meanwhile is replaced (the
// temporary name goes with the file object). A file system without links
// gets the rename after the check.
int place(TemporaryFile &file, const char *out_path, const struct stat &input, bool force, tolvren_detail *detail) {
    // The target may have appeared, or become the input, meanwhile.
    const int code = check_target(out_path, input, force, detail);
    if (code != TOLVREN_OK) return code;
    if (!force) {
        if (::link(file.path().c_str(), out_path) == 0) return TOLVREN_OK;
        if (errno == EEXIST) return exists(out_path, detail);
        if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK && errno != ENOSYS) {
            return fail(detail, TOLVREN_EWRITE, errno, out_path, "cannot put the output in place");
        }
    }
    if (::rename(file.path().c_str(), out_path) != 0) {
        return fail(detail, TOLVREN_EWRITE, errno, out_path, "cannot put the output in place");
    }
    file.renamed();
    return TOLVREN_OK;
}

// Syncs `directory`, so that the new name in it survives a crash. A file system that cannot sync a directory (EINVAL) has nothing to
// make durable that way.
bool sync_directory(const std::string &directory) {
    const Descriptor fd = internal::open_descriptor(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd.get() < 0) return false;
    return ::fsync(fd.get()) == 0 || errno == EINVAL;
}

int decompress(const char *in_path, const char *out_path, unsigned flags, unsigned threads,
               tolvren_progress_fn progress, void *user, tolvren_decompress_result &out, tolvren_detail *detail) {
    out = tolvren_decompress_result{};
    const bool force = (flags & TOLVREN_DECOMPRESS_FORCE) != 0;
    OpenedFile input;
    tolvren_header header;
    HeaderImage image;
    int code = open_and_read_header(in_path, input, header, image, detail);
    if (code != TOLVREN_OK) return code;
    const int fd = input.fd.get();
    struct stat identity;
    if (::fstat(fd, &identity) != 0) return fail(detail, TOLVREN_EREAD, errno, in_path, "cannot examine the file");
    code = check_target(out_path, identity, force, detail);
    if (code != TOLVREN_OK) return code;
    if (!header.compressed) {
        return fail(detail, TOLVREN_EINVAL, 0, in_path, "the points are not compressed; there is nothing to decompress");
    }
    if (const char *doubt = layout_doubt(header)) return fail(detail, TOLVREN_ELAYOUT, 0, in_path, "%s", doubt);

    const laz::FileInput source(fd, header.file_size);
    const laz::Container container = laz::open_container(source, laz_layout(header));
    if (!container.decodable) {
        if (container.why_not.problem == laz::ContainerProblem::read_error) {
            return fail(detail, TOLVREN_EREAD, 0, in_path, "%s", container.why_not.message.c_str());
        }
        return fail(detail, TOLVREN_ECOMPRESSED, 0, in_path, "the compressed points cannot be decoded: %s",
                    container.why_not.message.c_str());
    }
    // Chunks found by walking may not be all there is: without a table
    // nothing says where the last one ends.
    const laz::TableLocation &table = container.table;
    if (table.kind == laz::TableLocation::Kind::missing) {
        return fail(detail, TOLVREN_ECORRUPT, 0, in_path, "%s", table.finding.message.c_str());
    }
    const std::uint64_t old_end = header.point_region_end;
    if (table.kind != laz::TableLocation::Kind::none_needed && table.offset + 8 > old_end) {
        return fail(detail, TOLVREN_ELAYOUT, 0, in_path,
                    "the chunk table at byte %llu lies past the start of the EVLRs or the waveform data (%llu)",
                    ull(table.offset), ull(old_end));
    }

    // The new layout: the LASzip VLR leaves the VLRs, the records take the
    // compressed data's place, and what followed them moves with them.
    const std::uint64_t vlr_start = container.vlr.offset;
    std::array<unsigned char, 2> length{};
    if (read_at(fd, length.data(), length.size(), vlr_start + kVlrLengthOffset) != 2) {
        return fail(detail, TOLVREN_EREAD, errno, in_path, "cannot read the LASzip VLR");
    }
    const std::uint64_t vlr_end = vlr_start + kVlrHeaderBytes + load<std::uint16_t>(length.data(), 0);
    const std::uint64_t records_start = header.offset_to_point_data - (vlr_end - vlr_start);

    const std::string target(out_path);
    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty()) return fail(detail, TOLVREN_EWRITEOPEN, EISDIR, out_path, "cannot be the output");
    TemporaryFile file;
    if (const int error = file.create(directory, name); error != 0) {
        return fail(detail, TOLVREN_EWRITEOPEN, error, out_path, "cannot create the output's new file in its directory");
    }
    const Output output(file.fd());
    const auto copy = [&](std::uint64_t from, std::uint64_t size, std::uint64_t to) -> int {
        switch (copy_bytes(fd, from, size, output, to)) {
            case Copy::done: return TOLVREN_OK;
            case Copy::read_error: return fail(detail, TOLVREN_EREAD, errno, in_path, "cannot read the file");
            case Copy::short_read:
                return fail(detail, TOLVREN_ECHANGED, 0, in_path, "the file became shorter while it was read");
            case Copy::write_error: break;
        }
        return fail(detail, TOLVREN_EWRITE, errno, out_path, "writing the output failed; nothing was put in place");
    };
    // The header and the VLRs before the LASzip VLR; those after it and the
    // bytes up to the point data.
    code = copy(0, vlr_start, 0);
    if (code == TOLVREN_OK) code = copy(vlr_end, header.offset_to_point_data - vlr_end, vlr_start);
    if (code != TOLVREN_OK) return code;

    PointSummary summary;
    code = write_records(fd, header, container, output, records_start, threads, progress, user, in_path, out_path,
                         summary, detail);
    if (code != TOLVREN_OK) return code;
    const std::uint64_t records = summary.records;
    if (header.version_minor < 4 && records > std::numeric_limits<std::uint32_t>::max()) {
        return fail(detail, TOLVREN_ETOOMANYPOINTS, 0, in_path,
                    "%llu point records are more than a LAS 1.%u header can count; no output was written",
                    ull(records), header.version_minor);
    }
    const std::uint64_t new_end = records_start + records * header.point_record_length;
    code = copy(old_end, header.file_size - old_end, new_end);
    if (code != TOLVREN_OK) return code;

    // The header, now that the records are known.
    HeaderImage patched = image;
    patched[offsetof(Layout, point_format)] = static_cast<unsigned char>(header.point_format_byte & kFormatBits);
    store(patched.data(), offsetof(Layout, offset_to_point_data), static_cast<std::uint32_t>(records_start));
    store(patched.data(), offsetof(Layout, number_of_vlrs), header.number_of_vlrs - 1);
    tolvren_scan scan{};
    summary_to_scan(header, summary, scan);
    bool counts_changed = false;
    for (const CountField &field : count_fields(header, scan)) {
        const std::uint64_t old = field.size == 4 ? load<std::uint32_t>(patched.data(), field.offset)
                                                  : load<std::uint64_t>(patched.data(), field.offset);
        if (old == field.value) continue;
        counts_changed = true;
        if (field.size == 4) {
            store(patched.data(), field.offset, static_cast<std::uint32_t>(field.value));
        } else {
            store(patched.data(), field.offset, field.value);
        }
    }
    // A position of what followed the point data moves with it.
    const auto moved = [&](std::size_t offset) {
        const std::uint64_t position = load<std::uint64_t>(patched.data(), offset);
        if (position >= old_end && position <= header.file_size) {
            store(patched.data(), offset, position - old_end + new_end);
        }
    };
    if (header.version_minor >= 3) moved(offsetof(Layout, start_of_waveform_data));
    if (header.version_minor >= 4) moved(offsetof(Layout, start_of_first_evlr));
    if (!output.write(patched.data(), public_header_size(header.version_minor), 0) || ::fsync(file.fd()) != 0) {
        return fail(detail, TOLVREN_EWRITE, errno, out_path, "writing the output failed; nothing was put in place");
    }
    file.close();

    code = place(file, out_path, identity, force, detail);
    if (code != TOLVREN_OK) return code;
    out.points = records;
    out.header_point_count = header.point_count;
    out.counts_changed = counts_changed ? 1 : 0;
    out.bytes_written = new_end + (header.file_size - old_end);
    struct stat placed;
    out.output_size = ::stat(out_path, &placed) == 0 ? static_cast<std::uint64_t>(placed.st_size) : out.bytes_written;
    if (!sync_directory(directory)) {
        return fail(detail, TOLVREN_EWRITE, errno, out_path,
                    "the output is in place, but its directory could not be synced");
    }
    return TOLVREN_OK;
}

}  // namespace

}  // namespace tolvren::las

using namespace tolvren::las;

extern "C" int tolvren_decompress(const char *in_path, const char *out_path, unsigned flags, unsigned threads,
                                  tolvren_progress_fn progress, void *user, tolvren_decompress_result *out,
                                  tolvren_detail *detail) noexcept {
    clear(detail);
    if (!in_path || !out_path || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    if ((flags & ~TOLVREN_DECOMPRESS_FORCE) != 0) {
        return fail(detail, TOLVREN_EINVAL, 0, in_path, "unknown flags %#x", flags);
    }
    try {
        return decompress(in_path, out_path, flags, threads, progress, user, *out, detail);
    } catch (const std::bad_alloc &) {
        return fail(detail, TOLVREN_ENOMEM, 0, in_path, "no memory for decompressing");
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, in_path, "an unexpected failure while decompressing");
    }
}
