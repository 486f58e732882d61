// Packed vector of n >= 1 bits, the solver's column and target type. Same
// layout and tail invariant as a matrix row.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/buffer.hpp"
#include "boolmat/failure.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

class BitVec {
public:
    BitVec(BitVec&&) noexcept = default;
    BitVec& operator=(BitVec&&) noexcept = default;
    BitVec(const BitVec&) = delete;
    BitVec& operator=(const BitVec&) = delete;

    static Result<BitVec> zeros(std::uint64_t n);
    // One byte per bit; any non-zero byte is a 1.
    static Result<BitVec> from_bools(std::span<const std::uint8_t> values);
    static Result<BitVec> from_words(std::span<const Word> words, std::uint64_t n);

    std::uint64_t len() const noexcept { return n_; }
    std::span<const Word> words() const noexcept { return words_.span(); }
    std::span<Word> words_mut() noexcept { return words_.span(); }

    Result<bool> get(std::uint64_t i) const;
    Status set(std::uint64_t i, bool value);
    std::uint64_t count_ones() const noexcept;
    Status or_assign(const BitVec& other);
    Result<std::uint64_t> hamming(const BitVec& other) const;
    Result<BitVec> clone() const;

private:
    BitVec(Buffer<Word> words, std::uint64_t n) noexcept : words_(std::move(words)), n_(n) {}

    Buffer<Word> words_;
    std::uint64_t n_;
};

}  // namespace boolmat
