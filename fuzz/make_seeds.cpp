// SPDX-License-Identifier: MIT
// Writes the seed inputs for the LAS file targets: a small file of every
// LASType and one of each kind of refusal.
//
//   make_seeds OUTPUT_DIR

#include "Tolvren_LiDAR.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct FileCloser {
    void operator()(std::FILE *fp) const noexcept { std::fclose(fp); }
};

std::uint16_t record_length_of(std::uint8_t format) {
    const std::uint16_t lengths[4] = {20, 28, 26, 34};
    return lengths[format & 3];
}

LAS12Header header(std::uint8_t minor, std::uint8_t format) {
    LAS12Header h{};
    std::memcpy(h.LASF, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = minor;
    std::memcpy(h.GeneratingSoftware, "seed", 4);
    h.HeaderSize = 227;
    h.OffsetToData = 227;
    h.PointDataFormatID = format;
    h.PointDataRecordLength = record_length_of(format);
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = 0.01;
    h.XOffset = 1000.0;
    return h;
}

// The header, then `points` records with varied coordinates and return
// numbers, then `tail` stray bytes.
Bytes las_file(const LAS12Header &h, int points, int tail = 0) {
    Bytes bytes(sizeof h);
    std::memcpy(bytes.data(), &h, sizeof h);
    const std::size_t length = record_length_of(h.PointDataFormatID);
    for (int i = 0; i < points; ++i) {
        Bytes record(length, 0);
        const std::int32_t xyz[3] = {i * 1000 - 7, -i * 31, 100000 * (i % 3) - 50000};
        std::memcpy(record.data(), xyz, sizeof xyz);
        record[14] = static_cast<unsigned char>((i % 8) | 0x48);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    bytes.insert(bytes.end(), static_cast<std::size_t>(tail), 0x5A);
    return bytes;
}

bool write(const std::string &dir, const std::string &name, const Bytes &bytes) {
    const std::string path = dir + "/" + name;
    std::unique_ptr<std::FILE, FileCloser> fp(std::fopen(path.c_str(), "wb"));
    return fp && std::fwrite(bytes.data(), 1, bytes.size(), fp.get()) == bytes.size() &&
           std::fclose(fp.release()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::printf("Usage: make_seeds OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    const struct {
        std::uint8_t minor, format;
    } pairings[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}, {0, 2}, {1, 3}};
    for (const auto &p : pairings) {
        const std::string name = "v1" + std::to_string(p.minor) + "-format" + std::to_string(p.format);
        ok &= write(dir, name + ".las", las_file(header(p.minor, p.format), 5, 3));
    }
    ok &= write(dir, "empty-points.las", las_file(header(2, 0), 0));

    LAS12Header h = header(2, 1);
    h.HeaderSize = 300;
    h.OffsetToData = 300;
    h.NumberOfVariableLengthRecords = 1;
    Bytes longer = las_file(h, 0);
    longer.insert(longer.end(), 73, 0x11);
    const Bytes points = las_file(header(2, 1), 4);
    longer.insert(longer.end(), points.begin() + 227, points.end());
    ok &= write(dir, "longer-header.las", longer);

    h = header(2, 0);
    std::memcpy(h.LASF, "LASE", 4);
    ok &= write(dir, "bad-signature.las", las_file(h, 1));
    h = header(2, 0);
    h.VersionMajor = 2;
    ok &= write(dir, "version-2.las", las_file(h, 1));
    ok &= write(dir, "version-1.3.las", las_file(header(3, 0), 1));
    h = header(2, 0);
    h.PointDataFormatID = 6;
    ok &= write(dir, "format-6.las", las_file(h, 0));
    h = header(2, 3);
    h.PointDataRecordLength = 28;
    ok &= write(dir, "length-mismatch.las", las_file(h, 1));
    h = header(2, 0);
    h.OffsetToData = 100000;
    ok &= write(dir, "offset-beyond-end.las", las_file(h, 2));
    const Bytes full = las_file(header(2, 0), 0);
    ok &= write(dir, "short-header.las", Bytes(full.begin(), full.begin() + 120));
    ok &= write(dir, "truncated-signature.las", Bytes(full.begin(), full.begin() + 3));
    return ok ? 0 : 1;
}
