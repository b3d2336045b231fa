// SPDX-License-Identifier: MIT
// The point-wise compressor (formats 0-5): POINT10, GPSTIME11, RGB12, BYTE
// in versions 1 and 2, WAVEPACKET13, and the decoding of one chunk.
#include "laz/pointwise_items.h"

#include "laz/item_coding.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace tolvren::laz {

namespace {

// POINT10's record: X, Y, Z, intensity, the bit byte (return number in bits
// 0-2, number of returns 3-5, scan direction 6, edge of flight line 7),
// classification, scan angle rank, user data, point source ID: 20 bytes.

// Which predictor slot a point's returns select: 0-15, from the number of
// returns (row) and the return number (column).
constexpr std::array<std::array<std::uint8_t, 8>, 8> kReturnMap = {{
    {15, 14, 13, 12, 11, 10, 9, 8},
    {14, 0, 1, 3, 6, 10, 10, 9},
    {13, 1, 2, 4, 7, 11, 11, 10},
    {12, 3, 4, 5, 8, 12, 12, 11},
    {11, 6, 7, 8, 9, 13, 13, 12},
    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14},
    {8, 9, 10, 11, 12, 13, 14, 15},
}};

struct Point10Fields {
    std::int32_t x = 0, y = 0, z = 0;
    std::uint16_t intensity = 0;
    std::uint8_t bit_byte = 0, classification = 0, scan_angle = 0, user_data = 0;
    std::uint16_t point_source = 0;

    void load(const unsigned char *raw) noexcept {
        x = load_le<std::int32_t>(raw);
        y = load_le<std::int32_t>(raw + 4);
        z = load_le<std::int32_t>(raw + 8);
        intensity = load_le<std::uint16_t>(raw + 12);
        bit_byte = raw[14];
        classification = raw[15];
        scan_angle = raw[16];
        user_data = raw[17];
        point_source = load_le<std::uint16_t>(raw + 18);
    }
    void store(unsigned char *out) const noexcept {
        store_le(out, x);
        store_le(out + 4, y);
        store_le(out + 8, z);
        store_le(out + 12, intensity);
        out[14] = bit_byte;
        out[15] = classification;
        out[16] = scan_angle;
        out[17] = user_data;
        store_le(out + 18, point_source);
    }
};

// Y and Z contexts from the bit length classes of the X (and Y) corrections:
// even classes, capped.
unsigned y_context(unsigned kx) noexcept { return kx < 20 ? (kx & ~1u) : 20; }
unsigned z_context(unsigned kxy) noexcept { return kxy < 18 ? (kxy & ~1u) : 18; }

class Point10V2 final : public PointwiseItem {
public:
    Point10V2() {
        bit_byte_models_.configure(256, 256);
        classification_models_.configure(256, 256);
        scan_angle_models_.configure(2, 256);
        user_data_models_.configure(256, 256);
    }

    void init(const unsigned char *raw) override {
        last_.load(raw);
        // The raw point seeds the fields, but not the predictors: the second
        // point's intensity and Z are predicted from 0.
        last_.intensity = 0;
        last_intensity_.fill(0);
        last_z_.fill(0);
        for (MedianOfFive &m : median_x_) m.reset();
        for (MedianOfFive &m : median_y_) m.reset();
        changed_.init(64);
        bit_byte_models_.reset();
        classification_models_.reset();
        scan_angle_models_.reset();
        user_data_models_.reset();
        intensity_.init(16, 4);
        point_source_.init(16, 1);
        dx_.init(32, 2);
        dy_.init(32, 22);
        z_.init(32, 20);
    }

    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        const std::uint32_t changed = d.decode_symbol(changed_);
        if (changed & 32) last_.bit_byte = static_cast<std::uint8_t>(d.decode_symbol(bit_byte_models_[last_.bit_byte]));
        const unsigned r = last_.bit_byte & 7u;
        const unsigned n = (last_.bit_byte >> 3) & 7u;
        const unsigned m = kReturnMap[n][r];
        const unsigned level = n > r ? n - r : r - n;
        if (changed & 16) {
            last_intensity_[m] = static_cast<std::uint16_t>(
                intensity_.decompress(d, last_intensity_[m], std::min(m, 3u)));
        }
        last_.intensity = last_intensity_[m];
        if (changed & 8) {
            last_.classification =
                static_cast<std::uint8_t>(d.decode_symbol(classification_models_[last_.classification]));
        }
        if (changed & 4) {
            // The context is the current point's scan direction.
            const std::uint32_t step = d.decode_symbol(scan_angle_models_[(last_.bit_byte >> 6) & 1u]);
            last_.scan_angle = fold_u8(static_cast<int>(last_.scan_angle) + static_cast<int>(step));
        }
        if (changed & 2) last_.user_data = static_cast<std::uint8_t>(d.decode_symbol(user_data_models_[last_.user_data]));
        if (changed & 1) last_.point_source = static_cast<std::uint16_t>(point_source_.decompress(d, last_.point_source, 0));

        const unsigned one = n == 1 ? 1u : 0u;
        const std::int32_t dx = dx_.decompress(d, median_x_[m].value(), one);
        last_.x = add_wrap(last_.x, dx);
        median_x_[m].add(dx);
        const unsigned kx = dx_.last_k();
        const std::int32_t dy = dy_.decompress(d, median_y_[m].value(), one + y_context(kx));
        last_.y = add_wrap(last_.y, dy);
        median_y_[m].add(dy);
        const unsigned kxy = (kx + dy_.last_k()) / 2;
        last_.z = z_.decompress(d, last_z_[level], one + z_context(kxy));
        last_z_[level] = last_.z;
        last_.store(out);
    }

private:
    Point10Fields last_;
    std::array<std::uint16_t, 16> last_intensity_{};
    std::array<MedianOfFive, 16> median_x_{};
    std::array<MedianOfFive, 16> median_y_{};
    std::array<std::int32_t, 8> last_z_{};
    SymbolModel changed_;
    LazyModels bit_byte_models_, classification_models_, scan_angle_models_, user_data_models_;
    IntegerDecompressor intensity_, point_source_, dx_, dy_, z_;
};

// The median of three.
std::int32_t median3(const std::array<std::int32_t, 3> &v) noexcept {
    return std::max(std::min(v[0], v[1]), std::min(std::max(v[0], v[1]), v[2]));
}

class Point10V1 final : public PointwiseItem {
public:
    Point10V1() {
        bit_byte_models_.configure(256, 256);
        classification_models_.configure(256, 256);
        user_data_models_.configure(256, 256);
    }

    void init(const unsigned char *raw) override {
        last_.load(raw);
        last_dx_.fill(0);
        last_dy_.fill(0);
        position_ = 0;
        dx_.init(32, 1);
        dy_.init(32, 20);
        z_.init(32, 20);
        intensity_.init(16, 1);
        scan_angle_.init(8, 2);
        point_source_.init(16, 1);
        changed_.init(64);
        bit_byte_models_.reset();
        classification_models_.reset();
        user_data_models_.reset();
    }

    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        const std::int32_t dx = dx_.decompress(d, median3(last_dx_), 0);
        last_.x = add_wrap(last_.x, dx);
        const unsigned kx = dx_.last_k();
        const std::int32_t dy = dy_.decompress(d, median3(last_dy_), std::min(kx, 19u));
        last_.y = add_wrap(last_.y, dy);
        const unsigned kz = (kx + dy_.last_k()) / 2;
        last_.z = z_.decompress(d, last_.z, std::min(kz, 19u));

        const std::uint32_t changed = d.decode_symbol(changed_);
        if (changed & 32) last_.intensity = static_cast<std::uint16_t>(intensity_.decompress(d, last_.intensity, 0));
        if (changed & 16) last_.bit_byte = static_cast<std::uint8_t>(d.decode_symbol(bit_byte_models_[last_.bit_byte]));
        if (changed & 8) {
            last_.classification =
                static_cast<std::uint8_t>(d.decode_symbol(classification_models_[last_.classification]));
        }
        if (changed & 4) {
            last_.scan_angle = static_cast<std::uint8_t>(scan_angle_.decompress(d, last_.scan_angle, kz < 3 ? 1u : 0u));
        }
        if (changed & 2) last_.user_data = static_cast<std::uint8_t>(d.decode_symbol(user_data_models_[last_.user_data]));
        if (changed & 1) last_.point_source = static_cast<std::uint16_t>(point_source_.decompress(d, last_.point_source, 0));
        last_dx_[position_] = dx;
        last_dy_[position_] = dy;
        position_ = position_ == 2 ? 0 : position_ + 1;
        last_.store(out);
    }

private:
    Point10Fields last_;
    std::array<std::int32_t, 3> last_dx_{};
    std::array<std::int32_t, 3> last_dy_{};
    unsigned position_ = 0;
    IntegerDecompressor dx_, dy_, z_, intensity_, scan_angle_, point_source_;
    SymbolModel changed_;
    LazyModels bit_byte_models_, classification_models_, user_data_models_;
};

class GpsTime11V2 final : public PointwiseItem {
public:
    void init(const unsigned char *raw) override {
        sequences_.reset(load_le<std::int64_t>(raw));
        models_.init(false);
    }
    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        decode_gps_time<false>(d, models_, sequences_);
        store_le(out, sequences_.current());
    }

private:
    GpsTimeSequences sequences_;
    GpsTimeModels models_;
};

class GpsTime11V1 final : public PointwiseItem {
public:
    void init(const unsigned char *raw) override {
        time_ = load_le<std::int64_t>(raw);
        diff_ = 0;
        extreme_ = 0;
        multi_.init(512);
        zero_diff_.init(3);
        differences_.init(32, 6);
    }

    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        if (diff_ == 0) {
            const std::uint32_t symbol = d.decode_symbol(zero_diff_);
            if (symbol == 1) {
                diff_ = differences_.decompress(d, 0, 0);
                advance(diff_);
            } else if (symbol == 2) {
                time_ = static_cast<std::int64_t>(d.read_u64());
            }
        } else {
            const std::uint32_t symbol = d.decode_symbol(multi_);
            if (symbol == 511) {
                // unchanged
            } else if (symbol == 510) {
                time_ = static_cast<std::int64_t>(d.read_u64());
            } else {
                std::int32_t delta;
                if (symbol == 1) {
                    delta = differences_.decompress(d, diff_, 1);
                    diff_ = delta;
                    extreme_ = 0;
                } else if (symbol == 0) {
                    delta = differences_.decompress(d, diff_ / 4, 2);
                    count_extreme(delta);
                } else {
                    const unsigned context = symbol < 10 ? 3u : symbol < 50 ? 4u : 5u;
                    delta = differences_.decompress(d, multiply_wrap(static_cast<std::int32_t>(symbol), diff_), context);
                    if (symbol == 509) count_extreme(delta);
                }
                advance(delta);
            }
        }
        store_le(out, time_);
    }

private:
    void advance(std::int32_t delta) noexcept {
        time_ = static_cast<std::int64_t>(static_cast<std::uint64_t>(time_) +
                                          static_cast<std::uint64_t>(static_cast<std::int64_t>(delta)));
    }
    void count_extreme(std::int32_t delta) noexcept {
        if (++extreme_ > 3) {
            diff_ = delta;
            extreme_ = 0;
        }
    }

    std::int64_t time_ = 0;
    std::int32_t diff_ = 0;
    int extreme_ = 0;
    SymbolModel multi_, zero_diff_;
    IntegerDecompressor differences_;
};

class Rgb12V2 final : public PointwiseItem {
public:
    void init(const unsigned char *raw) override {
        for (std::size_t c = 0; c < 3; ++c) rgb_[c] = load_le<std::uint16_t>(raw + 2 * c);
        models_.init();
    }
    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        decode_colour(d, models_, rgb_);
        for (std::size_t c = 0; c < 3; ++c) store_le(out + 2 * c, rgb_[c]);
    }

private:
    std::array<std::uint16_t, 3> rgb_{};
    ColourModels models_;
};

class Rgb12V1 final : public PointwiseItem {
public:
    void init(const unsigned char *raw) override {
        std::copy_n(raw, 6, last_.begin());
        used_.init(64);
        bytes_.init(8, 6);
    }
    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        const std::uint32_t used = d.decode_symbol(used_);
        // Bytes in the record order: red low, red high, green, blue.
        for (unsigned j = 0; j < 6; ++j) {
            if (used & (1u << j)) last_[j] = static_cast<std::uint8_t>(bytes_.decompress(d, last_[j], j));
        }
        std::copy(last_.begin(), last_.end(), out);
    }

private:
    std::array<std::uint8_t, 6> last_{};
    SymbolModel used_;
    IntegerDecompressor bytes_;
};

class ByteV2 final : public PointwiseItem {
public:
    explicit ByteV2(std::size_t size) : last_(size), models_(size) {}
    void init(const unsigned char *raw) override {
        std::copy_n(raw, last_.size(), last_.begin());
        for (SymbolModel &model : models_) model.init(256);
    }
    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        for (std::size_t i = 0; i < last_.size(); ++i) {
            last_[i] = fold_u8(static_cast<int>(last_[i]) + static_cast<int>(d.decode_symbol(models_[i])));
        }
        std::copy(last_.begin(), last_.end(), out);
    }

private:
    std::vector<std::uint8_t> last_;
    std::vector<SymbolModel> models_;
};

class ByteV1 final : public PointwiseItem {
public:
    explicit ByteV1(std::size_t size) : last_(size) {}
    void init(const unsigned char *raw) override {
        std::copy_n(raw, last_.size(), last_.begin());
        bytes_.init(8, static_cast<unsigned>(last_.size()));
    }
    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        for (std::size_t i = 0; i < last_.size(); ++i) {
            last_[i] = static_cast<std::uint8_t>(bytes_.decompress(d, last_[i], static_cast<unsigned>(i)));
        }
        std::copy(last_.begin(), last_.end(), out);
    }

private:
    std::vector<std::uint8_t> last_;
    IntegerDecompressor bytes_;
};

class WavePacket13 final : public PointwiseItem {
public:
    void init(const unsigned char *raw) override {
        std::copy_n(raw, packet_.bytes.size(), packet_.bytes.begin());
        models_.init();
    }
    void decode(ArithmeticDecoder &d, unsigned char *out) override {
        decode_wave_packet(d, models_, packet_);
        std::copy(packet_.bytes.begin(), packet_.bytes.end(), out);
    }

private:
    WavePacket packet_;
    WavePacketModels models_;
};

std::unique_ptr<PointwiseItem> make_item(const Item &item) {
    const bool v1 = item.version == 1;
    switch (static_cast<ItemType>(item.type)) {
        case ItemType::point10:
            if (v1) return std::make_unique<Point10V1>();
            return std::make_unique<Point10V2>();
        case ItemType::gpstime11:
            if (v1) return std::make_unique<GpsTime11V1>();
            return std::make_unique<GpsTime11V2>();
        case ItemType::rgb12:
            if (v1) return std::make_unique<Rgb12V1>();
            return std::make_unique<Rgb12V2>();
        case ItemType::byte:
            if (v1) return std::make_unique<ByteV1>(item.size);
            return std::make_unique<ByteV2>(item.size);
        case ItemType::wavepacket13:
            return std::make_unique<WavePacket13>();
        default:
            return nullptr;
    }
}

// Records are handed on in batches of about this many bytes.
constexpr std::size_t kBatchBytes = std::size_t{1} << 16;

}  // namespace

PointwiseChunkDecoder::PointwiseChunkDecoder(const LaszipVlr &vlr) {
    for (const Item &item : vlr.items) {
        std::unique_ptr<PointwiseItem> decoder = make_item(item);
        if (!decoder) throw std::invalid_argument("an item the point-wise compressor does not have");
        items_.push_back(Slot{std::move(decoder), record_length_});
        record_length_ += item.size;
    }
    batch_.resize(std::max(kBatchBytes / record_length_, std::size_t{1}) * record_length_);
}

ChunkResult PointwiseChunkDecoder::decode(const Input &input, const ChunkSpec &spec, RecordSink &sink) {
    ChunkResult result;
    const std::uint64_t end = spec.bytes != 0 ? std::min(spec.start + spec.bytes, spec.limit) : spec.limit;
    stream_.open(input, spec.start, end);
    decoder_.attach(stream_);

    const std::size_t length = record_length_;
    const std::size_t batch_records = batch_.size() / length;
    unsigned char *const batch = batch_.data();
    std::size_t held = 0;
    auto flush = [&]() {
        const bool go_on = held == 0 || sink.records(batch, held);
        held = 0;
        return go_on;
    };
    auto stream_failure = [&]() {
        switch (stream_.status()) {
            case Stream::Status::read_error: result.outcome = ChunkOutcome::read_error; result.sys_errno = stream_.sys_errno(); return true;
            case Stream::Status::short_read: result.outcome = ChunkOutcome::changed; return true;
            case Stream::Status::no_memory: result.outcome = ChunkOutcome::no_memory; return true;
            case Stream::Status::ok: return false;
        }
        return false;
    };

    // The first record is stored as it is, and seeds every item.
    decoder_.read_raw(batch, length);
    if (decoder_.overrun()) {
        if (!stream_failure()) result.outcome = ChunkOutcome::truncated;
        return result;
    }
    for (Slot &slot : items_) slot.item->init(batch + slot.offset);
    decoder_.start();
    held = 1;
    std::uint64_t decoded = 1;
    std::uint64_t consumed_before = decoder_.consumed();
    const std::uint64_t wanted = std::max<std::uint64_t>(spec.points, 1);
    const std::uint64_t most = spec.count_from_header ? std::max(spec.most_points, wanted) : wanted;
    bool at_end = false;  // consumed every byte of a chunk of known size
    while (decoded < most) {
        if (decoded >= wanted) {
            // Past the count the header gives the last chunk: carry on only
            // while bytes are left, to find its true count.
            if (spec.bytes == 0 || consumed_before >= spec.bytes) break;
        }
        if (held == batch_records && !flush()) {
            result.outcome = ChunkOutcome::stopped;
            return result;
        }
        unsigned char *const record = batch + held * length;
        for (Slot &slot : items_) slot.item->decode(decoder_, record + slot.offset);
        if (decoder_.failed()) break;
        ++held;
        ++decoded;
        consumed_before = decoder_.consumed();
        if (spec.count_from_header && spec.bytes != 0 && consumed_before == spec.bytes && decoded >= wanted) {
            at_end = true;
            break;
        }
    }
    result.points = decoded;
    result.consumed = consumed_before;
    if (stream_failure()) return result;
    if (decoder_.corrupt()) {
        result.outcome = ChunkOutcome::corrupt;
        result.why = "a value that no encoder writes";
        return result;
    }
    if (decoder_.overrun()) {
        // Running out of bytes right after a point that used the chunk's
        // last byte is the end of a chunk that holds fewer points than the
        // header gives it.
        if (!(spec.count_from_header && spec.bytes != 0 && consumed_before == spec.bytes)) {
            result.outcome = ChunkOutcome::truncated;
            return result;
        }
    } else if (spec.bytes != 0 && !at_end && consumed_before != spec.bytes) {
        result.outcome = ChunkOutcome::corrupt;
        result.why = consumed_before < spec.bytes ? "bytes left over after its last point" : "a decoder past its end";
        return result;
    }
    if (!flush()) result.outcome = ChunkOutcome::stopped;
    return result;
}

}  // namespace tolvren::laz
