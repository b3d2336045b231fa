/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): the point-wise
// compressor of point formats 0-5. A chunk holds its first record raw, then
// one arithmetic-coded stream in which every later record is coded item by
// item (POINT10, then GPSTIME11, RGB12, WAVEPACKET13 and BYTE as the item
// list says), each item predicting from its own previous values.
#ifndef TOLVREN_LAZ_POINTWISE_ITEMS_H
#define TOLVREN_LAZ_POINTWISE_ITEMS_H

#include "laz/arithmetic_decoder.h"
#include "laz/byte_stream.h"
#include "laz/chunk.h"
#include "laz/container.h"

#include <memory>
#include <vector>

namespace tolvren::laz {

// One item of the record: its bytes in the record and its decoder.
class PointwiseItem {
public:
    virtual ~PointwiseItem() = default;
    // Restarts every model and takes the previous values from the item's
    // bytes of the chunk's raw first record.
    virtual void init(const unsigned char *raw) = 0;
    // Decodes the item's bytes of the next record into `out`.
    virtual void decode(ArithmeticDecoder &decoder, unsigned char *out) = 0;
};

class PointwiseChunkDecoder final : public ChunkDecoder {
public:
    // `vlr` has passed parse_laszip_vlr. May throw std::bad_alloc.
    explicit PointwiseChunkDecoder(const LaszipVlr &vlr);

    ChunkResult decode(const Input &input, const ChunkSpec &spec, RecordSink &sink) override;

private:
    struct Slot {
        std::unique_ptr<PointwiseItem> item;
        std::size_t offset;
    };
    std::vector<Slot> items_;
    std::size_t record_length_ = 0;
    Stream stream_;
    ArithmeticDecoder decoder_;
    std::vector<unsigned char> batch_;
};

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_POINTWISE_ITEMS_H
