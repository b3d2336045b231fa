// SPDX-License-Identifier: MIT
// The layered compressor (formats 6-10): POINT14 with its four scanner
// channel contexts, the items that follow it, and the decoding of a chunk.
#include "laz/layered_items.h"

#include "laz/item_coding.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

namespace tolvren::laz {

namespace {

// POINT14's layers, in the order their sizes and bytes are stored.
enum Point14Layer : std::size_t {
    kLayerXY,
    kLayerZ,
    kLayerClassification,
    kLayerFlags,
    kLayerIntensity,
    kLayerScanAngle,
    kLayerUserData,
    kLayerPointSource,
    kLayerGpsTime,
    kPoint14Layers
};

constexpr std::size_t kPoint14Bytes = 30;

// The predictor slot, 0-5, that a number of returns (row) and return number
// (column) select; defined for every pair, valid or not.
constexpr std::array<std::array<std::uint8_t, 16>, 16> kReturnMap = {{
    {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5},
    {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
    {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3},
    {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5},
}};

unsigned y_context(unsigned kx) noexcept { return kx < 20 ? (kx & ~1u) : 20; }
unsigned z_context(unsigned kxy) noexcept { return kxy < 18 ? (kxy & ~1u) : 18; }

// The fields of a POINT14 record, as the contexts keep them.
struct Point14Fields {
    std::int32_t x = 0, y = 0, z = 0;
    std::uint16_t intensity = 0;
    unsigned return_number = 0, number_of_returns = 0;
    unsigned classification_flags = 0, channel = 0, scan_direction = 0, edge = 0;
    std::uint8_t classification = 0, user_data = 0;
    std::int16_t scan_angle = 0;
    std::uint16_t point_source = 0;
    std::int64_t gps_time = 0;
    bool gps_changed = false;

    void load(const unsigned char *raw) noexcept {
        x = load_le<std::int32_t>(raw);
        y = load_le<std::int32_t>(raw + 4);
        z = load_le<std::int32_t>(raw + 8);
        intensity = load_le<std::uint16_t>(raw + 12);
        return_number = raw[14] & 15u;
        number_of_returns = raw[14] >> 4;
        classification_flags = raw[15] & 15u;
        channel = (raw[15] >> 4) & 3u;
        scan_direction = (raw[15] >> 6) & 1u;
        edge = raw[15] >> 7;
        classification = raw[16];
        user_data = raw[17];
        scan_angle = load_le<std::int16_t>(raw + 18);
        point_source = load_le<std::uint16_t>(raw + 20);
        gps_time = load_le<std::int64_t>(raw + 22);
        gps_changed = false;
    }
    void store(unsigned char *out) const noexcept {
        store_le(out, x);
        store_le(out + 4, y);
        store_le(out + 8, z);
        store_le(out + 12, intensity);
        out[14] = static_cast<unsigned char>(return_number | number_of_returns << 4);
        out[15] = static_cast<unsigned char>(classification_flags | channel << 4 | scan_direction << 6 | edge << 7);
        out[16] = classification;
        out[17] = user_data;
        store_le(out + 18, scan_angle);
        store_le(out + 20, point_source);
        store_le(out + 22, gps_time);
    }
};

// Everything POINT14 keeps for one scanner channel: the last point and the
// models and predictors of every layer.
struct Point14Context {
    Point14Fields last;
    // channel_returns_XY
    LazyModels changed;
    SymbolModel channel_step;
    LazyModels number_of_returns, return_number;
    SymbolModel return_same_time;
    IntegerDecompressor dx, dy;
    std::array<MedianOfFive, 12> median_x{}, median_y{};
    // Z
    IntegerDecompressor z;
    std::array<std::int32_t, 8> last_z{};
    // classification, flags, user data
    LazyModels classification, flags, user_data;
    // intensity
    IntegerDecompressor intensity;
    std::array<std::uint16_t, 8> last_intensity{};
    // scan angle, point source
    IntegerDecompressor scan_angle, point_source;
    // GPS time
    GpsTimeModels gps;
    GpsTimeSequences sequences;

    Point14Context() {
        changed.configure(8, 128);
        number_of_returns.configure(16, 16);
        return_number.configure(16, 16);
        classification.configure(64, 256);
        flags.configure(64, 64);
        user_data.configure(64, 256);
    }

    // Starts the context from point `from`, with fresh models for the layers
    // that are decoded.
    void create(const Point14Fields &from, const Layer *layers) {
        last = from;
        last.gps_changed = false;
        if (layers[kLayerXY].active) {
            changed.reset();
            channel_step.init(3);
            number_of_returns.reset();
            return_number.reset();
            return_same_time.init(13);
            dx.init(32, 2);
            dy.init(32, 22);
            for (MedianOfFive &m : median_x) m.reset();
            for (MedianOfFive &m : median_y) m.reset();
        }
        if (layers[kLayerZ].active) {
            z.init(32, 20);
            last_z.fill(from.z);
        }
        if (layers[kLayerClassification].active) classification.reset();
        if (layers[kLayerFlags].active) flags.reset();
        if (layers[kLayerIntensity].active) {
            intensity.init(16, 4);
            last_intensity.fill(from.intensity);
        }
        if (layers[kLayerScanAngle].active) scan_angle.init(16, 2);
        if (layers[kLayerUserData].active) user_data.reset();
        if (layers[kLayerPointSource].active) point_source.init(16, 1);
        if (layers[kLayerGpsTime].active) {
            gps.init(true);
            sequences.reset(from.gps_time);
        }
    }
};

}  // namespace

class Point14Decoder {
public:
    explicit Point14Decoder(unsigned version) : version4_(version >= 4) {}

    // Starts a chunk from its raw first record. Returns the context number
    // the other items start in.
    unsigned init(const unsigned char *raw, Layer *layers) {
        layers_ = layers;
        exists_.fill(false);
        Point14Fields first;
        first.load(raw);
        current_ = first.channel;
        contexts_[current_].create(first, layers_);
        exists_[current_] = true;
        return current_;
    }

    // Decodes the next record. Returns the context number for the items
    // after it: in version 3 the new channel only on a point where the
    // channel changed, else 0; in version 4 always the point's channel.
    unsigned decode(unsigned char *out) {
        unsigned shared = 0;
        Point14Context *c = &contexts_[current_];
        ArithmeticDecoder &xy = layers_[kLayerXY].decoder;

        const Point14Fields &before = c->last;
        const unsigned lpr = (before.return_number == 1 ? 1u : 0u) +
                             (before.return_number >= before.number_of_returns ? 2u : 0u) +
                             (before.gps_changed ? 4u : 0u);
        const std::uint32_t changed = xy.decode_symbol(c->changed[lpr]);
        if (changed & 64) {
            // The step to the new channel is coded with the old context's
            // model; a channel met for the first time in this chunk starts
            // from the old context's last point.
            const unsigned next = (current_ + xy.decode_symbol(c->channel_step) + 1) & 3u;
            if (!exists_[next]) {
                contexts_[next].create(c->last, layers_);
                exists_[next] = true;
            }
            current_ = next;
            c = &contexts_[current_];
            c->last.channel = current_;
            if (!version4_) shared = current_;
        }
        Point14Fields &p = c->last;
        const unsigned gps = (changed >> 4) & 1u;
        const unsigned last_n = p.number_of_returns;
        const unsigned last_r = p.return_number;
        const unsigned n = (changed & 4) ? xy.decode_symbol(c->number_of_returns[last_n]) : last_n;
        p.number_of_returns = n;
        unsigned r;
        switch (changed & 3u) {
            case 0: r = last_r; break;
            case 1: r = (last_r + 1) & 15u; break;
            case 2: r = (last_r + 15) & 15u; break;
            default:
                r = gps ? xy.decode_symbol(c->return_number[last_r])
                        : (last_r + xy.decode_symbol(c->return_same_time) + 2) & 15u;
                break;
        }
        p.return_number = r;
        const unsigned m = kReturnMap[n][r];
        const unsigned level = std::min(n > r ? n - r : r - n, 7u);
        const unsigned cpr = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
        const unsigned one = n == 1 ? 1u : 0u;
        const unsigned j = 2 * m + gps;
        const std::int32_t dx = c->dx.decompress(xy, c->median_x[j].value(), one);
        p.x = add_wrap(p.x, dx);
        c->median_x[j].add(dx);
        const unsigned kx = c->dx.last_k();
        const std::int32_t dy = c->dy.decompress(xy, c->median_y[j].value(), one + y_context(kx));
        p.y = add_wrap(p.y, dy);
        c->median_y[j].add(dy);
        const unsigned ky = c->dy.last_k();
        if (version4_) shared = current_;

        if (layers_[kLayerZ].active) {
            p.z = c->z.decompress(layers_[kLayerZ].decoder, c->last_z[level], one + z_context((kx + ky) / 2));
            c->last_z[level] = p.z;
        }
        if (layers_[kLayerClassification].active) {
            const unsigned context = ((p.classification & 31u) << 1) + (cpr == 3 ? 1u : 0u);
            p.classification = static_cast<std::uint8_t>(
                layers_[kLayerClassification].decoder.decode_symbol(c->classification[context]));
        }
        if (layers_[kLayerFlags].active) {
            const unsigned context = p.edge << 5 | p.scan_direction << 4 | p.classification_flags;
            const std::uint32_t f = layers_[kLayerFlags].decoder.decode_symbol(c->flags[context]);
            p.classification_flags = f & 15u;
            p.scan_direction = (f >> 4) & 1u;
            p.edge = (f >> 5) & 1u;
        }
        if (layers_[kLayerIntensity].active) {
            const unsigned slot = cpr * 2 + gps;
            p.intensity = static_cast<std::uint16_t>(
                c->intensity.decompress(layers_[kLayerIntensity].decoder, c->last_intensity[slot], cpr));
            c->last_intensity[slot] = p.intensity;
        }
        if (layers_[kLayerScanAngle].active && (changed & 8)) {
            p.scan_angle = static_cast<std::int16_t>(static_cast<std::uint16_t>(
                c->scan_angle.decompress(layers_[kLayerScanAngle].decoder, p.scan_angle, gps)));
        }
        if (layers_[kLayerUserData].active) {
            p.user_data = static_cast<std::uint8_t>(
                layers_[kLayerUserData].decoder.decode_symbol(c->user_data[p.user_data / 4u]));
        }
        if (layers_[kLayerPointSource].active && (changed & 32)) {
            p.point_source = static_cast<std::uint16_t>(
                c->point_source.decompress(layers_[kLayerPointSource].decoder, p.point_source, 0));
        }
        if (layers_[kLayerGpsTime].active && gps) {
            decode_gps_time<true>(layers_[kLayerGpsTime].decoder, c->gps, c->sequences);
            p.gps_time = c->sequences.current();
        }
        p.store(out);
        p.gps_changed = gps != 0;
        return shared;
    }

private:
    bool version4_;
    Layer *layers_ = nullptr;
    unsigned current_ = 0;
    std::array<bool, 4> exists_{};
    std::array<Point14Context, 4> contexts_;
};

namespace {

// The four contexts of an item after POINT14 and its four slots of last
// values. The context follows the number POINT14 hands on; a context met for
// the first time starts from the values of the one in use. Version 3 then
// keeps predicting from (and writing to) the slot it came from whenever it
// returns to a context that exists; version 4 always uses the context's own.
template <typename Models, typename Value>
class FollowerContexts {
public:
    explicit FollowerContexts(unsigned version) : version4_(version >= 4) {}

    template <typename Create>
    void start(unsigned context, const Value &first, Create create) {
        exists_.fill(false);
        current_ = context;
        values_[current_] = first;
        create(models_[current_]);
        exists_[current_] = true;
    }

    // The slot this point predicts from and writes to; `models()` is then
    // the context to decode with.
    template <typename Create>
    unsigned select(unsigned shared, Create create) {
        unsigned slot = current_;
        if (shared != current_) {
            current_ = shared;
            if (!exists_[current_]) {
                create(models_[current_]);
                exists_[current_] = true;
                values_[current_] = values_[slot];
                slot = current_;
            }
            if (version4_) slot = current_;
        }
        return slot;
    }

    Models &models() noexcept { return models_[current_]; }
    Value &value(unsigned slot) noexcept { return values_[slot]; }

private:
    bool version4_;
    unsigned current_ = 0;
    std::array<bool, 4> exists_{};
    std::array<Models, 4> models_;
    std::array<Value, 4> values_{};
};

// An item after POINT14: its contexts (FollowerContexts) over what the
// codec knows of its fields. A codec gives the item's layer count, reads its
// first value from the raw record, starts the models of a context for the
// layers that are decoded, decodes a value from its layers (those that are
// not decoded leave their fields as they are) and writes a value out.
template <typename Codec>
class Follower final : public LayeredItem {
public:
    Follower(unsigned version, Codec codec) : codec_(std::move(codec)), contexts_(version) {}
    std::size_t layers() const noexcept override { return codec_.layers(); }
    void init(const unsigned char *raw, Layer *layers, unsigned context) override {
        layers_ = layers;
        contexts_.start(context, codec_.load(raw), [this](auto &models) { codec_.create(models, layers_); });
    }
    void decode(unsigned context, unsigned char *out) override {
        auto &value = contexts_.value(contexts_.select(context, [this](auto &models) { codec_.create(models, layers_); }));
        codec_.decode(contexts_.models(), value, layers_);
        codec_.store(value, out);
    }

private:
    Codec codec_;
    Layer *layers_ = nullptr;
    FollowerContexts<typename Codec::Models, typename Codec::Value> contexts_;
};

// RGB14: one layer, the colour coding of RGB12.
struct Rgb14Codec {
    using Models = ColourModels;
    using Value = std::array<std::uint16_t, 3>;
    std::size_t layers() const noexcept { return 1; }
    Value load(const unsigned char *raw) const {
        Value rgb;
        for (std::size_t c = 0; c < 3; ++c) rgb[c] = load_le<std::uint16_t>(raw + 2 * c);
        return rgb;
    }
    void create(Models &models, const Layer *layers) const {
        if (layers[0].active) models.init();
    }
    void decode(Models &models, Value &rgb, Layer *layers) const {
        if (layers[0].active) decode_colour(layers[0].decoder, models, rgb);
    }
    void store(const Value &rgb, unsigned char *out) const {
        for (std::size_t c = 0; c < 3; ++c) store_le(out + 2 * c, rgb[c]);
    }
};

// RGBNIR14: one item in two layers (the colour, then NIR) that share one
// context set and one slot.
struct RgbNirModels {
    ColourModels rgb;
    SymbolModel nir_used;
    std::array<SymbolModel, 2> nir_bytes;
};

struct RgbNir14Codec {
    using Models = RgbNirModels;
    using Value = std::array<std::uint16_t, 4>;
    std::size_t layers() const noexcept { return 2; }
    Value load(const unsigned char *raw) const {
        Value value;
        for (std::size_t c = 0; c < 4; ++c) value[c] = load_le<std::uint16_t>(raw + 2 * c);
        return value;
    }
    void create(Models &models, const Layer *layers) const {
        if (layers[0].active) models.rgb.init();
        if (layers[1].active) {
            models.nir_used.init(4);
            for (SymbolModel &model : models.nir_bytes) model.init(256);
        }
    }
    void decode(Models &models, Value &value, Layer *layers) const {
        if (layers[0].active) {
            std::array<std::uint16_t, 3> rgb = {value[0], value[1], value[2]};
            decode_colour(layers[0].decoder, models.rgb, rgb);
            std::copy(rgb.begin(), rgb.end(), value.begin());
        }
        if (layers[1].active) {
            ArithmeticDecoder &d = layers[1].decoder;
            const std::uint32_t used = d.decode_symbol(models.nir_used);
            int low = value[3] & 0xFF;
            int high = value[3] >> 8;
            if (used & 1) low = fold_u8(static_cast<int>(d.decode_symbol(models.nir_bytes[0])) + low);
            if (used & 2) high = fold_u8(static_cast<int>(d.decode_symbol(models.nir_bytes[1])) + high);
            value[3] = static_cast<std::uint16_t>(high << 8 | low);
        }
    }
    void store(const Value &value, unsigned char *out) const {
        for (std::size_t c = 0; c < 4; ++c) store_le(out + 2 * c, value[c]);
    }
};

// BYTE14: one layer per extra byte, each a difference from the last.
struct Byte14Codec {
    using Models = std::vector<SymbolModel>;
    using Value = std::vector<std::uint8_t>;
    std::size_t size;
    std::size_t layers() const noexcept { return size; }
    Value load(const unsigned char *raw) const { return Value(raw, raw + size); }
    void create(Models &models, const Layer *layers) const {
        models.resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            if (layers[i].active) models[i].init(256);
        }
    }
    void decode(Models &models, Value &bytes, Layer *layers) const {
        for (std::size_t i = 0; i < size; ++i) {
            if (layers[i].active) {
                bytes[i] = fold_u8(static_cast<int>(bytes[i]) + static_cast<int>(layers[i].decoder.decode_symbol(models[i])));
            }
        }
    }
    void store(const Value &bytes, unsigned char *out) const { std::copy(bytes.begin(), bytes.end(), out); }
};

// WAVEPACKET14: one layer, the descriptor coding of WAVEPACKET13; the last
// offset kind and difference belong to the context.
struct WavePacket14Codec {
    using Models = WavePacketModels;
    using Value = WavePacket;
    std::size_t layers() const noexcept { return 1; }
    Value load(const unsigned char *raw) const {
        Value packet;
        std::copy_n(raw, packet.bytes.size(), packet.bytes.begin());
        return packet;
    }
    void create(Models &models, const Layer *layers) const {
        if (layers[0].active) models.init();
    }
    void decode(Models &models, Value &packet, Layer *layers) const {
        if (layers[0].active) decode_wave_packet(layers[0].decoder, models, packet);
    }
    void store(const Value &packet, unsigned char *out) const {
        std::copy(packet.bytes.begin(), packet.bytes.end(), out);
    }
};

std::unique_ptr<LayeredItem> make_follower(const Item &item) {
    switch (static_cast<ItemType>(item.type)) {
        case ItemType::rgb14: return std::make_unique<Follower<Rgb14Codec>>(item.version, Rgb14Codec{});
        case ItemType::rgbnir14: return std::make_unique<Follower<RgbNir14Codec>>(item.version, RgbNir14Codec{});
        case ItemType::byte14: return std::make_unique<Follower<Byte14Codec>>(item.version, Byte14Codec{item.size});
        case ItemType::wavepacket14:
            return std::make_unique<Follower<WavePacket14Codec>>(item.version, WavePacket14Codec{});
        default: return nullptr;
    }
}

constexpr std::size_t kBatchBytes = std::size_t{1} << 16;

}  // namespace

LayeredChunkDecoder::LayeredChunkDecoder(const LaszipVlr &vlr, LayerChoice choice) : choice_(choice) {
    if (vlr.items.empty() || vlr.items[0].type != static_cast<std::uint16_t>(ItemType::point14)) {
        throw std::invalid_argument("the layered compressor's first item is POINT14");
    }
    point_ = std::make_unique<Point14Decoder>(vlr.items[0].version);
    record_length_ = kPoint14Bytes;
    std::size_t layer = kPoint14Layers;
    for (std::size_t i = 1; i < vlr.items.size(); ++i) {
        std::unique_ptr<LayeredItem> follower = make_follower(vlr.items[i]);
        if (!follower) throw std::invalid_argument("an item the layered compressor does not have");
        const std::size_t layers = follower->layers();
        followers_.push_back(Slot{std::move(follower), record_length_, layer});
        record_length_ += vlr.items[i].size;
        layer += layers;
    }
    layers_ = std::vector<Layer>(layer);
    layer_sizes_.resize(layer);
    head_.resize(record_length_ + 4 + 4 * layer);
    batch_.resize(std::max(kBatchBytes / record_length_, std::size_t{1}) * record_length_);
}

LayeredChunkDecoder::~LayeredChunkDecoder() = default;

ChunkResult LayeredChunkDecoder::decode(const Input &input, const ChunkSpec &spec, RecordSink &sink) {
    ChunkResult result;
    auto fail = [&](ChunkOutcome outcome, const char *why = "") {
        result.outcome = outcome;
        result.why = why;
        return result;
    };
    auto stream_failure = [&](Stream::Status status, int sys_errno) {
        switch (status) {
            case Stream::Status::read_error: result.sys_errno = sys_errno; return fail(ChunkOutcome::read_error);
            case Stream::Status::short_read: return fail(ChunkOutcome::changed);
            case Stream::Status::no_memory: return fail(ChunkOutcome::no_memory);
            case Stream::Status::ok: break;
        }
        return fail(ChunkOutcome::truncated, "its first record and layer sizes run past its end");
    };

    // The head: the raw first record, the point count, the layer sizes.
    // Only the head is read here; each layer's stream reads its own bytes.
    const std::uint64_t end = spec.bytes != 0 ? std::min(spec.start + spec.bytes, spec.limit) : spec.limit;
    cursor_.open(input, spec.start, std::min<std::uint64_t>(end, spec.start + head_.size()));
    if (!cursor_.read(head_.data(), head_.size())) return stream_failure(cursor_.status(), 0);
    const unsigned char *const raw = head_.data();
    const std::uint32_t count = load_le<std::uint32_t>(raw + record_length_);
    std::uint64_t position = spec.start + head_.size();
    for (std::size_t i = 0; i < layers_.size(); ++i) {
        layer_sizes_[i] = load_le<std::uint32_t>(raw + record_length_ + 4 + 4 * i);
        layers_[i].start = position;
        layers_[i].size = layer_sizes_[i];
        position += layer_sizes_[i];
    }
    result.own_count = count;
    result.consumed = position - spec.start;
    if (count == 0) return fail(ChunkOutcome::corrupt, "a point count of 0");
    if (spec.bytes != 0 && position != spec.start + spec.bytes) {
        return fail(ChunkOutcome::corrupt, "layers that do not end where the chunk table ends the chunk");
    }
    if (position > spec.limit) return fail(ChunkOutcome::truncated, "layers that run past the point data");
    if (count > 1 && layer_sizes_[kLayerXY] == 0) {
        return fail(ChunkOutcome::corrupt, "no channel, return and XY layer for its points");
    }

    for (std::size_t i = 0; i < layers_.size(); ++i) {
        Layer &layer = layers_[i];
        const bool wanted = choice_ == LayerChoice::all || i == kLayerXY || i == kLayerZ;
        layer.active = wanted && layer.size > 0 && count > 1;
        if (!layer.active) continue;
        layer.stream.open(input, layer.start, layer.start + layer.size);
        layer.decoder.attach(layer.stream);
        layer.decoder.start();
    }

    unsigned char *const batch = batch_.data();
    const std::size_t length = record_length_;
    const std::size_t batch_records = batch_.size() / length;
    std::copy_n(raw, length, batch);
    unsigned shared = point_->init(raw, layers_.data());
    for (Slot &slot : followers_) slot.item->init(raw + slot.offset, layers_.data() + slot.first_layer, shared);

    // A decoder that ran out or read nonsense is sticky; testing them once
    // a batch bounds the work a damaged chunk can cause.
    auto any_failed = [&]() {
        for (const Layer &layer : layers_) {
            if (layer.active && layer.decoder.failed()) return true;
        }
        return false;
    };
    std::size_t held = 1;
    for (std::uint64_t point = 1; point < count; ++point) {
        if (held == batch_records) {
            if (any_failed()) break;
            if (!sink.records(batch, held)) return fail(ChunkOutcome::stopped);
            held = 0;
        }
        unsigned char *const record = batch + held * length;
        shared = point_->decode(record);
        for (Slot &slot : followers_) slot.item->decode(shared, record + slot.offset);
        ++held;
    }
    result.points = count;
    for (const Layer &layer : layers_) {
        if (!layer.active) continue;
        const ArithmeticDecoder &d = layer.decoder;
        if (layer.stream.status() != Stream::Status::ok) {
            return stream_failure(layer.stream.status(), layer.stream.sys_errno());
        }
        if (d.corrupt()) return fail(ChunkOutcome::corrupt, "a value that no encoder writes");
        if (d.overrun()) return fail(ChunkOutcome::truncated, "a layer that runs out before its last point");
        if (d.consumed() != layer.size) return fail(ChunkOutcome::corrupt, "bytes left over in a layer");
    }
    if (!sink.records(batch, held)) return fail(ChunkOutcome::stopped);
    if (count != spec.points) result.outcome = ChunkOutcome::count_differs;
    return result;
}

}  // namespace tolvren::laz
