// Sixteen targets solved together. Their tables are interleaved: vector p
// of the batch table holds entry p of each target's table, one per 16-bit
// lane. Then
// - a row of W adds its bits of the sixteen targets to the vector of its
//   pattern in one vector operation, so a target costs m/16 row updates
//   instead of one per set row;
// - every butterfly is between whole vectors, one add serving all sixteen
//   targets;
// - the minimum of each target is the lane-wise minimum over the vectors,
//   taken in the last round, which is the round of the lowest bits, so its
//   groups come in increasing index order and the last group holding a
//   lane's minimum holds that lane's largest index with it (the smallest
//   mask).
// The batch table has 16 entries per pattern, which is why this is used
// only for small ranks; the table is reused across the batches of a call.
#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "bmf_core/zeta.hpp"
#include "bmf_core/zeta_lanes.hpp"

namespace bmf_core {

namespace {

using zeta_lanes::V;

// A block of 2^8 vectors (8 KiB) stays in the first-level cache while its
// eight bits are done; a spare cache line after every block keeps the
// vectors of a round with a stride of whole blocks off one cache set.
constexpr unsigned kBlockBits = 8;
constexpr std::size_t padded(std::size_t t) noexcept { return t + 2 * (t >> kBlockBits); }

template <unsigned K>
inline void cross(V* v) noexcept {
    zeta_lanes::cross<std::int16_t, K>(v);
}

// Bits [B, B + K) of nvec vectors, in place. Below a block, `t` is one block
// and positions are contiguous; from a block up, the table is padded.
template <unsigned K, unsigned B>
void rise(V* t, std::size_t nvec) noexcept {
    constexpr unsigned G = 1u << K;
    constexpr std::size_t step = std::size_t{1} << B;
    constexpr std::size_t run = B < kBlockBits ? step : std::size_t{1} << kBlockBits;
    constexpr std::size_t pstep = B < kBlockBits ? step : padded(step);
    for (std::size_t hi = 0; hi < nvec; hi += step << K) {
        for (std::size_t lo0 = 0; lo0 < step; lo0 += run) {
            V* at = t + (B < kBlockBits ? hi + lo0 : padded(hi + lo0));
            for (std::size_t lo = 0; lo < run; ++lo) {
                V v[G];
#pragma GCC unroll 16
                for (unsigned j = 0; j < G; ++j) v[j] = _mm256_load_si256(at + lo + j * pstep);
                cross<K>(v);
#pragma GCC unroll 16
                for (unsigned j = 0; j < G; ++j) _mm256_store_si256(at + lo + j * pstep, v[j]);
            }
        }
    }
}

template <unsigned B>
void rise_bits(V* t, std::size_t nvec, unsigned bits) noexcept {
    switch (bits) {
        case 0: break;
        case 1: rise<1, B>(t, nvec); break;
        case 2: rise<2, B>(t, nvec); break;
        case 3: rise<3, B>(t, nvec); break;
        default: rise<4, B>(t, nvec); break;
    }
}

// Lane-wise running minimum and the last group that reached it.
struct Tracked {
    V best;
    V group;
};

// Bits [0, K) of one block of nvec contiguous vectors, whose first group is
// number `first`, with the minimum of each group folded into `tr`.
template <unsigned K>
void last_round(V* t, std::size_t nvec, std::size_t first, Tracked& tr) noexcept {
    constexpr unsigned G = 1u << K;
    V best = tr.best, group = tr.group;
    V number = _mm256_set1_epi16(static_cast<short>(first));
    const V one = _mm256_set1_epi16(1);
    for (std::size_t g = 0; g < nvec; g += G) {
        V v[G];
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) v[j] = _mm256_load_si256(t + g + j);
        cross<K>(v);
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) _mm256_store_si256(t + g + j, v[j]);
#pragma GCC unroll 4
        for (unsigned half = G / 2; half > 0; half /= 2) {
#pragma GCC unroll 8
            for (unsigned j = 0; j < half; ++j) v[j] = _mm256_min_epi16(v[j], v[j + half]);
        }
        // A later group that ties takes over: it holds larger indices.
        const V worse = _mm256_cmpgt_epi16(v[0], best);
        group = _mm256_blendv_epi8(number, group, worse);
        best = _mm256_min_epi16(best, v[0]);
        number = _mm256_add_epi16(number, one);
    }
    tr.best = best;
    tr.group = group;
}

void last_round_bits(V* t, std::size_t nvec, std::size_t first, unsigned bits, Tracked& tr) noexcept {
    switch (bits) {
        case 1: last_round<1>(t, nvec, first, tr); break;
        case 2: last_round<2>(t, nvec, first, tr); break;
        case 3: last_round<3>(t, nvec, first, tr); break;
        default: last_round<4>(t, nvec, first, tr); break;
    }
}

// Bit l of the 16 bits, for lane l.
inline V lane_bits_mask() noexcept {
    return _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384,
                             static_cast<short>(0x8000));
}

}  // namespace

bool ZetaWork::batch_suits(const BoolLs& s) noexcept {
    return s.m() < (std::uint64_t{1} << 15) && s.r() <= kMaxBatchRank;
}

Status ZetaWork::prepare_batch(const BoolLs& s) {
    if (!batch_suits(s)) return boolmat::panic("pas de lot de colonnes pour m = {}, r = {}", s.m(), s.r());
    solver_ = &s;
    const std::size_t entries = std::size_t{1} << s.r();
    // The negated counts as 16-bit values to broadcast into the batch table;
    // every count is below 2^15 here.
    TRY_VOID(batch_counts_.reserve(entries * sizeof(std::int16_t)));
    std::int16_t* neg = batch_counts_.as<std::int16_t>();
    const std::uint32_t* counts = s.pattern_counts().data();
    for (std::size_t p = 0; p < entries; ++p) neg[p] = static_cast<std::int16_t>(-static_cast<std::int32_t>(counts[p]));
    TRY_VOID(patterns_.reserve(s.m() * sizeof(std::uint32_t)));
    std::uint32_t* p32 = patterns_.as<std::uint32_t>();
    for (std::uint64_t i = 0; i < s.m(); ++i) p32[i] = static_cast<std::uint32_t>(s.row_patterns()[i]);
    // A single-target table of an earlier solver is not kept alongside.
    const std::size_t bytes = 32 * padded(entries);
    if (tables_.capacity() > bytes) tables_.release();
    return tables_.reserve(bytes);
}

void ZetaWork::solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out) {
    const BoolLs& s = *solver_;
    const unsigned r = static_cast<unsigned>(s.r());
    const std::uint64_t m = s.m();
    const std::size_t nvec = std::size_t{1} << r;
    V* table = tables_.as<V>();
    const std::int16_t* neg = batch_counts_.as<std::int16_t>();
    for (std::size_t p = 0; p < nvec; ++p) _mm256_store_si256(table + padded(p), _mm256_set1_epi16(neg[p]));

    // Each row adds 2 in the lanes of the targets that have it set; the lane
    // counts of set rows give each target's ones.
    const std::uint32_t* pat = patterns_.as<std::uint32_t>();
    const Word* word = x.row_ptr(0) + first / 64;
    const std::size_t stride = x.stride();
    const unsigned shift = static_cast<unsigned>(first % 64);
    const V sel = lane_bits_mask();
    V ones = _mm256_setzero_si256();
    for (std::uint64_t i = 0; i < m; ++i, word += stride) {
        const auto bits = static_cast<short>((*word >> shift) & 0xFFFF);
        const V set = _mm256_cmpeq_epi16(_mm256_and_si256(_mm256_set1_epi16(bits), sel), sel);
        V* e = table + padded(pat[i]);
        *e = _mm256_sub_epi16(_mm256_sub_epi16(*e, set), set);
        ones = _mm256_sub_epi16(ones, set);
    }

    // The bits above a chunk of 2^12 vectors over the whole table; then per
    // chunk, while it stays in the second-level cache, the four bits above
    // its blocks; then per block the bits inside it, the lowest last.
    const unsigned kb = r < kBlockBits ? r : kBlockBits;
    const unsigned hb = r - kb;
    const unsigned mb = hb < 4 ? hb : 4;
    if (hb > 4) rise_bits<kBlockBits + 4>(table, nvec, hb - 4);
    const unsigned low = kb < 4 ? kb : 4;
    const std::size_t bvec = std::size_t{1} << kb;
    const std::size_t cvec = bvec << mb;
    Tracked tr{_mm256_set1_epi16(0x7FFF), _mm256_setzero_si256()};
    for (std::size_t c = 0; c < nvec; c += cvec) {
        rise_bits<kBlockBits>(table + padded(c), cvec, mb);
        for (std::size_t b = c; b < c + cvec; b += bvec) {
            V* block = table + padded(b);
            rise_bits<4>(block, bvec, kb - low);
            last_round_bits(block, bvec, b >> low, low, tr);
        }
    }

    alignas(32) std::int16_t best[16], group[16], set_rows[16];
    _mm256_store_si256(reinterpret_cast<V*>(best), tr.best);
    _mm256_store_si256(reinterpret_cast<V*>(group), tr.group);
    _mm256_store_si256(reinterpret_cast<V*>(set_rows), ones);
    const std::int16_t* entries = tables_.as<std::int16_t>();
    const std::uint64_t all = (std::uint64_t{1} << r) - 1;
    const std::size_t per_group = std::size_t{1} << low;
    for (unsigned l = 0; l < 16; ++l) {
        // The largest index of the group that holds the lane's minimum.
        const std::size_t g0 = static_cast<std::uint16_t>(group[l]) * per_group;
        std::size_t at = g0 + per_group - 1;
        while (at > g0 && entries[padded(at) * 16 + l] != best[l]) --at;
        const std::uint64_t ones_l = static_cast<std::uint16_t>(set_rows[l]);
        out[l] = {~static_cast<std::uint64_t>(at) & all, (m - ones_l) + static_cast<std::uint64_t>(static_cast<std::int64_t>(best[l]))};
    }
}

}  // namespace bmf_core
