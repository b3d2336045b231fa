// SPDX-License-Identifier: MIT
// Writing LAZ containers for tests, seeds and benchmarks: a range encoder
// that mirrors the library's decoder (same models, same adaptation), the
// 32-bit integer compressor the chunk table is coded with, and helpers that
// take a LAZ file apart into its chunks and put chunks together again with
// a new chunk table. The chunks themselves are never re-encoded: they are
// copied as they are, so every file made here holds real compressed points.
#ifndef TOLVREN_TESTS_LAZ_WRITER_H
#define TOLVREN_TESTS_LAZ_WRITER_H

#include "laz/arithmetic_decoder.h"
#include "laz/container.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace laz_writer {

using Bytes = std::vector<unsigned char>;
using tolvren::laz::BitModel;
using tolvren::laz::kMinLength;
using tolvren::laz::SymbolModel;

class ArithmeticEncoder {
public:
    void encode_symbol(SymbolModel &model, std::uint32_t symbol) {
        const std::uint32_t unit = length_ >> tolvren::laz::kSymbolShift;
        const std::uint32_t x = model.cumulative(symbol) * unit;
        length_ = model.is_last(symbol) ? length_ - x : model.cumulative(symbol + 1) * unit - x;
        add_to_base(x);
        if (length_ < kMinLength) renormalise();
        model.adapt(symbol);
    }
    void encode_bit(BitModel &model, std::uint32_t bit) {
        const std::uint32_t x = model.p0() * (length_ >> tolvren::laz::kBitShift);
        if (bit == 0) {
            length_ = x;
        } else {
            add_to_base(x);
            length_ -= x;
        }
        if (length_ < kMinLength) renormalise();
        model.adapt(bit);
    }
    void write_bits(unsigned bits, std::uint32_t value) {
        if (bits > 19) {
            write_bits(16, value & 0xFFFFu);
            write_bits(bits - 16, value >> 16);
            return;
        }
        length_ >>= bits;
        add_to_base(value * length_);
        if (length_ < kMinLength) renormalise();
    }
    // Ends the stream with four bytes of a value inside the interval: the
    // decoder, which starts on four bytes and reads one a renormalisation,
    // then reads exactly the bytes written.
    Bytes finish() {
        add_to_base(length_ >> 1);
        for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<unsigned char>(base_ >> shift));
        return std::move(out_);
    }

private:
    void add_to_base(std::uint32_t x) {
        const std::uint32_t before = base_;
        base_ += x;
        if (base_ < before) {
            // Carry into the bytes already written.
            for (std::size_t i = out_.size(); i-- > 0;) {
                if (++out_[i] != 0) break;
            }
        }
    }
    void renormalise() {
        do {
            out_.push_back(static_cast<unsigned char>(base_ >> 24));
            base_ <<= 8;
            length_ <<= 8;
        } while (length_ < kMinLength);
    }

    std::uint32_t base_ = 0;
    std::uint32_t length_ = 0xFFFFFFFFu;
    Bytes out_;
};

// The 32-bit integer compressor: a correction's bit length class, then the
// correction itself, as IntegerDecompressor reads them.
class IntegerCompressor {
public:
    explicit IntegerCompressor(unsigned contexts) : classes_(contexts), values_(32) {
        for (SymbolModel &model : classes_) model.init(33);
        zero_.init();
        for (unsigned k = 1; k <= 32; ++k) values_[k - 1].init(1u << (k < 8 ? k : 8));
    }
    void compress(ArithmeticEncoder &encoder, std::int32_t prediction, std::int32_t real, unsigned context) {
        const auto c = static_cast<std::int32_t>(static_cast<std::uint32_t>(real) - static_cast<std::uint32_t>(prediction));
        if (c == 0 || c == 1) {
            encoder.encode_symbol(classes_[context], 0);
            encoder.encode_bit(zero_, static_cast<std::uint32_t>(c));
            return;
        }
        if (c == INT32_MIN) {
            encoder.encode_symbol(classes_[context], 32);
            return;
        }
        const std::uint32_t magnitude = c > 0 ? static_cast<std::uint32_t>(c) - 1 : static_cast<std::uint32_t>(-c);
        unsigned k = 0;
        while (k < 32 && (magnitude >> k) != 0) ++k;
        const std::uint32_t v = c > 0 ? magnitude : static_cast<std::uint32_t>(c + static_cast<std::int32_t>((1u << k) - 1));
        encoder.encode_symbol(classes_[context], k);
        if (k <= 8) {
            encoder.encode_symbol(values_[k - 1], v);
        } else {
            encoder.encode_symbol(values_[k - 1], v >> (k - 8));
            encoder.write_bits(k - 8, v & ((1u << (k - 8)) - 1));
        }
    }

private:
    std::vector<SymbolModel> classes_;
    BitModel zero_;
    std::vector<SymbolModel> values_;
};

struct ChunkEntry {
    std::uint32_t points;
    std::uint32_t bytes;
};

// The chunk table: version 0, the number of chunks, the coded entries.
inline Bytes chunk_table(const std::vector<ChunkEntry> &entries, bool variable) {
    Bytes table(8, 0);
    const auto count = static_cast<std::uint32_t>(entries.size());
    std::memcpy(table.data() + 4, &count, 4);
    if (entries.empty()) return table;
    ArithmeticEncoder encoder;
    IntegerCompressor compressor(2);
    ChunkEntry last{0, 0};
    for (const ChunkEntry &entry : entries) {
        if (variable) {
            compressor.compress(encoder, static_cast<std::int32_t>(last.points), static_cast<std::int32_t>(entry.points), 0);
        }
        compressor.compress(encoder, static_cast<std::int32_t>(last.bytes), static_cast<std::int32_t>(entry.bytes), 1);
        last = entry;
    }
    const Bytes coded = encoder.finish();
    table.insert(table.end(), coded.begin(), coded.end());
    return table;
}

template <typename T>
T get(const Bytes &bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}
template <typename T>
void put(Bytes &bytes, std::size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A LAZ file of chunked points (compressor 2 or 3) taken apart.
struct LazParts {
    Bytes prefix;                    // header and VLRs, up to OffsetToData
    std::size_t laszip_payload = 0;  // where the LASzip VLR's payload starts
    std::vector<Bytes> chunks;
    std::vector<std::uint32_t> points;  // of each chunk
    Bytes suffix;                    // what follows the chunk table (EVLRs)
};

inline tolvren::laz::LasLayout layout_of(const Bytes &file) {
    tolvren::laz::LasLayout layout;
    layout.header_size = get<std::uint16_t>(file, 94);
    layout.offset_to_point_data = get<std::uint32_t>(file, 96);
    layout.number_of_vlrs = get<std::uint32_t>(file, 100);
    layout.point_format = file[104] & 0x3Fu;
    layout.record_length = get<std::uint16_t>(file, 105);
    layout.point_count = file[25] >= 4 ? get<std::uint64_t>(file, 247) : get<std::uint32_t>(file, 107);
    layout.region_end = file.size();
    if (file[25] >= 4 && get<std::uint32_t>(file, 243) > 0) layout.region_end = get<std::uint64_t>(file, 235);
    return layout;
}

// Splits a file whose chunk table the library reads; throws otherwise.
inline LazParts split(const Bytes &file) {
    using namespace tolvren::laz;
    const MemoryInput input(file.data(), file.size());
    const LasLayout layout = layout_of(file);
    const VlrSearch vlr = find_laszip_vlr(input, layout);
    if (!vlr.found || vlr.finding.problem != ContainerProblem::none) throw std::runtime_error("no usable LASzip VLR");
    const TableLocation where = locate_chunk_table(input, layout, vlr.vlr);
    if (where.kind != TableLocation::Kind::stored) throw std::runtime_error("no chunk table");
    LazParts parts;
    parts.prefix.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(layout.offset_to_point_data));
    parts.laszip_payload = vlr.offset + 54;
    ChunkTableReader reader;
    reader.open(input, where, vlr.vlr.variable_chunks());
    std::uint64_t start = layout.offset_to_point_data + 8;
    std::uint64_t points = 0;
    std::uint64_t bytes = 0;
    std::uint64_t left = layout.point_count;
    while (reader.next(points, bytes)) {
        if (!vlr.vlr.variable_chunks()) points = std::min<std::uint64_t>(left, vlr.vlr.chunk_size);
        parts.chunks.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(start),
                                  file.begin() + static_cast<std::ptrdiff_t>(start + bytes));
        parts.points.push_back(static_cast<std::uint32_t>(points));
        start += bytes;
        left -= std::min(left, points);
    }
    // The table's coded entries end where its decoder stopped; whatever
    // lies after them up to the point region's end belongs to nothing.
    if (layout.region_end < file.size()) {
        parts.suffix.assign(file.begin() + static_cast<std::ptrdiff_t>(layout.region_end), file.end());
    }
    return parts;
}

// Puts chunks together with a new chunk table, for fixed-size chunks of
// `chunk_size` points or (0xFFFFFFFF) chunks of varying size. The header's
// point count becomes `point_count`; EVLRs (parts.suffix) follow the table
// and the header's pointer to them moves along.
inline Bytes assemble(const LazParts &parts, std::uint32_t chunk_size, std::uint64_t point_count) {
    Bytes file = parts.prefix;
    put<std::uint32_t>(file, parts.laszip_payload + 12, chunk_size);
    const bool v14 = file[25] >= 4;
    if (v14) {
        put<std::uint64_t>(file, 247, point_count);
        if ((file[104] & 0x3Fu) >= 6) put<std::uint32_t>(file, 107, 0);
    } else {
        put<std::uint32_t>(file, 107, static_cast<std::uint32_t>(point_count));
    }
    const std::size_t position = file.size();
    file.resize(position + 8);
    std::vector<ChunkEntry> entries;
    for (std::size_t i = 0; i < parts.chunks.size(); ++i) {
        file.insert(file.end(), parts.chunks[i].begin(), parts.chunks[i].end());
        entries.push_back(ChunkEntry{parts.points[i], static_cast<std::uint32_t>(parts.chunks[i].size())});
    }
    put<std::int64_t>(file, position, static_cast<std::int64_t>(file.size()));
    const Bytes table = chunk_table(entries, chunk_size == 0xFFFFFFFFu);
    file.insert(file.end(), table.begin(), table.end());
    if (v14 && !parts.suffix.empty()) put<std::uint64_t>(file, 235, file.size());
    file.insert(file.end(), parts.suffix.begin(), parts.suffix.end());
    return file;
}

}  // namespace laz_writer

#endif  // TOLVREN_TESTS_LAZ_WRITER_H
