// update_header: recounts a LAS 1.0-1.2 file's point records and rewrites
// the eight summary fields of its header in place.
#include "tolvren_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The fields read and written here sit at the same offsets in the 1.0, 1.1
// and 1.2 layouts.
using HeaderBytes = std::array<unsigned char, kLegacyHeaderBytes>;

// LAS 1.0-1.2 point formats keep the return number in three bits.
constexpr unsigned kLegacyReturnBits = 3;

template <typename T>
T load_field(const HeaderBytes &header, std::size_t offset) {
    T value;
    std::memcpy(&value, header.data() + offset, sizeof value);
    return value;
}

template <typename T>
void store_field(HeaderBytes &header, std::size_t offset, T value) {
    std::memcpy(header.data() + offset, &value, sizeof value);
}

// Writes the counts and extents into the header bytes, leaving every other
// byte as read. Without a whole record there are no extremes: the counts
// and the six extents become 0. Return numbers 1 to 5 have a field each;
// 0, 6 and 7 count only in the total.
void store_summary(HeaderBytes &header, const PointSummary &summary) {
    store_field(header, offsetof(LAS12Header, NumberOfPointReturns), static_cast<std::uint32_t>(summary.records));
    for (std::size_t j = 0; j < 5; ++j) {
        store_field(header, offsetof(LAS12Header, NumberOfPointsByReturn) + 4 * j,
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
            const double scale = load_field<double>(header, axis.scale);
            const double offset = load_field<double>(header, axis.offset);
            max = real_coordinate(summary.max[i], scale, offset);
            min = real_coordinate(summary.min[i], scale, offset);
        }
        store_field(header, axis.max, max);
        store_field(header, axis.min, min);
    }
}

// Everything between the checks and the success line. Nothing is written
// before every check has passed, so a refused file keeps its bytes.
UpdateStatus rewrite_summary(const char *filename, std::int16_t las_type) {
    const std::size_t record_size = record_size_of(las_type);
    if (record_size == 0) return UpdateStatus::no_record_layout;

    Descriptor fd(::open(filename, O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) return UpdateStatus::cannot_open;

    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return UpdateStatus::cannot_read_header;
    const std::uint64_t file_size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    if (file_size < kLegacyHeaderBytes) return UpdateStatus::short_file;

    HeaderBytes header{};
    const long long got = read_at(fd.get(), header.data(), header.size(), 0);
    if (got < 0) return UpdateStatus::cannot_read_header;
    if (static_cast<std::size_t>(got) < header.size()) return UpdateStatus::short_file;

    // The offset is an unsigned 32-bit field: point data may start anywhere
    // up to 4 GiB. At the end of the file the point data is empty.
    const std::uint64_t offset_to_data = load_field<std::uint32_t>(header, offsetof(LAS12Header, OffsetToData));
    if (offset_to_data > file_size) return UpdateStatus::offset_beyond_end;
    const std::uint64_t data_bytes = file_size - offset_to_data;
    if (data_bytes / record_size > std::numeric_limits<std::uint32_t>::max()) return UpdateStatus::too_many_records;

    PointSummary summary;
    switch (scan_point_records(fd.get(), offset_to_data, data_bytes, record_size, kLegacyReturnBits, summary)) {
        case ScanStatus::ok:
            break;
        case ScanStatus::no_memory:
            return UpdateStatus::no_memory;
        case ScanStatus::read_error:
        case ScanStatus::canceled:
            return UpdateStatus::cannot_read_points;
    }

    store_summary(header, summary);
    // The descriptor has no buffer of its own to flush: the write hands the
    // bytes to the system, and the close reports what is left to report.
    if (!write_all_at(fd.get(), header.data(), header.size(), 0)) return UpdateStatus::cannot_write;
    if (!fd.close_checked()) return UpdateStatus::cannot_write;
    return UpdateStatus::updated;
}

}  // namespace

UpdateStatus update_header_core(const char *filename) {
    const std::int16_t las_type = check_las_core(filename);
    if (las_type < 0) return UpdateStatus::refused_by_check;
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
    const UpdateStatus status = update_header_core(filename);
    if (status != UpdateStatus::updated) {
        if (const char *message = update_message(status)) std::printf(message, filename);
        std::exit(kUpdateRefused);
    }
    std::printf(kUpdateDone, filename);
    // The line has no line end; flush so that it shows now.
    std::fflush(stdout);
}
