// AVX-512 word loops for the element-wise operations: four vectors (32
// words) per iteration, then single vectors, then one masked vector for the
// last words, whose masked loads and stores touch nothing past the end.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "boolmat/ops_kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX512_BEGIN
#include "boolmat/ops_complement.hpp"

namespace boolmat::avx512 {
namespace {

inline __m512i load(const Word* p) { return _mm512_loadu_si512(p); }
inline __m512i load(const Word* p, __mmask8 m) { return _mm512_maskz_loadu_epi64(m, p); }
inline void store(Word* p, __m512i v) { _mm512_storeu_si512(p, v); }
inline void store(Word* p, __m512i v, __mmask8 m) { _mm512_mask_storeu_epi64(p, m, v); }
inline void stream(Word* p, __m512i v) { _mm512_stream_si512(reinterpret_cast<__m512i*>(p), v); }

// a AND NOT b. GCC 12's _mm512_andnot_si512 warns of an uninitialised
// operand of its own; the vector operators give the same vpandnq.
inline __m512i and_not(__m512i a, __m512i b) { return a & ~b; }

// The first n words of a vector, n < 8.
inline __mmask8 first(std::size_t n) { return static_cast<__mmask8>((1u << n) - 1); }

// Words before dst reaches a 64-byte boundary, where streaming stores start.
inline std::size_t head_words(const Word* dst, std::size_t n) noexcept {
    return std::min<std::size_t>(n, (64 - reinterpret_cast<std::uintptr_t>(dst) % 64) % 64 / sizeof(Word));
}

template <WordOp Op>
inline __m512i apply(__m512i a, __m512i b) {
    if constexpr (Op == WordOp::And) return _mm512_and_si512(a, b);
    if constexpr (Op == WordOp::Or) return _mm512_or_si512(a, b);
    if constexpr (Op == WordOp::Xor) return _mm512_xor_si512(a, b);
    if constexpr (Op == WordOp::AndNot) return and_not(a, b);
}

// Words k..k+7 of the result; with a mask, those it selects and zeros.
template <WordOp Op>
inline __m512i op_at(const Word* a, const Word* b, std::size_t k) {
    return apply<Op>(load(a + k), load(b + k));
}
template <WordOp Op>
inline __m512i op_at(const Word* a, const Word* b, std::size_t k, __mmask8 m) {
    return apply<Op>(load(a + k, m), load(b + k, m));
}

// Stream: the whole vectors go past the cache from the first 64-byte
// boundary of dst; the words before it and the last partial vector are
// stored through the cache, with one masked store each.
template <WordOp Op, bool Stream>
void combine(Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    const auto put = [](Word* p, __m512i v) { Stream ? stream(p, v) : store(p, v); };
    std::size_t k = 0;
    if constexpr (Stream) {
        k = head_words(dst, n);
        if (k > 0) store(dst, op_at<Op>(a, b, 0, first(k)), first(k));
    }
    for (; k + 32 <= n; k += 32) {
        const __m512i r0 = op_at<Op>(a, b, k);
        const __m512i r1 = op_at<Op>(a, b, k + 8);
        const __m512i r2 = op_at<Op>(a, b, k + 16);
        const __m512i r3 = op_at<Op>(a, b, k + 24);
        put(dst + k, r0);
        put(dst + k + 8, r1);
        put(dst + k + 16, r2);
        put(dst + k + 24, r3);
    }
    for (; k + 8 <= n; k += 8) put(dst + k, op_at<Op>(a, b, k));
    if (k < n) store(dst + k, op_at<Op>(a, b, k, first(n - k)), first(n - k));
    // Streamed words are weakly ordered: fence them before the result is
    // published to anything else.
    if constexpr (Stream) _mm_sfence();
}

template <bool Stream>
void combine_op(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    switch (op) {
        case WordOp::And: return combine<WordOp::And, Stream>(dst, a, b, n);
        case WordOp::Or: return combine<WordOp::Or, Stream>(dst, a, b, n);
        case WordOp::Xor: return combine<WordOp::Xor, Stream>(dst, a, b, n);
        case WordOp::AndNot: return combine<WordOp::AndNot, Stream>(dst, a, b, n);
    }
}

// dst = NOT src AND mask over n words; with mask all ones, a plain invert
// (the caller masks the row tails afterwards).
inline void invert_and(Word* dst, const Word* src, std::size_t n, Word mask) noexcept {
    const __m512i m = _mm512_set1_epi64(static_cast<long long>(mask));
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        const __m512i r0 = and_not(m, load(src + k));
        const __m512i r1 = and_not(m, load(src + k + 8));
        const __m512i r2 = and_not(m, load(src + k + 16));
        const __m512i r3 = and_not(m, load(src + k + 24));
        store(dst + k, r0);
        store(dst + k + 8, r1);
        store(dst + k + 16, r2);
        store(dst + k + 24, r3);
    }
    for (; k + 8 <= n; k += 8) store(dst + k, and_not(m, load(src + k)));
    if (k < n) store(dst + k, and_not(m, load(src + k, first(n - k))), first(n - k));
}

}  // namespace

void combine_words(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    combine_op<false>(op, dst, a, b, n);
}

void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    combine_op<true>(op, dst, a, b, n);
}

void complement_words(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride, Word tail) noexcept {
    complement_rows(
        dst, src, rows, stride, tail, [](Word* d, const Word* s, std::uint64_t n) { invert_and(d, s, n, ~Word{0}); },
        [](Word* d, const Word* s, std::uint64_t n, Word t) { invert_and(d, s, n, t); });
}

bool words_equal(const Word* a, const Word* b, std::size_t n) noexcept {
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        const __m512i d0 = _mm512_xor_si512(load(a + k), load(b + k));
        const __m512i d1 = _mm512_xor_si512(load(a + k + 8), load(b + k + 8));
        const __m512i d2 = _mm512_xor_si512(load(a + k + 16), load(b + k + 16));
        const __m512i d3 = _mm512_xor_si512(load(a + k + 24), load(b + k + 24));
        const __m512i d = _mm512_or_si512(_mm512_or_si512(d0, d1), _mm512_or_si512(d2, d3));
        if (_mm512_test_epi64_mask(d, d) != 0) return false;
    }
    for (; k + 8 <= n; k += 8) {
        if (_mm512_cmpneq_epu64_mask(load(a + k), load(b + k)) != 0) return false;
    }
    if (k < n) {
        const __mmask8 m = first(n - k);
        if (_mm512_mask_cmpneq_epu64_mask(m, load(a + k, m), load(b + k, m)) != 0) return false;
    }
    return true;
}

}  // namespace boolmat::avx512
VALDRIX_TARGET_END
