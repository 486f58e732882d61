// Sixteen targets solved together (AVX2). Their tables are interleaved:
// vector p of the batch table holds entry p of each target's table, one per
// 16-bit lane. Then
// - a row of W adds its bits of the sixteen targets to the vector of its
//   pattern in one vector operation, so a target costs m/16 row updates
//   instead of one per 1-row;
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
#include <cstdint>
#include <limits>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
#include "bmf_core/zeta/lanes_avx2.hpp"
#include "bmf_core/zeta/rounds.hpp"

namespace bmf_core::avx2 {
namespace {

// What the last round does with its groups: stores them, and keeps the
// lane-wise running minimum and the number of the last group that reached
// it. A later group that ties takes over: it holds larger indices.
struct Track {
    V best;
    V group;
    V number;  // of the next group
    template <class L, class T, unsigned G>
    void take(V* v, V* dst, std::size_t pstep) noexcept {
        simd::Store{}.take<L, T, G>(v, dst, pstep);
#pragma GCC unroll 4
        for (unsigned half = G / 2; half > 0; half /= 2) {
#pragma GCC unroll 8
            for (unsigned j = 0; j < half; ++j) v[j] = _mm256_min_epi16(v[j], v[j + half]);
        }
        const V worse = _mm256_cmpgt_epi16(v[0], best);
        group = _mm256_blendv_epi8(number, group, worse);
        best = _mm256_min_epi16(best, v[0]);
        number = _mm256_add_epi16(number, _mm256_set1_epi16(1));
    }
};

// Bit l of the 16 bits, for lane l.
inline V lane_bits_mask() noexcept {
    return _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384,
                             static_cast<short>(0x8000));
}

// Adds the rows of the batch's targets to the table: each row adds 2 in the
// lanes of the targets it is a 1-row of. Returns each lane's count of
// 1-rows, which gives its target's ones.
V add_target_rows(V* table, const std::uint32_t* codes, std::uint64_t m, const BatchRows& rows) noexcept {
    // Locals: a store to the table may alias anything, `rows` included.
    const Word* word = rows.words;
    const std::size_t stride = rows.stride;
    const unsigned shift = rows.shift;
    const V sel = lane_bits_mask();
    V ones = _mm256_setzero_si256();
    for (std::uint64_t i = 0; i < m; ++i, word += stride) {
        V* e = reinterpret_cast<V*>(reinterpret_cast<char*>(table) + codes[i]);
        const auto bits = static_cast<short>((*word >> shift) & 0xFFFF);
        const V one = _mm256_cmpeq_epi16(_mm256_and_si256(_mm256_set1_epi16(bits), sel), sel);
        *e = _mm256_sub_epi16(_mm256_sub_epi16(*e, one), one);
        ones = _mm256_sub_epi16(ones, one);
    }
    return ones;
}

// The same for paired rows: 2 per observed 1-row, 1 per unobserved row, and
// the unobserved rows counted with the 1-rows, as they are not 0-rows of
// the error either. Both words of a row come in one broadcast of their 16
// bytes; a byte shuffle puts in each 16-bit lane the byte of its bit of the
// 1 bits (low) and of the 1 bits or unobserved cells (high), and one byte
// compare makes both flags: a multiply-add of the two then gives the
// lane's amount, and the high flag its count.
V add_paired_rows(V* table, const std::uint32_t* codes, std::uint64_t m, const BatchRows& rows) noexcept {
    const Word* word = rows.words;
    const std::size_t stride = rows.stride;
    const char b = static_cast<char>(rows.shift / 8);
    // Lanes 0 to 7 read the lower byte of the 16 bits, lanes 8 to 15 the
    // upper one; the second word starts at byte 8.
    const V pick = _mm256_add_epi8(_mm256_setr_epi8(0, 8, 0, 8, 0, 8, 0, 8, 0, 8, 0, 8, 0, 8, 0, 8,  //
                                                    1, 9, 1, 9, 1, 9, 1, 9, 1, 9, 1, 9, 1, 9, 1, 9),
                                   _mm256_set1_epi8(b));
    const V sel = _mm256_setr_epi8(1, 1, 2, 2, 4, 4, 8, 8, 16, 16, 32, 32, 64, 64, -128, -128,  //
                                   1, 1, 2, 2, 4, 4, 8, 8, 16, 16, 32, 32, 64, 64, -128, -128);
    const V unit = _mm256_set1_epi8(1);
    V ones = _mm256_setzero_si256();
    for (std::uint64_t i = 0; i < m; ++i, word += stride) {
        V* e = reinterpret_cast<V*>(reinterpret_cast<char*>(table) + codes[i]);
        const V both = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(word)));
        const V flags = _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_shuffle_epi8(both, pick), sel), sel);
        // Flags are -1: the multiply-add makes -(amount), the shift -(count).
        *e = _mm256_sub_epi16(*e, _mm256_maddubs_epi16(unit, flags));
        ones = _mm256_sub_epi16(ones, _mm256_srai_epi16(flags, 15));
    }
    return ones;
}

}  // namespace

void solve_batch(const ZetaPlan& plan, const ZetaBuffers& buf, const BoolLs& s, const BatchRows& rows,
                 ColumnAnswer* out) noexcept {
    using T = std::int16_t;
    const unsigned r = plan.r;
    const std::uint64_t m = s.m();
    const std::size_t nvec = std::size_t{1} << r;
    V* table = buf.table<V>();
    const std::int16_t* neg = buf.batch_counts.as<std::int16_t>();
    // Block by block, so that the positions inside one are consecutive.
    for (std::size_t p0 = 0; p0 < nvec; p0 += std::size_t{1} << kBlockBits) {
        V* to = table + padded(p0);
        const std::int16_t* from = neg + p0;
        const std::size_t n = std::min(nvec - p0, std::size_t{1} << kBlockBits);
#pragma GCC unroll 8
        for (std::size_t j = 0; j < n; ++j) _mm256_store_si256(to + j, _mm256_set1_epi16(from[j]));
    }
    const std::uint32_t* codes = buf.codes.as<std::uint32_t>();
    const V ones = rows.paired ? add_paired_rows(table, codes, m, rows) : add_target_rows(table, codes, m, rows);

    // The bits above a chunk of 2^12 vectors over the whole table; then per
    // chunk, while it stays in the second-level cache, the four bits above
    // its blocks; then per block the bits inside it, the lowest last.
    const unsigned kb = r < kBlockBits ? r : kBlockBits;
    const unsigned hb = r - kb;
    const unsigned mb = hb < 4 ? hb : 4;
    using simd::Bit;
    simd::Store store;
    if (hb > 4) simd::round<Lanes, T>(hb - 4, table, table, nvec, Bit<kBlockBits + 4>{}, store);
    const unsigned low = kb < 4 ? kb : 4;
    const std::size_t bvec = std::size_t{1} << kb;
    const std::size_t cvec = bvec << mb;
    Track track{_mm256_set1_epi16(std::numeric_limits<T>::max()), _mm256_setzero_si256(), _mm256_setzero_si256()};
    for (std::size_t c = 0; c < nvec; c += cvec) {
        if (mb > 0) simd::round<Lanes, T>(mb, table + padded(c), table + padded(c), cvec, Bit<kBlockBits>{}, store);
        for (std::size_t b = c; b < c + cvec; b += bvec) {
            V* block = table + padded(b);
            if (kb > low) simd::round<Lanes, T>(kb - low, block, block, bvec, Bit<4>{}, store);
            simd::round<Lanes, T>(low, block, block, bvec, Bit<0>{}, track);
        }
    }

    alignas(32) std::int16_t best[16], group[16], one_rows[16];
    _mm256_store_si256(reinterpret_cast<V*>(best), track.best);
    _mm256_store_si256(reinterpret_cast<V*>(group), track.group);
    _mm256_store_si256(reinterpret_cast<V*>(one_rows), ones);
    const std::int16_t* entries = buf.table<std::int16_t>();
    const std::uint64_t all = (std::uint64_t{1} << r) - 1;
    const std::size_t per_group = std::size_t{1} << low;
    for (unsigned l = 0; l < 16; ++l) {
        // The largest index of the group that holds the lane's minimum.
        const std::size_t g0 = static_cast<std::uint16_t>(group[l]) * per_group;
        std::size_t at = g0 + per_group - 1;
        while (at > g0 && entries[padded(at) * 16 + l] != best[l]) --at;
        const std::uint64_t ones_l = static_cast<std::uint16_t>(one_rows[l]);
        out[l] = {~static_cast<std::uint64_t>(at) & all, (m - ones_l) + static_cast<std::uint64_t>(static_cast<std::int64_t>(best[l]))};
    }
}

}  // namespace bmf_core::avx2
VALDRIX_TARGET_END
