/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): the layered
// compressor of point formats 6-10. A chunk holds its first record raw, its
// point count, the byte size of every layer, then the layers: POINT14 codes
// its fields in nine layers (channel, returns and X/Y first; then Z,
// classification, flags, intensity, scan angle, user data, point source and
// GPS time), RGB14 in one, RGBNIR14 in two, WAVEPACKET14 in one and BYTE14
// in one per extra byte. Each layer has its own arithmetic decoder, so a
// reader may skip any layer it does not need by its byte size.
//
// Which layers a caller may skip: every layer but channel_returns_XY can be
// skipped without changing the others, because every layer depends only on
// itself and on what that first layer decodes (return numbers, the changed
// bits, the scanner channel and its context switches). The Z layer is
// decoded in step with it (its contexts use the X and Y correction classes).
// A skipped layer behaves as an empty one: its fields keep the value of the
// context's last point.
#ifndef TOLVREN_LAZ_LAYERED_ITEMS_H
#define TOLVREN_LAZ_LAYERED_ITEMS_H

#include "laz/arithmetic_decoder.h"
#include "laz/byte_stream.h"
#include "laz/chunk.h"
#include "laz/container.h"

#include <memory>
#include <vector>

namespace tolvren::laz {

// Which layers to decode.
enum class LayerChoice {
    all,          // every layer: the records are complete
    coordinates,  // only channel_returns_XY and Z: X, Y, Z, the return
                  // number and the number of returns (byte 14) and the
                  // scanner channel are exact; every other field keeps the
                  // value of the first point of its context
};

// One layer of a chunk: where its bytes are and, when it is decoded, its
// own arithmetic decoder over them.
struct Layer {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    bool active = false;
    Stream stream;
    ArithmeticDecoder decoder;
};

// An item after POINT14 (RGB14, RGBNIR14, BYTE14, WAVEPACKET14).
class LayeredItem {
public:
    virtual ~LayeredItem() = default;
    virtual std::size_t layers() const noexcept = 0;
    // Starts the chunk from the item's bytes of the raw first record, in
    // context `context` (the first point's scanner channel).
    virtual void init(const unsigned char *raw, Layer *layers, unsigned context) = 0;
    // Decodes the next record's bytes with the context number POINT14 left.
    virtual void decode(unsigned context, unsigned char *out) = 0;
};

class Point14Decoder;

class LayeredChunkDecoder final : public ChunkDecoder {
public:
    // `vlr` has passed parse_laszip_vlr. May throw std::bad_alloc.
    LayeredChunkDecoder(const LaszipVlr &vlr, LayerChoice choice);
    ~LayeredChunkDecoder() override;

    ChunkResult decode(const Input &input, const ChunkSpec &spec, RecordSink &sink) override;

private:
    struct Slot {
        std::unique_ptr<LayeredItem> item;
        std::size_t offset;
        std::size_t first_layer;
    };
    std::unique_ptr<Point14Decoder> point_;
    std::vector<Slot> followers_;
    std::vector<Layer> layers_;
    std::vector<std::uint32_t> layer_sizes_;
    std::vector<unsigned char> head_;
    std::size_t record_length_ = 0;
    LayerChoice choice_;
    Cursor cursor_;
    std::vector<unsigned char> batch_;
};

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_LAYERED_ITEMS_H
