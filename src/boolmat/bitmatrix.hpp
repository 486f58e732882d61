// Dense Boolean matrix, rows packed into `stride` 64-bit words each, least
// significant bit first. Bits past the last column of every row are always
// 0 (the tail invariant), so whole-word counts, comparisons, hashes and
// products need no masking.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/buffer.hpp"
#include "boolmat/failure.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

class BitMatrix {
public:
    BitMatrix(BitMatrix&&) noexcept = default;
    BitMatrix& operator=(BitMatrix&&) noexcept = default;
    BitMatrix(const BitMatrix&) = delete;  // copies go through clone(), which can fail
    BitMatrix& operator=(const BitMatrix&) = delete;

    static Result<BitMatrix> zeros(std::uint64_t rows, std::uint64_t cols);
    static Result<BitMatrix> ones(std::uint64_t rows, std::uint64_t cols);
    // Same checks as zeros, but the words are left unwritten: for results
    // whose every word the caller overwrites (tail bits 0 included). Skips
    // the zero-fill pass, which costs as much as the operation itself.
    static Result<BitMatrix> uninit(std::uint64_t rows, std::uint64_t cols);

    std::uint64_t rows() const noexcept { return rows_; }
    std::uint64_t cols() const noexcept { return cols_; }
    std::uint64_t stride() const noexcept { return stride_; }

    std::span<const Word> words() const noexcept { return words_.span(); }
    // Mutable view for the kernels; they must keep the tail invariant. The
    // words must be the matrix's own (own_words()).
    std::span<Word> words_mut() noexcept { return words_.span(); }

    // The words of a matrix made over lent memory (over_words()) are only
    // read; own_words() copies them into words of its own, once, before a
    // first write. set, set_row and the in-place operations call it.
    bool words_borrowed() const noexcept { return words_.borrowed(); }
    const Lender& words_lender() const noexcept { return words_.lender(); }
    Status own_words();
    // A rows x cols matrix over `words`, rows x stride of them, typically
    // borrowed. Fails unless every tail bit is clear.
    static Result<BitMatrix> over_words(Buffer<Word> words, std::uint64_t rows, std::uint64_t cols);
    // Hands the block of a matrix whose words are its own to the buffer it
    // returns; the matrix then borrows it from `lender`. The bits and their
    // address do not change, so readers of the words are unaffected.
    Buffer<Word> lend_words(Lender lender) noexcept { return words_.lend_to(lender); }

    Result<bool> get(std::uint64_t i, std::uint64_t j) const;
    Status set(std::uint64_t i, std::uint64_t j, bool value);
    Result<std::span<const Word>> row(std::uint64_t i) const;
    Status set_row(std::uint64_t i, std::span<const Word> src);
    Result<BitMatrix> clone() const;
    std::uint64_t count_ones() const noexcept;

    // Unchecked access for callers that have validated the indices.
    bool get_unchecked(std::uint64_t i, std::uint64_t j) const noexcept {
        return (words_[i * stride_ + j / kWordBits] >> (j % kWordBits)) & 1;
    }
    // The words must be the matrix's own (own_words()).
    void set_unchecked(std::uint64_t i, std::uint64_t j, bool value) noexcept {
        Word& w = words_[i * stride_ + j / kWordBits];
        const Word bit = Word{1} << (j % kWordBits);
        w = value ? (w | bit) : (w & ~bit);
    }
    const Word* row_ptr(std::uint64_t i) const noexcept { return words_.data() + i * stride_; }
    Word* row_ptr(std::uint64_t i) noexcept { return words_.data() + i * stride_; }

private:
    BitMatrix(Buffer<Word> words, std::uint64_t rows, std::uint64_t cols, std::uint64_t stride) noexcept
        : words_(std::move(words)), rows_(rows), cols_(cols), stride_(stride) {}

    Buffer<Word> words_;
    std::uint64_t rows_;
    std::uint64_t cols_;
    std::uint64_t stride_;
};

// The checks of zeros/ones without the allocation: the word count of a
// rows x cols matrix, or the failure that constructing it would report.
Result<std::uint64_t> checked_word_count(std::uint64_t rows, std::uint64_t cols);

}  // namespace boolmat
