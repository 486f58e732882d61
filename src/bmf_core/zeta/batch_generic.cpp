// Sixteen targets solved together in the generic set, in vector-extension
// lanes: the interleaved table of the AVX2 batch (batch_avx2.cpp), vector p holding entry p of
// each target's table, one per 16-bit lane. Rows add their bits of the
// sixteen targets with one vector operation, every butterfly serves all
// sixteen, and the last round of each block, which is the round of its
// lowest bits, keeps the lane-wise minimum and the last group that reached
// it: its groups come in increasing index order, so that group holds the
// lane's largest index with the minimum (the smallest mask).
#include <algorithm>
#include <cstdint>
#include <limits>

#include "bmf_core/zeta/kernels.hpp"
#include "bmf_core/zeta/vec_lanes.hpp"

namespace bmf_core::generic {
namespace {

using namespace any_set;

using T = std::int16_t;
using V = Vec<T>;
typedef std::uint16_t U __attribute__((vector_size(32)));  // wraps where V may not

// What the last round does with its groups: stores them, and keeps the
// lane-wise running minimum and the number of the last group that reached
// it. A later group that ties takes over: it holds larger indices.
struct Track {
    V best;
    V group;
    V number;  // of the next group
    template <class, unsigned G>
    void take(V* v, V* dst, std::size_t pstep) noexcept {
        for (unsigned j = 0; j < G; ++j) dst[j * pstep] = v[j];
        for (unsigned half = G / 2; half > 0; half /= 2) {
            for (unsigned j = 0; j < half; ++j) take_min<T>(v[j], v[j + half]);
        }
        // Lanes where v[0] <= best take the group: min(best, v[0]) == v[0].
        take_min<T>(best, v[0]);
        V now;
        equal_lanes<T>(best, v[0], now);
        group = (number & now) | (group & ~now);
        number += 1;
    }
};

// Adds the rows of the batch's targets to the table: each row adds 2 in the
// lanes of the targets it is a 1-row of. Counts into `ones` each lane's
// 1-rows, which give its target's ones. Paired rows add 2 per observed
// 1-row and 1 per unobserved row, and count the unobserved rows with the
// 1-rows: they are not 0-rows of the error either.
template <bool Paired>
void add_target_rows(V* table, const std::uint32_t* codes, std::uint64_t m, const BatchRows& rows, V& ones) noexcept {
    // Lane l keeps bit l of the 16 and moves it to the sign bit, from where
    // an arithmetic shift makes 2 or 0 of it: no compare (see halves()).
    U sel, to_sign;
    for (unsigned l = 0; l < 16; ++l) {
        sel[l] = static_cast<std::uint16_t>(1u << l);
        to_sign[l] = static_cast<std::uint16_t>(1u << (15 - l));
    }
    // Locals: a store to the table may alias `rows`.
    const unsigned shift = rows.shift;
    const std::size_t stride = rows.stride;
    const Word* word = rows.words;
    ones = V{};
    for (std::uint64_t i = 0; i < m; ++i, word += stride) {
        V& e = table[codes[i] / sizeof(V)];
        if constexpr (Paired) {
            // 1 in the lanes of the observed 1-rows, 1 in those of the
            // 1-rows and unobserved rows.
            const auto bits = static_cast<std::uint16_t>((word[0] >> shift) & 0xFFFF);
            const auto either_bits = static_cast<std::uint16_t>((word[1] >> shift) & 0xFFFF);
            const V one = reinterpret_cast<V>(((U{} + bits) & sel) * to_sign);
            const V either = reinterpret_cast<V>(((U{} + either_bits) & sel) * to_sign);
            e -= (one >> 15) + (either >> 15);
            ones -= either >> 15;
        } else {
            const auto bits = static_cast<std::uint16_t>((*word >> shift) & 0xFFFF);
            const V sign = reinterpret_cast<V>(((U{} + bits) & sel) * to_sign);  // -2^15 or 0
            e -= sign >> 14;
            ones -= sign >> 15;
        }
    }
}

}  // namespace

void solve_batch(const ZetaPlan& plan, const ZetaBuffers& buf, const BoolLs& s, const BatchRows& rows,
                 ColumnAnswer* out) noexcept {
    const unsigned r = plan.r;
    const std::uint64_t m = s.m();
    const std::size_t nvec = std::size_t{1} << r;
    V* table = buf.table<V>();
    const T* neg = buf.batch_counts.as<T>();
    // Block by block, so that the positions inside one are consecutive.
    for (std::size_t p0 = 0; p0 < nvec; p0 += std::size_t{1} << kBlockBits) {
        V* to = table + padded(p0);
        const std::size_t n = std::min(nvec - p0, std::size_t{1} << kBlockBits);
        for (std::size_t j = 0; j < n; ++j) to[j] = V{} + neg[p0 + j];
    }
    const std::uint32_t* codes = buf.codes.as<std::uint32_t>();
    V ones;
    if (rows.paired) {
        add_target_rows<true>(table, codes, m, rows, ones);
    } else {
        add_target_rows<false>(table, codes, m, rows, ones);
    }

    // The bits above a chunk over the whole table; then per chunk, while it
    // stays in the second-level cache, the bits above its blocks; then per
    // block the bits inside it, the lowest last.
    const unsigned kb = r < kBlockBits ? r : kBlockBits;
    const unsigned cb = r < kChunkBits ? r : kChunkBits;
    const unsigned hb = r - cb, mb = cb - kb;
    Store store;
    if (hb > 0) rounds<T>(table, nvec, kChunkBits, hb, store);
    const unsigned low = kb < kMaxRoundBits ? kb : kMaxRoundBits;
    const std::size_t bvec = std::size_t{1} << kb;
    const std::size_t cvec = std::size_t{1} << cb;
    Track track{V{} + std::numeric_limits<T>::max(), V{}, V{}};
    for (std::size_t c = 0; c < nvec; c += cvec) {
        if (mb > 0) rounds<T>(table + padded(c), cvec, kBlockBits, mb, store);
        for (std::size_t b = c; b < c + cvec; b += bvec) {
            V* block = table + padded(b);
            if (kb > low) rounds<T>(block, bvec, low, kb - low, store);
            switch (low) {
                case 1: round<T, 1>(block, bvec, 0, track); break;
                case 2: round<T, 2>(block, bvec, 0, track); break;
                default: round<T, 3>(block, bvec, 0, track); break;
            }
        }
    }

    const T* entries = buf.table<T>();
    const std::uint64_t all = (std::uint64_t{1} << r) - 1;
    const std::size_t per_group = std::size_t{1} << low;
    for (unsigned l = 0; l < 16; ++l) {
        // The largest index of the group that holds the lane's minimum.
        const std::size_t g0 = static_cast<std::uint16_t>(track.group[l]) * per_group;
        std::size_t at = g0 + per_group - 1;
        while (at > g0 && entries[padded(at) * 16 + l] != track.best[l]) --at;
        const std::uint64_t ones_l = static_cast<std::uint16_t>(ones[l]);
        out[l] = {~static_cast<std::uint64_t>(at) & all,
                  (m - ones_l) + static_cast<std::uint64_t>(static_cast<std::int64_t>(track.best[l]))};
    }
}

}  // namespace bmf_core::generic
