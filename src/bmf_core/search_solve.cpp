#include "bmf_core/search_solve.hpp"

#include <optional>

#include "bmf_core/solve.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/transpose.hpp"

namespace bmf_core {

Result<SearchSolve> solve_all_search(const BitMatrix& w, const BitMatrix& x, const BitMatrix* observed,
                                     const Interrupt& stop) {
    if (x.rows() != w.rows()) return boolmat::panic("X a {} lignes, W en a {}", x.rows(), w.rows());
    if (observed != nullptr) TRY_VOID(check_mask_shape(*observed, x));
    if (w.cols() > kMaxStepRank) return boolmat::panic("trop de composantes pour un pas de la recherche");
    // The step works on rows: the components are W's columns, the targets
    // X's observed 1 cells.
    TRY(const BitMatrix basis, boolmat::transpose(w, stop));
    std::optional<BitMatrix> observed_t;
    std::optional<BitMatrix> seen;
    if (observed != nullptr) {
        TRY(BitMatrix t, boolmat::transpose(*observed, stop));
        observed_t.emplace(std::move(t));
        TRY(BitMatrix s, boolmat::and_(x, *observed));
        seen.emplace(std::move(s));
    }
    TRY(const BitMatrix targets, boolmat::transpose(seen ? *seen : x, stop));
    TRY(BitMatrix answers, BitMatrix::zeros(x.cols(), w.cols()));
    TRY(const StepCount count, improve_rows(basis, targets, observed_t ? &*observed_t : nullptr, answers,
                                            kSolveNodeBudget, stop));
    TRY(BitMatrix h, boolmat::transpose(answers, stop));
    return SearchSolve{std::move(h), count.error, count.inexact};
}

}  // namespace bmf_core
