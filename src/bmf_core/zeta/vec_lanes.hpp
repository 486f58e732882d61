// The lanes of the zeta tables in 32-byte vectors of GCC's vector
// extensions, which any processor compiles: two registers of SSE2 or NEON in
// the generic set, one register when a set's region includes them. The
// table has the layout of layout.hpp, and the butterflies and rounds are
// those of lanes_avx2.hpp, in the vector extensions' operators. The code
// belongs to no set: each kernel file that includes it gets its own copy,
// compiled for its own set. Inside a region, include it after the standard
// headers it includes, so that those stay baseline code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bmf_core/zeta/layout.hpp"

namespace bmf_core::any_set {
// Internal linkage: each kernel file has its own copy, which a shared
// library cannot interpose, so the compiler inlines them freely.
namespace {

// (The attribute does not apply to a template parameter, hence one type
// per lane width.) Half: the 16-byte vector of the same lanes.
template <class T>
struct VecOf;
template <>
struct VecOf<std::int16_t> {
    typedef std::int16_t type __attribute__((vector_size(32)));
    typedef std::int16_t half __attribute__((vector_size(16)));
};
template <>
struct VecOf<std::int32_t> {
    typedef std::int32_t type __attribute__((vector_size(32)));
    typedef std::int32_t half __attribute__((vector_size(16)));
};
template <>
struct VecOf<std::int64_t> {
    typedef std::int64_t type __attribute__((vector_size(32)));
    typedef std::int64_t half __attribute__((vector_size(16)));
};
template <class T>
using Vec = typename VecOf<T>::type;
template <class T>
using Half = typename VecOf<T>::half;

template <class T>
inline constexpr unsigned kLanes = 32 / sizeof(T);

// Compares go through the two 16-byte halves: GCC splits the adds of a
// 32-byte vector into two SSE2 or NEON ones, but lowers its compares lane
// by lane, which made them the larger part of a batch.
template <class T>
inline void halves(const Vec<T>& v, Half<T>* h) noexcept {
    std::memcpy(h, &v, sizeof v);
}

// a = the lane-wise minimum of a and b. (Vectors are passed by reference:
// by value, a 32-byte vector would take a different calling convention
// with and without AVX.)
template <class T>
inline void take_min(Vec<T>& a, const Vec<T>& b) noexcept {
    Half<T> x[2], y[2];
    halves<T>(a, x);
    halves<T>(b, y);
    for (unsigned k = 0; k < 2; ++k) {
        const Half<T> lt = x[k] < y[k];
        x[k] = (x[k] & lt) | (y[k] & ~lt);
    }
    std::memcpy(&a, x, sizeof a);
}

// out = all-ones in the lanes where a == b.
template <class T>
inline void equal_lanes(const Vec<T>& a, const Vec<T>& b, Vec<T>& out) noexcept {
    Half<T> x[2], y[2];
    halves<T>(a, x);
    halves<T>(b, y);
    for (unsigned k = 0; k < 2; ++k) x[k] = x[k] == y[k];
    std::memcpy(&out, x, sizeof out);
}

template <class T>
inline T hmin(const Vec<T>& v) noexcept {
    T m = v[0];
    for (unsigned l = 1; l < kLanes<T>; ++l) m = v[l] < m ? v[l] : m;
    return m;
}

// The K butterfly stages of 2^K vectors: after stage q, v[j] holds the sum
// over the j' that differ from j only by clearing bits of j among the
// first q + 1.
template <class T, unsigned K>
inline void butterflies(Vec<T>* v) noexcept {
    constexpr unsigned G = 1u << K;
    for (unsigned q = 0; q < K; ++q) {
        for (unsigned j = 0; j < G; ++j) {
            if ((j >> q) & 1) v[j] += v[j ^ (1u << q)];
        }
    }
}

// Rounds of at most this many bits: eight vectors of 32 bytes fill the
// sixteen registers of SSE2.
inline constexpr unsigned kMaxRoundBits = 3;

// What a round does with each group once its butterflies are done.
struct Store {
    template <class T, unsigned G>
    void take(const Vec<T>* v, Vec<T>* dst, std::size_t pstep) noexcept {
        for (unsigned j = 0; j < G; ++j) dst[j * pstep] = v[j];
    }
};

// Stores the group and folds it into the running minimum.
template <class T>
struct StoreMin {
    Vec<T> least;
    template <class, unsigned G>
    void take(Vec<T>* v, Vec<T>* dst, std::size_t pstep) noexcept {
        for (unsigned j = 0; j < G; ++j) dst[j * pstep] = v[j];
        for (unsigned half = G / 2; half > 0; half /= 2) {
            for (unsigned j = 0; j < half; ++j) take_min<T>(v[j], v[j + half]);
        }
        take_min<T>(least, v[0]);
    }
};

// A round: the stages of vector-index bits [b, b + K) over nvec vectors of
// t, in place, in groups of 2^K vectors 2^b apart, each loaded, butterflied
// and handed to `sink`, in increasing order of position. Below a block a
// round works inside one block, which has no padding.
template <class T, unsigned K, class Sink>
void round(Vec<T>* t, std::size_t nvec, unsigned b, Sink& sink) noexcept {
    constexpr unsigned G = 1u << K;
    const std::size_t step = std::size_t{1} << b;
    const std::size_t run = b < kBlockBits ? step : std::size_t{1} << kBlockBits;
    const std::size_t pstep = b < kBlockBits ? step : padded(step);
    Sink local = sink;
    for (std::size_t hi = 0; hi < nvec; hi += step << K) {
        for (std::size_t lo0 = 0; lo0 < step; lo0 += run) {
            Vec<T>* at = t + (b < kBlockBits ? hi + lo0 : padded(hi + lo0));
            for (std::size_t lo = 0; lo < run; ++lo) {
                Vec<T> v[G];
                for (unsigned j = 0; j < G; ++j) v[j] = at[lo + j * pstep];
                butterflies<T, K>(v);
                local.template take<T, G>(v, at + lo, pstep);
            }
        }
    }
    sink = local;
}

// The bits [b, b + bits) in rounds of at most kMaxRoundBits, the last one
// handed to `last` and the others stored; no bits make one round of none,
// so that `last` still sees every vector.
template <class T, class Sink>
void rounds(Vec<T>* t, std::size_t nvec, unsigned b, unsigned bits, Sink& last) noexcept {
    if (bits == 0) return round<T, 0>(t, nvec, b, last);
    Store store;
    while (bits > 0) {
        // As even as possible: 4 bits as 2 + 2 rather than 3 + 1.
        const unsigned n = (bits + kMaxRoundBits - 1) / kMaxRoundBits;
        const unsigned k = (bits + n - 1) / n;
        const auto go = [&](auto& sink) {
            switch (k) {
                case 1: round<T, 1>(t, nvec, b, sink); break;
                case 2: round<T, 2>(t, nvec, b, sink); break;
                default: round<T, 3>(t, nvec, b, sink); break;
            }
        };
        if (k == bits) {
            go(last);
        } else {
            go(store);
        }
        b += k;
        bits -= k;
    }
}

}  // namespace
}  // namespace bmf_core::any_set
