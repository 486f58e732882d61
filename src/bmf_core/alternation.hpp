// The alternation shared by ao_bmf, ao_bmf_masked and the search: from a
// start W, solve H for fixed W, then W for fixed H, while the total error
// strictly falls.
#pragma once

#include <cstdint>
#include <optional>

#include "bmf_core/ao_bmf.hpp"
#include "bmf_core/zeta/zeta.hpp"

namespace bmf_core {

// The cells an alternation fits: X and its transpose, and under a mask the
// same for the mask (X then holding its observed cells only), with each
// orientation paired with its mask for the batched solves.
struct Cells {
    const BitMatrix& x;
    const BitMatrix& xt;
    const BitMatrix* observed = nullptr;
    const BitMatrix* observed_t = nullptr;
    const MaskedColumns* paired = nullptr;
    const MaskedColumns* paired_t = nullptr;

    // The same cells as those of X's transpose, which W^T and H^T factorise.
    Cells transposed() const noexcept { return {xt, x, observed_t, observed, paired_t, paired}; }
};

// Cells that own what they point at, for callers that fit one X many times.
struct OwnedCells {
    BitMatrix x;  // the observed cells of X
    BitMatrix xt;
    std::optional<BitMatrix> observed;
    std::optional<BitMatrix> observed_t;
    std::optional<MaskedColumns> paired;
    std::optional<MaskedColumns> paired_t;

    Cells view() const noexcept {
        if (!observed) return {x, xt};
        return {x, xt, &*observed, &*observed_t, &*paired, &*paired_t};
    }
};
// `observed` null: every cell is observed. Otherwise x's shape (checked).
Result<OwnedCells> own_cells(const BitMatrix& x, const BitMatrix* observed, const Interrupt& stop = {});

// W (m x r) whose column k is column k of the start X chooses with `seed`
// (choose_initial_columns); the others stay zero.
Result<BitMatrix> initial_w(const BitMatrix& xt, std::uint64_t r, std::uint64_t seed, const Interrupt& stop = {});

// The number of wrong cells of W o H (observed ones, under a mask).
Result<std::uint64_t> fit_error(const Cells& c, const BitMatrix& w, const BitMatrix& h, const Interrupt& stop = {});

// Alternates from `w` (m x r). The result's error is at most that of w with
// any H, and at most X's count of ones (H all zero, which the result is when
// no iteration improves on it).
Result<BmfResult> alternate(const Cells& c, BitMatrix w, std::uint64_t r, Method method, std::uint64_t max_iter,
                            SolveWork& work, const Interrupt& stop = {});

}  // namespace bmf_core
