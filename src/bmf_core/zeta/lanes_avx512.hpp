// The AVX-512 lanes of the zeta rounds (rounds.hpp): a 64-byte register
// holds two neighbouring 32-byte vectors of the table, so a round has half
// the loads, adds and stores of the AVX2 one, and the thirty-two registers
// leave room for groups of sixteen with run-time strides.
//
// Include it only inside VALDRIX_AVX512_BEGIN ... VALDRIX_TARGET_END, after
// lanes_avx2.hpp (whose Ops it takes for the halves) and the headers that
// one needs: internal linkage, as there.
#pragma once

namespace bmf_core::avx512 {
namespace {

using V = __m256i;
using Z = __m512i;

inline Z load(const V* p) noexcept { return _mm512_load_si512(static_cast<const void*>(p)); }
inline void store(V* p, Z v) noexcept { _mm512_store_si512(static_cast<void*>(p), v); }

template <class T>
struct Lane;

template <>
struct Lane<std::int16_t> {
    static Z add(Z a, Z b) noexcept { return _mm512_add_epi16(a, b); }
    static Z min(Z a, Z b) noexcept { return _mm512_min_epi16(a, b); }
    static Z splat(std::int64_t v) noexcept { return _mm512_set1_epi16(static_cast<short>(v)); }
};

template <>
struct Lane<std::int32_t> {
    static Z add(Z a, Z b) noexcept { return _mm512_add_epi32(a, b); }
    static Z min(Z a, Z b) noexcept { return _mm512_min_epi32(a, b); }
    static Z splat(std::int64_t v) noexcept { return _mm512_set1_epi32(static_cast<int>(v)); }
};

template <>
struct Lane<std::int64_t> {
    static Z add(Z a, Z b) noexcept { return _mm512_add_epi64(a, b); }
    static Z min(Z a, Z b) noexcept { return _mm512_min_epi64(a, b); }
    static Z splat(std::int64_t v) noexcept { return _mm512_set1_epi64(v); }
};

template <class T>
struct Wide : Lane<T> {
    // The smallest lane, through the two halves read back from memory:
    // GCC 12 warns on the unset pass-through operand of the extracts and
    // casts that would split it in registers. It runs once per block.
    static std::int64_t hmin(Z v) noexcept {
        alignas(64) V halves[2];
        store(halves, v);
        return avx2::Ops<T>::hmin(avx2::Ops<T>::min(halves[0], halves[1]));
    }
    // The stage of vector-index bit 0 inside a register: the high vector
    // gets the low one added.
    static Z pair_stage(Z v) noexcept { return Lane<T>::add(v, _mm512_maskz_shuffle_i64x2(0xF0, v, v, 0x44)); }
};

struct Lanes {
    using R = Z;
    static constexpr unsigned kVecs = 2;
    static constexpr unsigned kMaxAnyBits = 4;
    template <class T>
    using Of = Wide<T>;
    static R load(const V* p) noexcept { return avx512::load(p); }
    static void store(V* p, R v) noexcept { avx512::store(p, v); }
};

}  // namespace
}  // namespace bmf_core::avx512
