// Portable word loops for the element-wise operations. Plain loops over
// independent words, which the compiler vectorises for whatever the
// baseline of the target offers (SSE2 on x86-64, NEON on aarch64).
#include <algorithm>

#include "boolmat/ops_kernels.hpp"

namespace boolmat::generic {
namespace {

template <WordOp Op>
void combine(Word* __restrict dst, const Word* a, const Word* b, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        if constexpr (Op == WordOp::And) dst[k] = a[k] & b[k];
        if constexpr (Op == WordOp::Or) dst[k] = a[k] | b[k];
        if constexpr (Op == WordOp::Xor) dst[k] = a[k] ^ b[k];
        if constexpr (Op == WordOp::AndNot) dst[k] = a[k] & ~b[k];
    }
}

// dst may be a itself, so the in-place forms go through a loop that does
// not assume dst and a are distinct.
template <WordOp Op>
void combine_in_place(Word* dst, const Word* b, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        if constexpr (Op == WordOp::And) dst[k] &= b[k];
        if constexpr (Op == WordOp::Or) dst[k] |= b[k];
        if constexpr (Op == WordOp::Xor) dst[k] ^= b[k];
        if constexpr (Op == WordOp::AndNot) dst[k] &= ~b[k];
    }
}

template <WordOp Op>
void combine_op(Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    if (dst == a) {
        combine_in_place<Op>(dst, b, n);
    } else {
        combine<Op>(dst, a, b, n);
    }
}

}  // namespace

void combine_words(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    switch (op) {
        case WordOp::And: return combine_op<WordOp::And>(dst, a, b, n);
        case WordOp::Or: return combine_op<WordOp::Or>(dst, a, b, n);
        case WordOp::Xor: return combine_op<WordOp::Xor>(dst, a, b, n);
        case WordOp::AndNot: return combine_op<WordOp::AndNot>(dst, a, b, n);
    }
}

// Portable C++ has no non-temporal store: the words go through the cache.
void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    generic::combine_words(op, dst, a, b, n);
}

void complement_words(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride, Word tail) noexcept {
    const std::uint64_t n = rows * stride;
    for (std::uint64_t k = 0; k < n; ++k) dst[k] = ~src[k];
    if (tail != ~Word{0}) {
        for (std::uint64_t i = 0; i < rows; ++i) dst[i * stride + stride - 1] &= tail;
    }
}

bool words_equal(const Word* a, const Word* b, std::size_t n) noexcept {
    // Blocks of 16 words OR their differences, so the loop body vectorises
    // and the exit test is taken once per block.
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        Word d = 0;
        for (std::size_t j = 0; j < 16; ++j) d |= a[k + j] ^ b[k + j];
        if (d != 0) return false;
    }
    for (; k < n; ++k) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

}  // namespace boolmat::generic
