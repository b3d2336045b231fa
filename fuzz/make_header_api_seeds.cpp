// SPDX-License-Identifier: MIT
// Writes the seed inputs of the header API target: small LAS 1.0-1.4 files
// with VLRs, EVLRs, extra record bytes and waveform data, some with stale
// counts and extents, one compressed, and one of each layout fault.
//
//   make_header_api_seeds OUTPUT_DIR

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

template <typename T>
void put(Bytes &bytes, std::size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

struct Seed {
    std::uint8_t minor, format;
    std::uint16_t extra = 0;
    int points = 6;
    bool evlr = false;
    bool waveform = false;
};

constexpr std::uint16_t kLengths[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

// Counts and extents are those of the records; the legacy fields follow
// LAS 1.4 (mirrored for formats 0-5, else 0).
Bytes las_file(const Seed &seed) {
    const std::size_t header = seed.minor == 4 ? 375 : seed.minor == 3 ? 235 : 227;
    Bytes b(header, 0);
    std::memcpy(b.data(), "LASF", 4);
    b[24] = 1;
    b[25] = seed.minor;
    put<std::uint16_t>(b, 94, static_cast<std::uint16_t>(header));
    for (std::uint16_t length : {std::uint16_t{6}, std::uint16_t{0}}) {
        Bytes vlr(54 + length, 0x31);
        put<std::uint16_t>(vlr, 20, length);
        b.insert(b.end(), vlr.begin(), vlr.end());
    }
    put<std::uint32_t>(b, 96, static_cast<std::uint32_t>(b.size()));
    put<std::uint32_t>(b, 100, 2);
    b[104] = seed.format;
    const std::uint16_t length = static_cast<std::uint16_t>(kLengths[seed.format] + seed.extra);
    put<std::uint16_t>(b, 105, length);
    std::uint64_t by_return[15] = {};
    std::int32_t low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    for (int i = 0; i < seed.points; ++i) {
        Bytes record(length, 0x77);
        const std::int32_t xyz[3] = {i * 100 - 250, 7 - i * 3, (i % 3) * 40};
        std::memcpy(record.data(), xyz, sizeof xyz);
        const int r = 1 + i % (seed.format >= 6 ? 15 : 5);
        record[14] = static_cast<unsigned char>(r);
        ++by_return[r - 1];
        for (int a = 0; a < 3; ++a) {
            low[a] = i == 0 || xyz[a] < low[a] ? xyz[a] : low[a];
            high[a] = i == 0 || xyz[a] > high[a] ? xyz[a] : high[a];
        }
        b.insert(b.end(), record.begin(), record.end());
    }
    for (std::size_t a = 0; a < 3; ++a) {
        const double offset = 1000.0 * static_cast<double>(a);
        put<double>(b, 131 + 8 * a, 0.5);
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

bool write(const std::string &dir, const std::string &name, const Bytes &bytes) {
    const std::string path = dir + "/" + name;
    std::unique_ptr<std::FILE, FileCloser> fp(std::fopen(path.c_str(), "wb"));
    return fp && std::fwrite(bytes.data(), 1, bytes.size(), fp.get()) == bytes.size() &&
           std::fclose(fp.release()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::printf("Usage: make_header_api_seeds OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    ok &= write(dir, "v10-format1.las", las_file({0, 1}));
    ok &= write(dir, "v12-format3-extra.las", las_file({2, 3, 5}));
    ok &= write(dir, "v13-format4-waveform.las", las_file({3, 4, 0, 6, false, true}));
    ok &= write(dir, "v14-format1.las", las_file({4, 1}));
    ok &= write(dir, "v14-format6-evlr.las", las_file({4, 6, 0, 6, true}));
    ok &= write(dir, "v14-format10-extra-evlr.las", las_file({4, 10, 3, 6, true}));
    ok &= write(dir, "v14-no-points.las", las_file({4, 7, 0, 0}));

    Bytes stale = las_file({4, 8, 0, 6, true});
    put<std::uint64_t>(stale, 247, 2);
    put<std::uint32_t>(stale, 107, 6);
    put<double>(stale, 187, -5.0);
    ok &= write(dir, "v14-format8-stale.las", stale);
    stale = las_file({2, 1});
    put<std::uint32_t>(stale, 111, 9);
    ok &= write(dir, "v12-format1-stale.las", stale);
    Bytes compressed = las_file({4, 6, 0, 6, true});
    compressed[104] = 0x86;
    ok &= write(dir, "v14-compressed.las", compressed);
    Bytes inside = las_file({4, 6});
    put<std::uint32_t>(inside, 96, 300);
    ok &= write(dir, "v14-offset-inside-header.las", inside);
    Bytes past = las_file({4, 6, 0, 6, true});
    put<std::uint64_t>(past, 235, past.size() + 100);
    ok &= write(dir, "v14-evlr-past-end.las", past);
    return ok ? 0 : 1;
}
