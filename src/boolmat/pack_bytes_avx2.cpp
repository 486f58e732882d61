// AVX2 byte kernels: 64 bytes to a word by compare and movemask, 32 bits to
// 32 bytes by a byte shuffle and a mask.
#include <immintrin.h>

#include <cstring>

#include "boolmat/pack_bytes.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
namespace boolmat::avx2 {

namespace {

// 64 bytes to one word: compare with zero, gather the byte signs, invert.
inline Word pack64(const std::uint8_t* p) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const auto zlo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero)));
    const auto zhi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero)));
    return ~((Word{zhi} << 32) | zlo);
}

// The 32 bytes in reverse order.
inline __m256i reverse32(__m256i v) noexcept {
    const __m256i mirror = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,  //
                                            15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    v = _mm256_shuffle_epi8(v, mirror);
    return _mm256_permute2x128_si256(v, v, 1);
}

// 64 bytes at p read from the highest address down: byte 63 is bit 0.
inline Word pack64_reversed(const std::uint8_t* p) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = reverse32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
    const __m256i hi = reverse32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    const auto zlo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero)));
    const auto zhi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero)));
    return ~((Word{zhi} << 32) | zlo);
}

// 32 bits to 32 bytes: broadcast, route byte b/8 of the bits to byte b,
// keep bit b%8, then clamp to 0 or 1.
inline __m256i unpack32(std::uint32_t bits) noexcept {
    const __m256i route = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                           2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i select = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    const __m256i spread = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), route);
    return _mm256_min_epu8(_mm256_and_si256(spread, select), _mm256_set1_epi8(1));
}

inline void unpack64(Word w, std::uint8_t* out) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), unpack32(static_cast<std::uint32_t>(w)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), unpack32(static_cast<std::uint32_t>(w >> 32)));
}

}  // namespace

void pack_bytes(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept {
    const std::uint64_t full = n / kWordBits;
    for (std::uint64_t k = 0; k < full; ++k) dst[k] = pack64(src + k * kWordBits);
    if (const std::uint64_t rem = n % kWordBits; rem != 0) {
        alignas(32) std::uint8_t tail[64] = {};
        std::memcpy(tail, src + full * kWordBits, rem);
        dst[full] = pack64(tail);
    }
}

void pack_bytes_reversed(const std::uint8_t* first, std::uint64_t n, Word* dst) noexcept {
    const std::uint64_t full = n / kWordBits;
    for (std::uint64_t k = 0; k < full; ++k) dst[k] = pack64_reversed(first - (k * kWordBits + kWordBits - 1));
    if (const std::uint64_t rem = n % kWordBits; rem != 0) {
        alignas(32) std::uint8_t tail[64] = {};
        const std::uint8_t* p = first - full * kWordBits;
        for (std::uint64_t t = 0; t < rem; ++t) tail[t] = *(p - t);
        dst[full] = pack64(tail);
    }
}

void unpack_bits(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept {
    const std::uint64_t full = n / kWordBits;
    for (std::uint64_t k = 0; k < full; ++k) unpack64(src[k], dst + k * kWordBits);
    if (const std::uint64_t rem = n % kWordBits; rem != 0) {
        alignas(32) std::uint8_t tail[64];
        unpack64(src[full], tail);
        std::memcpy(dst + full * kWordBits, tail, rem);
    }
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
