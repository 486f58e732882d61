// The rounds over the zeta tables of layout.hpp, written once for every
// register width: a lanes type L (lanes_avx2.hpp, lanes_avx512.hpp) says how
// many 32-byte vectors a register holds and how its lanes add, compare and
// move. The table's vectors stay 32 bytes wide in every set, so its layout
// and the row code are shared. With two vectors per register (L::kVecs),
// the register holds neighbouring vectors, those that differ in bit 0 of
// their index (a block has no padding inside, and the spare line after it
// keeps every even vector at the start of a cache line): a round over bits
// [b, b + K) with b >= 1 treats both halves alike, and the round that holds
// bit 0 does that bit inside each register (L::Of<T>::pair_stage) and the
// others across registers.
//
// Include it only inside a region of a set with AVX2, after <immintrin.h>,
// <cstdint>, <limits>, layout.hpp and the set's lanes header: its templates
// have internal linkage, so that each kernel file compiles its own copy for
// its own region and no baseline file can link to them.
#pragma once

namespace bmf_core::simd {
namespace {

using V = __m256i;

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

// The K butterfly stages of 2^K registers: after stage q, v[j] holds the sum
// over the j' that differ from j only by clearing bits of j among the first
// q + 1.
template <class L, class T, unsigned K>
inline void butterflies(typename L::R* v) noexcept {
    using W = typename L::template Of<T>;
    constexpr unsigned G = 1u << K;
#pragma GCC unroll 4
    for (unsigned q = 0; q < K; ++q) {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) {
            if ((j >> q) & 1) v[j] = W::add(v[j], v[j ^ (1u << q)]);
        }
    }
}

// What a round does with each group once its butterflies are done; pstep
// is in 32-byte vectors. Store: writes it back.
struct Store {
    template <class L, class T, unsigned G>
    void take(typename L::R* v, V* dst, std::size_t pstep) noexcept {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) L::store(dst + j * pstep, v[j]);
    }
};

// Min: stores nothing, and folds the group into the running minimum by a
// tree, so the minimum waits on one operation per group rather than one
// per register.
template <class L>
struct Min {
    typename L::R least;
    template <class T>
    static Min start() noexcept {
        return {L::template Of<T>::splat(std::numeric_limits<T>::max())};
    }
    template <class L2, class T, unsigned G>
    void take(typename L::R* v, V*, std::size_t) noexcept {
        using W = typename L::template Of<T>;
#pragma GCC unroll 8
        for (unsigned half = G / 2; half > 0; half /= 2) {
#pragma GCC unroll 8
            for (unsigned j = 0; j < half; ++j) v[j] = W::min(v[j], v[j + half]);
        }
        least = W::min(least, v[0]);
    }
};

// A round: the stages of vector-index bits [b, b + K) over nvec vectors,
// from `in` to `out` (possibly the same), in groups of 2^K registers 2^b
// vectors apart, each loaded, butterflied in registers and handed to
// `sink`, in increasing order of position. Below a block a round works
// inside one block, which has no padding. With two vectors per register
// and b = 0 (K >= 1), a group is 2^(K-1) consecutive registers, each doing
// bit 0 inside. Always inlined, so that the constant bit and the sink fold
// into the loop.
template <class L, class T, unsigned K, class At, class Sink>
[[gnu::always_inline]] inline void round(const V* in, V* out, std::size_t nvec, At at, Sink& sink) noexcept {
    const unsigned b = at.value;
    Sink local = sink;  // in registers, not reloaded after every store
    if constexpr (L::kVecs == 2) {
        if (b == 0) {
            if constexpr (K >= 1) {
                constexpr unsigned G = 1u << (K - 1);
                for (std::size_t hi = 0; hi < nvec; hi += std::size_t{2} * G) {
                    const std::size_t pos = padded(hi);
                    typename L::R v[G];
#pragma GCC unroll 16
                    for (unsigned j = 0; j < G; ++j) v[j] = L::template Of<T>::pair_stage(L::load(in + pos + 2 * j));
                    butterflies<L, T, K - 1>(v);
                    local.template take<L, T, G>(v, out + pos, 2);
                }
            }
            sink = local;
            return;
        }
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
            for (std::size_t lo = 0; lo < run; lo += L::kVecs) {
                typename L::R v[G];
#pragma GCC unroll 16
                for (unsigned j = 0; j < G; ++j) v[j] = L::load(src + lo + j * pstep);
                butterflies<L, T, K>(v);
                local.template take<L, T, G>(v, dst + lo, pstep);
            }
        }
    }
    sink = local;
}

// A round of k bits, k <= 4 known at run time. Zero bits (a copy, or a pass
// that only takes the minimum) with two vectors per register go over the
// registers as a round of bit 1 would: every register once.
template <class L, class T, class At, class Sink>
void round(unsigned k, const V* in, V* out, std::size_t nvec, At at, Sink& sink) noexcept {
    switch (k) {
        case 0: round<L, T, 0>(in, out, nvec, AnyBit{at.value == 0 && L::kVecs == 2 ? 1u : at.value}, sink); break;
        case 1: round<L, T, 1>(in, out, nvec, at, sink); break;
        case 2: round<L, T, 2>(in, out, nvec, at, sink); break;
        case 3: round<L, T, 3>(in, out, nvec, at, sink); break;
        default: round<L, T, 4>(in, out, nvec, at, sink); break;
    }
}

// The bits [b, b + bits) in rounds of at most L::kMaxAnyBits (the groups
// whose addresses take registers must leave room for the group itself), as
// even as possible, with run-time strides, from `in` into `out` and then in
// place; the last round goes to `last`, the others are stored. No bits make
// one round of none, so that `last` still sees every vector. nvec is at
// least L::kVecs.
template <class L, class T, class Sink>
void rounds(const V* in, V* out, std::size_t nvec, unsigned b, unsigned bits, Sink& last) noexcept {
    constexpr unsigned kMax = L::kMaxAnyBits;
    if (bits == 0) return round<L, T>(0, in, out, nvec, AnyBit{b}, last);
    Store store;
    for (const V* from = in; bits > 0; from = out) {
        const unsigned n = (bits + kMax - 1) / kMax;
        const unsigned k = (bits + n - 1) / n;
        if (k == bits) {
            round<L, T>(k, from, out, nvec, AnyBit{b}, last);
        } else {
            round<L, T>(k, from, out, nvec, AnyBit{b}, store);
        }
        b += k;
        bits -= k;
    }
}

}  // namespace
}  // namespace bmf_core::simd
