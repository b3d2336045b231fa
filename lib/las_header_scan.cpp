// SPDX-License-Identifier: MIT
// Header API: scanning the point records of a LAS file for their count,
// their counts by return and their extents. Compressed files go to the LAZ
// decoder (las_header_laz.cpp); the records of uncompressed ones are read
// in blocks, on several threads when asked.

#include "tolvren_internal.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tolvren::las {

namespace {

// The return number takes 3 bits of byte 14 in formats 0-5, 4 bits in 6-10.
unsigned return_bits(const tolvren_header &header) { return header.point_format >= 6 ? 4u : 3u; }

// The caller's progress callback behind the kernel's hook, which knows only
// the bytes done.
struct ProgressRelay {
    tolvren_progress_fn progress;
    void *user;
    std::uint64_t total;

    static bool report(std::uint64_t done, void *relay) {
        const auto &self = *static_cast<const ProgressRelay *>(relay);
        return self.progress(done, self.total, self.user) == 0;
    }
};

}  // namespace

unsigned thread_count(unsigned requested) noexcept {
    return std::clamp(requested, 1u, TOLVREN_MAX_THREADS);
}

int scan_fd(int fd, const tolvren_header &header, unsigned threads, tolvren_progress_fn progress, void *user,
            const char *path, tolvren_scan &out, tolvren_detail *detail, FileFindings *findings) noexcept {
    out = tolvren_scan{};
    const std::uint64_t start = header.offset_to_point_data;
    const std::uint64_t end = header.point_region_end;
    if (!header_well_formed(header)) {
        return fail(detail, TOLVREN_EINVAL, 0, path, "the header handed in is not one the reader returns");
    }
    if (header.compressed) {
        if (start > header.file_size) {
            return fail(detail, TOLVREN_ELAYOUT, 0, path, "the compressed points would start at byte %llu of a file of %llu bytes",
                        static_cast<unsigned long long>(start), static_cast<unsigned long long>(header.file_size));
        }
        return scan_compressed(fd, header, threads, progress, user, path, out, detail, findings);
    }
    if (start > end || end > header.file_size) {
        return fail(detail, TOLVREN_ELAYOUT, 0, path,
                    "the point records would run from byte %llu to %llu of a file of %llu bytes",
                    static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                    static_cast<unsigned long long>(header.file_size));
    }
    const std::uint64_t record_size = header.point_record_length;
    const std::uint64_t whole = (end - start) / record_size;
    out.region_start = start;
    out.region_end = end;
    out.remainder_bytes = (end - start) % record_size;

    // With no record to read the scan is done at once; progress still hears
    // of its end.
    if (whole == 0 && progress && progress(0, 0, user) != 0) {
        return fail(detail, TOLVREN_ECANCELED, 0, path, "the scan was stopped by its progress callback");
    }
    ProgressRelay relay{progress, user, whole * record_size};
    ScanProgress hook;
    if (progress) hook = ScanProgress{&ProgressRelay::report, &relay};
    PointSummary summary;
    switch (scan_point_records_parallel(fd, start, whole * record_size, record_size, return_bits(header),
                                        thread_count(threads), summary, hook)) {
        case ScanStatus::ok:
            break;
        case ScanStatus::read_error:
            return fail(detail, TOLVREN_EREAD, errno, path, "cannot read the point records");
        case ScanStatus::no_memory:
            return fail(detail, TOLVREN_ENOMEM, 0, path, "no memory for the scan buffer");
        case ScanStatus::canceled:
            return fail(detail, TOLVREN_ECANCELED, 0, path, "the scan was stopped by its progress callback");
    }
    if (summary.records != whole) {
        return fail(detail, TOLVREN_ECHANGED, 0, path, "the file became shorter during the scan");
    }

    summary_to_scan(header, summary, out);
    return TOLVREN_OK;
}

void summary_to_scan(const tolvren_header &header, const PointSummary &summary, tolvren_scan &out) noexcept {
    out.records = summary.records;
    std::copy(summary.by_return.begin(), summary.by_return.end(), out.return_histogram);
    // Returns 1-5 count in formats 0-5, 1-15 in formats 6-10; 0 in none.
    const std::size_t counted = header.point_format >= 6 ? 15 : 5;
    for (std::size_t slot = 0; slot < counted; ++slot) out.points_by_return[slot] = summary.by_return[slot + 1];
    if (summary.records > 0) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            out.raw_min[axis] = summary.min[axis];
            out.raw_max[axis] = summary.max[axis];
            double low = real_coordinate(summary.min[axis], header.scale[axis], header.offset[axis]);
            double high = real_coordinate(summary.max[axis], header.scale[axis], header.offset[axis]);
            // LAS does not forbid a negative scale factor: it mirrors the
            // axis, and the raw maximum is then the real minimum.
            if (header.scale[axis] < 0.0) std::swap(low, high);
            out.real_min[axis] = low;
            out.real_max[axis] = high;
        }
    }
}

}  // namespace tolvren::las

using namespace tolvren::las;

extern "C" int tolvren_scan_points(const char *path, const tolvren_header *header, tolvren_progress_fn progress,
                                   void *user, tolvren_scan *out, tolvren_detail *detail) noexcept {
    return tolvren_scan_points_mt(path, header, 1, progress, user, out, detail);
}

extern "C" int tolvren_scan_points_mt(const char *path, const tolvren_header *header, unsigned threads,
                                      tolvren_progress_fn progress, void *user, tolvren_scan *out,
                                      tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    try {
        OpenedFile file;
        tolvren_header read;
        HeaderImage image;
        const int code = header ? open_file(path, false, file, detail)
                                : open_and_read_header(path, file, read, image, detail);
        if (code != TOLVREN_OK) return code;
        if (!header) {
            header = &read;
        } else if (header->file_size != file.size) {
            return fail(detail, TOLVREN_ECHANGED, 0, path,
                        "the file holds %llu bytes, not the %llu of the header handed in",
                        static_cast<unsigned long long>(file.size),
                        static_cast<unsigned long long>(header->file_size));
        }
        return scan_fd(file.fd.get(), *header, threads, progress, user, path, *out, detail);
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while scanning");
    }
}
