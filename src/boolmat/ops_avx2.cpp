// AVX2 word loops for the element-wise operations: four vectors (16 words)
// per iteration so the loads of a and b overlap, then single vectors, then
// single words.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "boolmat/ops_kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
#include "boolmat/ops_complement.hpp"

namespace boolmat::avx2 {
namespace {

inline __m256i load(const Word* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(Word* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline void stream(Word* p, __m256i v) { _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v); }

// Words before dst reaches a 32-byte boundary, where streaming stores start.
inline std::size_t head_words(const Word* dst, std::size_t n) noexcept {
    return std::min<std::size_t>(n, (32 - reinterpret_cast<std::uintptr_t>(dst) % 32) % 32 / sizeof(Word));
}

template <WordOp Op>
inline __m256i apply(__m256i a, __m256i b) {
    if constexpr (Op == WordOp::And) return _mm256_and_si256(a, b);
    if constexpr (Op == WordOp::Or) return _mm256_or_si256(a, b);
    if constexpr (Op == WordOp::Xor) return _mm256_xor_si256(a, b);
    if constexpr (Op == WordOp::AndNot) return _mm256_andnot_si256(b, a);  // (NOT b) AND a
}

// Stream: the vector stores bypass the cache; they start at the first
// 32-byte boundary of dst, the words before it are stored one by one.
template <WordOp Op, bool Stream>
void combine(Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    const auto put = [](Word* p, __m256i v) { Stream ? stream(p, v) : store(p, v); };
    std::size_t k = Stream ? head_words(dst, n) : 0;
    for (std::size_t j = 0; j < k; ++j) dst[j] = word_op<Op>(a[j], b[j]);
    for (; k + 16 <= n; k += 16) {
        const __m256i r0 = apply<Op>(load(a + k), load(b + k));
        const __m256i r1 = apply<Op>(load(a + k + 4), load(b + k + 4));
        const __m256i r2 = apply<Op>(load(a + k + 8), load(b + k + 8));
        const __m256i r3 = apply<Op>(load(a + k + 12), load(b + k + 12));
        put(dst + k, r0);
        put(dst + k + 4, r1);
        put(dst + k + 8, r2);
        put(dst + k + 12, r3);
    }
    for (; k + 4 <= n; k += 4) put(dst + k, apply<Op>(load(a + k), load(b + k)));
    for (; k < n; ++k) dst[k] = word_op<Op>(a[k], b[k]);
    // Streamed words are weakly ordered: fence them before the result is
    // published to anything else.
    if constexpr (Stream) _mm_sfence();
}

// Inverts n words; the caller masks the row tails afterwards.
inline void invert(Word* dst, const Word* src, std::size_t n) noexcept {
    const __m256i ones = _mm256_set1_epi64x(-1);
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const __m256i r0 = _mm256_xor_si256(load(src + k), ones);
        const __m256i r1 = _mm256_xor_si256(load(src + k + 4), ones);
        const __m256i r2 = _mm256_xor_si256(load(src + k + 8), ones);
        const __m256i r3 = _mm256_xor_si256(load(src + k + 12), ones);
        store(dst + k, r0);
        store(dst + k + 4, r1);
        store(dst + k + 8, r2);
        store(dst + k + 12, r3);
    }
    for (; k + 4 <= n; k += 4) store(dst + k, _mm256_xor_si256(load(src + k), ones));
    for (; k < n; ++k) dst[k] = ~src[k];
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

}  // namespace

void combine_words(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    combine_op<false>(op, dst, a, b, n);
}

void complement_words(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride, Word tail) noexcept {
    complement_rows(
        dst, src, rows, stride, tail, [](Word* d, const Word* s, std::uint64_t n) { invert(d, s, n); },
        [](Word* d, const Word* s, std::uint64_t n, Word t) {
            // One vector op inverts and masks.
            const __m256i m = _mm256_set1_epi64x(static_cast<long long>(t));
            std::uint64_t k = 0;
            for (; k + 4 <= n; k += 4) store(d + k, _mm256_andnot_si256(load(s + k), m));
            for (; k < n; ++k) d[k] = ~s[k] & t;
        });
}

void combine_words_streamed(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    combine_op<true>(op, dst, a, b, n);
}

bool words_equal(const Word* a, const Word* b, std::size_t n) noexcept {
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const __m256i d0 = _mm256_xor_si256(load(a + k), load(b + k));
        const __m256i d1 = _mm256_xor_si256(load(a + k + 4), load(b + k + 4));
        const __m256i d2 = _mm256_xor_si256(load(a + k + 8), load(b + k + 8));
        const __m256i d3 = _mm256_xor_si256(load(a + k + 12), load(b + k + 12));
        const __m256i d = _mm256_or_si256(_mm256_or_si256(d0, d1), _mm256_or_si256(d2, d3));
        if (!_mm256_testz_si256(d, d)) return false;
    }
    for (; k + 4 <= n; k += 4) {
        const __m256i d = _mm256_xor_si256(load(a + k), load(b + k));
        if (!_mm256_testz_si256(d, d)) return false;
    }
    for (; k < n; ++k) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
