// The AVX-512 rounds over the zeta tables of layout.hpp, whose vectors stay
// 32 bytes wide: a 64-byte register holds two neighbouring vectors, those
// that differ in bit 0 of their index (a block has no padding inside, and
// the spare line after it keeps every even vector at the start of a cache
// line). A round over the vector-index bits [b, b + K) with b >= 1 treats
// both halves alike, so it is the AVX2 round with half the loads, adds and
// stores; the round that holds bit 0 does that bit inside each register
// (the low half added into the high one) and the others across registers.
// The thirty-two registers leave room for groups of sixteen with the
// constants of a sink.
//
// Include it only inside VALDRIX_AVX512_BEGIN ... VALDRIX_TARGET_END, after
// lanes_avx2.hpp (whose Ops it takes for the halves) and the headers that
// one needs: internal linkage, as there.
#pragma once

namespace bmf_core::avx512 {
namespace {

using V = __m256i;
using Z = __m512i;

// The lowest bit of a round and the positions it does, as in
// lanes_avx2.hpp (types of this namespace, so that a call finds these
// rounds alone).
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

template <class T>
struct Wide;

template <>
struct Wide<std::int16_t> {
    static Z add(Z a, Z b) noexcept { return _mm512_add_epi16(a, b); }
    static Z min(Z a, Z b) noexcept { return _mm512_min_epi16(a, b); }
    static Z splat(std::int64_t v) noexcept { return _mm512_set1_epi16(static_cast<short>(v)); }
};

template <>
struct Wide<std::int32_t> {
    static Z add(Z a, Z b) noexcept { return _mm512_add_epi32(a, b); }
    static Z min(Z a, Z b) noexcept { return _mm512_min_epi32(a, b); }
    static Z splat(std::int64_t v) noexcept { return _mm512_set1_epi32(static_cast<int>(v)); }
};

template <>
struct Wide<std::int64_t> {
    static Z add(Z a, Z b) noexcept { return _mm512_add_epi64(a, b); }
    static Z min(Z a, Z b) noexcept { return _mm512_min_epi64(a, b); }
    static Z splat(std::int64_t v) noexcept { return _mm512_set1_epi64(v); }
};

inline Z load(const V* p) noexcept { return _mm512_load_si512(static_cast<const void*>(p)); }
inline void store(V* p, Z v) noexcept { _mm512_store_si512(static_cast<void*>(p), v); }

// The smallest lane of a register, through its two halves, read back from
// memory: GCC 12 warns on the unset pass-through operand of the extracts
// and casts that would split it in registers. It runs once per block.
template <class T>
inline std::int64_t hmin(Z v) noexcept {
    alignas(64) V halves[2];
    store(halves, v);
    return avx2::Ops<T>::hmin(avx2::Ops<T>::min(halves[0], halves[1]));
}

// The stage of vector-index bit 0 inside a register: the high vector gets
// the low one added.
template <class T>
inline Z pair_stage(Z v) noexcept {
    return Wide<T>::add(v, _mm512_maskz_shuffle_i64x2(0xF0, v, v, 0x44));
}

// The K stages across 2^K registers, as avx2::butterflies.
template <class T, unsigned K>
inline void butterflies(Z* v) noexcept {
    constexpr unsigned G = 1u << K;
#pragma GCC unroll 4
    for (unsigned q = 0; q < K; ++q) {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) {
            if ((j >> q) & 1) v[j] = Wide<T>::add(v[j], v[j ^ (1u << q)]);
        }
    }
}

// The sinks of lanes_avx2.hpp over registers; pstep is in 32-byte vectors.
struct Store {
    template <class T, unsigned G>
    void take(Z* v, V* dst, std::size_t pstep) noexcept {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) store(dst + j * pstep, v[j]);
    }
};

struct Min {
    Z least;
    template <class T, unsigned G>
    void take(Z* v, V*, std::size_t) noexcept {
#pragma GCC unroll 8
        for (unsigned half = G / 2; half > 0; half /= 2) {
#pragma GCC unroll 8
            for (unsigned j = 0; j < half; ++j) v[j] = Wide<T>::min(v[j], v[j + half]);
        }
        least = Wide<T>::min(least, v[0]);
    }
};

// A round of the vector-index bits [b, b + K), as avx2::round, over pairs of
// vectors: with b = 0 (K >= 1) a group is 2^(K-1) consecutive registers,
// each doing bit 0 inside; otherwise 2^K registers 2^b vectors apart, at
// every other position of a run. Positions and strides are counted in
// 32-byte vectors, which keeps the layout of the other sets.
template <class T, unsigned K, class At, class Sink>
[[gnu::always_inline]] inline void round(const V* in, V* out, std::size_t nvec, At at, Sink& sink) noexcept {
    const unsigned b = at.value;
    Sink local = sink;
    if (b == 0) {
        if constexpr (K >= 1) {
            constexpr unsigned G = 1u << (K - 1);
            // Groups lie inside a block, which has no padding.
            for (std::size_t hi = 0; hi < nvec; hi += std::size_t{2} * G) {
                const std::size_t pos = padded(hi);
                Z v[G];
#pragma GCC unroll 16
                for (unsigned j = 0; j < G; ++j) v[j] = pair_stage<T>(load(in + pos + 2 * j));
                butterflies<T, K - 1>(v);
                local.template take<T, G>(v, out + pos, 2);
            }
        }
        sink = local;
        return;
    }
    constexpr unsigned G = 1u << K;
    const std::size_t step = std::size_t{1} << b;
    const std::size_t run = b < kBlockBits ? step : std::size_t{1} << kBlockBits;
    const std::size_t pstep = b < kBlockBits ? step : padded(step);
    const std::size_t end = at.width < step ? at.width : step;
    for (std::size_t hi = 0; hi < nvec; hi += step << K) {
        for (std::size_t lo0 = 0; lo0 < end; lo0 += run) {
            const std::size_t pos = b < kBlockBits ? hi + lo0 : padded(hi + lo0);
            const V* src = in + pos;
            V* dst = out + pos;
            for (std::size_t lo = 0; lo < run; lo += 2) {
                Z v[G];
#pragma GCC unroll 16
                for (unsigned j = 0; j < G; ++j) v[j] = load(src + lo + j * pstep);
                butterflies<T, K>(v);
                local.template take<T, G>(v, dst + lo, pstep);
            }
        }
    }
    sink = local;
}

// A round of k bits, k <= 4 known at run time. Zero bits (a copy, or a pass
// that only takes the minimum) go over the registers as a round of bit 1
// would: every pair once.
template <class T, class At, class Sink>
void round(unsigned k, const V* in, V* out, std::size_t nvec, At at, Sink& sink) noexcept {
    switch (k) {
        case 0: round<T, 0>(in, out, nvec, AnyBit{at.value == 0 ? 1u : at.value}, sink); break;
        case 1: round<T, 1>(in, out, nvec, at, sink); break;
        case 2: round<T, 2>(in, out, nvec, at, sink); break;
        case 3: round<T, 3>(in, out, nvec, at, sink); break;
        default: round<T, 4>(in, out, nvec, at, sink); break;
    }
}

// The bits [b, b + bits) in rounds of at most four, as even as possible,
// from `in` into `out` and then in place; the last round goes to `last`,
// the others are stored. nvec is at least 2.
template <class T, class Sink>
void rounds(const V* in, V* out, std::size_t nvec, unsigned b, unsigned bits, Sink& last) noexcept {
    if (bits == 0) return round<T>(0, in, out, nvec, AnyBit{b}, last);
    Store store;
    for (const V* from = in; bits > 0; from = out) {
        const unsigned n = (bits + 3) / 4;
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
}  // namespace bmf_core::avx512
