// SPDX-License-Identifier: MIT
// The range decoder's models: how their counts turn into the distributions
// the decoder searches, and when they adapt.
#include "laz/arithmetic_decoder.h"

namespace tolvren::laz {

void SymbolModel::init(std::uint32_t symbols) {
    if (symbols < 2) symbols = 2;
    if (symbols > kMaxSymbols) symbols = kMaxSymbols;
    symbols_ = symbols;
    last_symbol_ = symbols - 1;
    table_size_ = 0;
    table_shift_ = 0;
    if (symbols > 16) {
        // The smallest table of at least 8 entries with four or fewer
        // symbols per entry.
        unsigned table_bits = 3;
        while (symbols > (1u << (table_bits + 2))) ++table_bits;
        table_size_ = 1u << table_bits;
        table_shift_ = kSymbolShift - table_bits;
    }
    // Every entry is written below: no need to clear a buffer kept from an
    // earlier use.
    storage_.resize(2 * std::size_t{symbols} + (table_size_ != 0 ? table_size_ + 2 : 0));
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
