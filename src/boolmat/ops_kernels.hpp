// Word kernels behind the element-wise operations of ops.hpp, one set per
// namespace (kernels.hpp picks one), each writing the same words as the
// *_scalar reference; the tests compare every set with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boolmat/kernels.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

// Every set has these entry points:
// - combine_words: dst[k] = a[k] op b[k] for k < n. dst may be a itself (the
//   in-place forms) but must not otherwise overlap a or b.
// - combine_words_streamed: the same words, written with non-temporal stores
//   where the set has them, for results too large to stay in cache: no line
//   of dst is read before it is overwritten, and dst does not push a and b
//   out of the cache. dst must be 8-byte aligned and overlap neither source.
// - complement_words: dst = NOT src over rows runs of stride words, the last
//   word of every run ANDed with tail. dst may be src itself.
// - words_equal.
#define VALDRIX_OPS_KERNELS                                                                              \
    void combine_words(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept;      \
    void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept; \
    void complement_words(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride, Word tail) noexcept; \
    bool words_equal(const Word* a, const Word* b, std::size_t n) noexcept;

namespace generic {
VALDRIX_OPS_KERNELS
}
namespace avx2 {
VALDRIX_OPS_KERNELS
}
namespace avx512 {
VALDRIX_OPS_KERNELS
}
#undef VALDRIX_OPS_KERNELS

void combine_words_scalar(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept;
void complement_words_scalar(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride,
                             Word tail) noexcept;
bool words_equal_scalar(const Word* a, const Word* b, std::size_t n) noexcept;

// a op b for one word, in the word loops of the sets.
template <WordOp Op>
constexpr Word word_op(Word a, Word b) noexcept {
    if constexpr (Op == WordOp::And) return a & b;
    if constexpr (Op == WordOp::Or) return a | b;
    if constexpr (Op == WordOp::Xor) return a ^ b;
    if constexpr (Op == WordOp::AndNot) return a & ~b;
}

// The active set's.
inline void combine_words(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    kernels().combine_words(op, dst, a, b, n);
}
inline void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    kernels().combine_words_streamed(op, dst, a, b, n);
}
inline void complement_words(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride,
                             Word tail) noexcept {
    kernels().complement_words(dst, src, rows, stride, tail);
}
inline bool words_equal(const Word* a, const Word* b, std::size_t n) noexcept {
    return kernels().words_equal(a, b, n);
}

}  // namespace boolmat
