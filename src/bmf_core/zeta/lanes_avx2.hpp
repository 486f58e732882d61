// The AVX2 lanes of the zeta tables: the same butterflies, reductions and
// rounds over 16-, 32- and 64-bit signed lanes of one register, shared by
// the single-target kernel and the batched one.
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

// The K butterfly stages of 2^K vectors in registers: after stage q, v[j]
// holds the sum over the j' that differ from j only by clearing bits of j
// among the first q + 1.
template <class T, unsigned K>
inline void butterflies(V* v) noexcept {
    constexpr unsigned G = 1u << K;
#pragma GCC unroll 4
    for (unsigned q = 0; q < K; ++q) {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) {
            if ((j >> q) & 1) v[j] = Ops<T>::add(v[j], v[j ^ (1u << q)]);
        }
    }
}

// The lowest bit b of a round: a constant where the caller knows it, so
// that the 2^K addresses of a group need no registers, or a run-time value.
// A round does the groups at the first `width` positions of each run of 2^b:
// all of them, except in a Slice (the top round of chunks_then_top, one
// block's width of positions at a time).
template <unsigned B>
struct Bit {
    static constexpr unsigned value = B;
    static constexpr std::size_t width = ~std::size_t{0};
};
struct AnyBit {
    unsigned value;
    static constexpr std::size_t width = ~std::size_t{0};
};
template <unsigned B, std::size_t W>
struct Slice {
    static constexpr unsigned value = B;
    static constexpr std::size_t width = W;
};

// What a round does with each group once its butterflies are done.
// Store: writes it back.
struct Store {
    template <class T, unsigned G>
    void take(V* v, V* dst, std::size_t pstep) noexcept {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) _mm256_store_si256(dst + j * pstep, v[j]);
    }
};

// Min: stores nothing, and folds the group into the running minimum by a
// tree, so the minimum waits on one operation per group rather than one
// per vector.
struct Min {
    V least;
    template <class T, unsigned G>
    void take(V* v, V*, std::size_t) noexcept {
#pragma GCC unroll 8
        for (unsigned half = G / 2; half > 0; half /= 2) {
#pragma GCC unroll 8
            for (unsigned j = 0; j < half; ++j) v[j] = Ops<T>::min(v[j], v[j + half]);
        }
        least = Ops<T>::min(least, v[0]);
    }
};

// A round: the stages of vector-index bits [b, b + K) over nvec vectors,
// from `in` to `out` (possibly the same), in groups of 2^K vectors 2^b
// apart, each loaded, butterflied in registers and handed to `sink`, in
// increasing order of position. Below a block a round works inside one
// block, which has no padding. Always inlined, so that the constant bit and
// the sink fold into the loop.
template <class T, unsigned K, class At, class Sink>
[[gnu::always_inline]] inline void round(const V* in, V* out, std::size_t nvec, At at, Sink& sink) noexcept {
    constexpr unsigned G = 1u << K;
    const unsigned b = at.value;
    const std::size_t step = std::size_t{1} << b;
    const std::size_t run = b < kBlockBits ? step : std::size_t{1} << kBlockBits;
    const std::size_t pstep = b < kBlockBits ? step : padded(step);
    const std::size_t end = at.width < step ? at.width : step;
    Sink local = sink;  // in a register, not reloaded after every store
    for (std::size_t hi = 0; hi < nvec; hi += step << K) {
        for (std::size_t lo0 = 0; lo0 < end; lo0 += run) {
            const std::size_t pos = b < kBlockBits ? hi + lo0 : padded(hi + lo0);
            const V* src = in + pos;
            V* dst = out + pos;
            for (std::size_t lo = 0; lo < run; ++lo) {
                V v[G];
#pragma GCC unroll 16
                for (unsigned j = 0; j < G; ++j) v[j] = _mm256_load_si256(src + lo + j * pstep);
                butterflies<T, K>(v);
                local.template take<T, G>(v, dst + lo, pstep);
            }
        }
    }
    sink = local;
}

// A round of k bits, k <= 4 known at run time (zero bits: a copy, or a pass
// that only takes the minimum).
template <class T, class At, class Sink>
void round(unsigned k, const V* in, V* out, std::size_t nvec, At at, Sink& sink) noexcept {
    switch (k) {
        case 0: round<T, 0>(in, out, nvec, at, sink); break;
        case 1: round<T, 1>(in, out, nvec, at, sink); break;
        case 2: round<T, 2>(in, out, nvec, at, sink); break;
        case 3: round<T, 3>(in, out, nvec, at, sink); break;
        default: round<T, 4>(in, out, nvec, at, sink); break;
    }
}

// The bits [b, b + bits) in rounds of at most three, as even as possible,
// with run-time strides, from `in` into `out` and then in place; the last
// round goes to `last`, the others are stored. No bits make one round of
// none, so that `last` still sees every vector.
template <class T, class Sink>
void rounds(const V* in, V* out, std::size_t nvec, unsigned b, unsigned bits, Sink& last) noexcept {
    if (bits == 0) return round<T>(0, in, out, nvec, AnyBit{b}, last);
    Store store;
    for (const V* from = in; bits > 0; from = out) {
        const unsigned n = (bits + 2) / 3;
        const unsigned k = (bits + n - 1) / n;
        if (k == bits) {
            round<T>(k, from, out, nvec, AnyBit{b}, last);
        } else {
            round<T>(k, from, out, nvec, AnyBit{b}, store);
        }
        b += k;
        bits -= k;
    }
}

}  // namespace
}  // namespace bmf_core::avx2
