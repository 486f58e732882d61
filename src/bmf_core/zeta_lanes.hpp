// Vector lanes of the zeta tables: the same butterflies and reductions over
// 16-, 32- and 64-bit signed lanes of one AVX2 register, shared by the
// single-target kernel and the batched one.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace bmf_core::zeta_lanes {

using V = __m256i;

template <class T>
struct Ops;

template <>
struct Ops<std::int16_t> {
    static constexpr unsigned kLaneBits = 4;
    static V add(V a, V b) noexcept { return _mm256_add_epi16(a, b); }
    static V sub(V a, V b) noexcept { return _mm256_sub_epi16(a, b); }
    static V min(V a, V b) noexcept { return _mm256_min_epi16(a, b); }
    static V eq(V a, V b) noexcept { return _mm256_cmpeq_epi16(a, b); }
    static V splat(std::int64_t v) noexcept { return _mm256_set1_epi16(static_cast<short>(v)); }
    static V intra(V v) noexcept {
        v = add(v, _mm256_slli_epi32(v, 16));
        v = add(v, _mm256_slli_epi64(v, 32));
        v = add(v, _mm256_slli_si256(v, 8));
        return add(v, _mm256_permute2x128_si256(v, v, 0x08));
    }
    static std::int64_t hmin(V v) noexcept {
        __m128i m = _mm_min_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0x4E));
        m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0xB1));
        m = _mm_min_epi16(m, _mm_srli_epi32(m, 16));
        return static_cast<std::int16_t>(_mm_cvtsi128_si32(m));
    }
    // Negated counts of 16 patterns; every count is below 2^15 here.
    static V negated(const std::uint32_t* c) noexcept {
        const V a = _mm256_loadu_si256(reinterpret_cast<const V*>(c));
        const V b = _mm256_loadu_si256(reinterpret_cast<const V*>(c + 8));
        const V packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
        return _mm256_sub_epi16(_mm256_setzero_si256(), packed);
    }
};

template <>
struct Ops<std::int32_t> {
    static constexpr unsigned kLaneBits = 3;
    static V add(V a, V b) noexcept { return _mm256_add_epi32(a, b); }
    static V sub(V a, V b) noexcept { return _mm256_sub_epi32(a, b); }
    static V min(V a, V b) noexcept { return _mm256_min_epi32(a, b); }
    static V eq(V a, V b) noexcept { return _mm256_cmpeq_epi32(a, b); }
    static V splat(std::int64_t v) noexcept { return _mm256_set1_epi32(static_cast<int>(v)); }
    static V intra(V v) noexcept {
        v = add(v, _mm256_slli_epi64(v, 32));
        v = add(v, _mm256_slli_si256(v, 8));
        return add(v, _mm256_permute2x128_si256(v, v, 0x08));
    }
    static std::int64_t hmin(V v) noexcept {
        __m128i m = _mm_min_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4E));
        m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xB1));
        return _mm_cvtsi128_si32(m);
    }
    static V negated(const std::uint32_t* c) noexcept {
        return _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_loadu_si256(reinterpret_cast<const V*>(c)));
    }
};

template <>
struct Ops<std::int64_t> {
    static constexpr unsigned kLaneBits = 2;
    static V add(V a, V b) noexcept { return _mm256_add_epi64(a, b); }
    static V sub(V a, V b) noexcept { return _mm256_sub_epi64(a, b); }
    static V min(V a, V b) noexcept { return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(a, b)); }
    static V eq(V a, V b) noexcept { return _mm256_cmpeq_epi64(a, b); }
    static V splat(std::int64_t v) noexcept { return _mm256_set1_epi64x(v); }
    static V intra(V v) noexcept {
        v = add(v, _mm256_slli_si256(v, 8));
        return add(v, _mm256_permute2x128_si256(v, v, 0x08));
    }
    static std::int64_t hmin(V v) noexcept {
        alignas(32) std::int64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<V*>(lanes), v);
        std::int64_t m = lanes[0];
        for (int i = 1; i < 4; ++i) m = lanes[i] < m ? lanes[i] : m;
        return m;
    }
    static V negated(const std::uint32_t* c) noexcept {
        const V wide = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
        return _mm256_sub_epi64(_mm256_setzero_si256(), wide);
    }
};

// The butterflies of K stages over a group of 2^K vectors in registers:
// after stage q, v[j] holds the sum over the j' that differ from j only by
// clearing bits of j among the first q + 1.
template <class T, unsigned K>
inline void cross(V* v) noexcept {
    constexpr unsigned G = 1u << K;
#pragma GCC unroll 4
    for (unsigned q = 0; q < K; ++q) {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) {
            if ((j >> q) & 1) v[j] = Ops<T>::add(v[j], v[j ^ (1u << q)]);
        }
    }
}

}  // namespace bmf_core::zeta_lanes
