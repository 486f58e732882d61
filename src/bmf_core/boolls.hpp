// The table of the least-squares solver for one fixed W (m x r): its rows
// as column patterns, how many rows carry each of the 2^r patterns, and its
// columns as bit vectors. Built once, then only read, so any number of
// threads may solve with it at once (solve.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/bitvec.hpp"
#include "boolmat/buffer.hpp"
#include "boolmat/interrupt.hpp"

namespace bmf_core {

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::Interrupt;
using boolmat::Result;
using boolmat::Status;
using boolmat::Word;

// The pattern table has 2^r entries; this caps it at 256 MiB.
inline constexpr std::uint64_t kMaxRank = 26;

// The answer for one target column: the chosen column subset of W as a mask
// (bit j = column j) and its Hamming error.
struct ColumnAnswer {
    std::uint64_t h;
    std::uint64_t error;
    friend bool operator==(const ColumnAnswer&, const ColumnAnswer&) = default;
};

// The part of a pattern count beyond the range of its 32-bit counter, in
// multiples of 2^32. Only a W of 2^32 rows or more can have one.
struct CountCarry {
    std::uint64_t pattern;
    std::uint64_t high;
};

// Counts each pattern into `counts` (zero on entry); a counter that wraps
// records the wrap in `carries`. C is the counter type (uint32 in the
// solver; the tests use a narrow one to reach the wrap).
template <class C>
void count_patterns(std::span<const std::uint64_t> patterns, C* counts, std::vector<CountCarry>& carries) {
    for (const std::uint64_t p : patterns) {
        if (++counts[p] == 0) [[unlikely]] {
            bool found = false;
            for (CountCarry& c : carries) {
                if (c.pattern == p) {
                    ++c.high;
                    found = true;
                    break;
                }
            }
            if (!found) carries.push_back({p, 1});
        }
    }
}

class BoolLs {
public:
    BoolLs(BoolLs&&) noexcept = default;
    BoolLs& operator=(BoolLs&&) noexcept = default;
    BoolLs(const BoolLs&) = delete;
    BoolLs& operator=(const BoolLs&) = delete;

    // Polls `stop` while it counts the patterns (at the largest ranks the
    // table is faulted in then).
    static Result<BoolLs> build(const BitMatrix& w, const Interrupt& stop = {});
    // The same, taking over the pattern table of a solver that is no longer
    // needed, so that a sequence of solvers holds one table at a time. The
    // old solver is released whatever the outcome; clearing its table polls
    // `stop` too.
    static Result<BoolLs> build(const BitMatrix& w, BoolLs&& recycled, const Interrupt& stop = {});

    std::span<const std::uint64_t> row_patterns() const noexcept { return row_patterns_.span(); }
    std::span<const std::uint32_t> pattern_counts() const noexcept { return pattern_counts_.span(); }
    std::span<const CountCarry> count_carries() const noexcept { return carries_; }
    std::span<const BitVec> columns() const noexcept { return columns_; }
    std::uint64_t m() const noexcept { return m_; }
    std::uint64_t r() const noexcept { return r_; }

    // Exact number of rows with pattern p, whatever m.
    std::uint64_t pattern_count(std::uint64_t p) const noexcept;

private:
    BoolLs(boolmat::Buffer<std::uint64_t> patterns, boolmat::Buffer<std::uint32_t> counts,
           std::vector<CountCarry> carries, std::vector<BitVec> columns, std::uint64_t m, std::uint64_t r) noexcept
        : row_patterns_(std::move(patterns)),
          pattern_counts_(std::move(counts)),
          carries_(std::move(carries)),
          columns_(std::move(columns)),
          m_(m),
          r_(r) {}

    static Result<BoolLs> build_with(const BitMatrix& w, boolmat::Buffer<std::uint32_t> table, const Interrupt& stop);

    boolmat::Buffer<std::uint64_t> row_patterns_;
    boolmat::Buffer<std::uint32_t> pattern_counts_;
    std::vector<CountCarry> carries_;
    std::vector<BitVec> columns_;
    std::uint64_t m_;
    std::uint64_t r_;
};

// The rank limits of the solver, with their messages.
Status check_rank(std::uint64_t r);

}  // namespace bmf_core
