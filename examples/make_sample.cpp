// SPDX-License-Identifier: MIT
// Writes a small LAS 1.2 file with point format 3: a gently sloping,
// slightly noisy surface of 20 x 16 points with first and second returns,
// GPS times and colours, georeferenced by GeoTIFF keys in NAD83 / UTM zone
// 10N with NAVD88 heights. Deterministic: the same bytes on every run.
//
// With --tiles it writes a grid of such files instead, tiles of 50 m by
// 50 m side by side (3 columns and 2 rows unless told), named
// tile_rROW_cCOLUMN.las: the tile of row 0, column 1 reaches 3 m into its
// western neighbour, and the tile of row 1, column 2 has no creation date,
// which a check warns of. examples/tiles/ holds the 3 x 2 grid; the
// benchmark of `tolvren index` writes 100 x 100.
//
//   make_sample OUTPUT.las
//   make_sample --tiles DIRECTORY [COLUMNS ROWS]

#include "Tolvren_LiDAR.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kColumns = 20;
constexpr int kRows = 16;

// The tiles of --tiles: their corner in metres, their side, the spacing of
// their points and how far the overlapping tile reaches west.
constexpr double kTilesX = 512000.0;
constexpr double kTilesY = 4170100.0;
constexpr int kTileCentimetres = 5000;
constexpr int kTileSpacing = 500;
constexpr int kOverlapCentimetres = 300;

// A VLR: a 54-byte header (reserved 0, user id, record id, length,
// description) and its data.
std::vector<unsigned char> vlr(const char *user_id, std::uint16_t record_id, const char *description,
                               const std::vector<unsigned char> &data) {
    std::vector<unsigned char> bytes(54 + data.size(), 0);
    std::memcpy(&bytes[2], user_id, std::strlen(user_id));
    std::memcpy(&bytes[18], &record_id, 2);
    const auto length = static_cast<std::uint16_t>(data.size());
    std::memcpy(&bytes[20], &length, 2);
    std::memcpy(&bytes[22], description, std::strlen(description));
    std::copy(data.begin(), data.end(), bytes.begin() + 54);
    return bytes;
}

// The CRS as GeoTIFF keys: the key directory (version 1.1.0, then id,
// location, count, value of each key) and the text its citation points at.
std::vector<unsigned char> crs_records() {
    constexpr char kCitation[] = "NAD83 / UTM zone 10N + NAVD88 height|";
    constexpr std::uint16_t kCitationLength = sizeof kCitation - 1;
    const std::uint16_t keys[] = {
        1, 1, 0, 7,                           // directory header: 7 keys
        1024, 0, 1, 1,                        // GTModelTypeGeoKey: projected
        1025, 0, 1, 1,                        // GTRasterTypeGeoKey: pixel is area
        1026, 34737, kCitationLength, 0,      // GTCitationGeoKey
        3072, 0, 1, 26910,                    // ProjectedCSTypeGeoKey: NAD83 / UTM zone 10N
        3076, 0, 1, 9001,                     // ProjLinearUnitsGeoKey: metre
        4096, 0, 1, 5703,                     // VerticalCSTypeGeoKey: NAVD88 height
        4099, 0, 1, 9001,                     // VerticalUnitsGeoKey: metre
    };
    std::vector<unsigned char> directory(sizeof keys);
    std::memcpy(directory.data(), keys, sizeof keys);
    std::vector<unsigned char> records = vlr("LASF_Projection", 34735, "GeoTIFF GeoKeyDirectoryTag", directory);
    const std::vector<unsigned char> ascii =
        vlr("LASF_Projection", 34737, "GeoTIFF GeoAsciiParamsTag",
            std::vector<unsigned char>(kCitation, kCitation + kCitationLength));
    records.insert(records.end(), ascii.begin(), ascii.end());
    return records;
}

struct FileCloser {
    void operator()(std::FILE *fp) const noexcept { std::fclose(fp); }
};

// A small linear congruential generator: portable, fixed sequence.
struct Noise {
    std::uint32_t state = 20261208u;
    int next(int spread) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 16) % static_cast<std::uint32_t>(2 * spread + 1)) - spread;
    }
};

// One point of the surface at raw X and Y (centimetres from the offset).
LAS12fm3 surface_point(Noise &noise, std::int32_t x, std::int32_t y, int index) {
    LAS12fm3 p{};
    p.X = x;
    p.Y = y;
    p.Z = 10000 + (3 * x + 4 * y) / 40 + noise.next(20);
    p.Intensity = static_cast<std::uint16_t>(300 + noise.next(200));
    const bool second_return = index % 7 == 3;
    p.bitfield = static_cast<std::int8_t>(second_return ? 2 | (2 << 3) : 1 | (1 << 3));
    p.Classification = second_return ? 5 : 2;
    p.ScanAngleRank = static_cast<std::uint8_t>(index % 20);
    p.PointSourceID = 1;
    p.GPSTime = 400000.0 + 0.001 * index;
    p.Red = static_cast<std::uint16_t>(20000 + 1000 * (index % 8));
    p.Green = static_cast<std::uint16_t>(30000 + 800 * (index / 8 % 8));
    p.Blue = 25000;
    return p;
}

// The points of one tile: every 5 m from edge to edge, the inner ones a
// little off the grid, so that the header's box is the tile's.
std::vector<LAS12fm3> make_tile_points(int column, int row) {
    std::vector<LAS12fm3> points;
    Noise noise;
    noise.state += static_cast<std::uint32_t>(1000 * row + column);
    const int west = row == 0 && column == 1 ? -kOverlapCentimetres : 0;
    for (int y = 0; y <= kTileCentimetres; y += kTileSpacing) {
        for (int grid_x = 0; grid_x <= kTileCentimetres; grid_x += kTileSpacing) {
            const int x = grid_x == 0 ? west : grid_x;
            const bool edge = grid_x == 0 || y == 0 || grid_x == kTileCentimetres || y == kTileCentimetres;
            points.push_back(surface_point(noise, x + (edge ? 0 : noise.next(100)), y + (edge ? 0 : noise.next(100)),
                                           static_cast<int>(points.size())));
        }
    }
    return points;
}

std::vector<LAS12fm3> make_points() {
    std::vector<LAS12fm3> points;
    Noise noise;
    for (int row = 0; row < kRows; ++row) {
        for (int col = 0; col < kColumns; ++col) {
            LAS12fm3 p{};
            // Raw coordinates in centimetres: a 2 m grid on a slope.
            p.X = 200 * col + noise.next(30);
            p.Y = 200 * row + noise.next(30);
            p.Z = 10000 + 15 * col + 8 * row + noise.next(20);
            p.Intensity = static_cast<std::uint16_t>(300 + noise.next(200));
            const bool second_return = (row * kColumns + col) % 7 == 3;
            p.bitfield = static_cast<std::int8_t>(second_return ? 2 | (2 << 3) : 1 | (1 << 3));
            p.Classification = second_return ? 5 : 2;
            p.ScanAngleRank = static_cast<std::uint8_t>(col);
            p.PointSourceID = 1;
            p.GPSTime = 400000.0 + 0.001 * (row * kColumns + col);
            p.Red = static_cast<std::uint16_t>(20000 + 1000 * (col % 8));
            p.Green = static_cast<std::uint16_t>(30000 + 800 * (row % 8));
            p.Blue = 25000;
            points.push_back(p);
        }
    }
    return points;
}

LAS12Header make_header(const std::vector<LAS12fm3> &points, std::size_t vlr_bytes, double x_offset = 512000.0,
                        double y_offset = 4170000.0) {
    LAS12Header h{};
    std::memcpy(h.LASF, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = 2;
    const std::array<std::uint8_t, 8> guid4 = {'S', 'A', 'M', 'P', 'L', 'E', '0', '1'};
    h.GUIDData1 = 20261208u;
    h.GUIDData2 = 12;
    h.GUIDData3 = 8;
    std::memcpy(h.GUIDData4, guid4.data(), guid4.size());
    std::strncpy(h.SystemIdentifier, "EXTRACTION", sizeof h.SystemIdentifier);
    std::strncpy(h.GeneratingSoftware, "Tolvren LiDAR Utilities", sizeof h.GeneratingSoftware);
    h.FileCreationDay = 342;
    h.FileCreationYear = 2026;
    h.HeaderSize = sizeof(LAS12Header);
    h.OffsetToData = static_cast<std::uint32_t>(sizeof(LAS12Header) + vlr_bytes);
    h.NumberOfVariableLengthRecords = 2;
    h.PointDataFormatID = 3;
    h.PointDataRecordLength = sizeof(LAS12fm3);
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 0.01;
    h.XOffset = x_offset;
    h.YOffset = y_offset;
    h.ZOffset = 0.0;

    std::uint32_t by_return[5] = {};
    std::int32_t min_x = std::numeric_limits<std::int32_t>::max(), max_x = std::numeric_limits<std::int32_t>::min();
    std::int32_t min_y = min_x, max_y = max_x, min_z = min_x, max_z = max_x;
    for (const LAS12fm3 &p : points) {
        const int return_number = p.bitfield & 7;
        if (return_number >= 1 && return_number <= 5) ++by_return[return_number - 1];
        min_x = std::min(min_x, p.X), max_x = std::max(max_x, p.X);
        min_y = std::min(min_y, p.Y), max_y = std::max(max_y, p.Y);
        min_z = std::min(min_z, p.Z), max_z = std::max(max_z, p.Z);
    }
    h.NumberOfPointReturns = static_cast<std::uint32_t>(points.size());
    std::memcpy(h.NumberOfPointsByReturn, by_return, sizeof by_return);
    h.MinX = min_x * h.XScaleFactor + h.XOffset;
    h.MaxX = max_x * h.XScaleFactor + h.XOffset;
    h.MinY = min_y * h.YScaleFactor + h.YOffset;
    h.MaxY = max_y * h.YScaleFactor + h.YOffset;
    h.MinZ = min_z * h.ZScaleFactor + h.ZOffset;
    h.MaxZ = max_z * h.ZScaleFactor + h.ZOffset;
    return h;
}

bool write_las(const char *path, const LAS12Header &header, const std::vector<unsigned char> &records,
               const std::vector<LAS12fm3> &points) {
    std::unique_ptr<std::FILE, FileCloser> fp(std::fopen(path, "wb"));
    if (!fp || std::fwrite(&header, sizeof header, 1, fp.get()) != 1 ||
        std::fwrite(records.data(), 1, records.size(), fp.get()) != records.size() ||
        std::fwrite(points.data(), sizeof(LAS12fm3), points.size(), fp.get()) != points.size() ||
        std::fclose(fp.release()) != 0) {
        std::printf("Cannot write %s\n", path);
        return false;
    }
    return true;
}

// The grid of --tiles, each tile with its corner as its offset.
int write_tiles(const std::string &directory, int columns, int rows) {
    const std::vector<unsigned char> records = crs_records();
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const std::vector<LAS12fm3> points = make_tile_points(column, row);
            LAS12Header header = make_header(points, records.size(), kTilesX + kTileCentimetres / 100.0 * column,
                                             kTilesY + kTileCentimetres / 100.0 * row);
            header.FileSourceID = static_cast<std::uint16_t>(row * columns + column + 1);
            if (row == 1 && column == 2) header.FileCreationDay = header.FileCreationYear = 0;
            const std::string path =
                directory + "/tile_r" + std::to_string(row) + "_c" + std::to_string(column) + ".las";
            if (!write_las(path.c_str(), header, records, points)) return 1;
        }
    }
    std::printf("Wrote %d tiles into %s\n", columns * rows, directory.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && std::string(argv[1]) == "--tiles" && (argc == 3 || argc == 5)) {
        const int columns = argc == 5 ? std::atoi(argv[3]) : 3, rows = argc == 5 ? std::atoi(argv[4]) : 2;
        if (columns >= 1 && rows >= 1 && columns <= 1000 && rows <= 1000) return write_tiles(argv[2], columns, rows);
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::printf("Usage: make_sample OUTPUT.las\n       make_sample --tiles DIRECTORY [COLUMNS ROWS]\n");
        return 1;
    }
    const std::vector<LAS12fm3> points = make_points();
    const std::vector<unsigned char> records = crs_records();
    if (!write_las(argv[1], make_header(points, records.size()), records, points)) return 1;
    std::printf("Wrote %s: %zu points\n", argv[1], points.size());
    return 0;
}
