#include "bmf_core/boolls.hpp"

#include <algorithm>
#include <cstring>

#include "boolmat/transpose.hpp"

namespace bmf_core {

Status check_rank(std::uint64_t r) {
    if (r > 64) return boolmat::panic("Interdit d'avoir un rang supérieur à la taille d'un mot");
    if (r > kMaxRank) return boolmat::panic("Sécurité pour ne pas surcharger la mémoire");
    return {};
}

Result<BoolLs> BoolLs::build(const BitMatrix& w, const Interrupt& stop) {
    TRY_VOID(check_rank(w.cols()));
    TRY(auto table, boolmat::Buffer<std::uint32_t>::zeroed(std::size_t{1} << w.cols()));
    return build_with(w, std::move(table), stop);
}

namespace {

// Clears a pattern table of an old solver: by the old rows' patterns when
// they are much fewer than its entries (sparse solves of large ranks would
// otherwise spend much of their time clearing it), else whole. Either way
// in steps, polling `stop` before each: a table of the largest rank is
// 256 MiB.
Status clear_table(std::span<std::uint32_t> table, std::span<const std::uint64_t> old_patterns,
                   const Interrupt& stop) {
    if (old_patterns.size() < table.size() / 16) {
        // A cache line written per row.
        constexpr std::size_t kRows = 4096;
        for (std::size_t i0 = 0; i0 < old_patterns.size(); i0 += kRows) {
            TRY_VOID(stop.check(8 * kRows));
            const std::size_t end = std::min(old_patterns.size(), i0 + kRows);
            for (std::size_t i = i0; i < end; ++i) table[old_patterns[i]] = 0;
        }
        return {};
    }
    constexpr std::size_t kCounters = std::size_t{1} << 16;
    for (std::size_t i0 = 0; i0 < table.size(); i0 += kCounters) {
        TRY_VOID(stop.check(kCounters / 2));
        std::memset(table.data() + i0, 0, std::min(kCounters, table.size() - i0) * sizeof(std::uint32_t));
    }
    return {};
}

}  // namespace

Result<BoolLs> BoolLs::build(const BitMatrix& w, BoolLs&& recycled, const Interrupt& stop) {
    TRY_VOID(check_rank(w.cols()));
    // Free everything of the old solver first, keeping its table only when
    // it has the size needed. Stopped, the half-cleared table goes with it.
    const std::size_t entries = std::size_t{1} << w.cols();
    boolmat::Buffer<std::uint32_t> table;
    {
        BoolLs old = std::move(recycled);
        if (old.pattern_counts_.size() == entries) {
            TRY_VOID(clear_table(old.pattern_counts_.span(), old.row_patterns_.span(), stop));
            table = std::move(old.pattern_counts_);
        }
    }
    if (table.size() != entries) {
        TRY(table, boolmat::Buffer<std::uint32_t>::zeroed(entries));
    }
    return build_with(w, std::move(table), stop);
}

Result<BoolLs> BoolLs::build_with(const BitMatrix& w, boolmat::Buffer<std::uint32_t> table, const Interrupt& stop) {
    const std::uint64_t m = w.rows(), r = w.cols();
    TRY(auto patterns, boolmat::Buffer<std::uint64_t>::uninit(m));
    // r <= 26: a row is its first word, whose bits from r up are clear.
    for (std::uint64_t i = 0; i < m; ++i) patterns[i] = w.row_ptr(i)[0];
    std::vector<CountCarry> carries;
    // A few rows at a time: at the largest ranks each row may fault in a
    // fresh page of the table.
    constexpr std::uint64_t kRows = 64;
    for (std::uint64_t i = 0; i < m; i += kRows) {
        TRY_VOID(stop.check(kRows * 64));
        count_patterns(patterns.span().subspan(i, std::min(kRows, m - i)), table.data(), carries);
    }

    TRY(BitMatrix t, boolmat::transpose(w));
    std::vector<BitVec> columns;
    columns.reserve(r);
    for (std::uint64_t j = 0; j < r; ++j) {
        TRY(auto row, t.row(j));
        TRY(BitVec col, BitVec::from_words(row, m));
        columns.push_back(std::move(col));
    }
    return BoolLs(std::move(patterns), std::move(table), std::move(carries), std::move(columns), m, r);
}

std::uint64_t BoolLs::pattern_count(std::uint64_t p) const noexcept {
    std::uint64_t c = pattern_counts_[p];
    for (const CountCarry& k : carries_) {
        if (k.pattern == p) c += k.high << 32;
    }
    return c;
}

}  // namespace bmf_core
