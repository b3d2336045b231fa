/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): the predictors
// and field codings that the point-wise items (formats 0-5) and the layered
// items (formats 6-10) share: the median-of-five predictor of X and Y
// differences, the four interleaved GPS time sequences, the colour coding
// and the wave packet descriptor coding.
#ifndef TOLVREN_LAZ_ITEM_CODING_H
#define TOLVREN_LAZ_ITEM_CODING_H

#include "laz/arithmetic_decoder.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace tolvren::laz {

template <typename T>
inline T load_le(const unsigned char *bytes) noexcept {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

template <typename T>
inline void store_le(unsigned char *bytes, T value) noexcept {
    std::memcpy(bytes, &value, sizeof value);
}

// Adds with the two's complement wrap of 32 bits.
inline std::int32_t add_wrap(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// Multiplies with the two's complement wrap of 32 bits.
inline std::int32_t multiply_wrap(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// The low 8 bits of a possibly negative sum.
inline std::uint8_t fold_u8(int value) noexcept { return static_cast<std::uint8_t>(value & 0xFF); }

// Five sorted values and a direction: a new value replaces the largest or
// the smallest in turn, so the middle one follows the data without the cost
// of a true running median. The rule is the format's; it is not the median
// of the last five values.
class MedianOfFive {
public:
    std::int32_t value() const noexcept { return v_[2]; }
    void reset() noexcept { *this = MedianOfFive{}; }
    void add(std::int32_t x) noexcept {
        if (high_) {
            if (x < v_[2]) {
                v_[4] = v_[3];
                v_[3] = v_[2];
                if (x < v_[0]) {
                    v_[2] = v_[1];
                    v_[1] = v_[0];
                    v_[0] = x;
                } else if (x < v_[1]) {
                    v_[2] = v_[1];
                    v_[1] = x;
                } else {
                    v_[2] = x;
                }
            } else {
                if (x < v_[3]) {
                    v_[4] = v_[3];
                    v_[3] = x;
                } else {
                    v_[4] = x;
                }
                high_ = false;
            }
        } else {
            if (x > v_[2]) {
                v_[0] = v_[1];
                v_[1] = v_[2];
                if (x > v_[4]) {
                    v_[2] = v_[3];
                    v_[3] = v_[4];
                    v_[4] = x;
                } else if (x > v_[3]) {
                    v_[2] = v_[3];
                    v_[3] = x;
                } else {
                    v_[2] = x;
                }
            } else {
                if (x > v_[1]) {
                    v_[0] = v_[1];
                    v_[1] = x;
                } else {
                    v_[0] = x;
                }
                high_ = true;
            }
        }
    }

private:
    std::array<std::int32_t, 5> v_{};
    bool high_ = true;
};

// GPS times as the 64-bit integers with the same bits, in up to four
// interleaved sequences, each with its last time and its last difference,
// so that data mixing several time streams (several scanners, several
// flight lines) codes each stream's regular steps cheaply.
struct GpsTimeSequences {
    std::array<std::int64_t, 4> time{};
    std::array<std::int32_t, 4> diff{};
    std::array<std::int32_t, 4> extreme{};
    unsigned last = 0;
    unsigned next = 0;

    void reset(std::int64_t first) noexcept {
        *this = GpsTimeSequences{};
        time[0] = first;
    }
    std::int64_t current() const noexcept { return time[last]; }
};

// The models of a GPS time coder, started when the first time is decoded.
struct GpsTimeModels {
    SymbolModel multi;      // multipliers of the last difference and codes
    SymbolModel zero_diff;  // cases when the last difference is 0
    IntegerDecompressor differences;
    bool layered = false;
    bool started = false;

    // Point-wise (GPSTIME11 v2) and layered (POINT14) coders differ only in
    // the "unchanged" code the point-wise one has (the layered coder is
    // asked only for times that changed).
    void init(bool layered_coder) {
        layered = layered_coder;
        started = false;
    }
    void start() {
        multi.init(layered ? 515 : 516);
        zero_diff.init(layered ? 5 : 6);
        differences.init(32, 9);
        started = true;
    }
};

// Decodes one GPS time into `seq` (its current sequence's time). `Layered`
// selects the symbol numbering of the layered coder. Marks the decoder
// corrupt when a run of sequence switches goes on longer than any encoder
// writes.
template <bool Layered>
void decode_gps_time(ArithmeticDecoder &decoder, GpsTimeModels &models, GpsTimeSequences &seq);

// The colour coding shared by RGB12 v2 and the RGB layer of RGB14 and
// RGBNIR14: which bytes changed, then each changed byte as a difference from
// the previous colour, green and blue predicted from red's change.
struct ColourModels {
    SymbolModel used;                 // 128 symbols: bits 0-5 the bytes, bit 6 not grey
    std::array<SymbolModel, 6> bytes; // low and high bytes of R, G, B
    bool started = false;
    void init() noexcept { started = false; }  // started with the first colour
    void start();
};
void decode_colour(ArithmeticDecoder &decoder, ColourModels &models, std::array<std::uint16_t, 3> &rgb);

// The wave packet descriptor: index, offset to the waveform data (same,
// previous plus previous size, a coded difference or raw), size, return
// point location and x(t), y(t), z(t) (the 32-bit floats as the integers
// with the same bits).
struct WavePacket {
    std::array<unsigned char, 29> bytes{};
};
struct WavePacketModels {
    SymbolModel index;
    std::array<SymbolModel, 4> offset_kind;
    IntegerDecompressor offset_diff;
    IntegerDecompressor packet_size;
    IntegerDecompressor return_point;
    IntegerDecompressor xyz;
    unsigned last_kind = 0;
    std::int32_t last_offset_diff = 0;
    void init();
};
void decode_wave_packet(ArithmeticDecoder &decoder, WavePacketModels &models, WavePacket &packet);

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_ITEM_CODING_H
