// The generic set's word loops for the element-wise operations, which the
// compiler vectorises for whatever the baseline of the target offers (SSE2
// on x86-64, NEON on aarch64). Words go in unrolled blocks of 16, with dst
// either distinct from the sources (restrict) or a itself (its own loop), so
// the compiler needs no run-time alias check and issues a block's loads
// together (a loop of single words compiled to one vector per iteration and
// left the in-place forms slower from the shared cache:
// bench/notes/word_kernels.md).
#include <algorithm>
#include <cstdint>

#include "boolmat/ops_complement.hpp"
#include "boolmat/ops_kernels.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace boolmat::generic {
namespace {

constexpr std::size_t kBlock = 16;

template <WordOp Op>
void combine(Word* __restrict dst, const Word* a, const Word* b, std::size_t n) noexcept {
    std::size_t k = 0;
    for (; k + kBlock <= n; k += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) dst[k + j] = word_op<Op>(a[k + j], b[k + j]);
    }
    for (; k < n; ++k) dst[k] = word_op<Op>(a[k], b[k]);
}

template <WordOp Op>
void combine_in_place(Word* dst, const Word* b, std::size_t n) noexcept {
    std::size_t k = 0;
    for (; k + kBlock <= n; k += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) dst[k + j] = word_op<Op>(dst[k + j], b[k + j]);
    }
    for (; k < n; ++k) dst[k] = word_op<Op>(dst[k], b[k]);
}

template <WordOp Op>
void combine_op(Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    if (dst == a) {
        combine_in_place<Op>(dst, b, n);
    } else {
        combine<Op>(dst, a, b, n);
    }
}

void invert_into(Word* __restrict dst, const Word* src, std::size_t n) noexcept {
    std::size_t k = 0;
    for (; k + kBlock <= n; k += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) dst[k + j] = ~src[k + j];
    }
    for (; k < n; ++k) dst[k] = ~src[k];
}

// dst may be src itself (no operation needs that path fast).
inline void invert(Word* dst, const Word* src, std::size_t n) noexcept {
    if (dst == src) {
        for (std::size_t k = 0; k < n; ++k) dst[k] = ~dst[k];
    } else {
        invert_into(dst, src, n);
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

#if defined(__SSE2__)
namespace {

template <WordOp Op>
inline __m128i apply(__m128i a, __m128i b) noexcept {
    if constexpr (Op == WordOp::And) return _mm_and_si128(a, b);
    if constexpr (Op == WordOp::Or) return _mm_or_si128(a, b);
    if constexpr (Op == WordOp::Xor) return _mm_xor_si128(a, b);
    if constexpr (Op == WordOp::AndNot) return _mm_andnot_si128(b, a);  // (NOT b) AND a
}

// Every x86-64 has SSE2, so its non-temporal stores belong to the baseline
// too. Written through the cache, each line of a fresh result is read in
// before it is overwritten and pushes a and b out of the shared cache.
template <WordOp Op>
void combine_streamed(Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    std::size_t k = 0;
    if (n != 0 && reinterpret_cast<std::uintptr_t>(dst) % 16 != 0) {
        dst[0] = word_op<Op>(a[0], b[0]);
        k = 1;
    }
    const auto load = [](const Word* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    for (; k + 4 <= n; k += 4) {
        const __m128i r0 = apply<Op>(load(a + k), load(b + k));
        const __m128i r1 = apply<Op>(load(a + k + 2), load(b + k + 2));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k), r0);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k + 2), r1);
    }
    for (; k < n; ++k) dst[k] = word_op<Op>(a[k], b[k]);
    // Streamed words are weakly ordered: fence them before the result is
    // published to anything else.
    _mm_sfence();
}

}  // namespace

void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    switch (op) {
        case WordOp::And: return combine_streamed<WordOp::And>(dst, a, b, n);
        case WordOp::Or: return combine_streamed<WordOp::Or>(dst, a, b, n);
        case WordOp::Xor: return combine_streamed<WordOp::Xor>(dst, a, b, n);
        case WordOp::AndNot: return combine_streamed<WordOp::AndNot>(dst, a, b, n);
    }
}
#else
// Standard C++ has no non-temporal store: the words go through the cache.
void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    generic::combine_words(op, dst, a, b, n);
}
#endif

void complement_words(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride, Word tail) noexcept {
    complement_rows(
        dst, src, rows, stride, tail, [](Word* d, const Word* s, std::uint64_t n) { invert(d, s, n); },
        [](Word* d, const Word* s, std::uint64_t n, Word t) {
            for (std::uint64_t k = 0; k < n; ++k) d[k] = ~s[k] & t;
        });
}

bool words_equal(const Word* a, const Word* b, std::size_t n) noexcept {
    // Blocks OR their differences, so the loop body vectorises and the exit
    // test is taken once per block.
    constexpr std::size_t kEqBlock = 32;
    std::size_t k = 0;
    for (; k + kEqBlock <= n; k += kEqBlock) {
        Word d = 0;
        for (std::size_t j = 0; j < kEqBlock; ++j) d |= a[k + j] ^ b[k + j];
        if (d != 0) return false;
    }
    for (; k < n; ++k) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

}  // namespace boolmat::generic
