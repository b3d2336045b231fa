// SPDX-License-Identifier: MIT
// Field codings shared by the point-wise and the layered items.
#include "laz/item_coding.h"

#include <algorithm>

namespace tolvren::laz {

namespace {

// Multiplier codes of the GPS time coders: 1 to 499 multiply the last
// difference, 500 is "500 times" with its own context, 501-509 are -1 to -9
// and 510 is -10.
constexpr std::uint32_t kMulti = 500;
constexpr std::uint32_t kMultiMinus = 510;
constexpr std::int32_t kMinusFactor = -10;

// An encoder switches sequence once before coding a time; a few in a row can
// only come from damaged data.
constexpr int kMostSwitches = 8;

// A new sequence starts from a full time: the upper half predicted from the
// current sequence's, the lower half as 32 raw bits.
void full_time(ArithmeticDecoder &decoder, GpsTimeModels &models, GpsTimeSequences &seq) {
    seq.next = (seq.next + 1) & 3;
    const auto upper = static_cast<std::int32_t>(static_cast<std::uint64_t>(seq.time[seq.last]) >> 32);
    const std::int32_t high = models.differences.decompress(decoder, upper, 8);
    const std::uint32_t low = decoder.read_u32();
    seq.time[seq.next] =
        static_cast<std::int64_t>((std::uint64_t{static_cast<std::uint32_t>(high)} << 32) | std::uint64_t{low});
    seq.last = seq.next;
    seq.diff[seq.last] = 0;
    seq.extreme[seq.last] = 0;
}

// GPS times are added as 64-bit bit patterns, wrapping.
void advance(std::int64_t &time, std::int32_t d) {
    time = static_cast<std::int64_t>(static_cast<std::uint64_t>(time) +
                                     static_cast<std::uint64_t>(static_cast<std::int64_t>(d)));
}

// After the multipliers 0, 500 and -10, a run of more than three such
// differences makes the last one the sequence's new difference.
void count_extreme(GpsTimeSequences &seq, std::int32_t d) {
    const unsigned s = seq.last;
    if (++seq.extreme[s] > 3) {
        seq.diff[s] = d;
        seq.extreme[s] = 0;
    }
}

std::uint8_t colour_byte(ArithmeticDecoder &decoder, SymbolModel &model, int predicted) {
    return fold_u8(static_cast<int>(decoder.decode_symbol(model)) + predicted);
}

int clamp_byte(int value) { return std::clamp(value, 0, 255); }

}  // namespace

template <bool Layered>
void decode_gps_time(ArithmeticDecoder &decoder, GpsTimeModels &models, GpsTimeSequences &seq) {
    // The layered coder has no "unchanged" code: its symbols sit one lower.
    constexpr std::uint32_t kShift = Layered ? 0 : 1;
    constexpr std::uint32_t kFull = 511 + kShift;
    if (!models.started) models.start();
    for (int pass = 0; pass <= kMostSwitches; ++pass) {
        const unsigned s = seq.last;
        if (seq.diff[s] == 0) {
            const std::uint32_t symbol = decoder.decode_symbol(models.zero_diff);
            if (!Layered && symbol == 0) return;  // the time is unchanged
            const std::uint32_t code = symbol - kShift;
            if (code == 0) {
                seq.diff[s] = models.differences.decompress(decoder, 0, 0);
                advance(seq.time[s], seq.diff[s]);
                seq.extreme[s] = 0;
            } else if (code == 1) {
                full_time(decoder, models, seq);
            } else {
                seq.last = (s + code - 1) & 3;
                continue;
            }
            return;
        }
        const std::uint32_t symbol = decoder.decode_symbol(models.multi);
        const std::int32_t diff = seq.diff[s];
        std::int32_t d;
        if (symbol == 1) {
            advance(seq.time[s], models.differences.decompress(decoder, diff, 1));
            seq.extreme[s] = 0;
            return;
        } else if (symbol == 0) {
            d = models.differences.decompress(decoder, 0, 7);
            count_extreme(seq, d);
        } else if (symbol < kMulti) {
            d = models.differences.decompress(decoder, multiply_wrap(static_cast<std::int32_t>(symbol), diff),
                                              symbol < 10 ? 2u : 3u);
        } else if (symbol == kMulti) {
            d = models.differences.decompress(decoder, multiply_wrap(static_cast<std::int32_t>(kMulti), diff), 4);
            count_extreme(seq, d);
        } else if (symbol < kMultiMinus) {
            const std::int32_t factor = static_cast<std::int32_t>(kMulti) - static_cast<std::int32_t>(symbol);
            d = models.differences.decompress(decoder, multiply_wrap(factor, diff), 5);
        } else if (symbol == kMultiMinus) {
            d = models.differences.decompress(decoder, multiply_wrap(kMinusFactor, diff), 6);
            count_extreme(seq, d);
        } else if (!Layered && symbol == 511) {
            return;  // unchanged
        } else if (symbol == kFull) {
            full_time(decoder, models, seq);
            return;
        } else {
            seq.last = (s + symbol - kFull) & 3;
            continue;
        }
        advance(seq.time[s], d);
        return;
    }
    decoder.mark_corrupt();
}

template void decode_gps_time<false>(ArithmeticDecoder &, GpsTimeModels &, GpsTimeSequences &);
template void decode_gps_time<true>(ArithmeticDecoder &, GpsTimeModels &, GpsTimeSequences &);

void ColourModels::start() {
    used.init(128);
    for (SymbolModel &model : bytes) model.init(256);
    started = true;
}

void decode_colour(ArithmeticDecoder &decoder, ColourModels &models, std::array<std::uint16_t, 3> &rgb) {
    if (!models.started) models.start();
    const std::uint32_t used = decoder.decode_symbol(models.used);
    const int r_low = rgb[0] & 0xFF;
    const int r_high = rgb[0] >> 8;
    const int red_low = (used & 1) ? colour_byte(decoder, models.bytes[0], r_low) : r_low;
    const int red_high = (used & 2) ? colour_byte(decoder, models.bytes[1], r_high) : r_high;
    const auto red = static_cast<std::uint16_t>(red_high << 8 | red_low);
    if ((used & 64) == 0) {
        // Grey: the three channels are the same.
        rgb = {red, red, red};
        return;
    }
    const int g_low = rgb[1] & 0xFF;
    const int g_high = rgb[1] >> 8;
    const int b_low = rgb[2] & 0xFF;
    const int b_high = rgb[2] >> 8;
    // Green follows red's change; blue follows the mean of both. The halving
    // rounds toward zero, as C's division does.
    int change = red_low - r_low;
    const int green_low = (used & 4) ? colour_byte(decoder, models.bytes[2], clamp_byte(change + g_low)) : g_low;
    const int blue_low = (used & 16)
                             ? colour_byte(decoder, models.bytes[4], clamp_byte((change + green_low - g_low) / 2 + b_low))
                             : b_low;
    change = red_high - r_high;
    const int green_high = (used & 8) ? colour_byte(decoder, models.bytes[3], clamp_byte(change + g_high)) : g_high;
    const int blue_high =
        (used & 32) ? colour_byte(decoder, models.bytes[5], clamp_byte((change + green_high - g_high) / 2 + b_high))
                    : b_high;
    rgb = {red, static_cast<std::uint16_t>(green_high << 8 | green_low),
           static_cast<std::uint16_t>(blue_high << 8 | blue_low)};
}

void WavePacketModels::init() {
    index.init(256);
    for (SymbolModel &model : offset_kind) model.init(4);
    offset_diff.init(32, 1);
    packet_size.init(32, 1);
    return_point.init(32, 1);
    xyz.init(32, 3);
    last_kind = 0;
    last_offset_diff = 0;
}

void decode_wave_packet(ArithmeticDecoder &decoder, WavePacketModels &models, WavePacket &packet) {
    unsigned char *const bytes = packet.bytes.data();
    bytes[0] = static_cast<unsigned char>(decoder.decode_symbol(models.index));
    const std::uint32_t kind = decoder.decode_symbol(models.offset_kind[models.last_kind]);
    models.last_kind = kind;
    const auto offset = load_le<std::uint64_t>(bytes + 1);
    const auto size = load_le<std::uint32_t>(bytes + 9);
    switch (kind) {
        case 0:
            break;
        case 1:
            store_le<std::uint64_t>(bytes + 1, offset + size);
            break;
        case 2:
            models.last_offset_diff = models.offset_diff.decompress(decoder, models.last_offset_diff, 0);
            store_le<std::uint64_t>(bytes + 1,
                                    offset + static_cast<std::uint64_t>(static_cast<std::int64_t>(models.last_offset_diff)));
            break;
        default:
            store_le<std::uint64_t>(bytes + 1, decoder.read_u64());
            break;
    }
    store_le<std::int32_t>(bytes + 9,
                           models.packet_size.decompress(decoder, static_cast<std::int32_t>(size), 0));
    store_le<std::int32_t>(bytes + 13, models.return_point.decompress(decoder, load_le<std::int32_t>(bytes + 13), 0));
    for (unsigned axis = 0; axis < 3; ++axis) {
        unsigned char *const field = bytes + 17 + 4 * axis;
        store_le<std::int32_t>(field, models.xyz.decompress(decoder, load_le<std::int32_t>(field), axis));
    }
}

}  // namespace tolvren::laz
