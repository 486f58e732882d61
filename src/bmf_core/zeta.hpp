// Exhaustive search through a subset-sum (zeta) transform of the pattern
// table. For a target x, entry S of the transformed table is
//   (set rows whose pattern is a subset of S) - (clear rows likewise),
// so the error of mask h is (m - ones(x)) + a[~h], and the best mask is the
// complement of the smallest entry, the largest S winning ties (which is the
// smallest h, as the increasing scan of the plain algorithm picks).
#pragma once

#include <cstdint>
#include <span>

#include "bmf_core/aligned.hpp"
#include "bmf_core/boolls.hpp"

namespace bmf_core {

// Width of the signed integers the table is transformed in. Every partial
// sum lies in [-m, m], so 16 bits are exact for m < 2^15 and 32 bits for
// m < 2^31; beyond that only 64 bits are.
enum class LaneWidth : std::uint8_t { Bits16, Bits32, Bits64 };

LaneWidth lane_width_for(std::uint64_t m) noexcept;

// The working memory of the vectorised kernel for one solver at a time,
// reused across columns and across solvers.
class ZetaWork {
public:
    // Makes the work ready for columns of s. `many`: several columns will
    // follow, so a private copy of the negated counts pays for itself (the
    // targets are then moved in and out of it, instead of the whole table
    // being copied per column).
    Status prepare(const BoolLs& s, bool many) { return prepare(s, many, lane_width_for(s.m())); }
    // The same with the lane width forced; it must be exact for s.m().
    Status prepare(const BoolLs& s, bool many, LaneWidth lanes);

    // The answer for one target of the prepared solver (m bits, tail clear).
    ColumnAnswer solve(std::span<const Word> x);

    // Sixteen targets at once, for solvers of small rank and fewer than 2^15
    // rows: their table then has 16 entries per pattern.
    static constexpr std::uint64_t kBatch = 16;
    static constexpr std::uint64_t kMaxBatchRank = 15;
    static bool batch_suits(const BoolLs& s) noexcept;
    Status prepare_batch(const BoolLs& s);
    // The answers for the targets that are columns first to first + 15 of
    // x (m rows; first a multiple of 16). Columns past the last one of x
    // read as empty targets.
    void solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out);

private:
    template <class T>
    ColumnAnswer solve_lanes(std::span<const Word> x);
    template <class T>
    void fill_negated_counts(T* out) const;
    template <class T>
    void move_base(std::span<const Word> x, unsigned counted);
    template <class T>
    void fill_base();
    unsigned spread_top_bits(const BoolLs& s, unsigned vb, unsigned lb) const;

    void find_heavy_patterns(const BoolLs& s);

    // The patterns carried by the most rows. Adding such rows one by one
    // makes a chain of dependent updates of one entry, so their set rows are
    // counted with popcounts over a mask of their rows instead, and only the
    // other rows are added one by one.
    static constexpr unsigned kMaxHeavy = 8;
    unsigned heavy_ = 0;
    std::uint64_t heavy_patterns_[kMaxHeavy] = {};
    std::uint64_t heavy_counts_[kMaxHeavy] = {};
    AlignedBytes heavy_masks_;  // heavy_ masks of m bits, then the mask of the other rows

    const BoolLs* solver_ = nullptr;
    LaneWidth lanes_ = LaneWidth::Bits16;
    bool base_mode_ = false;
    // Base mode with one to four bits above a chunk: those bits are done in
    // the base once, and each row is added to every superset of its top
    // bits (0: not spread).
    unsigned top_bits_ = 0;
    // The table being transformed, then, with many columns, the base: the
    // negated counts, targets added in and out. One block rather than two:
    // two large blocks freed together make the allocator hand their pages
    // back, and the next call would fault them all in again.
    AlignedBytes tables_;
    std::size_t table_bytes_ = 0;
    template <class T>
    T* table() const noexcept { return tables_.as<T>(); }
    template <class T>
    T* base() const noexcept { return reinterpret_cast<T*>(tables_.as<char>() + table_bytes_); }
    AlignedBytes scratch_;  // one cache-sized block of the last passes
    // What the base holds beyond the counts: the set rows of held_ (the
    // target last moved in) among the light rows of base_counted_, and the
    // counts base_heavy_ of the first base_counted_ heavy patterns. After
    // held_'s words, room for the rows to take out and to put in.
    AlignedBytes held_;
    unsigned base_counted_ = 0;
    std::int64_t base_heavy_[kMaxHeavy] = {};
    AlignedBytes rows_;      // the set rows of the current target
    AlignedBytes patterns_;  // the row patterns as 32-bit values, then the row codes
    AlignedBytes batch_counts_;  // the negated pattern counts, 16-bit
};

// The plain algorithm, in 64-bit arithmetic: the reference the kernel is
// compared with. Allocates its table per call.
ColumnAnswer solve_zeta_scalar(const BoolLs& s, std::span<const Word> x);
// The same in a caller's table of 2^r entries.
ColumnAnswer solve_zeta_plain(const BoolLs& s, std::span<const Word> x, std::int64_t* a) noexcept;

}  // namespace bmf_core
