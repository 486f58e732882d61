// The layout of the zeta tables, which every kernel set shares: the width of
// their lanes, their vectors, blocks and chunks, the padding between blocks,
// and where a row of W is added.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bmf_core {

// Width of the signed integers the table is transformed in. Every partial
// sum lies in [-m, m], so 16 bits are exact for m < 2^15 and 32 bits for
// m < 2^31; beyond that only 64 bits are.
enum class LaneWidth : std::uint8_t { Bits16, Bits32, Bits64 };

LaneWidth lane_width_for(std::uint64_t m) noexcept;

constexpr std::size_t lane_bytes(LaneWidth w) noexcept {
    return w == LaneWidth::Bits16 ? 2 : w == LaneWidth::Bits32 ? 4 : 8;
}

// The table is an array of 32-byte vectors, 2^lane_bits entries each (the
// entries of one vector differ in their lowest lane_bits index bits).
constexpr unsigned lane_bits(LaneWidth w) noexcept {
    return w == LaneWidth::Bits16 ? 4 : w == LaneWidth::Bits32 ? 3 : 2;
}

// 2^8 vectors: 8 KiB, a block, done in the first-level cache.
inline constexpr unsigned kBlockBits = 8;
// 2^12 vectors: 128 KiB, a chunk, which stays in the second-level cache
// while the bits above its blocks are done.
inline constexpr unsigned kChunkBits = 12;

// The table has one spare cache line after every block, so that the
// vectors of a round whose stride is a multiple of a block do not all map
// to the same lines of the first-level cache (a stride that is a multiple
// of 4 KiB would make the sixteen vectors of a four-bit round evict each
// other). With it every round up to bit 16 can take four bits. Below a
// block there is no padding.
constexpr std::size_t padded(std::size_t t) noexcept { return t + 2 * (t >> kBlockBits); }

// The scratch of the transform of a table of 2^vb vectors (transform.hpp):
// a block, then, with several chunks and `chunk`, a chunk.
constexpr std::size_t chunk_scratch_bytes(unsigned vb, bool chunk) noexcept {
    const std::size_t block = std::size_t{1} << (vb < kBlockBits ? vb : kBlockBits);
    return 32 * (block + (chunk && vb > kChunkBits ? padded(std::size_t{1} << kChunkBits) : 0));
}

// A row's place in the table as one 32-bit code: the byte offset of its
// vector (a multiple of 32) plus the in-vector bits of its pattern, which
// pick the lanes of its supersets. Spread over top_bits > 0 (Avx2Plan): the
// offset is that of the vector with its top bits cleared (below 2^18), and
// the top bits go to bits 24 and up.
constexpr std::uint32_t row_code(std::uint64_t p, unsigned lb, unsigned top_bits) noexcept {
    const std::uint64_t v = p >> lb;
    const std::uint64_t low = p & ((std::uint64_t{1} << lb) - 1);
    if (top_bits == 0) return static_cast<std::uint32_t>(32 * padded(v) + low);
    const std::uint64_t rest = v & ((std::uint64_t{1} << kChunkBits) - 1);
    return static_cast<std::uint32_t>(32 * padded(rest) + low + ((v >> kChunkBits) << 24));
}

// Spread rows: for each count of top bits (1 to 4) and each value t of
// them, the supersets of t, as offsets in vectors from the vector with the
// top bits cleared.
struct TopSpread {
    std::uint8_t count[5][16];
    std::uint16_t offset[5][16][16];
};

constexpr TopSpread make_top_spread() noexcept {
    TopSpread s{};
    constexpr std::size_t chunk = padded(std::size_t{1} << kChunkBits);
    for (unsigned bits = 1; bits <= 4; ++bits) {
        const unsigned full = (1u << bits) - 1;
        for (unsigned t = 0; t <= full; ++t) {
            unsigned n = 0;
            for (unsigned u = t;; u = (u + 1) | t) {
                s.offset[bits][t][n++] = static_cast<std::uint16_t>(u * chunk);
                if (u == full) break;
            }
            s.count[bits][t] = static_cast<std::uint8_t>(n);
        }
    }
    return s;
}

// Internal linkage, so that position-independent code reads it directly.
constexpr TopSpread kTopSpread = make_top_spread();

}  // namespace bmf_core
