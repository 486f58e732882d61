// Exact solves whose cost grows with the columns a target touches, not with
// the rank. Let U be the OR of the patterns of the target's 1-rows. A
// column outside U covers no 1-row, so adding it to a mask can only add
// false ones: the mask restricted to U is as good and no larger, and the
// smallest best mask lies inside U. Over the subsets of U a row counts only
// through its pattern compressed onto U (the bits of U packed low, as pext
// does), so one zeta transform of 2^|U| entries holds every error: entry S
// is (1-rows whose compressed pattern is a subset of S) - (0-rows
// likewise), which the 1-rows and the distinct patterns of W give. The
// subsets of U in increasing order are the deposits (pdep) of 0, 1, ...,
// 2^|U| - 1 over U, so the tie rule of the full transform carries over: the
// largest entry index S with the smallest value is the smallest mask.
// U can shrink further: adding a column to a mask covers the rows of the
// patterns holding it that the mask left uncovered, so if no pattern
// holding it has more 1-rows than 0-rows, no mask gains by it, and the
// smallest best mask leaves it out. Only the OR of the patterns with more
// 1-rows than 0-rows is kept, which on sparse data is often a few columns
// of a U of a dozen or more.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "bmf_core/zeta/plan.hpp"

namespace bmf_core {

// The bits of x at the 1 bits of mask, packed low (pext), one step per 1
// bit of x & mask: patterns have few.
constexpr std::uint64_t extract_bits(std::uint64_t x, std::uint64_t mask) noexcept {
    std::uint64_t out = 0;
    for (std::uint64_t b = x & mask; b != 0; b &= b - 1) {
        out |= std::uint64_t{1} << std::popcount(mask & ((b & -b) - 1));
    }
    return out;
}

// The low bits of x spread over the 1 bits of mask (pdep).
constexpr std::uint64_t deposit_bits(std::uint64_t x, std::uint64_t mask) noexcept {
    std::uint64_t out = 0;
    for (; mask != 0 && x != 0; mask &= mask - 1, x >>= 1) {
        if (x & 1) out |= mask & -mask;
    }
    return out;
}

// What the sparse way keeps of a row: its pattern (r <= 26) in the high
// half, the number of its distinct pattern in the low one, so that a 1-row
// costs one load.
constexpr std::uint64_t sparse_row(std::uint64_t pattern, std::uint32_t distinct) noexcept {
    return pattern << 32 | distinct;
}

// A table of several chunks is made a chunk at a time (sparse_kernel.hpp)
// from the entries of a target, one per distinct pattern and one for the
// patterns outside U: room for them as listed, again sorted by their
// `top_bits` bits above a chunk, and where each value of those bits starts.
struct SparseEntry {
    std::uint64_t pattern;  // compressed onto U
    std::int64_t delta;
};
constexpr std::size_t sparse_entries_bytes(std::uint32_t distinct, unsigned top_bits) noexcept {
    return 2 * (std::size_t{distinct} + 1) * sizeof(SparseEntry) +
           ((std::size_t{1} << top_bits) + 1) * sizeof(std::uint32_t);
}

// The estimated cost of a target of `ones` 1-rows touching u columns the
// sparse way, in the units of SparsePlan::full_cost, on the plan's set.
double sparse_cost(const ZetaPlan& plan, unsigned u, std::uint64_t ones) noexcept;

// The reference: the restriction step by step, every row of W counted one
// by one in 64-bit arithmetic. Allocates its table per call.
ColumnAnswer solve_zeta_sparse_scalar(const BoolLs& s, std::span<const Word> x);

}  // namespace bmf_core
