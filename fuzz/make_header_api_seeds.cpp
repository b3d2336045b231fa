// SPDX-License-Identifier: MIT
// Writes the seed inputs of the header API target: small LAS 1.0-1.4 files
// with VLRs, EVLRs, extra record bytes and waveform data, some with stale
// counts and extents, one compressed, and one of each layout fault.
//
//   make_header_api_seeds OUTPUT_DIR

#include "seed_support.h"

#include <cstdint>
#include <cstring>

namespace {

using tolvren_seeds::Bytes;
using tolvren_seeds::put;

struct Seed {
    std::uint8_t minor, format;
    std::uint16_t extra = 0;
    int points = 6;
    bool evlr = false;
    bool waveform = false;
};

// Counts and extents are those of the records; the legacy fields follow
// LAS 1.4 (mirrored for formats 0-5, else 0).
Bytes las_file(const Seed &seed) {
    const std::uint16_t header = seed.minor == 4 ? 375 : seed.minor == 3 ? 235 : 227;
    const std::uint16_t length = static_cast<std::uint16_t>(tolvren_seeds::kRecordLengths[seed.format] + seed.extra);
    Bytes b = tolvren_seeds::las_header(seed.minor, seed.format, length, header, 0.5);
    for (std::uint16_t payload : {std::uint16_t{6}, std::uint16_t{0}}) {
        Bytes vlr(54 + payload, 0x31);
        put<std::uint16_t>(vlr, 20, payload);
        b.insert(b.end(), vlr.begin(), vlr.end());
    }
    put<std::uint32_t>(b, 96, static_cast<std::uint32_t>(b.size()));
    put<std::uint32_t>(b, 100, 2);
    std::uint64_t by_return[15] = {};
    std::int32_t low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    for (int i = 0; i < seed.points; ++i) {
        const std::int32_t xyz[3] = {i * 100 - 250, 7 - i * 3, (i % 3) * 40};
        const int r = 1 + i % (seed.format >= 6 ? 15 : 5);
        tolvren_seeds::append_record(b, length, 0x77, xyz, static_cast<unsigned char>(r));
        ++by_return[r - 1];
        for (int a = 0; a < 3; ++a) {
            low[a] = i == 0 || xyz[a] < low[a] ? xyz[a] : low[a];
            high[a] = i == 0 || xyz[a] > high[a] ? xyz[a] : high[a];
        }
    }
    for (std::size_t a = 0; a < 3; ++a) {
        const double offset = 1000.0 * static_cast<double>(a);
        put<double>(b, 155 + 8 * a, offset);
        put<double>(b, 179 + 16 * a, high[a] * 0.5 + offset);
        put<double>(b, 187 + 16 * a, low[a] * 0.5 + offset);
    }
    const bool mirror = seed.minor < 4 || seed.format <= 5;
    put<std::uint32_t>(b, 107, mirror ? static_cast<std::uint32_t>(seed.points) : 0);
    for (std::size_t i = 0; i < 5; ++i) put<std::uint32_t>(b, 111 + 4 * i, mirror ? static_cast<std::uint32_t>(by_return[i]) : 0);
    if (seed.waveform) {
        b[6] = 2;
        put<std::uint64_t>(b, 227, b.size());
        b.insert(b.end(), 24, 0x44);
    }
    if (seed.minor == 4) {
        put<std::uint64_t>(b, 247, static_cast<std::uint64_t>(seed.points));
        for (std::size_t i = 0; i < 15; ++i) put<std::uint64_t>(b, 255 + 8 * i, by_return[i]);
        if (seed.evlr) {
            put<std::uint64_t>(b, 235, b.size());
            put<std::uint32_t>(b, 243, 1);
            Bytes evlr(60 + 10, 0x55);
            put<std::uint64_t>(evlr, 20, 10);
            b.insert(b.end(), evlr.begin(), evlr.end());
        }
    }
    return b;
}

void write_seeds(tolvren_seeds::SeedDir &seeds) {
    seeds.write("v10-format1.las", las_file({0, 1}));
    seeds.write("v12-format3-extra.las", las_file({2, 3, 5}));
    seeds.write("v13-format4-waveform.las", las_file({3, 4, 0, 6, false, true}));
    seeds.write("v14-format1.las", las_file({4, 1}));
    seeds.write("v14-format6-evlr.las", las_file({4, 6, 0, 6, true}));
    seeds.write("v14-format10-extra-evlr.las", las_file({4, 10, 3, 6, true}));
    seeds.write("v14-no-points.las", las_file({4, 7, 0, 0}));

    Bytes stale = las_file({4, 8, 0, 6, true});
    put<std::uint64_t>(stale, 247, 2);
    put<std::uint32_t>(stale, 107, 6);
    put<double>(stale, 187, -5.0);
    seeds.write("v14-format8-stale.las", stale);
    stale = las_file({2, 1});
    put<std::uint32_t>(stale, 111, 9);
    seeds.write("v12-format1-stale.las", stale);
    Bytes compressed = las_file({4, 6, 0, 6, true});
    compressed[104] = 0x86;
    seeds.write("v14-compressed.las", compressed);
    Bytes inside = las_file({4, 6});
    put<std::uint32_t>(inside, 96, 300);
    seeds.write("v14-offset-inside-header.las", inside);
    Bytes past = las_file({4, 6, 0, 6, true});
    put<std::uint64_t>(past, 235, past.size() + 100);
    seeds.write("v14-evlr-past-end.las", past);
}

}  // namespace

int main(int argc, char **argv) {
    return tolvren_seeds::seed_main(argc, argv, "make_header_api_seeds", write_seeds);
}
