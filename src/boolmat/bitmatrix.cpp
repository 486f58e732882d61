#include "boolmat/bitmatrix.hpp"

#include <cstring>

#include "boolmat/popcount.hpp"

namespace boolmat {

Result<std::uint64_t> checked_word_count(std::uint64_t rows, std::uint64_t cols) {
    if (cols == 0) return panic("cols égale à 0");
    if (rows == 0) return panic("rows égale à 0");
    const std::uint64_t stride = words_for(cols);
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(rows, stride, &count) || __builtin_mul_overflow(count, std::uint64_t{8}, &bytes) ||
        bytes > 0x7FFFFFFFFFFFFFF8ull) {
        return panic("capacity overflow");
    }
    return count;
}

Result<BitMatrix> BitMatrix::zeros(std::uint64_t rows, std::uint64_t cols) {
    TRY(const std::uint64_t count, checked_word_count(rows, cols));
    TRY(Buffer<Word> words, Buffer<Word>::zeroed(count));
    return BitMatrix(std::move(words), rows, cols, words_for(cols));
}

Result<BitMatrix> BitMatrix::uninit(std::uint64_t rows, std::uint64_t cols) {
    TRY(const std::uint64_t count, checked_word_count(rows, cols));
    TRY(Buffer<Word> words, Buffer<Word>::uninit(count));
    return BitMatrix(std::move(words), rows, cols, words_for(cols));
}

Result<BitMatrix> BitMatrix::ones(std::uint64_t rows, std::uint64_t cols) {
    TRY(const std::uint64_t count, checked_word_count(rows, cols));
    TRY(Buffer<Word> words, Buffer<Word>::uninit(count));
    std::memset(words.data(), 0xFF, count * sizeof(Word));
    const std::uint64_t stride = words_for(cols);
    const Word mask = tail_mask(cols);
    for (std::uint64_t k = stride - 1; k < count; k += stride) words[k] &= mask;
    return BitMatrix(std::move(words), rows, cols, stride);
}

Result<bool> BitMatrix::get(std::uint64_t i, std::uint64_t j) const {
    if (i >= rows_) return panic("index {} hors limites (rows = {})", i, rows_);
    if (j >= cols_) return panic("index {} hors limites (cols = {})", j, cols_);
    return get_unchecked(i, j);
}

Status BitMatrix::set(std::uint64_t i, std::uint64_t j, bool value) {
    if (i >= rows_) return panic("index {} hors limites (rows = {})", i, rows_);
    if (j >= cols_) return panic("index {} hors limites (cols = {})", j, cols_);
    TRY_VOID(own_words());
    set_unchecked(i, j, value);
    return {};
}

Result<std::span<const Word>> BitMatrix::row(std::uint64_t i) const {
    if (i >= rows_) return panic("index {} hors limites (rows = {})", i, rows_);
    return std::span<const Word>(row_ptr(i), stride_);
}

Status BitMatrix::set_row(std::uint64_t i, std::span<const Word> src) {
    if (i >= rows_) return panic("ligne {} hors limites (rows = {})", i, rows_);
    if (src.size() != stride_) return panic("{} mots pour un stride de {}", src.size(), stride_);
    TRY_VOID(own_words());
    Word* dst = row_ptr(i);
    std::memcpy(dst, src.data(), stride_ * sizeof(Word));
    dst[stride_ - 1] &= tail_mask(cols_);
    return {};
}

Status BitMatrix::own_words() {
    if (!words_.borrowed()) return {};
    TRY(words_, words_.clone());
    return {};
}

Result<BitMatrix> BitMatrix::over_words(Buffer<Word> words, std::uint64_t rows, std::uint64_t cols) {
    TRY(const std::uint64_t count, checked_word_count(rows, cols));
    if (words.size() != count) return panic("{} mots pour une matrice {}x{}, {} attendus", words.size(), rows, cols, count);
    const std::uint64_t stride = count / rows;
    const Word outside = ~tail_mask(cols);
    if (outside != 0) {
        for (std::uint64_t k = stride - 1; k < count; k += stride) {
            if ((words[k] & outside) != 0) return panic("bits hors de la matrice {}x{}", rows, cols);
        }
    }
    return BitMatrix(std::move(words), rows, cols, stride);
}

Result<BitMatrix> BitMatrix::clone() const {
    TRY(Buffer<Word> words, words_.clone());
    return BitMatrix(std::move(words), rows_, cols_, stride_);
}

std::uint64_t BitMatrix::count_ones() const noexcept { return popcount_words(words()); }

}  // namespace boolmat
