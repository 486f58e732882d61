// AVX2 population counts. Blocks of 16 vectors (64 words) go through a
// Harley-Seal carry-save adder tree, so only one vector in 16 needs a real
// count (nibble table with vpshufb, lane sums with vpsadbw); the remaining
// whole vectors take the nibble count directly and the last words the
// hardware popcnt. From the first-level cache the tree is faster than
// hardware popcnt with four accumulators; from memory both run at about the
// speed of a copy (bench/notes/word_kernels.md).
#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "boolmat/popcount.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
namespace boolmat::avx2 {
namespace {

inline __m256i load(const Word* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Per-64-bit-lane population count.
inline __m256i count_lanes(__m256i v) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i lo = _mm256_and_si256(v, low);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
    const __m256i bytes = _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
    return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
}

// Carry-save adder: (high, low) = a + b + c bitwise.
inline void csa(__m256i& high, __m256i& low, __m256i a, __m256i b, __m256i c) {
    const __m256i u = _mm256_xor_si256(a, b);
    high = _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(u, c));
    low = _mm256_xor_si256(u, c);
}

inline std::uint64_t sum_lanes(__m256i v) {
    return static_cast<std::uint64_t>(_mm256_extract_epi64(v, 0)) +
           static_cast<std::uint64_t>(_mm256_extract_epi64(v, 1)) +
           static_cast<std::uint64_t>(_mm256_extract_epi64(v, 2)) +
           static_cast<std::uint64_t>(_mm256_extract_epi64(v, 3));
}

template <class Src>
__m256i count_blocks(const Src& src, std::size_t n, std::size_t& k) noexcept;

// Counts the 1s of n words produced by src: src.vec(k) gives words k..k+3
// as a vector, src.word(k) word k.
template <class Src>
std::uint64_t count(const Src& src, std::size_t n) noexcept {
    __m256i total = _mm256_setzero_si256();
    std::size_t k = 0;
    if (n >= 64) {
        total = count_blocks(src, n, k);
    }
    for (; k + 4 <= n; k += 4) total = _mm256_add_epi64(total, count_lanes(src.vec(k)));
    std::uint64_t result = sum_lanes(total);
    for (; k < n; ++k) result += static_cast<std::uint64_t>(std::popcount(src.word(k)));
    return result;
}

// The Harley-Seal part: whole blocks of 64 words from k = 0; leaves k at the
// first word not counted and returns per-lane counts.
// Adds the 8 vectors at words k, k + 4, ..., k + 28 into ones, twos and
// fours; returns what carries out of fours.
template <class Src>
inline __m256i add_eight(const Src& src, std::size_t k, __m256i& ones, __m256i& twos, __m256i& fours) {
    __m256i twos_a, twos_b, fours_a, fours_b, eights;
    csa(twos_a, ones, ones, src.vec(k), src.vec(k + 4));
    csa(twos_b, ones, ones, src.vec(k + 8), src.vec(k + 12));
    csa(fours_a, twos, twos, twos_a, twos_b);
    csa(twos_a, ones, ones, src.vec(k + 16), src.vec(k + 20));
    csa(twos_b, ones, ones, src.vec(k + 24), src.vec(k + 28));
    csa(fours_b, twos, twos, twos_a, twos_b);
    csa(eights, fours, fours, fours_a, fours_b);
    return eights;
}

template <class Src>
__m256i count_blocks(const Src& src, std::size_t n, std::size_t& k) noexcept {
    __m256i total = _mm256_setzero_si256();
    __m256i ones = _mm256_setzero_si256(), twos = ones, fours = ones, eights = ones, sixteens;
    for (; k + 64 <= n; k += 64) {
        const __m256i eights_a = add_eight(src, k, ones, twos, fours);
        const __m256i eights_b = add_eight(src, k + 32, ones, twos, fours);
        csa(sixteens, eights, eights, eights_a, eights_b);
        total = _mm256_add_epi64(total, count_lanes(sixteens));
    }
    total = _mm256_slli_epi64(total, 4);
    total = _mm256_add_epi64(total, _mm256_slli_epi64(count_lanes(eights), 3));
    total = _mm256_add_epi64(total, _mm256_slli_epi64(count_lanes(fours), 2));
    total = _mm256_add_epi64(total, _mm256_slli_epi64(count_lanes(twos), 1));
    total = _mm256_add_epi64(total, count_lanes(ones));
    return total;
}

struct Words {
    const Word* a;
    __m256i vec(std::size_t k) const { return load(a + k); }
    Word word(std::size_t k) const { return a[k]; }
};

struct Xor {
    const Word* a;
    const Word* b;
    __m256i vec(std::size_t k) const { return _mm256_xor_si256(load(a + k), load(b + k)); }
    Word word(std::size_t k) const { return a[k] ^ b[k]; }
};

struct AndNot {
    const Word* a;
    const Word* b;
    __m256i vec(std::size_t k) const { return _mm256_andnot_si256(load(b + k), load(a + k)); }
    Word word(std::size_t k) const { return a[k] & ~b[k]; }
};

}  // namespace

std::uint64_t popcount_words(std::span<const Word> a) noexcept { return count(Words{a.data()}, a.size()); }

std::uint64_t popcount_xor(std::span<const Word> a, std::span<const Word> b) noexcept {
    return count(Xor{a.data(), b.data()}, std::min(a.size(), b.size()));
}

std::uint64_t popcount_andnot(std::span<const Word> a, std::span<const Word> b) noexcept {
    return count(AndNot{a.data(), b.data()}, std::min(a.size(), b.size()));
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
