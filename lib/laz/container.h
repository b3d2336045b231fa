/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): how a LAZ file
// holds its points. The LASzip VLR names the compressor, the chunk size and
// the items that make up a record; the point data region starts with the
// position of the chunk table and then holds the chunks, each coded on its
// own; the chunk table after the last chunk gives every chunk's size in
// bytes (and in points when chunks vary in size), itself arithmetic-coded.
//
// Every size read from the file is checked against the bytes the file holds
// before it is used, so a hostile header or table can neither make a reader
// allocate memory it claims nor loop over chunks that are not there.
#ifndef TOLVREN_LAZ_CONTAINER_H
#define TOLVREN_LAZ_CONTAINER_H

#include "laz/arithmetic_decoder.h"
#include "laz/byte_stream.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tolvren::laz {

// What the LAS header says that the container needs.
struct LasLayout {
    std::uint64_t header_size = 0;
    std::uint64_t offset_to_point_data = 0;
    std::uint64_t number_of_vlrs = 0;
    unsigned point_format = 0;     // 0-10, without the compression bits
    unsigned record_length = 0;
    std::uint64_t point_count = 0; // the 64-bit count in LAS 1.4, else the legacy one
    std::uint64_t region_end = 0;  // the first EVLR, internal waveform data or the end
};

enum class ItemType : std::uint16_t {
    byte = 0,
    point10 = 6,
    gpstime11 = 7,
    rgb12 = 8,
    wavepacket13 = 9,
    point14 = 10,
    rgb14 = 11,
    rgbnir14 = 12,
    wavepacket14 = 13,
    byte14 = 14,
};

struct Item {
    std::uint16_t type = 0;
    std::uint16_t size = 0;
    std::uint16_t version = 0;
};

enum class Compressor : std::uint16_t {
    none = 0,
    pointwise = 1,          // one chunk of every point, no chunk table
    pointwise_chunked = 2,  // formats 0-5
    layered_chunked = 3,    // formats 6-10
};

// The VLR's payload, decoded.
struct LaszipVlr {
    std::uint16_t compressor = 0;
    std::uint16_t coder = 0;
    std::uint8_t version_major = 0;
    std::uint8_t version_minor = 0;
    std::uint16_t version_revision = 0;
    std::uint32_t options = 0;
    std::uint32_t chunk_size = 0;
    std::int64_t special_evlr_count = -1;
    std::int64_t special_evlr_offset = -1;
    std::vector<Item> items;

    // 0xFFFFFFFF marks chunks of varying size; 0 is read the same way.
    bool variable_chunks() const noexcept { return chunk_size == 0 || chunk_size == 0xFFFFFFFFu; }
    bool layered() const noexcept { return compressor == static_cast<std::uint16_t>(Compressor::layered_chunked); }
};

inline constexpr char kLaszipUserId[] = "laszip encoded";
inline constexpr std::uint16_t kLaszipRecordId = 22204;

// Why a file's points cannot be decoded, or how its container is damaged.
enum class ContainerProblem {
    none,
    read_error,      // an I/O error (errno tells), or the file shrank
    vlr_missing,     // compressed, but no LASzip VLR among the VLRs
    vlr_malformed,   // a payload that cannot be read: length, compressor,
                     // coder, an item type, size or version that is not one
                     // the format defines
    items_mismatch,  // valid items that do not make the header's record
    table_missing,   // the table's position still holds its own (the writer
                     // stopped before writing the table)
    table_outside,   // the table's position lies outside the point data
    table_unreadable // a version other than 0, or entries that do not
                     // decode to chunks inside the point data
};

struct ContainerFinding {
    ContainerProblem problem = ContainerProblem::none;
    std::string message;  // one sentence
};

// The LASzip VLR of a file: found among the VLRs between the header and the
// point data. Returns vlr_missing, vlr_malformed, items_mismatch or
// read_error in `finding` (found = false only for vlr_missing and
// read_error).
struct VlrSearch {
    bool found = false;
    std::uint64_t offset = 0;  // where the VLR's header starts
    LaszipVlr vlr;
    ContainerFinding finding;
};
VlrSearch find_laszip_vlr(const Input &input, const LasLayout &layout);

// Decodes and checks a VLR payload against the point format and record
// length it must produce.
ContainerFinding parse_laszip_vlr(const unsigned char *payload, std::size_t size, const LasLayout &layout,
                                  LaszipVlr &out);

// Where the chunk table is, and whether it can be used.
struct TableLocation {
    enum class Kind {
        stored,          // at the position stored at OffsetToData
        stored_at_end,   // the position was -1 and the file's last 8 bytes
                         // give it (a writer that could not seek back)
        missing,         // no table: see ContainerProblem
        none_needed,     // the point-wise compressor 1 has no table
    };
    Kind kind = Kind::missing;
    std::uint64_t offset = 0;        // the table's first byte
    std::uint32_t chunk_count = 0;   // as the table states it
    std::uint64_t data_start = 0;    // the first chunk's first byte
    std::uint64_t data_end = 0;      // where chunks must end: the table, or
                                     // the end of the point region without one
    ContainerFinding finding;        // why there is no table
};
TableLocation locate_chunk_table(const Input &input, const LasLayout &layout, const LaszipVlr &vlr);

// The smallest number of bytes a chunk of one point can take: its raw record,
// the four bytes the decoder starts on and, in the layered compressor, its
// point count and the sizes of its layers.
std::uint64_t smallest_chunk_bytes(const LaszipVlr &vlr, unsigned record_length) noexcept;

// The number of layers of a layered chunk (9 for POINT14, then the other
// items'), 0 for the point-wise compressors.
std::size_t layer_count(const LaszipVlr &vlr) noexcept;

// Reads the chunk table's entries one after the other, as they are coded:
// the point count (chunks of varying size only) and the byte count of each
// chunk, each predicted from the previous entry's.
class ChunkTableReader {
public:
    // Prepares to read `chunk_count` entries starting at `offset` + 8.
    void open(const Input &input, const TableLocation &where, bool variable_chunks);
    // The next entry; false after the last one or when the stream fails
    // (failed() then says so).
    bool next(std::uint64_t &points, std::uint64_t &bytes);
    bool failed() const noexcept { return failed_; }
    Stream::Status stream_status() const noexcept { return decoder_.stream_status(); }
    // Where the entries read so far end: the byte after the last one the
    // decoder took.
    std::uint64_t end() const noexcept { return stream_.begin() + decoder_.consumed(); }

private:
    Stream stream_;
    ArithmeticDecoder decoder_;
    IntegerDecompressor entries_;
    std::uint32_t remaining_ = 0;
    std::int32_t last_points_ = 0;
    std::int32_t last_bytes_ = 0;
    bool variable_ = false;
    bool failed_ = false;
};

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_CONTAINER_H
