// SPDX-License-Identifier: MIT
// Writes the seed inputs for the LAS file targets: a small file of every
// LASType and one of each kind of refusal.
//
//   make_seeds OUTPUT_DIR

#include "seed_support.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using tolvren_seeds::Bytes;
using tolvren_seeds::put;

// The 227-byte header that the 20 operations read, whatever the version.
Bytes header(std::uint8_t minor, std::uint8_t format) {
    Bytes h = tolvren_seeds::las_header(minor, format, tolvren_seeds::kRecordLengths[format], 227, 0.01);
    std::memcpy(&h[58], "seed", 4);  // generating software
    put<double>(h, 155, 1000.0);     // X offset
    return h;
}

// The header, then `points` records (sized for its point format 0-3) with
// varied coordinates and return numbers, then `tail` stray bytes.
Bytes las_file(Bytes bytes, int points, int tail = 0) {
    const std::size_t length = tolvren_seeds::kRecordLengths[bytes[104] & 3];
    for (int i = 0; i < points; ++i) {
        tolvren_seeds::append_record(bytes, length, 0, {i * 1000 - 7, -i * 31, 100000 * (i % 3) - 50000},
                                     static_cast<unsigned char>((i % 8) | 0x48));
    }
    bytes.insert(bytes.end(), static_cast<std::size_t>(tail), 0x5A);
    return bytes;
}

void write_seeds(tolvren_seeds::SeedDir &seeds) {
    const struct {
        std::uint8_t minor, format;
    } pairings[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}, {0, 2}, {1, 3}};
    for (const auto &p : pairings) {
        const std::string name = "v1" + std::to_string(p.minor) + "-format" + std::to_string(p.format);
        seeds.write(name + ".las", las_file(header(p.minor, p.format), 5, 3));
    }
    seeds.write("empty-points.las", las_file(header(2, 0), 0));

    // A 300-byte header (73 bytes past the 227 that are read) with one VLR.
    Bytes longer = header(2, 1);
    put<std::uint16_t>(longer, 94, 300);  // header size
    put<std::uint32_t>(longer, 96, 300);  // offset to the points
    put<std::uint32_t>(longer, 100, 1);   // number of VLRs
    longer.insert(longer.end(), 73, 0x11);
    const Bytes points = las_file(header(2, 1), 4);
    longer.insert(longer.end(), points.begin() + 227, points.end());
    seeds.write("longer-header.las", longer);

    Bytes h = header(2, 0);
    std::memcpy(h.data(), "LASE", 4);
    seeds.write("bad-signature.las", las_file(h, 1));
    h = header(2, 0);
    h[24] = 2;  // version major
    seeds.write("version-2.las", las_file(h, 1));
    seeds.write("version-1.3.las", las_file(header(3, 0), 1));
    h = header(2, 0);
    h[104] = 6;  // point format
    seeds.write("format-6.las", las_file(h, 0));
    h = header(2, 3);
    put<std::uint16_t>(h, 105, 28);  // record length
    seeds.write("length-mismatch.las", las_file(h, 1));
    h = header(2, 0);
    put<std::uint32_t>(h, 96, 100000);  // offset to the points
    seeds.write("offset-beyond-end.las", las_file(h, 2));
    const Bytes full = las_file(header(2, 0), 0);
    seeds.write("short-header.las", Bytes(full.begin(), full.begin() + 120));
    seeds.write("truncated-signature.las", Bytes(full.begin(), full.begin() + 3));
}

}  // namespace

int main(int argc, char **argv) { return tolvren_seeds::seed_main(argc, argv, "make_seeds", write_seeds); }
