#include "boolmat/bitvec.hpp"

#include <cstring>

#include "boolmat/popcount.hpp"

namespace boolmat {

Result<BitVec> BitVec::zeros(std::uint64_t n) {
    if (n == 0) return panic("n égale à 0");
    TRY(Buffer<Word> words, Buffer<Word>::zeroed(words_for(n)));
    return BitVec(std::move(words), n);
}

Result<BitVec> BitVec::from_bools(std::span<const std::uint8_t> values) {
    TRY(BitVec v, zeros(values.size()));
    for (std::uint64_t i = 0; i < values.size(); ++i) {
        v.words_[i / kWordBits] |= Word{values[i] != 0} << (i % kWordBits);
    }
    return v;
}

Result<BitVec> BitVec::from_words(std::span<const Word> words, std::uint64_t n) {
    if (n == 0) return panic("n égale à 0");
    if (words.size() != words_for(n)) return panic("{} mots fournis pour {} bits", words.size(), n);
    TRY(Buffer<Word> copy, Buffer<Word>::copy_of(words));
    copy[copy.size() - 1] &= tail_mask(n);
    return BitVec(std::move(copy), n);
}

// Positions past n are refused even when their word exists: a 1 written
// there would break the tail invariant that every count relies on.
Result<bool> BitVec::get(std::uint64_t i) const {
    if (i >= n_) return panic("indice de bit {} hors limites (n = {})", i, n_);
    return ((words_[i / kWordBits] >> (i % kWordBits)) & 1) != 0;
}

Status BitVec::set(std::uint64_t i, bool value) {
    if (i >= n_) return panic("indice de bit {} hors limites (n = {})", i, n_);
    Word& w = words_[i / kWordBits];
    const Word bit = Word{1} << (i % kWordBits);
    w = value ? (w | bit) : (w & ~bit);
    return {};
}

std::uint64_t BitVec::count_ones() const noexcept { return popcount_words(words()); }

Status BitVec::or_assign(const BitVec& other) {
    if (n_ != other.n_) return panic("longueurs differentes : {} et {} bits", n_, other.n_);
    for (std::size_t k = 0; k < words_.size(); ++k) words_[k] |= other.words_[k];
    return {};
}

Result<std::uint64_t> BitVec::hamming(const BitVec& other) const {
    if (n_ != other.n_) return panic("longueurs differentes : {} et {} bits", n_, other.n_);
    return popcount_xor(words(), other.words());
}

Result<BitVec> BitVec::clone() const {
    TRY(Buffer<Word> words, words_.clone());
    return BitVec(std::move(words), n_);
}

}  // namespace boolmat
