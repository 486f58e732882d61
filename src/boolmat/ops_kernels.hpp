// Word kernels behind the element-wise operations of ops.hpp. Each AVX2
// kernel has a plain *_scalar twin that writes the same words; the tests
// compare the two on random inputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boolmat/words.hpp"

namespace boolmat {

enum class WordOp : std::uint8_t { And, Or, Xor, AndNot };

// dst[k] = a[k] op b[k] for k < n. dst may be a itself (the in-place forms)
// but must not otherwise overlap a or b.
void combine_words(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept;
void combine_words_scalar(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept;

// dst = NOT src over rows runs of stride words, the last word of every run
// ANDed with tail. dst may be src itself.
void complement_words(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride, Word tail) noexcept;
void complement_words_scalar(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride,
                             Word tail) noexcept;

// The same words as combine_words, written with non-temporal stores for
// results too large to stay in cache: no line of dst is read before it is
// overwritten, and dst does not push a and b out of the cache. dst must be
// 8-byte aligned and overlap neither source.
void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept;

bool words_equal(const Word* a, const Word* b, std::size_t n) noexcept;
bool words_equal_scalar(const Word* a, const Word* b, std::size_t n) noexcept;

}  // namespace boolmat
