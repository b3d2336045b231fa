// SPDX-License-Identifier: MIT
// Writes the seed inputs of the LAZ target: small compressed files of every
// compressor, with fixed and varying chunk sizes, a chunk table where it
// belongs, at the end of the file or missing, and items of every type and
// version. Each chunk is a raw first record followed by bytes of a fixed
// pseudo-random sequence, which the item decoders read as coded points.
//
//   make_laz_seeds OUTPUT_DIR

#include "laz_writer.h"
#include "seed_support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

using tolvren_seeds::Bytes;
using tolvren_seeds::put;

struct Item {
    std::uint16_t type, size, version;
};

enum class Table { stored, at_end, missing, none };

struct Seed {
    std::string name;
    std::uint8_t minor, format;
    std::vector<Item> items;
    std::uint16_t compressor;
    std::uint32_t chunk_size;  // 0xFFFFFFFF: varying
    std::vector<std::uint32_t> chunk_points;
    Table table = Table::stored;
    std::size_t coded_bytes = 48;  // after each chunk's head
};

std::uint32_t state = 12345;
unsigned char next_byte() {
    state = state * 1103515245u + 12345u;
    return static_cast<unsigned char>(state >> 16);
}

std::size_t layers_of(const Seed &seed) {
    std::size_t layers = 0;
    for (const Item &item : seed.items) {
        layers += item.type == 10 ? 9 : item.type == 12 ? 2 : item.type == 14 ? item.size : 1;
    }
    return layers;
}

Bytes laz_file(const Seed &seed) {
    std::uint16_t length = 0;
    for (const Item &item : seed.items) length = static_cast<std::uint16_t>(length + item.size);
    const std::uint16_t header_size = seed.minor == 4 ? 375 : seed.minor == 3 ? 235 : 227;
    Bytes b = tolvren_seeds::las_header(seed.minor, static_cast<std::uint8_t>(seed.format | 0x80), length, header_size, 0.01);
    std::uint64_t total = 0;
    for (std::uint32_t points : seed.chunk_points) total += points;
    if (seed.minor == 4) {
        put<std::uint64_t>(b, 247, total);
    } else {
        put<std::uint32_t>(b, 107, static_cast<std::uint32_t>(total));
    }
    // The LASzip VLR.
    const std::uint16_t payload = static_cast<std::uint16_t>(34 + 6 * seed.items.size());
    Bytes vlr(54 + payload, 0);
    std::memcpy(vlr.data() + 2, "laszip encoded", 14);
    put<std::uint16_t>(vlr, 18, 22204);
    put<std::uint16_t>(vlr, 20, payload);
    put<std::uint16_t>(vlr, 54, seed.compressor);
    vlr[58] = 3;
    put<std::uint32_t>(vlr, 54 + 12, seed.chunk_size);
    put<std::int64_t>(vlr, 54 + 16, -1);
    put<std::int64_t>(vlr, 54 + 24, -1);
    put<std::uint16_t>(vlr, 54 + 32, static_cast<std::uint16_t>(seed.items.size()));
    for (std::size_t i = 0; i < seed.items.size(); ++i) {
        put<std::uint16_t>(vlr, 54 + 34 + 6 * i, seed.items[i].type);
        put<std::uint16_t>(vlr, 54 + 36 + 6 * i, seed.items[i].size);
        put<std::uint16_t>(vlr, 54 + 38 + 6 * i, seed.items[i].version);
    }
    b.insert(b.end(), vlr.begin(), vlr.end());
    put<std::uint32_t>(b, 96, static_cast<std::uint32_t>(b.size()));
    put<std::uint32_t>(b, 100, 1);

    const std::size_t position = b.size();
    if (seed.table != Table::none) b.resize(b.size() + 8);
    std::vector<laz_writer::ChunkEntry> entries;
    const std::size_t layers = layers_of(seed);
    for (std::size_t c = 0; c < seed.chunk_points.size(); ++c) {
        const std::size_t start = b.size();
        const std::int32_t xyz[3] = {1000 + static_cast<std::int32_t>(c), 2000, 300};
        tolvren_seeds::append_record(b, length, 0x11, xyz, 0x11);
        if (seed.compressor == 3) {
            // The point count, then every layer the same size.
            const std::size_t size = seed.coded_bytes / layers + 4;
            Bytes head(4 + 4 * layers, 0);
            put<std::uint32_t>(head, 0, seed.chunk_points[c]);
            for (std::size_t l = 0; l < layers; ++l) put<std::uint32_t>(head, 4 + 4 * l, static_cast<std::uint32_t>(size));
            b.insert(b.end(), head.begin(), head.end());
            for (std::size_t i = 0; i < size * layers; ++i) b.push_back(next_byte());
        } else {
            for (std::size_t i = 0; i < seed.coded_bytes; ++i) b.push_back(next_byte());
        }
        entries.push_back({seed.chunk_points[c], static_cast<std::uint32_t>(b.size() - start)});
    }
    const std::int64_t table = static_cast<std::int64_t>(b.size());
    switch (seed.table) {
        case Table::stored: put<std::int64_t>(b, position, table); break;
        case Table::at_end: put<std::int64_t>(b, position, -1); break;
        case Table::missing: put<std::int64_t>(b, position, static_cast<std::int64_t>(position)); break;
        case Table::none: break;
    }
    if (seed.table == Table::stored || seed.table == Table::at_end) {
        const Bytes coded = laz_writer::chunk_table(entries, seed.chunk_size == 0xFFFFFFFFu);
        b.insert(b.end(), coded.begin(), coded.end());
    }
    if (seed.table == Table::at_end) {
        b.resize(b.size() + 8);
        put<std::int64_t>(b, b.size() - 8, table);
    }
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    return tolvren_seeds::seed_main(argc, argv, "make_laz_seeds", [](tolvren_seeds::SeedDir &dir) {
        const std::vector<Item> format3 = {{6, 20, 2}, {7, 8, 2}, {8, 6, 2}};
        const std::vector<Seed> seeds = {
            {"pointwise-format3-fixed", 2, 3, format3, 2, 4, {4, 3}},
            {"pointwise-format3-varying", 2, 3, format3, 2, 0xFFFFFFFFu, {5, 2, 3}},
            {"pointwise-format3-table-at-end", 2, 3, format3, 2, 4, {4, 4}, Table::at_end},
            {"pointwise-format3-table-missing", 2, 3, format3, 2, 6, {6, 6}, Table::missing},
            {"pointwise-one-chunk-v1", 0, 1, {{6, 20, 1}, {7, 8, 1}}, 1, 0, {12}, Table::none, 96},
            {"pointwise-format2-byte-v1", 2, 2, {{6, 20, 1}, {8, 6, 1}, {0, 3, 1}}, 2, 8, {8}},
            {"pointwise-format5-extra", 3, 5, {{6, 20, 2}, {7, 8, 2}, {8, 6, 2}, {9, 29, 1}, {0, 2, 2}}, 2, 5, {5, 2}},
            {"layered-format6-extra", 4, 6, {{10, 30, 3}, {14, 2, 3}}, 3, 5, {5, 1}},
            {"layered-format7-v4", 4, 7, {{10, 30, 4}, {11, 6, 4}}, 3, 6, {6, 6}},
            {"layered-format10-varying", 4, 10, {{10, 30, 3}, {12, 8, 3}, {13, 29, 3}}, 3, 0xFFFFFFFFu, {7, 3}},
            {"layered-format8-table-missing", 4, 8, {{10, 30, 3}, {12, 8, 3}}, 3, 4, {4, 4}, Table::missing},
        };
        for (const Seed &seed : seeds) dir.write(seed.name, laz_file(seed));
    });
}
