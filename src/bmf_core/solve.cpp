#include "bmf_core/solve.hpp"

#include <algorithm>
#include <bit>

#include "bmf_core/greedy.hpp"
#include "bmf_core/naive.hpp"
#include "boolmat/transpose.hpp"
#include "boolmat/words.hpp"

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

ColumnAnswer solve_words_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                std::span<const Word> unobserved, Method method, std::uint64_t seed,
                                SolveWork& work, const Interrupt& stop) {
    switch (method) {
        case Method::Naive: return solve_naive_masked(s, x, observed, stop);
        case Method::Zeta: return work.zeta.solve_masked(x, unobserved, stop);
        case Method::Greedy: return solve_greedy_masked(s, x, observed, work.greedy);
        case Method::GreedyLs: return solve_greedy_ls_masked(s, x, observed, seed, work.greedy);
    }
    return {0, 0};  // unreachable: the enumeration has four values
}

namespace {

// The words of one target under a mask: its observed bits and its
// unobserved rows into `work`'s room for them. Returns whether it has no
// observed 1 bit.
bool split_target(const Word* x, const Word* observed, std::uint64_t m, SolveWork& work) noexcept {
    const std::uint64_t words = boolmat::words_for(m);
    Word* ones = work.masked_target();
    Word* unobserved = work.unobserved();
    Word any = 0;
    for (std::uint64_t k = 0; k < words; ++k) {
        ones[k] = x[k] & observed[k];
        unobserved[k] = ~observed[k];
        any |= ones[k];
    }
    if (words > 0) unobserved[words - 1] &= boolmat::tail_mask(m);
    return any == 0;
}

}  // namespace

Result<ColumnAnswer> solve(const BoolLs& s, const BitVec& x, Method method, std::uint64_t seed,
                           const Interrupt& stop) {
    if (x.len() != s.m()) return boolmat::panic("x a {} bits, W a {} lignes", x.len(), s.m());
    SolveWork work;
    TRY_VOID(work.prepare(s, method, 1));
    const ColumnAnswer a = solve_words(s, x.words(), method, seed, work, stop);
    if (stop.stopped()) return boolmat::stopped();
    return a;
}

Result<ColumnAnswer> solve_masked(const BoolLs& s, const BitVec& x, const BitVec& observed, Method method,
                                  std::uint64_t seed, const Interrupt& stop) {
    if (x.len() != s.m()) return boolmat::panic("x a {} bits, W a {} lignes", x.len(), s.m());
    if (observed.len() != x.len()) return boolmat::panic("mask a {} bits, x en a {}", observed.len(), x.len());
    SolveWork work;
    TRY_VOID(work.prepare(s, method, 1));
    TRY_VOID(work.reserve_masked(x.words().size()));
    // A target with no observed 1 bit: the empty mask makes no error.
    if (split_target(x.words().data(), observed.words().data(), s.m(), work)) return ColumnAnswer{0, 0};
    const std::size_t words = x.words().size();
    const ColumnAnswer a = solve_words_masked(s, {work.masked_target(), words}, observed.words(),
                                              {work.unobserved(), words}, method, seed, work, stop);
    if (stop.stopped()) return boolmat::stopped();
    return a;
}

namespace {

// Solves every column of x (m x n) in the batches of a batched work,
// handing each answer to `take(column, answer)`; returns the summed error.
// Under a mask, `observed` (x's shape) is paired with x a word of columns
// at a time, or `paired` holds both already.
template <class Take>
Result<std::uint64_t> solve_in_batches(const BoolLs& s, const BitMatrix& x, const BitMatrix* observed,
                                       const MaskedColumns* paired, ZetaWork& work, const Interrupt& stop,
                                       Take&& take) {
    std::uint64_t total = 0;
    ColumnAnswer answers[ZetaWork::kBatch];
    // A batch transforms a table of 2^r vectors.
    const std::uint64_t batch_work = std::uint64_t{4} << s.r();
    const std::uint64_t n = paired == nullptr ? x.cols() : paired->cols;
    for (std::uint64_t first = 0; first < n; first += ZetaWork::kBatch) {
        TRY_VOID(stop.check(batch_work));
        if (paired != nullptr) {
            work.solve_batch_masked(*paired, first, answers);
        } else if (observed != nullptr) {
            if (first % 64 == 0) work.pair_word(x, *observed, first / 64);
            work.solve_paired_batch(first % 64, answers);
        } else {
            work.solve_batch(x, first, answers);
        }
        const std::uint64_t count = std::min<std::uint64_t>(ZetaWork::kBatch, n - first);
        for (std::uint64_t k = 0; k < count; ++k) {
            take(first + k, answers[k]);
            total += answers[k].error;
        }
    }
    return total;
}

// Solves every row of `targets` one at a time with a work prepared for
// them, answering repeated rows from the record; under a mask (`observed`
// not null) counting the observed cells only.
template <bool Masked>
Result<std::uint64_t> solve_one_by_one(const BoolLs& s, const BitMatrix& targets, const BitMatrix* observed,
                                       Method method, std::uint64_t seed, SolveWork& work, BitMatrix& masks,
                                       const Interrupt& stop) {
    const std::uint64_t n = targets.rows();
    TRY_VOID(work.reset_record(n));
    std::uint64_t* errors = work.errors();
    const std::uint64_t stride = targets.stride();
    if constexpr (Masked) TRY_VOID(work.reserve_masked(stride));
    std::uint64_t total = 0;
    // What a target costs, roughly: its words, and a table of 2^r entries
    // for the zeta solve (whose large tables also poll inside).
    const std::uint64_t target_work = stride + (method == Method::Zeta ? (std::uint64_t{1} << s.r()) / 4 : 0);
    for (std::uint64_t k = 0; k < n; ++k) {
        TRY_VOID(stop.check(target_work));
        std::uint64_t first;
        if constexpr (Masked) {
            first = work.find_or_record(targets, *observed, k);
        } else {
            first = work.find_or_record(targets, k);
        }
        ColumnAnswer a;
        if (first != k) {
            a = {masks.row_ptr(first)[0], errors[first]};
        } else if constexpr (Masked) {
            // A target with no observed 1 bit: the empty mask makes no
            // error, as for an empty target below.
            const bool empty = split_target(targets.row_ptr(k), observed->row_ptr(k), s.m(), work);
            a = empty ? ColumnAnswer{0, 0}
                      : solve_words_masked(s, {work.masked_target(), stride}, {observed->row_ptr(k), stride},
                                           {work.unobserved(), stride}, method, seed, work, stop);
            if (stop.stopped()) return boolmat::stopped();
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

Status check_masks(const BoolLs& s, const BitMatrix& targets, const BitMatrix& masks) {
    if (targets.cols() != s.m()) return boolmat::panic("x a {} bits, W a {} lignes", targets.cols(), s.m());
    if (masks.rows() != targets.rows() || masks.cols() != s.r()) {
        return boolmat::panic("{} lignes de masques pour {} cibles", masks.rows(), targets.rows());
    }
    return {};
}

}  // namespace

Status check_mask_shape(const BitMatrix& observed, const BitMatrix& x) {
    if (observed.rows() != x.rows() || observed.cols() != x.cols()) {
        return boolmat::panic("mask est {} x {}, x est {} x {}", observed.rows(), observed.cols(), x.rows(), x.cols());
    }
    return {};
}

Result<std::uint64_t> solve_rows(const BoolLs& s, const BitMatrix& targets, Method method, std::uint64_t seed,
                                 SolveWork& work, BitMatrix& masks, const BitMatrix* columns,
                                 const Interrupt& stop) {
    TRY_VOID(check_masks(s, targets, masks));
    const std::uint64_t n = targets.rows();
    TRY_VOID(work.prepare(s, method, n));
    if (!work.batched()) return solve_one_by_one<false>(s, targets, nullptr, method, seed, work, masks, stop);
    auto take = [&](std::uint64_t k, const ColumnAnswer& a) { masks.row_ptr(k)[0] = a.h; };
    if (columns != nullptr) {
        if (columns->rows() != s.m() || columns->cols() != n) {
            return boolmat::panic("{} x {} colonnes pour {} cibles de {} bits", columns->rows(), columns->cols(), n, s.m());
        }
        return solve_in_batches(s, *columns, nullptr, nullptr, work.zeta, stop, take);
    }
    TRY(const BitMatrix transposed, boolmat::transpose(targets, stop));
    return solve_in_batches(s, transposed, nullptr, nullptr, work.zeta, stop, take);
}

Result<std::uint64_t> solve_rows_masked(const BoolLs& s, const BitMatrix& targets, const BitMatrix& observed,
                                        Method method, std::uint64_t seed, SolveWork& work, BitMatrix& masks,
                                        const MaskedColumns* columns, const Interrupt& stop) {
    TRY_VOID(check_masks(s, targets, masks));
    TRY_VOID(check_mask_shape(observed, targets));
    const std::uint64_t n = targets.rows();
    TRY_VOID(work.prepare(s, method, n));
    if (!work.batched()) return solve_one_by_one<true>(s, targets, &observed, method, seed, work, masks, stop);
    auto take = [&](std::uint64_t k, const ColumnAnswer& a) { masks.row_ptr(k)[0] = a.h; };
    if (columns != nullptr) {
        if (columns->words.rows() != s.m() || columns->cols != n) {
            return boolmat::panic("{} x {} colonnes pour {} cibles de {} bits", columns->words.rows(), columns->cols, n,
                                  s.m());
        }
        return solve_in_batches(s, columns->words, nullptr, columns, work.zeta, stop, take);
    }
    TRY(const BitMatrix transposed, boolmat::transpose(targets, stop));
    TRY(const BitMatrix observed_transposed, boolmat::transpose(observed, stop));
    return solve_in_batches(s, transposed, &observed_transposed, nullptr, work.zeta, stop, take);
}

namespace {

// solve_all, under a mask when `observed` is not null.
template <bool Masked>
Result<SolveAllResult> solve_all_of(const BoolLs& s, const BitMatrix& x, const BitMatrix* observed, Method method,
                                    std::uint64_t seed, const Interrupt& stop) {
    SolveWork work;
    TRY_VOID(work.prepare(s, method, x.cols()));
    if (work.batched()) {
        TRY(BitMatrix h, BitMatrix::zeros(s.r(), x.cols()));
        auto take = [&](std::uint64_t k, const ColumnAnswer& a) {
            for (Word bits = a.h; bits != 0; bits &= bits - 1) {
                h.row_ptr(static_cast<unsigned>(std::countr_zero(bits)))[k / 64] |= Word{1} << (k % 64);
            }
        };
        TRY(const std::uint64_t total, solve_in_batches(s, x, observed, nullptr, work.zeta, stop, take));
        return SolveAllResult{std::move(h), total};
    }
    TRY(BitMatrix targets, boolmat::transpose(x, stop));
    TRY(BitMatrix masks, BitMatrix::zeros(x.cols(), s.r()));
    std::uint64_t total;
    if constexpr (Masked) {
        TRY(const BitMatrix observed_rows, boolmat::transpose(*observed, stop));
        TRY(total, solve_one_by_one<true>(s, targets, &observed_rows, method, seed, work, masks, stop));
    } else {
        TRY(total, solve_one_by_one<false>(s, targets, nullptr, method, seed, work, masks, stop));
    }
    TRY(BitMatrix h, boolmat::transpose(masks, stop));
    return SolveAllResult{std::move(h), total};
}

}  // namespace

Result<SolveAllResult> solve_all(const BoolLs& s, const BitMatrix& x, Method method, std::uint64_t seed,
                                 const Interrupt& stop) {
    if (x.rows() != s.m()) return boolmat::panic("X a {} lignes, W en a {}", x.rows(), s.m());
    return solve_all_of<false>(s, x, nullptr, method, seed, stop);
}

Result<SolveAllResult> solve_all_masked(const BoolLs& s, const BitMatrix& x, const BitMatrix& observed,
                                        Method method, std::uint64_t seed, const Interrupt& stop) {
    if (x.rows() != s.m()) return boolmat::panic("X a {} lignes, W en a {}", x.rows(), s.m());
    TRY_VOID(check_mask_shape(observed, x));
    return solve_all_of<true>(s, x, &observed, method, seed, stop);
}

}  // namespace bmf_core
