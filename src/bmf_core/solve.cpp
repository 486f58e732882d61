#include "bmf_core/solve.hpp"

#include <algorithm>
#include <bit>

#include "bmf_core/greedy.hpp"
#include "bmf_core/naive.hpp"
#include "boolmat/transpose.hpp"

namespace bmf_core {

ColumnAnswer solve_words(const BoolLs& s, std::span<const Word> x, Method method, std::uint64_t seed,
                         SolveWork& work, const Interrupt& stop) {
    switch (method) {
        case Method::Naive: return solve_naive(s, x, stop);
        case Method::Zeta: return work.zeta.solve(x, stop);
        case Method::Greedy: return solve_greedy(s, x, work.greedy);
        case Method::GreedyLs: return solve_greedy_ls(s, x, seed, work.greedy);
    }
    return {0, 0};  // unreachable: the enumeration has four values
}

Result<ColumnAnswer> solve(const BoolLs& s, const BitVec& x, Method method, std::uint64_t seed,
                           const Interrupt& stop) {
    if (x.len() != s.m()) return boolmat::panic("x a {} bits, W a {} lignes", x.len(), s.m());
    SolveWork work;
    TRY_VOID(work.prepare(s, method, 1));
    const ColumnAnswer a = solve_words(s, x.words(), method, seed, work, stop);
    if (stop.stopped()) return boolmat::stopped();
    return a;
}

namespace {

// Solves every column of x (m x n) in the batches of a batched work,
// handing each answer to `take(column, answer)`; returns the summed error.
template <class Take>
Result<std::uint64_t> solve_in_batches(const BoolLs& s, const BitMatrix& x, ZetaWork& work, const Interrupt& stop,
                                       Take&& take) {
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

// Solves every row of `targets` one at a time with a work prepared for
// them, answering repeated rows from the record.
Result<std::uint64_t> solve_one_by_one(const BoolLs& s, const BitMatrix& targets, Method method, std::uint64_t seed,
                                       SolveWork& work, BitMatrix& masks, const Interrupt& stop) {
    const std::uint64_t n = targets.rows();
    TRY_VOID(work.reset_record(n));
    std::uint64_t* errors = work.errors();
    const std::uint64_t stride = targets.stride();
    std::uint64_t total = 0;
    // What a target costs, roughly: its words, and a table of 2^r entries
    // for the zeta solve (whose large tables also poll inside).
    const std::uint64_t target_work = stride + (method == Method::Zeta ? (std::uint64_t{1} << s.r()) / 4 : 0);
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
            a = empty ? ColumnAnswer{0, 0} : solve_words(s, x, method, seed, work, stop);
            if (stop.stopped()) return boolmat::stopped();
        }
        masks.row_ptr(k)[0] = a.h;
        errors[k] = a.error;
        total += a.error;
    }
    return total;
}

}  // namespace

Result<std::uint64_t> solve_rows(const BoolLs& s, const BitMatrix& targets, Method method, std::uint64_t seed,
                                 SolveWork& work, BitMatrix& masks, const BitMatrix* columns,
                                 const Interrupt& stop) {
    if (targets.cols() != s.m()) return boolmat::panic("x a {} bits, W a {} lignes", targets.cols(), s.m());
    const std::uint64_t n = targets.rows();
    if (masks.rows() != n || masks.cols() != s.r()) {
        return boolmat::panic("{} lignes de masques pour {} cibles", masks.rows(), n);
    }
    TRY_VOID(work.prepare(s, method, n));
    if (!work.batched()) return solve_one_by_one(s, targets, method, seed, work, masks, stop);
    auto take = [&](std::uint64_t k, const ColumnAnswer& a) { masks.row_ptr(k)[0] = a.h; };
    if (columns != nullptr) {
        if (columns->rows() != s.m() || columns->cols() != n) {
            return boolmat::panic("{} x {} colonnes pour {} cibles de {} bits", columns->rows(), columns->cols(), n, s.m());
        }
        return solve_in_batches(s, *columns, work.zeta, stop, take);
    }
    TRY(const BitMatrix transposed, boolmat::transpose(targets, stop));
    return solve_in_batches(s, transposed, work.zeta, stop, take);
}

Result<SolveAllResult> solve_all(const BoolLs& s, const BitMatrix& x, Method method, std::uint64_t seed,
                                 const Interrupt& stop) {
    if (x.rows() != s.m()) return boolmat::panic("X a {} lignes, W en a {}", x.rows(), s.m());
    SolveWork work;
    TRY_VOID(work.prepare(s, method, x.cols()));
    if (work.batched()) {
        TRY(BitMatrix h, BitMatrix::zeros(s.r(), x.cols()));
        TRY(const std::uint64_t total, solve_in_batches(s, x, work.zeta, stop, [&](std::uint64_t k, const ColumnAnswer& a) {
                for (Word bits = a.h; bits != 0; bits &= bits - 1) {
                    h.row_ptr(static_cast<unsigned>(std::countr_zero(bits)))[k / 64] |= Word{1} << (k % 64);
                }
            }));
        return SolveAllResult{std::move(h), total};
    }
    TRY(BitMatrix targets, boolmat::transpose(x, stop));
    TRY(BitMatrix masks, BitMatrix::zeros(x.cols(), s.r()));
    TRY(const std::uint64_t total, solve_one_by_one(s, targets, method, seed, work, masks, stop));
    TRY(BitMatrix h, boolmat::transpose(masks, stop));
    return SolveAllResult{std::move(h), total};
}

}  // namespace bmf_core
