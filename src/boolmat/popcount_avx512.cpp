// AVX-512 population counts: vpopcntq counts the eight words of a vector in
// one instruction, so the adder tree of the AVX2 set has nothing left to
// save. Four accumulators keep four counts in flight per iteration; the
// last partial vector is read with a masked load, which neither reads nor
// faults past the end of the array.
#include <immintrin.h>

#include <algorithm>

#include "boolmat/popcount.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX512_BEGIN
namespace boolmat::avx512 {
namespace {

inline __m512i load(const Word* p) { return _mm512_loadu_si512(p); }
inline __m512i load(const Word* p, __mmask8 m) { return _mm512_maskz_loadu_epi64(m, p); }
// a AND NOT b. GCC 12's _mm512_andnot_si512 warns of an uninitialised
// operand of its own; the vector operators give the same vpandnq.
inline __m512i and_not(__m512i a, __m512i b) { return a & ~b; }

// Counts the 1s of n words produced by src: src.vec(k) gives words k..k+7,
// src.vec(k, m) those of them selected by m and zeros elsewhere.
template <class Src>
std::uint64_t count(const Src& src, std::size_t n) noexcept {
    __m512i c0 = _mm512_setzero_si512(), c1 = c0, c2 = c0, c3 = c0;
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        c0 = _mm512_add_epi64(c0, _mm512_popcnt_epi64(src.vec(k)));
        c1 = _mm512_add_epi64(c1, _mm512_popcnt_epi64(src.vec(k + 8)));
        c2 = _mm512_add_epi64(c2, _mm512_popcnt_epi64(src.vec(k + 16)));
        c3 = _mm512_add_epi64(c3, _mm512_popcnt_epi64(src.vec(k + 24)));
    }
    for (; k + 8 <= n; k += 8) c0 = _mm512_add_epi64(c0, _mm512_popcnt_epi64(src.vec(k)));
    if (k < n) {
        const auto m = static_cast<__mmask8>((1u << (n - k)) - 1);
        c1 = _mm512_add_epi64(c1, _mm512_popcnt_epi64(src.vec(k, m)));
    }
    const __m512i total = _mm512_add_epi64(_mm512_add_epi64(c0, c1), _mm512_add_epi64(c2, c3));
    // Summed lane by lane: GCC 12's _mm512_reduce_add_epi64 warns of an
    // uninitialised operand of its own.
    std::uint64_t sum = 0;
    for (int lane = 0; lane < 8; ++lane) sum += static_cast<std::uint64_t>(total[lane]);
    return sum;
}

struct Words {
    const Word* a;
    __m512i vec(std::size_t k) const { return load(a + k); }
    __m512i vec(std::size_t k, __mmask8 m) const { return load(a + k, m); }
};

struct Xor {
    const Word* a;
    const Word* b;
    __m512i vec(std::size_t k) const { return _mm512_xor_si512(load(a + k), load(b + k)); }
    __m512i vec(std::size_t k, __mmask8 m) const { return _mm512_xor_si512(load(a + k, m), load(b + k, m)); }
};

struct AndNot {
    const Word* a;
    const Word* b;
    __m512i vec(std::size_t k) const { return and_not(load(a + k), load(b + k)); }
    __m512i vec(std::size_t k, __mmask8 m) const { return and_not(load(a + k, m), load(b + k, m)); }
};

}  // namespace

std::uint64_t popcount_words(std::span<const Word> a) noexcept { return count(Words{a.data()}, a.size()); }

std::uint64_t popcount_xor(std::span<const Word> a, std::span<const Word> b) noexcept {
    return count(Xor{a.data(), b.data()}, std::min(a.size(), b.size()));
}

std::uint64_t popcount_andnot(std::span<const Word> a, std::span<const Word> b) noexcept {
    return count(AndNot{a.data(), b.data()}, std::min(a.size(), b.size()));
}

}  // namespace boolmat::avx512
VALDRIX_TARGET_END
