#include "bmf_core/zeta/zeta.hpp"

#include <bit>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/popcount.hpp"
#include "boolmat/words.hpp"

namespace bmf_core {

Status ZetaWork::prepare(const BoolLs& s, std::uint64_t targets) {
    solver_ = &s;
    return make_zeta_plan(plan_, buf_, s, targets, switches_);
}

ColumnAnswer ZetaWork::solve(std::span<const Word> x, const Interrupt& stop) { return solve_masked(x, {}, stop); }

ColumnAnswer ZetaWork::solve_masked(std::span<const Word> x, std::span<const Word> unobserved,
                                    const Interrupt& stop) {
    if (plan_.strategy == ZetaStrategy::SmallTable) {
        return solve_zeta_scalar(*solver_, x, unobserved, buf_.table<std::int64_t>());
    }
    const ZetaKernels& k = *plan_.kernels;
    // The kernels count the unobserved rows as 0-rows in the error.
    const std::uint64_t absent = unobserved.empty() ? 0 : boolmat::popcount_words(unobserved);
    auto observed_only = [absent](ColumnAnswer a) { return ColumnAnswer{a.h, a.error - absent}; };
    if (plan_.sparse.on) {
        if (const auto a = k.solve_sparse(plan_, buf_, *solver_, x, unobserved, stop)) return observed_only(*a);
    }
    if (plan_.strategy == ZetaStrategy::Base && !buf_.base_ready) {
        k.fill_base(plan_, buf_, *solver_, stop);
        // Left unready, so that the next target fills it again.
        if (stop.stopped()) return {0, 0};
        buf_.base_ready = true;
    }
    return observed_only(k.solve_one(plan_, buf_, *solver_, x, unobserved, stop));
}

namespace {

// A word of targets t and of their mask o as the batches read them under a
// mask: the observed 1 bits, then the 1 bits or unobserved cells, of which
// `keep` has the columns that exist (nothing is unobserved past the last).
inline void pair_words(Word t, Word o, Word keep, Word* to) noexcept {
    to[0] = t & o;
    to[1] = (t | ~o) & keep;
}

}  // namespace

void ZetaWork::solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out) {
    const BatchRows rows{x.row_ptr(0) + first / 64, x.stride(), static_cast<unsigned>(first % 64)};
    plan_.kernels->solve_batch(plan_, buf_, *solver_, rows, out);
}

void ZetaWork::solve_batch_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t first,
                                  ColumnAnswer* out) {
    pair_word(x, observed, first / 64);
    solve_paired_batch(first % 64, out);
}

void ZetaWork::solve_batch_masked(const MaskedColumns& x, std::uint64_t first, ColumnAnswer* out) {
    const BatchRows rows{x.words.row_ptr(0) + 2 * (first / 64), x.words.stride(), static_cast<unsigned>(first % 64),
                         true};
    plan_.kernels->solve_batch(plan_, buf_, *solver_, rows, out);
}

void ZetaWork::pair_word(const BitMatrix& x, const BitMatrix& observed, std::uint64_t word) noexcept {
    // Locals: the stores may alias the matrices' fields.
    const std::uint64_t stride = x.stride();
    const std::uint64_t rows = x.rows();
    const Word keep = word + 1 == stride ? boolmat::tail_mask(x.cols()) : ~Word{0};
    const Word* t = x.row_ptr(0) + word;
    const Word* o = observed.row_ptr(0) + word;
    Word* to = buf_.paired_word.as<Word>();
#pragma GCC unroll 4
    for (std::uint64_t i = 0; i < rows; ++i) pair_words(t[i * stride], o[i * stride], keep, to + 2 * i);
}

void ZetaWork::solve_paired_batch(std::uint64_t first, ColumnAnswer* out) {
    const BatchRows rows{buf_.paired_word.as<Word>(), 2, static_cast<unsigned>(first % 64), true};
    plan_.kernels->solve_batch(plan_, buf_, *solver_, rows, out);
}

Result<MaskedColumns> pair_columns(const BitMatrix& x, const BitMatrix& observed) {
    const std::uint64_t stride = x.stride();
    TRY(BitMatrix words, BitMatrix::uninit(x.rows(), 128 * stride));
    for (std::uint64_t i = 0; i < x.rows(); ++i) {
        const Word* t = x.row_ptr(i);
        const Word* o = observed.row_ptr(i);
        Word* to = words.row_ptr(i);
        for (std::uint64_t k = 0; k < stride; ++k) {
            pair_words(t[k], o[k], k + 1 == stride ? boolmat::tail_mask(x.cols()) : ~Word{0}, to + 2 * k);
        }
    }
    return MaskedColumns{std::move(words), x.cols()};
}

}  // namespace bmf_core
