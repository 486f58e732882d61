#include "bmf_core/boolls.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "bmf_core/solve_work.hpp"
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

Result<BoolLs> BoolLs::build(const BitMatrix& w, BoolLs&& recycled, const Interrupt& stop) {
    TRY_VOID(check_rank(w.cols()));
    // Free everything of the old solver first; keep its table only when it
    // has the size needed, and clear it: by the old rows' patterns when they
    // are much fewer than its entries (sparse solves of large ranks would
    // otherwise spend much of their time clearing it).
    boolmat::Buffer<std::uint32_t> table = std::move(recycled.pattern_counts_);
    const std::size_t entries = std::size_t{1} << w.cols();
    if (table.size() == entries && recycled.m_ < entries / 16) {
        for (const std::uint64_t p : recycled.row_patterns_.span()) table[p] = 0;
    } else if (table.size() == entries) {
        std::memset(table.data(), 0, entries * sizeof(std::uint32_t));
    }
    { BoolLs dropped = std::move(recycled); }
    if (table.size() != entries) {
        table = boolmat::Buffer<std::uint32_t>();
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

ColumnAnswer BoolLs::solve_words(std::span<const Word> x, Method method, std::uint64_t seed, SolveWork& work,
                                 const Interrupt& stop) const {
    switch (method) {
        case Method::Naive: return solve_naive(*this, x, stop);
        case Method::Zeta: return work.zeta.solve(x, stop);
        case Method::Greedy: return solve_greedy(*this, x, work.greedy);
        case Method::GreedyLs: return solve_greedy_ls(*this, x, seed, work.greedy);
    }
    return {0, 0};  // unreachable: the enumeration has four values
}

Result<ColumnAnswer> BoolLs::solve(const BitVec& x, Method method, std::uint64_t seed, const Interrupt& stop) const {
    if (x.len() != m_) return boolmat::panic("x a {} bits, W a {} lignes", x.len(), m_);
    SolveWork work;
    TRY_VOID(work.prepare(*this, method, 1));
    const ColumnAnswer a = solve_words(x.words(), method, seed, work, stop);
    if (stop.stopped()) return boolmat::stopped();
    return a;
}

namespace {

// From this many targets the batched zeta solve beats one target at a time
// (the batch table is worked through whole even for a single target).
constexpr std::uint64_t kMinBatchTargets = 4;

bool batched(const BoolLs& s, Method method, std::uint64_t targets) noexcept {
    return method == Method::Zeta && targets >= kMinBatchTargets && ZetaWork::batch_suits(s);
}

// Solves every column of x (m x n) in batches, handing each answer to
// `take(column, answer)`; returns the summed error.
template <class Take>
Result<std::uint64_t> solve_columns(const BoolLs& s, const BitMatrix& x, ZetaWork& work, const Interrupt& stop,
                                    Take&& take) {
    TRY_VOID(work.prepare_batch(s));
    std::uint64_t total = 0;
    ColumnAnswer answers[ZetaWork::kBatch];
    // A batch transforms a table of 2^r vectors.
    const std::uint64_t batch_work = std::uint64_t{4} << s.r();
    for (std::uint64_t first = 0; first < x.cols(); first += ZetaWork::kBatch) {
        TRY_VOID(stop.check(batch_work));
        work.solve_batch(x, first, answers);
        const std::uint64_t count = std::min<std::uint64_t>(ZetaWork::kBatch, x.cols() - first);
        for (std::uint64_t k = 0; k < count; ++k) {
            take(first + k, answers[k]);
            total += answers[k].error;
        }
    }
    return total;
}

}  // namespace

Result<std::uint64_t> BoolLs::solve_rows(const BitMatrix& targets, Method method, std::uint64_t seed,
                                         SolveWork& work, BitMatrix& masks, const BitMatrix* columns,
                                         const Interrupt& stop) const {
    if (targets.cols() != m_) return boolmat::panic("x a {} bits, W a {} lignes", targets.cols(), m_);
    const std::uint64_t n = targets.rows();
    if (masks.rows() != n || masks.cols() != r_) {
        return boolmat::panic("{} lignes de masques pour {} cibles", masks.rows(), n);
    }
    if (batched(*this, method, n)) {
        auto take = [&](std::uint64_t k, const ColumnAnswer& a) { masks.row_ptr(k)[0] = a.h; };
        if (columns != nullptr) {
            if (columns->rows() != m_ || columns->cols() != n) {
                return boolmat::panic("{} x {} colonnes pour {} cibles de {} bits", columns->rows(), columns->cols(), n, m_);
            }
            return solve_columns(*this, *columns, work.zeta, stop, take);
        }
        TRY(const BitMatrix transposed, boolmat::transpose(targets, stop));
        return solve_columns(*this, transposed, work.zeta, stop, take);
    }
    TRY_VOID(work.prepare(*this, method, n));
    TRY_VOID(work.reset_record(n));
    std::uint64_t* errors = work.errors();
    const std::uint64_t stride = targets.stride();
    std::uint64_t total = 0;
    // What a target costs, roughly: its words, and a table of 2^r entries
    // for the zeta solve (whose large tables also poll inside).
    const std::uint64_t target_work = stride + (method == Method::Zeta ? (std::uint64_t{1} << r_) / 4 : 0);
    for (std::uint64_t k = 0; k < n; ++k) {
        TRY_VOID(stop.check(target_work));
        const std::uint64_t first = work.find_or_record(targets, k);
        ColumnAnswer a;
        if (first != k) {
            a = {masks.row_ptr(first)[0], errors[first]};
        } else {
            const std::span<const Word> x(targets.row_ptr(k), stride);
            bool empty = true;
            for (const Word v : x) empty &= v == 0;
            // Every method answers an empty target with the empty subset:
            // its error is 0 and nothing can be strictly better.
            a = empty ? ColumnAnswer{0, 0} : solve_words(x, method, seed, work, stop);
            if (stop.stopped()) return boolmat::stopped();
        }
        masks.row_ptr(k)[0] = a.h;
        errors[k] = a.error;
        total += a.error;
    }
    return total;
}

Result<SolveAllResult> BoolLs::solve_all(const BitMatrix& x, Method method, std::uint64_t seed,
                                         const Interrupt& stop) const {
    if (x.rows() != m_) return boolmat::panic("X a {} lignes, W en a {}", x.rows(), m_);
    if (batched(*this, method, x.cols())) {
        TRY(BitMatrix h, BitMatrix::zeros(r_, x.cols()));
        SolveWork work;
        TRY(const std::uint64_t total, solve_columns(*this, x, work.zeta, stop, [&](std::uint64_t k, const ColumnAnswer& a) {
                for (Word bits = a.h; bits != 0; bits &= bits - 1) {
                    h.row_ptr(static_cast<unsigned>(std::countr_zero(bits)))[k / 64] |= Word{1} << (k % 64);
                }
            }));
        return SolveAllResult{std::move(h), total};
    }
    TRY(BitMatrix targets, boolmat::transpose(x, stop));
    TRY(BitMatrix masks, BitMatrix::zeros(x.cols(), r_));
    SolveWork work;
    TRY(const std::uint64_t total, solve_rows(targets, method, seed, work, masks, nullptr, stop));
    TRY(BitMatrix h, boolmat::transpose(masks, stop));
    return SolveAllResult{std::move(h), total};
}

}  // namespace bmf_core
