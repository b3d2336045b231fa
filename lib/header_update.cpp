// SPDX-License-Identifier: MIT
// update_header: recounts a LAS 1.0-1.2 file's point records and rewrites
// the eight summary fields of its header in place.
#include "tolvren_internal.h"

#include <cstdlib>
#include <cstring>

namespace tolvren::internal {

namespace {

constexpr char kUpdateNoRecordLayout[] =
    "\nCannot update header of %s: its point data format has no record layout for its LAS version\n";
constexpr char kUpdateCannotOpen[] = "\nCannot open binary file %s for header update\n\n";
constexpr char kUpdateShortFile[] = "\nCannot update header of %s: the file is shorter than a LAS header\n";
constexpr char kUpdateCannotReadHeader[] = "\nCannot read the header of %s\n";
constexpr char kUpdateOffsetBeyondEnd[] =
    "\nCannot update header of %s: offset to point data lies beyond the end of the file\n";
constexpr char kUpdateTooManyRecords[] = "\nCannot update header of %s: more than 4294967295 point records\n";
constexpr char kUpdateNoMemory[] = "\nCannot allocate memory for storing a record of information from %s\n";
constexpr char kUpdateCannotReadPoints[] = "\nCannot read the point records of %s\n";
constexpr char kUpdateCannotWrite[] = "\nCannot write the updated header of %s\n";
constexpr char kUpdateNotAsChecked[] = "\nCannot update header of %s: the file is no longer the one that was checked\n";
constexpr char kUpdateOffsetInsideHeader[] =
    "\nCannot update header of %s: offset to point data (%u) lies inside the 227-byte header\n";
constexpr char kUpdateChangedDuringScan[] =
    "\nCannot update header of %s: the file became shorter while its points were read\n";
constexpr char kUpdateCannotRestore[] =
    "\nCannot write the updated header of %s, nor write its original bytes back\n";

// The fields read and written here sit at the same offsets in the 1.0, 1.1
// and 1.2 layouts.
using HeaderBytes = std::array<unsigned char, kLegacyHeaderBytes>;

// LAS 1.0-1.2 point formats keep the return number in three bits.
constexpr unsigned kLegacyReturnBits = 3;

// Writes the counts and extents into the header bytes, leaving every other
// byte as read. Without a whole record there are no extremes: the counts
// and the six extents become 0. Return numbers 1 to 5 have a field each;
// 0, 6 and 7 count only in the total.
void store_summary(HeaderBytes &header, const PointSummary &summary) {
    store(header.data(), offsetof(LAS12Header, NumberOfPointReturns), static_cast<std::uint32_t>(summary.records));
    for (std::size_t j = 0; j < 5; ++j) {
        store(header.data(), offsetof(LAS12Header, NumberOfPointsByReturn) + 4 * j,
                    static_cast<std::uint32_t>(summary.by_return[j + 1]));
    }

    struct Axis {
        std::size_t scale, offset, max, min;
    };
    // X, Y, Z in the order of the summary's extremes.
    constexpr std::array<Axis, 3> kAxes = {{
        {offsetof(LAS12Header, XScaleFactor), offsetof(LAS12Header, XOffset), offsetof(LAS12Header, MaxX),
         offsetof(LAS12Header, MinX)},
        {offsetof(LAS12Header, YScaleFactor), offsetof(LAS12Header, YOffset), offsetof(LAS12Header, MaxY),
         offsetof(LAS12Header, MinY)},
        {offsetof(LAS12Header, ZScaleFactor), offsetof(LAS12Header, ZOffset), offsetof(LAS12Header, MaxZ),
         offsetof(LAS12Header, MinZ)},
    }};
    for (std::size_t i = 0; i < kAxes.size(); ++i) {
        const Axis &axis = kAxes[i];
        double max = 0.0;
        double min = 0.0;
        if (summary.records > 0) {
            const double scale = load<double>(header.data(), axis.scale);
            const double offset = load<double>(header.data(), axis.offset);
            max = real_coordinate(summary.max[i], scale, offset);
            min = real_coordinate(summary.min[i], scale, offset);
        }
        store(header.data(), axis.max, max);
        store(header.data(), axis.min, min);
    }
}

// The eight fields that an update rewrites, and nothing else: the counts
// (bytes 107-130) and the extents (bytes 179-226). Every other byte is left
// to whatever the file holds when the update writes, so a change another
// program made meanwhile is not reverted.
constexpr std::array<ByteRun, 2> kSummaryRuns = {{
    {offsetof(LAS12Header, NumberOfPointReturns),
     offsetof(LAS12Header, XScaleFactor) - offsetof(LAS12Header, NumberOfPointReturns)},
    {offsetof(LAS12Header, MaxX), kLegacyHeaderBytes - offsetof(LAS12Header, MaxX)},
}};

// Everything between the checks and the success line. The header is read
// through the descriptor that will write it, and classified again: a file
// replaced since check_las (a swapped link, other bytes) is refused. Nothing
// is written before every check has passed, so a refused file keeps its
// bytes; the write itself is all or nothing.
UpdateOutcome rewrite_summary(const char *filename, std::int16_t las_type) {
    const std::size_t record_size = record_size_of(las_type);
    if (record_size == 0) return {UpdateStatus::no_record_layout};

    const OpenedFile file = open_regular_file(filename, true);
    if (file.status == OpenedFile::Status::cannot_open) return {UpdateStatus::cannot_open};
    if (file.status == OpenedFile::Status::not_regular) return {UpdateStatus::not_as_checked};
    const int fd = file.fd.get();

    HeaderBytes header{};
    const long long got = read_at(fd, header.data(), header.size(), 0);
    if (got < 0) return {UpdateStatus::cannot_read_header};
    const Classification c = classify_las(header.data(), static_cast<std::size_t>(got));
    if (c.refusal != Classification::Refusal::none || c.las_type != las_type) {
        return {UpdateStatus::not_as_checked};
    }
    if (file.size < kLegacyHeaderBytes || static_cast<std::size_t>(got) < header.size()) {
        return {UpdateStatus::short_file};
    }

    // The offset is an unsigned 32-bit field: point data may start anywhere
    // from the end of the 227-byte header up to 4 GiB. At the end of the file
    // the point data is empty.
    const std::uint32_t offset_to_data = load<std::uint32_t>(header.data(), offsetof(LAS12Header, OffsetToData));
    if (offset_to_data < kLegacyHeaderBytes) return {UpdateStatus::offset_inside_header, offset_to_data};
    if (offset_to_data > file.size) return {UpdateStatus::offset_beyond_end};
    const std::uint64_t data_bytes = file.size - offset_to_data;
    if (data_bytes / record_size > std::numeric_limits<std::uint32_t>::max()) {
        return {UpdateStatus::too_many_records};
    }

    PointSummary summary;
    switch (scan_point_records(fd, offset_to_data, data_bytes, record_size, kLegacyReturnBits, summary)) {
        case ScanStatus::ok:
            break;
        case ScanStatus::no_memory:
            return {UpdateStatus::no_memory};
        case ScanStatus::read_error:
        case ScanStatus::canceled:
            return {UpdateStatus::cannot_read_points};
    }

    HeaderBytes updated = header;
    store_summary(updated, summary);
    int sys_errno = 0;
    switch (patch_runs(fd, header.data(), updated.data(), kSummaryRuns.data(), kSummaryRuns.size(),
                       offset_to_data + data_bytes, sys_errno)) {
        case PatchStatus::written:
            break;
        case PatchStatus::changed:
            return {UpdateStatus::changed_during_scan};
        case PatchStatus::write_failed:
            return {UpdateStatus::cannot_write};
        case PatchStatus::restore_failed:
            return {UpdateStatus::cannot_restore};
    }
    return {UpdateStatus::updated};
}

}  // namespace

UpdateOutcome update_header_core(const char *filename) {
    const std::int16_t las_type = check_las_core(filename);
    if (las_type < 0) return {UpdateStatus::refused_by_check};
    return rewrite_summary(filename, las_type);
}

const char *update_message(UpdateStatus status) noexcept {
    switch (status) {
        case UpdateStatus::updated:
        case UpdateStatus::refused_by_check:
            return nullptr;
        case UpdateStatus::no_record_layout:
            return kUpdateNoRecordLayout;
        case UpdateStatus::cannot_open:
            return kUpdateCannotOpen;
        case UpdateStatus::short_file:
            return kUpdateShortFile;
        case UpdateStatus::cannot_read_header:
            return kUpdateCannotReadHeader;
        case UpdateStatus::offset_beyond_end:
            return kUpdateOffsetBeyondEnd;
        case UpdateStatus::too_many_records:
            return kUpdateTooManyRecords;
        case UpdateStatus::no_memory:
            return kUpdateNoMemory;
        case UpdateStatus::cannot_read_points:
            return kUpdateCannotReadPoints;
        case UpdateStatus::cannot_write:
            return kUpdateCannotWrite;
        case UpdateStatus::not_as_checked:
            return kUpdateNotAsChecked;
        case UpdateStatus::offset_inside_header:
            return kUpdateOffsetInsideHeader;
        case UpdateStatus::changed_during_scan:
            return kUpdateChangedDuringScan;
        case UpdateStatus::cannot_restore:
            return kUpdateCannotRestore;
    }
    return nullptr;
}

}  // namespace tolvren::internal

namespace {

constexpr char kUpdateDone[] = "\rHeader of file %s has been updated    ";
constexpr int kUpdateRefused = -1;

}  // namespace

// The one place where the update ends the process: a refusal prints its
// message (check_las has printed its own) and exits with status -1.
extern "C" void update_header(const char *filename) noexcept {
    using namespace tolvren::internal;
    const UpdateOutcome outcome = update_header_core(filename);
    if (outcome.status != UpdateStatus::updated) {
        if (const char *message = update_message(outcome.status)) {
            if (outcome.status == UpdateStatus::offset_inside_header) {
                std::printf(message, filename, static_cast<unsigned>(outcome.offset_to_data));
            } else {
                std::printf(message, filename);
            }
        }
        std::exit(kUpdateRefused);
    }
    // The bytes are on the device before the success line is printed.
    std::printf(kUpdateDone, filename);
    // The line has no line end; flush so that it shows now.
    std::fflush(stdout);
}
