/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): the range decoder
// that every LAZ byte stream is coded with, its adaptive models, and the
// integer decompressor built on them. Nothing here knows about LAS: the item
// decoders above tell it what to decode and with which model.
//
// The decoder keeps two 32-bit registers, `value` and `length`, and reads
// the stream a byte at a time whenever `length` falls below 2^24. A valid
// stream never needs a byte past its end: the encoder pads every stream so
// that the decoder, which always holds four bytes ahead, reads exactly the
// bytes that were written. A request beyond the end therefore marks the
// stream as overrun, and an impossible decoded value (a symbol search that
// leaves its table, raw bits out of range) marks it corrupt; both are
// sticky and the callers test them after each point. Past the end the
// decoder is fed zeros so that it stays defined; nothing it decodes then is
// used.
#ifndef TOLVREN_LAZ_ARITHMETIC_DECODER_H
#define TOLVREN_LAZ_ARITHMETIC_DECODER_H

#include "laz/byte_stream.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvren::laz {

// Renormalise when the length falls below this.
inline constexpr std::uint32_t kMinLength = 1u << 24;
// Symbol models code probabilities in 15 bits, bit models in 13.
inline constexpr unsigned kSymbolShift = 15;
inline constexpr std::uint32_t kSymbolMaxCount = 1u << kSymbolShift;
inline constexpr unsigned kBitShift = 13;
inline constexpr std::uint32_t kBitMaxCount = 1u << kBitShift;
// The largest alphabet any LAZ model uses is 516 (GPS time multipliers);
// the model supports up to 2048.
inline constexpr std::uint32_t kMaxSymbols = 2048;

// An adaptive frequency table over `n` symbols. Counts start at 1 and are
// turned into a cumulative distribution at growing intervals; alphabets
// above 16 symbols also keep a lookup table that narrows the search for a
// symbol to a few candidates.
class SymbolModel {
public:
    // (Re)starts the model fresh with `symbols` symbols, 2 to kMaxSymbols.
    // Keeps its storage from earlier uses. May throw std::bad_alloc.
    void init(std::uint32_t symbols);
    std::uint32_t symbols() const noexcept { return symbols_; }

    // What an encoder needs (test fixtures write LAZ data with it): the
    // cumulative count below `symbol` in 15 bits, whether it is the last
    // symbol, and the adaptation after coding it, as the decoder does it.
    std::uint32_t cumulative(std::uint32_t symbol) const noexcept { return storage_[symbol]; }
    bool is_last(std::uint32_t symbol) const noexcept { return symbol == last_symbol_; }
    void adapt(std::uint32_t symbol) noexcept {
        ++counts()[symbol];
        if (--until_update_ == 0) rebuild();
    }

private:
    friend class ArithmeticDecoder;
    void rebuild() noexcept;

    std::uint32_t *distribution() noexcept { return storage_.data(); }
    std::uint32_t *counts() noexcept { return storage_.data() + symbols_; }
    std::uint32_t *table() noexcept { return storage_.data() + 2 * std::size_t{symbols_}; }

    std::uint32_t symbols_ = 0;
    std::uint32_t last_symbol_ = 0;
    std::uint32_t total_ = 0;
    std::uint32_t update_cycle_ = 0;
    std::uint32_t until_update_ = 0;
    std::uint32_t table_size_ = 0;   // 0: no lookup table (16 symbols or fewer)
    std::uint32_t table_shift_ = 0;
    // distribution[n], counts[n], then table[table_size + 2]
    std::vector<std::uint32_t> storage_;
};

// An adaptive probability of a zero bit, in 13 bits.
class BitModel {
public:
    void init() noexcept { *this = BitModel{}; }

    // For an encoder, as for SymbolModel.
    std::uint32_t p0() const noexcept { return p0_; }
    void adapt(std::uint32_t bit) noexcept {
        if (bit == 0) ++zero_count_;
        if (--until_update_ == 0) update();
    }

private:
    friend class ArithmeticDecoder;
    void update() noexcept;

    std::uint32_t zero_count_ = 1;
    std::uint32_t total_count_ = 2;
    std::uint32_t p0_ = kBitMaxCount >> 1;
    std::uint32_t update_cycle_ = 4;
    std::uint32_t until_update_ = 4;
};

class ArithmeticDecoder {
public:
    // Takes the bytes of `stream` from its current position; nothing is
    // decoded until start().
    void attach(Stream &stream) noexcept {
        stream_ = &stream;
        cur_ = lim_ = nullptr;
        overrun_ = corrupt_ = false;
    }

    // Copies `size` bytes as they are (the raw first point of a chunk).
    void read_raw(unsigned char *out, std::size_t size) noexcept {
        for (std::size_t i = 0; i < size; ++i) out[i] = next_byte();
    }

    // A little-endian 32-bit integer as stored (not arithmetic-coded).
    std::uint32_t read_raw_u32() noexcept {
        std::array<unsigned char, 4> bytes;
        read_raw(bytes.data(), bytes.size());
        return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
               std::uint32_t{bytes[3]} << 24;
    }

    // Starts decoding: the next four bytes, most significant first, are the
    // initial value.
    void start() noexcept {
        length_ = 0xFFFFFFFFu;
        value_ = 0;
        for (int i = 0; i < 4; ++i) value_ = (value_ << 8) | next_byte();
    }

    std::uint32_t decode_symbol(SymbolModel &model) noexcept;
    std::uint32_t decode_bit(BitModel &model) noexcept;
    // `bits` raw bits, 1 to 32, uniformly distributed: the low 16 first when
    // there are more than 19.
    std::uint32_t read_bits(unsigned bits) noexcept;
    std::uint32_t read_u32() noexcept {
        const std::uint32_t low = read_bits(16);
        return (read_bits(16) << 16) | low;
    }
    std::uint64_t read_u64() noexcept {
        const std::uint64_t low = read_u32();
        return (std::uint64_t{read_u32()} << 32) | low;
    }

    bool overrun() const noexcept { return overrun_; }
    bool corrupt() const noexcept { return corrupt_; }
    bool failed() const noexcept { return overrun_ || corrupt_; }
    void mark_corrupt() noexcept { corrupt_ = true; }
    // Bytes taken from the stream: the raw bytes, the four initial ones and
    // every byte read while renormalising.
    std::uint64_t consumed() const noexcept {
        return stream_ ? stream_->delivered() - static_cast<std::uint64_t>(lim_ - cur_) : 0;
    }
    // How reading the stream failed, when it did.
    Stream::Status stream_status() const noexcept { return stream_ ? stream_->status() : Stream::Status::ok; }

private:
    unsigned char next_byte() noexcept {
        if (cur_ == lim_ && !refill()) return 0;
        return *cur_++;
    }
    bool refill() noexcept;
    void renormalise() noexcept {
        do {
            value_ = (value_ << 8) | next_byte();
            length_ <<= 8;
        } while (length_ < kMinLength);
    }

    std::uint32_t value_ = 0;
    std::uint32_t length_ = 0xFFFFFFFFu;
    const unsigned char *cur_ = nullptr;
    const unsigned char *lim_ = nullptr;
    Stream *stream_ = nullptr;
    bool overrun_ = false;
    bool corrupt_ = false;
};

inline std::uint32_t ArithmeticDecoder::decode_symbol(SymbolModel &model) noexcept {
    std::uint32_t *const distribution = model.distribution();
    std::uint32_t y = length_;
    length_ >>= kSymbolShift;
    std::uint32_t symbol;
    std::uint32_t x;
    if (model.table_size_ != 0) {
        // The table gives the first and last candidate for the quotient's
        // top bits; a binary search between them finds the largest symbol
        // whose cumulative count is not above the quotient.
        const std::uint32_t quotient = value_ / length_;
        std::uint32_t slot = quotient >> model.table_shift_;
        if (slot > model.table_size_) {
            // Only a damaged stream gets here.
            corrupt_ = true;
            slot = model.table_size_;
        }
        const std::uint32_t *const table = model.table();
        symbol = table[slot];
        std::uint32_t end = table[slot + 1] + 1;
        while (end > symbol + 1) {
            const std::uint32_t middle = (symbol + end) >> 1;
            if (distribution[middle] > quotient) {
                end = middle;
            } else {
                symbol = middle;
            }
        }
        x = distribution[symbol] * length_;
        if (symbol != model.last_symbol_) y = distribution[symbol + 1] * length_;
    } else {
        // Few symbols: bisect on the products directly.
        x = 0;
        symbol = 0;
        std::uint32_t end = model.symbols_;
        std::uint32_t k = end >> 1;
        do {
            const std::uint32_t z = length_ * distribution[k];
            if (z > value_) {
                end = k;
                y = z;
            } else {
                symbol = k;
                x = z;
            }
            k = (symbol + end) >> 1;
        } while (k != symbol);
    }
    value_ -= x;
    length_ = y - x;
    if (length_ < kMinLength) renormalise();
    ++model.counts()[symbol];
    if (--model.until_update_ == 0) model.rebuild();
    return symbol;
}

inline std::uint32_t ArithmeticDecoder::decode_bit(BitModel &model) noexcept {
    const std::uint32_t x = model.p0_ * (length_ >> kBitShift);
    std::uint32_t bit;
    if (value_ < x) {
        bit = 0;
        length_ = x;
        ++model.zero_count_;
    } else {
        bit = 1;
        value_ -= x;
        length_ -= x;
    }
    if (length_ < kMinLength) renormalise();
    if (--model.until_update_ == 0) model.update();
    return bit;
}

inline std::uint32_t ArithmeticDecoder::read_bits(unsigned bits) noexcept {
    if (bits > 19) {
        const std::uint32_t low = read_bits(16);
        return (read_bits(bits - 16) << 16) | low;
    }
    length_ >>= bits;
    const std::uint32_t result = value_ / length_;
    value_ -= result * length_;
    if (length_ < kMinLength) renormalise();
    if (result >> bits != 0) corrupt_ = true;
    return result;
}

// Decodes 32-bit integers as a prediction plus a correction. The correction
// is coded as its bit length class k (one symbol model per context), then
// k = 0: one bit (0 or 1); 1 <= k <= 8: the value in 2^k symbols;
// k > 8: its top 8 bits in a 256-symbol model and k - 8 raw bits. Class k
// covers -(2^k - 1) .. -2^(k-1) and 2^(k-1) + 1 .. 2^k; k = 32 is -2^31.
// Values narrower than 32 bits fold back into 0 .. 2^bits - 1.
//
// Models are started fresh when first used after init(): most contexts and
// most bit length classes never occur in a chunk, and starting all of them
// would cost more than decoding a small chunk.
class IntegerDecompressor {
public:
    // (Re)starts every model fresh. `bits` is 8, 16 or 32. May throw
    // std::bad_alloc, as may decompress() when it starts a model.
    void init(unsigned bits, unsigned contexts);

    std::int32_t decompress(ArithmeticDecoder &decoder, std::int32_t prediction, unsigned context) {
        if (!class_started_[context]) start_class(context);
        const std::uint32_t k = decoder.decode_symbol(class_models_[context]);
        last_k_ = k;
        std::uint32_t correction;
        if (k == 0) {
            correction = decoder.decode_bit(zero_model_);
        } else if (k < 32) {
            if (((value_started_ >> (k - 1)) & 1u) == 0) start_value(k);
            std::uint32_t v = decoder.decode_symbol(value_models_[k - 1]);
            if (k > 8) {
                const unsigned low_bits = k - 8;
                v = (v << low_bits) | decoder.read_bits(low_bits);
            }
            const std::uint32_t half = 1u << (k - 1);
            // Unsigned arithmetic is the two's complement wrap the format
            // asks for.
            correction = v >= half ? v + 1 : v - ((half << 1) - 1);
        } else {
            correction = 0x80000000u;
        }
        std::uint32_t real = static_cast<std::uint32_t>(prediction) + correction;
        if (bits_ < 32) {
            const std::uint32_t range = 1u << bits_;
            if (static_cast<std::int32_t>(real) < 0) {
                real += range;
            } else if (real >= range) {
                real -= range;
            }
        }
        return static_cast<std::int32_t>(real);
    }

    // The bit length class of the most recent correction.
    unsigned last_k() const noexcept { return last_k_; }

private:
    void start_class(unsigned context);
    void start_value(unsigned k);

    unsigned bits_ = 32;
    unsigned last_k_ = 0;
    std::vector<SymbolModel> class_models_;  // one per context
    std::vector<unsigned char> class_started_;
    BitModel zero_model_;
    std::vector<SymbolModel> value_models_;  // k = 1 .. bits
    std::uint64_t value_started_ = 0;        // bit k - 1 for class k
};

// A set of symbol models selected by a previous value, each started only
// when first used in a chunk (most of the 256 models a previous byte could
// select are never used). Storage is kept from chunk to chunk.
class LazyModels {
public:
    // `count` models of `symbols` symbols each; none started.
    void configure(std::size_t count, std::uint32_t symbols);
    // Forgets every model, as at the start of a chunk.
    void reset() noexcept { std::fill(started_.begin(), started_.end(), false); }
    SymbolModel &operator[](std::size_t index) {
        if (!started_[index]) {
            // A copy of a fresh model costs a fraction of building one.
            models_[index] = fresh_;
            started_[index] = true;
        }
        return models_[index];
    }

private:
    SymbolModel fresh_;
    std::vector<SymbolModel> models_;
    std::vector<bool> started_;
};

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_ARITHMETIC_DECODER_H
