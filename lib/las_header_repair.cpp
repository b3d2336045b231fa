// SPDX-License-Identifier: MIT
// Header API: repairing the count and extent fields of a LAS file in place.
//
// The repair reads everything first and decides what to write from the
// header and one scan of the point records; any doubt about the file's
// layout refuses before a byte is written. It then composes the new header
// in memory and writes the bytes from the first changed field to the last in
// one write (the unchanged bytes between them as the file holds them), so
// that no signal can leave some fields old and others new, and syncs before
// it reports success. That write, write_header_span, also writes the fields
// that tolvren_set_fields sets.

#include "tolvren_internal.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

namespace tolvren::las {

namespace {

using Layout = PublicHeaderLayout;

static_assert(1 + 15 + 1 + 5 + 6 <= TOLVREN_MAX_CHANGES, "every repairable field fits in a result");
static_assert(TOLVREN_MAX_WALKED_RECORDS == 65536, "a refusal names the limit of the walks");

}  // namespace

const char *layout_doubt(const tolvren_header &h) {
    const std::uint64_t offset = h.offset_to_point_data;
    if (offset < h.header_size) return "OffsetToData lies inside the header";
    if (offset > h.file_size) return "OffsetToData lies beyond the end of the file";
    if (h.vlr_problem == TOLVREN_WALK_TOO_MANY || h.evlr_problem == TOLVREN_WALK_TOO_MANY) {
        return "the header counts more VLRs or EVLRs than the 65536 of each that are walked";
    }
    // OffsetToData lies in the file here, so it is the limit the VLRs break.
    if (h.vlr_problem != TOLVREN_WALK_OK) return "the VLRs run past OffsetToData";
    if (h.evlr_problem != TOLVREN_WALK_OK) {
        return h.start_of_first_evlr < offset || h.start_of_first_evlr < h.header_size
                   ? "the first EVLR starts before the point data"
                   : "the EVLRs run past the end of the file";
    }
    if (waveform_in_file(h) && h.start_of_waveform_data < offset) {
        return "the waveform data said to be in the file start before the point data";
    }
    if (waveform_in_file(h) && h.start_of_waveform_data > h.file_size) {
        return "the waveform data said to be in the file start beyond its end";
    }
    if (!h.compressed && h.point_region_end != h.file_size &&
        (h.point_region_end - offset) % h.point_record_length != 0) {
        return "the first EVLR or the waveform data start inside a point record";
    }
    return nullptr;
}

std::vector<CountField> count_fields(const tolvren_header &h, const tolvren_scan &scan) {
    std::vector<CountField> fields;
    const auto add = [&fields](int field, int index, std::size_t offset, std::size_t size, std::uint64_t value) {
        fields.push_back(CountField{field, index, offset, size, value});
    };
    if (h.version_minor < 4) {
        add(TOLVREN_FIELD_POINT_COUNT, 0, offsetof(Layout, legacy_point_count), 4, scan.records);
        for (int i = 0; i < 5; ++i) {
            add(TOLVREN_FIELD_POINTS_BY_RETURN, i,
                offsetof(Layout, legacy_points_by_return) + 4 * static_cast<std::size_t>(i), 4,
                scan.points_by_return[i]);
        }
        return fields;
    }
    add(TOLVREN_FIELD_POINT_COUNT, 0, offsetof(Layout, point_count), 8, scan.records);
    for (int i = 0; i < 15; ++i) {
        add(TOLVREN_FIELD_POINTS_BY_RETURN, i, offsetof(Layout, points_by_return) + 8 * static_cast<std::size_t>(i),
            8, scan.points_by_return[i]);
    }
    // The six legacy fields as a group: the mirror where LAS 1.4 asks for
    // one; elsewhere zeros, unless they already hold a correct mirror.
    const bool mirror = legacy_must_mirror(h, scan.records);
    if (!mirror && judge_legacy(h, scan.records, scan.points_by_return) == Legacy::mirrored) return fields;
    add(TOLVREN_FIELD_LEGACY_POINT_COUNT, 0, offsetof(Layout, legacy_point_count), 4, mirror ? scan.records : 0);
    for (int i = 0; i < 5; ++i) {
        add(TOLVREN_FIELD_LEGACY_POINTS_BY_RETURN, i,
            offsetof(Layout, legacy_points_by_return) + 4 * static_cast<std::size_t>(i), 4,
            mirror ? scan.points_by_return[i] : 0);
    }
    return fields;
}

namespace {

// The new values, the list of changes and the byte ranges they cover.
class Plan {
public:
    Plan(const HeaderImage &original, tolvren_repair_result &out) : updated_(original), out_(out) {}

    // Sets an unsigned count field of type T at `offset` to `value`,
    // recording the change when it differs.
    template <typename T>
    void count(int field, int index, std::size_t offset, std::uint64_t value) {
        const T old = load<T>(updated_.data(), offset);
        if (old == value) return;
        store(updated_.data(), offset, static_cast<T>(value));
        tolvren_change &change = next(field, index, offset, sizeof(T));
        change.old_count = old;
        change.new_count = value;
    }

    // Sets an extent field to `value`, recording the change when its bits
    // differ.
    void extent(int field, int index, std::size_t offset, double value) {
        const double old = load<double>(updated_.data(), offset);
        if (std::memcmp(&old, &value, sizeof value) == 0) return;
        store(updated_.data(), offset, value);
        tolvren_change &change = next(field, index, offset, sizeof(double));
        change.is_real = 1;
        change.old_real = old;
        change.new_real = value;
    }

    const HeaderImage &updated() const { return updated_; }
    // The bytes from the first changed field to the end of the last; empty
    // when nothing changes.
    ByteRun span() const { return out_.count == 0 ? ByteRun{0, 0} : ByteRun{first_, end_ - first_}; }

private:
    tolvren_change &next(int field, int index, std::size_t offset, std::size_t size) {
        first_ = out_.count == 0 ? offset : std::min(first_, offset);
        end_ = std::max(end_, offset + size);
        tolvren_change &change = out_.changes[out_.count++];
        change.field = field;
        change.index = index;
        return change;
    }

    HeaderImage updated_;
    tolvren_repair_result &out_;
    std::size_t first_ = 0;
    std::size_t end_ = 0;
};

void plan_counts(const tolvren_header &h, const tolvren_scan &scan, Plan &plan) {
    for (const CountField &f : count_fields(h, scan)) {
        if (f.size == sizeof(std::uint32_t)) {
            plan.count<std::uint32_t>(f.field, f.index, f.offset, f.value);
        } else {
            plan.count<std::uint64_t>(f.field, f.index, f.offset, f.value);
        }
    }
}

// The first axis whose extents the repair would leave crossed (min above
// max, or a NaN) in a file with points because its scale or offset gives no
// coordinate, or its points' coordinates lie beyond the doubles; -1 when
// there is none. Its check would still fail, so the repair refuses.
int unmendable_axis(const tolvren_header &h, const tolvren_scan &scan) {
    if (scan.records == 0) return -1;
    for (std::size_t a = 0; a < 3; ++a) {
        if (!scanned_extents_usable(h, scan, a) && !(h.min[a] <= h.max[a])) return static_cast<int>(a);
    }
    return -1;
}

void plan_extents(const tolvren_header &h, const tolvren_scan &scan, Plan &plan) {
    // Without a record there is no extent to compare with; a scale or offset
    // that makes no coordinate, or extents beyond the doubles, give none to
    // write (the check reports them).
    if (scan.records == 0) return;
    for (int axis = 0; axis < 3; ++axis) {
        const std::size_t a = static_cast<std::size_t>(axis);
        if (!scanned_extents_usable(h, scan, a)) continue;
        // The scan gives the extremes in order, whatever the sign of the
        // scale. Each side is mended when it lies more than half a scale
        // step from the points'; both are when what would be left still
        // crosses: a min above its max by less than half a step, or a NaN
        // side mended past a kept one.
        const double low = scan.real_min[a];
        const double high = scan.real_max[a];
        bool mend_min = extent_off(h.min[a], low, h.scale[a]);
        bool mend_max = extent_off(h.max[a], high, h.scale[a]);
        if (!((mend_min ? low : h.min[a]) <= (mend_max ? high : h.max[a]))) mend_min = mend_max = true;
        if (mend_min) plan.extent(TOLVREN_FIELD_MIN, axis, min_offset(a), low);
        if (mend_max) plan.extent(TOLVREN_FIELD_MAX, axis, max_offset(a), high);
    }
}

int repair(const char *path, unsigned flags, unsigned threads, tolvren_progress_fn progress, void *user,
           tolvren_repair_result &out, tolvren_detail *detail) {
    out = tolvren_repair_result{};
    OpenedFile file;
    tolvren_header header;
    HeaderImage original;
    int code = open_and_read_header(path, file, header, original, detail);
    if (code != TOLVREN_OK) return code;
    if (const char *doubt = layout_doubt(header)) {
        return fail(detail, TOLVREN_ELAYOUT, 0, path, "%s; the file is left untouched", doubt);
    }
    auto too_many = [&](std::uint64_t records) {
        return fail(detail, TOLVREN_ETOOMANYPOINTS, 0, path,
                    "%llu point records are more than a LAS 1.%u header can count; the file is left untouched",
                    static_cast<unsigned long long>(records), header.version_minor);
    };
    constexpr std::uint64_t kMostLegacyRecords = std::numeric_limits<std::uint32_t>::max();
    if (!header.compressed) {
        const std::uint64_t whole =
            (header.point_region_end - header.offset_to_point_data) / header.point_record_length;
        if (header.version_minor < 4 && whole > kMostLegacyRecords) return too_many(whole);
    }
    FileFindings findings;
    code = scan_fd(file.fd.get(), header, threads, progress, user, path, out.scan, detail, &findings);
    if (code == TOLVREN_ECORRUPT || code == TOLVREN_ECOMPRESSED) {
        const std::string why = detail ? detail->message : "";
        return fail(detail, code, 0, nullptr, "%s; the file is left untouched", why.c_str());
    }
    if (code != TOLVREN_OK) return code;
    // A chunk table that is missing or contradicts the chunks cannot be
    // mended by rewriting the header: readers would still go astray.
    for (const FileFinding &finding : findings) {
        if (finding.severity == TOLVREN_ERROR) {
            return fail(detail, TOLVREN_ECORRUPT, 0, path, "%s; the file is left untouched", finding.message.c_str());
        }
    }
    if (header.compressed && header.version_minor < 4 && out.scan.records > kMostLegacyRecords) {
        return too_many(out.scan.records);
    }
    if (const int axis = unmendable_axis(header, out.scan); axis >= 0) {
        const auto a = static_cast<std::size_t>(axis);
        return fail(detail, TOLVREN_EEXTENT, 0, path,
                    "%s, and its scale factor %s and offset %s give no coordinate to mend it with; the file is "
                    "left untouched",
                    crossed_extent(a, header.min[a], header.max[a]).c_str(), double_text(header.scale[a]).c_str(),
                    double_text(header.offset[a]).c_str());
    }

    Plan plan(original, out);
    plan_counts(header, out.scan, plan);
    plan_extents(header, out.scan, plan);
    if (out.count == 0 || (flags & TOLVREN_REPAIR_DRY_RUN) != 0) return TOLVREN_OK;
    code = write_header_span(path, file, header, original, plan.updated(), plan.span(), {"the repair", "repaired"},
                             detail);
    // After a failed restore the header holds some of the new bytes.
    if (code == TOLVREN_OK || code == TOLVREN_EWRITERESTORE) out.written = 1;
    return code;
}

// Whether the descriptor opened for writing still shows the file that was
// read: the same file (not one renamed over it), the same length, the same
// header bytes. Any difference means another program is at work on it, and
// the values to write may no longer be right.
int recheck(int read_fd, int write_fd, std::uint64_t size, const HeaderImage &original, std::size_t header_bytes,
            const WriteWords &words, const char *path, tolvren_detail *detail) noexcept {
    struct stat read_info;
    struct stat write_info;
    if (::fstat(read_fd, &read_info) != 0 || ::fstat(write_fd, &write_info) != 0) {
        return fail(detail, TOLVREN_EREAD, errno, path, "cannot examine the file before writing");
    }
    if (read_info.st_dev != write_info.st_dev || read_info.st_ino != write_info.st_ino) {
        return fail(detail, TOLVREN_ECHANGED, 0, path, "the file was replaced during %s; nothing was written",
                    words.call);
    }
    HeaderImage now{};
    const long long got = read_at(write_fd, now.data(), header_bytes, 0);
    if (got < 0) return fail(detail, TOLVREN_EREAD, errno, path, "cannot read the header again before writing");
    if (write_info.st_size < 0 || static_cast<std::uint64_t>(write_info.st_size) != size ||
        static_cast<std::size_t>(got) != header_bytes || std::memcmp(now.data(), original.data(), header_bytes) != 0) {
        return fail(detail, TOLVREN_ECHANGED, 0, path,
                    "the file changed during %s (its length or header); nothing was written", words.call);
    }
    return TOLVREN_OK;
}

}  // namespace

int write_header_span(const char *path, const OpenedFile &read, const tolvren_header &header,
                      const HeaderImage &original, const HeaderImage &updated, ByteRun span, const WriteWords &words,
                      tolvren_detail *detail) noexcept {
    OpenedFile file;
    int code = open_file(path, true, file, detail);
    if (code != TOLVREN_OK) return code;
    code = recheck(read.fd.get(), file.fd.get(), read.size, original, public_header_size(header.version_minor), words,
                   path, detail);
    if (code != TOLVREN_OK) return code;
    int error = 0;
    switch (patch_span(file.fd.get(), original.data(), updated.data(), span, read.size, error)) {
        case PatchStatus::written:
            return TOLVREN_OK;
        case PatchStatus::changed:
            return fail(detail, TOLVREN_ECHANGED, 0, path, "the file became shorter during %s; nothing was written",
                        words.call);
        case PatchStatus::write_failed:
            return fail(detail, TOLVREN_EWRITE, error, path,
                        "writing the %s header failed; the header holds its original bytes", words.header);
        case PatchStatus::restore_failed:
            break;
    }
    return fail(detail, TOLVREN_EWRITERESTORE, error, path,
                "writing the %s header failed and so did writing the original bytes back: the header may be damaged",
                words.header);
}

}  // namespace tolvren::las

using namespace tolvren::las;

extern "C" int tolvren_repair(const char *path, unsigned flags, tolvren_progress_fn progress, void *user,
                              tolvren_repair_result *out, tolvren_detail *detail) noexcept {
    return tolvren_repair_mt(path, flags, 1, progress, user, out, detail);
}

extern "C" int tolvren_repair_mt(const char *path, unsigned flags, unsigned threads, tolvren_progress_fn progress,
                                 void *user, tolvren_repair_result *out, tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    if ((flags & ~TOLVREN_REPAIR_DRY_RUN) != 0) {
        return fail(detail, TOLVREN_EINVAL, 0, path, "unknown flags %#x", flags);
    }
    try {
        return repair(path, flags, threads, progress, user, *out, detail);
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while repairing");
    }
}
