/* SPDX-License-Identifier: MIT */
// What the seed programs (make_seeds, make_header_api_seeds) share: a LAS
// file built in memory, its public header's common fields, point records,
// and a directory the seeds are written into.
#ifndef TOLVREN_SEED_SUPPORT_H
#define TOLVREN_SEED_SUPPORT_H

#include "fuzz_common.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tolvren_seeds {

using Bytes = std::vector<unsigned char>;

// Stores `value` little-endian at `offset`; assumes the bytes reach that far.
template <typename T>
void put(Bytes &bytes, std::size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

// The point record length of each point format, 0 to 10.
constexpr std::uint16_t kRecordLengths[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

// A public header of `size` bytes for LAS 1.`minor`: signature, version,
// header size, offset to the points (just after the header), point format,
// record length and the same scale on every axis. Every other byte is 0.
inline Bytes las_header(std::uint8_t minor, std::uint8_t format, std::uint16_t length, std::uint16_t size,
                        double scale) {
    Bytes h(size, 0);
    std::memcpy(h.data(), "LASF", 4);
    h[24] = 1;
    h[25] = minor;
    put<std::uint16_t>(h, 94, size);
    put<std::uint32_t>(h, 96, size);
    h[104] = format;
    put<std::uint16_t>(h, 105, length);
    for (std::size_t axis = 0; axis < 3; ++axis) put<double>(h, 131 + 8 * axis, scale);
    return h;
}

// Appends a point record of `length` bytes (at least 15) filled with `fill`:
// raw X, Y and Z first, and `returns` as the return byte at offset 14.
inline void append_record(Bytes &bytes, std::size_t length, unsigned char fill, const std::int32_t (&xyz)[3],
                          unsigned char returns) {
    Bytes record(length, fill);
    std::memcpy(record.data(), xyz, sizeof xyz);
    record[14] = returns;
    bytes.insert(bytes.end(), record.begin(), record.end());
}

// The output directory; remembers whether every seed was written.
class SeedDir {
public:
    explicit SeedDir(std::string dir) : dir_(std::move(dir)) {}

    void write(const std::string &name, const Bytes &bytes) {
        const std::string path = dir_ + "/" + name;
        std::unique_ptr<std::FILE, tolvren_fuzz::FileCloser> fp(std::fopen(path.c_str(), "wb"));
        ok_ = fp && std::fwrite(bytes.data(), 1, bytes.size(), fp.get()) == bytes.size() &&
              std::fclose(fp.release()) == 0 && ok_;
    }
    bool ok() const { return ok_; }

private:
    std::string dir_;
    bool ok_ = true;
};

// The programs' common main: `program OUTPUT_DIR`, then `write_seeds(dir)`.
// Exit status 0, 1 when a seed could not be written, 2 on a usage error.
template <typename WriteSeeds>
int seed_main(int argc, char **argv, const char *program, WriteSeeds write_seeds) {
    if (argc != 2) {
        std::printf("Usage: %s OUTPUT_DIR\n", program);
        return 2;
    }
    SeedDir dir(argv[1]);
    write_seeds(dir);
    return dir.ok() ? 0 : 1;
}

}  // namespace tolvren_seeds

#endif  // TOLVREN_SEED_SUPPORT_H
