// SPDX-License-Identifier: MIT
// The range decoder's models: how their counts turn into the distributions
// the decoder searches, and when they adapt.
#include "laz/arithmetic_decoder.h"

#include <array>
#include <cstddef>

namespace tolvren::laz {

namespace {

// Alphabets above 16 symbols get the smallest lookup table of at least 8
// entries with four or fewer symbols per entry; smaller ones none (0).
constexpr unsigned table_bits_of(std::uint32_t symbols) {
    if (symbols <= 16) return 0;
    unsigned bits = 3;
    while (symbols > (1u << (bits + 2))) ++bits;
    return bits;
}

constexpr std::size_t storage_of(std::uint32_t symbols) {
    const unsigned bits = table_bits_of(symbols);
    return 2 * std::size_t{symbols} + (bits != 0 ? (std::size_t{1} << bits) + 2 : 0);
}

// What a model of N symbols holds when it starts: every count 1 (total N),
// the distribution they give and its lookup table, as rebuild() makes them.
// A model is started for every context a chunk meets, thousands of times in
// a file of small chunks: copying this costs a fraction of building it.
template <std::uint32_t N>
constexpr std::array<std::uint32_t, storage_of(N)> fresh_storage() {
    std::array<std::uint32_t, storage_of(N)> s{};
    const std::uint32_t scale = 0x80000000u / N;
    for (std::uint32_t k = 0; k < N; ++k) {
        s[k] = (scale * k) >> 16;
        s[N + k] = 1;
    }
    const unsigned bits = table_bits_of(N);
    if (bits != 0) {
        const std::uint32_t shift = kSymbolShift - bits;
        std::uint32_t p = 0;
        for (std::uint32_t k = 0; k < N; ++k) {
            const std::uint32_t w = s[k] >> shift;
            while (p < w) s[2 * N + ++p] = k - 1;
        }
        s[2 * N] = 0;
        while (p <= (1u << bits)) s[2 * N + ++p] = N - 1;
    }
    return s;
}

template <std::uint32_t N>
constexpr std::array<std::uint32_t, storage_of(N)> kFresh = fresh_storage<N>();

}  // namespace

void SymbolModel::init(std::uint32_t symbols) {
    if (symbols < 2) symbols = 2;
    if (symbols > kMaxSymbols) symbols = kMaxSymbols;
    symbols_ = symbols;
    last_symbol_ = symbols - 1;
    const unsigned bits = table_bits_of(symbols);
    table_size_ = bits != 0 ? 1u << bits : 0;
    table_shift_ = bits != 0 ? kSymbolShift - bits : 0;
    total_ = symbols;
    update_cycle_ = until_update_ = (symbols + 6) >> 1;
    // The alphabets the LAZ items use start from a copy.
    switch (symbols) {
        case 2: storage_.assign(kFresh<2>.begin(), kFresh<2>.end()); return;
        case 3: storage_.assign(kFresh<3>.begin(), kFresh<3>.end()); return;
        case 4: storage_.assign(kFresh<4>.begin(), kFresh<4>.end()); return;
        case 8: storage_.assign(kFresh<8>.begin(), kFresh<8>.end()); return;
        case 9: storage_.assign(kFresh<9>.begin(), kFresh<9>.end()); return;
        case 16: storage_.assign(kFresh<16>.begin(), kFresh<16>.end()); return;
        case 17: storage_.assign(kFresh<17>.begin(), kFresh<17>.end()); return;
        case 32: storage_.assign(kFresh<32>.begin(), kFresh<32>.end()); return;
        case 33: storage_.assign(kFresh<33>.begin(), kFresh<33>.end()); return;
        case 64: storage_.assign(kFresh<64>.begin(), kFresh<64>.end()); return;
        case 128: storage_.assign(kFresh<128>.begin(), kFresh<128>.end()); return;
        case 256: storage_.assign(kFresh<256>.begin(), kFresh<256>.end()); return;
        default: break;
    }
    // Every entry is written below: no need to clear a buffer kept from an
    // earlier use.
    storage_.resize(storage_of(symbols));
    std::fill_n(counts(), symbols, 1u);
    total_ = 0;
    update_cycle_ = symbols;
    rebuild();
    update_cycle_ = until_update_ = (symbols + 6) >> 1;
}

void SymbolModel::rebuild() noexcept {
    std::uint32_t *const count = counts();
    total_ += update_cycle_;
    if (total_ > kSymbolMaxCount) {
        // Halve the counts (keeping every one at least 1) so that the
        // distribution keeps 15 bits and follows recent data.
        total_ = 0;
        for (std::uint32_t k = 0; k < symbols_; ++k) {
            count[k] = (count[k] + 1) >> 1;
            total_ += count[k];
        }
    }
    // total_ <= 2^15, so scale * sum <= 2^31 and every symbol keeps a width
    // of at least 1 in the distribution.
    const std::uint32_t scale = 0x80000000u / total_;
    std::uint32_t *const distribution = this->distribution();
    std::uint32_t sum = 0;
    for (std::uint32_t k = 0; k < symbols_; ++k) {
        distribution[k] = (scale * sum) >> 16;
        sum += count[k];
    }
    if (table_size_ != 0) {
        // table[t] is the largest symbol whose distribution value lies below
        // t << table_shift; the wanted symbol for a quotient with top bits t
        // lies between table[t] and table[t + 1].
        std::uint32_t *const table = this->table();
        std::uint32_t p = 0;
        for (std::uint32_t k = 0; k < symbols_; ++k) {
            const std::uint32_t w = distribution[k] >> table_shift_;
            while (p < w) table[++p] = k - 1;
        }
        table[0] = 0;
        while (p <= table_size_) table[++p] = symbols_ - 1;
    }
    update_cycle_ = (5 * update_cycle_) >> 2;
    const std::uint32_t longest = (symbols_ + 6) << 3;
    if (update_cycle_ > longest) update_cycle_ = longest;
    until_update_ = update_cycle_;
}

void BitModel::update() noexcept {
    total_count_ += update_cycle_;
    if (total_count_ > kBitMaxCount) {
        total_count_ = (total_count_ + 1) >> 1;
        zero_count_ = (zero_count_ + 1) >> 1;
        if (zero_count_ == total_count_) ++total_count_;
    }
    const std::uint32_t scale = 0x80000000u / total_count_;
    p0_ = (zero_count_ * scale) >> (31 - kBitShift);
    update_cycle_ = (5 * update_cycle_) >> 2;
    if (update_cycle_ > 64) update_cycle_ = 64;
    until_update_ = update_cycle_;
}

bool ArithmeticDecoder::refill() noexcept {
    if (stream_ && stream_->next_window(cur_, lim_)) return true;
    // Past the end of the stream (or a read that failed): the caller sees
    // the flag; the zero that stands in for the byte is never used.
    overrun_ = true;
    return false;
}

void IntegerDecompressor::init(unsigned bits, unsigned contexts) {
    bits_ = bits;
    last_k_ = 0;
    class_models_.resize(contexts);
    class_started_.assign(contexts, 0);
    zero_model_.init();
    value_models_.resize(bits);
    value_started_ = 0;
}

void IntegerDecompressor::start_class(unsigned context) {
    class_models_[context].init(bits_ + 1);
    class_started_[context] = 1;
}

void IntegerDecompressor::start_value(unsigned k) {
    // 2^k symbols up to k = 8; beyond, the top 8 bits (then raw bits).
    value_models_[k - 1].init(1u << (k < 8 ? k : 8));
    value_started_ |= std::uint64_t{1} << (k - 1);
}

void LazyModels::configure(std::size_t count, std::uint32_t symbols) {
    fresh_.init(symbols);
    models_.resize(count);
    started_.assign(count, false);
}

}  // namespace tolvren::laz
