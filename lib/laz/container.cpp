// SPDX-License-Identifier: MIT
// The LAZ container: the LASzip VLR and its item list, and the chunk table.
#include "laz/container.h"

#include "tolvren_internal.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace tolvren::laz {

namespace {

using internal::load;

using internal::kVlrHeaderBytes;
using internal::kVlrLengthOffset;
using internal::kVlrRecordIdOffset;
using internal::kVlrUserIdOffset;

// The payload: 34 bytes, then 6 for each item.
constexpr std::size_t kPayloadFixedBytes = 34;
constexpr std::size_t kItemBytes = 6;


std::string sentence(const char *format, unsigned long long a = 0, unsigned long long b = 0,
                     unsigned long long c = 0) {
    std::array<char, 200> text{};
    std::snprintf(text.data(), text.size(), format, a, b, c);
    return text.data();
}

const char *item_name(std::uint16_t type) {
    switch (static_cast<ItemType>(type)) {
        case ItemType::byte: return "BYTE";
        case ItemType::point10: return "POINT10";
        case ItemType::gpstime11: return "GPSTIME11";
        case ItemType::rgb12: return "RGB12";
        case ItemType::wavepacket13: return "WAVEPACKET13";
        case ItemType::point14: return "POINT14";
        case ItemType::rgb14: return "RGB14";
        case ItemType::rgbnir14: return "RGBNIR14";
        case ItemType::wavepacket14: return "WAVEPACKET14";
        case ItemType::byte14: return "BYTE14";
    }
    return "unknown";
}

// Whether an item of this type, size and version is one the format defines
// and this decoder reads. Version 2 of the layered items comes from an early
// writer and is read as version 3.
bool item_known(const Item &item) {
    const unsigned v = item.version;
    switch (static_cast<ItemType>(item.type)) {
        case ItemType::byte: return item.size >= 1 && (v == 1 || v == 2);
        case ItemType::point10: return item.size == 20 && (v == 1 || v == 2);
        case ItemType::gpstime11: return item.size == 8 && (v == 1 || v == 2);
        case ItemType::rgb12: return item.size == 6 && (v == 1 || v == 2);
        case ItemType::wavepacket13: return item.size == 29 && v == 1;
        case ItemType::point14: return item.size == 30 && v >= 2 && v <= 4;
        case ItemType::rgb14: return item.size == 6 && v >= 2 && v <= 4;
        case ItemType::rgbnir14: return item.size == 8 && v >= 2 && v <= 4;
        case ItemType::wavepacket14: return item.size == 29 && v >= 3 && v <= 4;
        case ItemType::byte14: return item.size >= 1 && v >= 2 && v <= 4;
    }
    return false;
}

// The item types, in record order, that make point format `format` with
// `extra` extra bytes (BYTE or BYTE14 last when there are any).
std::vector<std::uint16_t> standard_items(unsigned format, unsigned extra) {
    using T = ItemType;
    std::vector<T> list;
    switch (format) {
        case 0: list = {T::point10}; break;
        case 1: list = {T::point10, T::gpstime11}; break;
        case 2: list = {T::point10, T::rgb12}; break;
        case 3: list = {T::point10, T::gpstime11, T::rgb12}; break;
        case 4: list = {T::point10, T::gpstime11, T::wavepacket13}; break;
        case 5: list = {T::point10, T::gpstime11, T::rgb12, T::wavepacket13}; break;
        case 6: list = {T::point14}; break;
        case 7: list = {T::point14, T::rgb14}; break;
        case 8: list = {T::point14, T::rgbnir14}; break;
        case 9: list = {T::point14, T::wavepacket14}; break;
        default: list = {T::point14, T::rgbnir14, T::wavepacket14}; break;
    }
    if (extra > 0) list.push_back(format <= 5 ? T::byte : T::byte14);
    std::vector<std::uint16_t> types;
    for (T type : list) types.push_back(static_cast<std::uint16_t>(type));
    return types;
}

ContainerFinding problem(ContainerProblem kind, std::string message) {
    return ContainerFinding{kind, std::move(message)};
}

}  // namespace

ContainerFinding parse_laszip_vlr(const unsigned char *payload, std::size_t size, const LasLayout &layout,
                                  LaszipVlr &out) {
    out = LaszipVlr{};
    if (size < kPayloadFixedBytes) {
        return problem(ContainerProblem::vlr_malformed,
                       sentence("the LASzip VLR holds %llu bytes, fewer than the 34 of its fixed part", size));
    }
    out.compressor = load<std::uint16_t>(payload, 0);
    out.coder = load<std::uint16_t>(payload, 2);
    out.version_major = payload[4];
    out.version_minor = payload[5];
    out.version_revision = load<std::uint16_t>(payload, 6);
    out.options = load<std::uint32_t>(payload, 8);
    out.chunk_size = load<std::uint32_t>(payload, 12);
    out.special_evlr_count = load<std::int64_t>(payload, 16);
    out.special_evlr_offset = load<std::int64_t>(payload, 24);
    const std::size_t count = load<std::uint16_t>(payload, 32);
    if (size != kPayloadFixedBytes + kItemBytes * count) {
        return problem(ContainerProblem::vlr_malformed,
                       sentence("the LASzip VLR holds %llu bytes, not the %llu that its %llu items take", size,
                                kPayloadFixedBytes + kItemBytes * count, count));
    }
    if (out.compressor < 1 || out.compressor > 3) {
        return problem(ContainerProblem::vlr_malformed,
                       sentence("the LASzip VLR names compressor %llu; only 1 (point-wise), 2 (point-wise chunked) "
                                "and 3 (layered chunked) exist",
                                out.compressor));
    }
    if (out.coder != 0) {
        return problem(ContainerProblem::vlr_malformed,
                       sentence("the LASzip VLR names coder %llu; only 0 (arithmetic) exists", out.coder));
    }
    if (count == 0) return problem(ContainerProblem::vlr_malformed, "the LASzip VLR lists no items");
    out.items.resize(count);
    unsigned total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Item &item = out.items[i];
        item.type = load<std::uint16_t>(payload, kPayloadFixedBytes + kItemBytes * i);
        item.size = load<std::uint16_t>(payload, kPayloadFixedBytes + kItemBytes * i + 2);
        item.version = load<std::uint16_t>(payload, kPayloadFixedBytes + kItemBytes * i + 4);
        if (!item_known(item)) {
            std::array<char, 200> text{};
            std::snprintf(text.data(), text.size(),
                          "item %zu of the LASzip VLR (type %u %s, %u bytes, version %u) is not one this decoder "
                          "reads",
                          i, item.type, item_name(item.type), item.size, item.version);
            return problem(ContainerProblem::vlr_malformed, text.data());
        }
        total += item.size;
    }

    // The items must build exactly the records the header describes.
    const unsigned format = layout.point_format;
    const unsigned base = format < internal::kStandardRecordLengths.size() ? internal::kStandardRecordLengths[format] : 0;
    const unsigned extra = layout.record_length > base ? layout.record_length - base : 0;
    const std::vector<std::uint16_t> wanted = standard_items(format, extra);
    bool matches = wanted.size() == count;
    for (std::size_t i = 0; matches && i < count; ++i) matches = out.items[i].type == wanted[i];
    if (matches && extra > 0) matches = out.items.back().size == extra;
    if (total != layout.record_length) {
        return problem(ContainerProblem::items_mismatch,
                       sentence("the LASzip items make records of %llu bytes, the header says %llu", total,
                                layout.record_length));
    }
    if (!matches) {
        return problem(ContainerProblem::items_mismatch,
                       sentence("the LASzip items are not those of point format %llu with %llu extra bytes", format,
                                extra));
    }
    const bool layered_format = format >= 6;
    if (layered_format != out.layered()) {
        return problem(ContainerProblem::items_mismatch,
                       sentence("point format %llu does not go with compressor %llu (formats 0-5 use 1 or 2, 6-10 "
                                "use 3)",
                                format, out.compressor));
    }
    return {};
}

VlrSearch find_laszip_vlr(const Input &input, const LasLayout &layout) {
    VlrSearch search;
    Cursor cursor;
    // The VLRs lie between the header and the point data.
    const std::uint64_t end = std::min(layout.offset_to_point_data, input.size());
    cursor.open(input, layout.header_size, end);
    std::array<unsigned char, kVlrHeaderBytes> head{};
    for (std::uint64_t i = 0; i < layout.number_of_vlrs; ++i) {
        const std::uint64_t at = cursor.position();
        if (!cursor.read(head.data(), head.size())) break;
        const std::uint16_t length = load<std::uint16_t>(head.data(), kVlrLengthOffset);
        const bool is_laszip =
            std::memcmp(head.data() + kVlrUserIdOffset, kLaszipUserId, sizeof kLaszipUserId) == 0 &&
            load<std::uint16_t>(head.data(), kVlrRecordIdOffset) == kLaszipRecordId;
        if (!is_laszip) {
            cursor.skip(length);
            continue;
        }
        std::vector<unsigned char> payload(length);
        if (!cursor.read(payload.data(), payload.size())) {
            search.finding = problem(ContainerProblem::vlr_malformed,
                                     sentence("the LASzip VLR at byte %llu runs past the point data at %llu", at,
                                              layout.offset_to_point_data));
            return search;
        }
        search.found = true;
        search.offset = at;
        search.finding = parse_laszip_vlr(payload.data(), payload.size(), layout, search.vlr);
        return search;
    }
    if (cursor.status() != Stream::Status::ok) {
        search.finding = problem(ContainerProblem::read_error, "the VLRs cannot be read");
    } else {
        search.finding = problem(ContainerProblem::vlr_missing,
                                 "the point data are marked compressed, but no LASzip VLR is among the VLRs");
    }
    return search;
}

std::uint64_t smallest_chunk_bytes(const LaszipVlr &vlr, unsigned record_length) noexcept {
    return record_length + 4 + (vlr.layered() ? 4 + 4 * std::uint64_t{layer_count(vlr)} : 0);
}

std::size_t layer_count(const LaszipVlr &vlr) noexcept {
    if (!vlr.layered()) return 0;
    std::size_t layers = 0;
    for (const Item &item : vlr.items) {
        switch (static_cast<ItemType>(item.type)) {
            case ItemType::point14: layers += 9; break;
            case ItemType::rgbnir14: layers += 2; break;
            case ItemType::byte14: layers += item.size; break;
            default: layers += 1; break;
        }
    }
    return layers;
}

TableLocation locate_chunk_table(const Input &input, const LasLayout &layout, const LaszipVlr &vlr) {
    TableLocation where;
    const std::uint64_t size = input.size();
    const std::uint64_t start = layout.offset_to_point_data;
    const std::uint64_t region_end = std::min(layout.region_end, size);
    if (vlr.compressor == static_cast<std::uint16_t>(Compressor::pointwise)) {
        where.kind = TableLocation::Kind::none_needed;
        where.data_start = start;
        where.data_end = std::max(start, region_end);
        return where;
    }
    // Without a table, chunks are looked for from after the 8-byte position
    // up to the end of the point region.
    where.data_start = start + 8;
    where.data_end = std::max(where.data_start, region_end);
    std::array<unsigned char, 8> bytes{};
    if (start > size || size - start < 8 || input.read(start, bytes.data(), 8) != 8) {
        where.finding = problem(ContainerProblem::table_outside,
                                "the point data end before the position of the chunk table");
        return where;
    }
    std::int64_t stored = load<std::int64_t>(bytes.data(), 0);
    bool at_end = false;
    if (stored == -1) {
        // A writer that could not seek back appended the position as the
        // file's last 8 bytes.
        if (size < 8 || input.read(size - 8, bytes.data(), 8) != 8) {
            where.finding = problem(ContainerProblem::table_outside, "the file's last 8 bytes cannot be read");
            return where;
        }
        stored = load<std::int64_t>(bytes.data(), 0);
        at_end = true;
    }
    if (stored == static_cast<std::int64_t>(start)) {
        where.finding = problem(ContainerProblem::table_missing,
                                "the chunk table's position still points at itself: the writer stopped before "
                                "writing the table");
        return where;
    }
    const auto table = static_cast<std::uint64_t>(stored);
    if (stored < 0 || table < start + 8 || table > size || size - table < 8) {
        where.finding = problem(ContainerProblem::table_outside,
                                sentence(at_end ? "the chunk table's position %llu (from the file's last 8 bytes) "
                                                  "lies outside the point data and the file of %llu bytes"
                                                : "the chunk table's position %llu lies outside the point data and "
                                                  "the file of %llu bytes",
                                         static_cast<unsigned long long>(stored), size));
        return where;
    }
    if (input.read(table, bytes.data(), 8) != 8) {
        where.finding = problem(ContainerProblem::read_error, "the chunk table cannot be read");
        return where;
    }
    const std::uint32_t version = load<std::uint32_t>(bytes.data(), 0);
    if (version != 0) {
        where.finding = problem(ContainerProblem::table_unreadable,
                                sentence("the chunk table at byte %llu has version %llu; only 0 exists", table,
                                         version));
        return where;
    }
    where.kind = at_end ? TableLocation::Kind::stored_at_end : TableLocation::Kind::stored;
    where.offset = table;
    where.chunk_count = load<std::uint32_t>(bytes.data(), 4);
    where.data_end = table;
    return where;
}

void ChunkTableReader::open(const Input &input, const TableLocation &where, bool variable_chunks) {
    variable_ = variable_chunks;
    remaining_ = where.chunk_count;
    last_points_ = 0;
    last_bytes_ = 0;
    failed_ = false;
    entries_.init(32, 2);
    if (remaining_ == 0) return;
    // The entries have no stored length: they end where the decoder stops.
    stream_.open(input, where.offset + 8, input.size());
    decoder_.attach(stream_);
    decoder_.start();
}

bool ChunkTableReader::next(std::uint64_t &points, std::uint64_t &bytes) {
    if (remaining_ == 0 || failed_) return false;
    --remaining_;
    if (variable_) last_points_ = entries_.decompress(decoder_, last_points_, 0);
    last_bytes_ = entries_.decompress(decoder_, last_bytes_, 1);
    if (decoder_.failed()) {
        failed_ = true;
        return false;
    }
    // The entries are 32-bit counts.
    points = static_cast<std::uint32_t>(last_points_);
    bytes = static_cast<std::uint32_t>(last_bytes_);
    return true;
}

}  // namespace tolvren::laz
