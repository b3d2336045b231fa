// SPDX-License-Identifier: MIT
// Writes a small LAS 1.2 survey file, lets the Tolvren LiDAR library check
// it and bring its header up to date, then reads the header and the points
// back and orders the points from west to east.
//
//   survey_cpp OUTPUT.las
//
// Exit status 0 when every step worked and 1 when one failed. update_header
// ends the process itself (status 255) if it cannot rewrite the file.

#include <Tolvren_LiDAR.h>

#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <numeric>
#include <optional>
#include <vector>

namespace {

// LASType that check_las reports for LAS 1.2 with point data format 0.
constexpr std::int16_t kLas12Format0 = 5;

// Raw coordinates in centimetres from the local origin set in the header,
// and the return number of each point among the returns of its pulse.
struct SamplePoint {
    std::int32_t x, y, z;
    std::uint8_t return_number, number_of_returns;
};

constexpr std::array<SamplePoint, 5> kSamples{{
    {250, 1200, 10450, 1, 2},
    {40, 300, 10020, 1, 1},
    {410, 80, 10310, 1, 1},
    {175, 960, 10105, 2, 2},
    {-30, 510, 10230, 1, 1},
}};

struct FileCloser {
    void operator()(std::FILE *fp) const noexcept { std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool write_survey(const char *path) {
    // Value-initialised: the template keeps the unused tail of its text
    // fields as it finds them, and the file should hold no stray memory.
    LAS12Header header{};
    initialize_header12(&header);
    // The template declares no point format; a file needs the format and its
    // record length. Counts and extents stay 0 for update_header to fill.
    header.PointDataFormatID = 0;
    header.PointDataRecordLength = static_cast<std::uint16_t>(sizeof(LAS12fm0));
    header.XScaleFactor = header.YScaleFactor = header.ZScaleFactor = 0.01;
    header.XOffset = 512000.0;
    header.YOffset = 4170000.0;
    header.ZOffset = 0.0;

    std::vector<LAS12fm0> points;
    for (const SamplePoint &sample : kSamples) {
        LAS12fm0 point{};
        point.X = sample.x;
        point.Y = sample.y;
        point.Z = sample.z;
        point.Intensity = static_cast<std::uint16_t>(200 + 25 * points.size());
        // Bits 0-2: return number; bits 3-5: number of returns.
        point.bitfield = static_cast<std::int8_t>(sample.return_number | (sample.number_of_returns << 3));
        point.Classification = 2;
        points.push_back(point);
    }

    std::FILE *raw = std::fopen(path, "wb");
    if (!raw) {
        std::printf("Cannot create %s\n", path);
        return false;
    }
    File fp(raw);
    bool ok = std::fwrite(&header, sizeof header, 1, fp.get()) == 1 &&
              std::fwrite(points.data(), sizeof(LAS12fm0), points.size(), fp.get()) == points.size();
    if (std::fclose(fp.release()) != 0) ok = false;
    if (!ok) std::printf("Cannot write %s\n", path);
    return ok;
}

struct Survey {
    LAS12Header header;
    std::vector<std::int32_t> x;  // raw X of every point, in file order
};

std::optional<Survey> read_survey(const char *path) {
    File fp(std::fopen(path, "rb"));
    if (!fp) {
        std::printf("Cannot open %s\n", path);
        return std::nullopt;
    }
    Survey survey{};
    bool ok = std::fread(&survey.header, sizeof survey.header, 1, fp.get()) == 1;
    const std::uint32_t points = ok ? survey.header.NumberOfPointReturns : 0;
    // A 5-point survey: a header claiming far more was not written here.
    if (points > 1000) ok = false;
    if (ok && std::fseek(fp.get(), static_cast<long>(survey.header.OffsetToData), SEEK_SET) != 0) ok = false;
    for (std::uint32_t i = 0; ok && i < points; ++i) {
        LAS12fm0 point;
        ok = std::fread(&point, sizeof point, 1, fp.get()) == 1;
        if (ok) survey.x.push_back(point.X);
    }
    if (!ok) {
        std::printf("Cannot read the header and %" PRIu32 " points of %s\n", points, path);
        return std::nullopt;
    }
    return survey;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::printf("Usage: survey_cpp OUTPUT.las\n");
        return 1;
    }
    const char *path = argv[1];

    if (!write_survey(path)) return 1;
    std::printf("Wrote %zu points to %s\n", kSamples.size(), path);

    const std::int16_t las_type = check_las(path);
    std::printf("check_las: LASType %d\n", las_type);
    if (las_type != kLas12Format0) {
        std::printf("Expected LASType %d (LAS 1.2, point data format 0)\n", kLas12Format0);
        return 1;
    }

    // Counts the points and computes the extents; its message ends without a
    // line end.
    update_header(path);
    std::printf("\n");

    std::optional<Survey> survey = read_survey(path);
    if (!survey) return 1;
    const LAS12Header &h = survey->header;
    std::printf("Point count       %" PRIu32 "\n", h.NumberOfPointReturns);
    std::printf("Points by return  %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 "\n",
                h.NumberOfPointsByReturn[0], h.NumberOfPointsByReturn[1], h.NumberOfPointsByReturn[2],
                h.NumberOfPointsByReturn[3], h.NumberOfPointsByReturn[4]);
    std::printf("X extent          %.2f to %.2f\n", h.MinX, h.MaxX);
    std::printf("Y extent          %.2f to %.2f\n", h.MinY, h.MaxY);
    std::printf("Z extent          %.2f to %.2f\n", h.MinZ, h.MaxZ);

    // Sort the X values and carry each point's record number along.
    std::vector<std::int32_t> &x = survey->x;
    std::vector<std::int32_t> order(x.size());
    std::iota(order.begin(), order.end(), 0);
    l_quicksort(x.data(), static_cast<std::int32_t>(x.size()), order.data());
    std::printf("West to east     ");
    for (std::int32_t record : order) std::printf(" %" PRId32, record);
    std::printf("\nSorted X         ");
    for (std::int32_t raw : x) std::printf(" %.2f", raw * h.XScaleFactor + h.XOffset);
    std::printf("\n");
    return 0;
}
