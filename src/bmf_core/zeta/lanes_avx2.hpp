// The AVX2 lanes of the zeta tables: the adds, minima, reductions and
// in-vector stages of 16-, 32- and 64-bit signed lanes of one register,
// shared by the single-target kernel, the batched one and the AVX-512
// kernels' searches and rows, and the lanes type of the rounds
// (rounds.hpp).
//
// Include it only inside VALDRIX_AVX2_BEGIN ... VALDRIX_TARGET_END, after
// <immintrin.h>, <cstdint>, <limits> and layout.hpp: its templates are
// AVX2 code, and have internal linkage in bmf_core::avx2 so that no
// baseline file can link to them (nor can a shared library interpose them,
// which would keep them from being inlined).
#pragma once

namespace bmf_core::avx2 {
namespace {

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
    // The in-vector stages: lane l gets the sum of the lanes whose index is
    // a subset of l.
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

// The lanes type of the rounds (rounds.hpp): one 32-byte vector per
// register. A round whose strides are known only at run time takes at most
// three bits: its eight or sixteen addresses and the group share the
// sixteen registers.
struct Lanes {
    using R = V;
    static constexpr unsigned kVecs = 1;
    static constexpr unsigned kMaxAnyBits = 3;
    template <class T>
    using Of = Ops<T>;
    static R load(const V* p) noexcept { return _mm256_load_si256(p); }
    static void store(V* p, R v) noexcept { _mm256_store_si256(p, v); }
};

}  // namespace
}  // namespace bmf_core::avx2
