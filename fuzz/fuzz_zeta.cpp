// The zeta search of every kernel set this processor runs against the scalar
// 64-bit transform and the naive scan of every subset: any W of rank up to
// 12, every lane width and sparse mode (the sparse way for every target,
// never, or by the cost model; the sparse reference too), one work per set
// reused over several targets and then over a second solver (the state it
// keeps between columns must not leak into the next answer), sixteen
// targets at once in the batched kernel, and the whole-matrix solve
// against column-by-column answers; each of these under a mask of observed
// cells as well, against the naive scan of the observed rows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bmf_core/boolls.hpp"
#include "bmf_core/solve.hpp"
#include "bmf_core/testing.hpp"
#include "bmf_core/zeta/sparse.hpp"
#include "bmf_core/zeta/zeta.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/transpose.hpp"
#include "fuzz_input.hpp"

using bmf_core::ColumnAnswer;
using bmf_core::LaneWidth;
using bmf_core::Method;
using boolmat::Word;

namespace {

// The subset-by-subset reference: the OR of the chosen columns of W against
// x, smallest error first, smallest mask on ties.
ColumnAnswer naive(const fuzz::BitMatrix& w, const std::vector<Word>& x, const std::vector<Word>& observed = {}) {
    const std::uint64_t r = w.cols();
    const fuzz::BitMatrix cols = fuzz::must(boolmat::transpose(w));
    const std::uint64_t words = cols.stride();
    std::vector<Word> cover(words);
    ColumnAnswer best{0, ~std::uint64_t{0}};
    for (std::uint64_t h = 0; h < (std::uint64_t{1} << r); ++h) {
        std::fill(cover.begin(), cover.end(), 0);
        for (std::uint64_t j = 0; j < r; ++j) {
            if ((h >> j) & 1) {
                for (std::uint64_t k = 0; k < words; ++k) cover[k] |= cols.row_ptr(j)[k];
            }
        }
        std::uint64_t err = 0;
        for (std::uint64_t k = 0; k < words; ++k) {
            const Word counted = observed.empty() ? ~Word{0} : observed[k];
            err += static_cast<std::uint64_t>(__builtin_popcountll((cover[k] ^ x[k]) & counted));
        }
        if (err < best.error) best = {h, err};
    }
    return best;
}

std::vector<Word> target(fuzz::Input& in, std::uint64_t m, const fuzz::BitMatrix& w) {
    std::vector<Word> x(boolmat::words_for(m));
    switch (in.byte() & 3) {
        case 0:  // random, or sparse: few rows, so few columns touched
        {
            const bool sparse = in.flag();
            for (Word& v : x) v = sparse ? in.word() & in.word() & in.word() : in.word();
            break;
        }
        case 1:  // exactly a column OR of W, error 0 reachable
        {
            const std::uint64_t h = in.word();
            for (std::uint64_t i = 0; i < m; ++i) {
                if ((w.row_ptr(i)[0] & h) != 0) x[i / 64] |= Word{1} << (i % 64);
            }
            break;
        }
        case 2:  // all ones
            for (Word& v : x) v = ~Word{0};
            break;
        default:  // all zeros: every empty-ish mask ties
            break;
    }
    x.back() &= boolmat::tail_mask(m);
    return x;
}

// A mask of observed rows: mostly observed, half, none or all.
std::vector<Word> observed_rows(fuzz::Input& in, std::uint64_t m) {
    std::vector<Word> o(boolmat::words_for(m));
    const unsigned kind = in.byte() & 3;
    for (Word& v : o) v = kind == 0 ? in.word() | in.word() : kind == 1 ? in.word() : kind == 2 ? 0 : ~Word{0};
    o.back() &= boolmat::tail_mask(m);
    return o;
}

// A column of a matrix as its words.
std::vector<Word> row_words(const fuzz::BitMatrix& t, std::uint64_t k) {
    return {t.row_ptr(k), t.row_ptr(k) + t.stride()};
}

// The answer of each column of x under the mask (the zeta answers: the
// naive scan of the observed rows).
std::vector<ColumnAnswer> answers(const fuzz::BitMatrix& w, const fuzz::BitMatrix& x, const fuzz::BitMatrix* observed) {
    const fuzz::BitMatrix cols = fuzz::must(boolmat::transpose(x));
    const fuzz::BitMatrix seen = observed ? fuzz::must(boolmat::transpose(*observed)) : fuzz::must(cols.clone());
    std::vector<ColumnAnswer> want(x.cols());
    for (std::uint64_t k = 0; k < x.cols(); ++k) {
        want[k] = observed ? naive(w, row_words(cols, k), row_words(seen, k)) : naive(w, row_words(cols, k));
    }
    return want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<const boolmat::Kernels*> sets = boolmat::runnable_kernel_sets();
    fuzz::Input in(data, size);
    const LaneWidth lanes[] = {LaneWidth::Bits16, LaneWidth::Bits32, LaneWidth::Bits64};
    const LaneWidth lane = lanes[in.byte() % 3];
    const bmf_core::SparseMode modes[] = {bmf_core::SparseMode::Auto, bmf_core::SparseMode::Never,
                                          bmf_core::SparseMode::Always};
    const bmf_core::SparseMode mode = modes[in.byte() % 3];
    const bool many = in.flag();
    const boolmat::Isa before = boolmat::active_isa();
    std::vector<bmf_core::ZetaWork> works(sets.size());

    for (int solver = 0; solver < 2; ++solver) {
        const std::uint64_t m = in.in_range(1, 300);
        const std::uint64_t r = in.in_range(1, 12);
        const fuzz::BitMatrix w = in.matrix(m, r);
        const bmf_core::BoolLs s = fuzz::must(bmf_core::BoolLs::build(w));
        std::vector<std::vector<Word>> xs1, ones1, unobserved1;
        std::vector<ColumnAnswer> want1, want1_masked;
        const int targets = 1 + (in.byte() & 3);
        for (int t = 0; t < targets; ++t) {
            xs1.push_back(target(in, m, w));
            want1.push_back(naive(w, xs1.back()));
            FUZZ_CHECK(bmf_core::solve_zeta_scalar(s, xs1.back()) == want1.back());
            FUZZ_CHECK(bmf_core::solve_zeta_sparse_scalar(s, xs1.back()) == want1.back());
            // The same target under a mask, as the kernels take it.
            const std::vector<Word> o = observed_rows(in, m);
            std::vector<Word> ones(o.size()), unobserved(o.size());
            for (std::size_t k = 0; k < o.size(); ++k) {
                ones[k] = xs1.back()[k] & o[k];
                unobserved[k] = ~o[k];
            }
            unobserved.back() &= boolmat::tail_mask(m);
            want1_masked.push_back(naive(w, xs1.back(), o));
            FUZZ_CHECK(bmf_core::solve_zeta_scalar(s, ones, unobserved) == want1_masked.back());
            ones1.push_back(std::move(ones));
            unobserved1.push_back(std::move(unobserved));
        }
        const std::uint64_t n = in.in_range(1, 40);
        const fuzz::BitMatrix xs = in.matrix(m, n);
        fuzz::BitMatrix observed = in.matrix(m, n);
        if (in.flag()) FUZZ_CHECK(boolmat::or_assign(observed, in.matrix(m, n)).has_value());
        // The answer of every column, and of the empty target that columns
        // past the last one of a batch read as.
        const std::vector<ColumnAnswer> want = answers(w, xs, nullptr);
        const std::vector<ColumnAnswer> want_masked = answers(w, xs, &observed);
        const ColumnAnswer empty = naive(w, std::vector<Word>(boolmat::words_for(m), 0));

        for (std::size_t set = 0; set < sets.size(); ++set) {
            boolmat::use_kernels(sets[set]->isa);
            bmf_core::ZetaWork& work = works[set];
            FUZZ_CHECK(bmf_core::testing::prepare_zeta(work, s, many ? 2 : 1, {.batch = false, .lanes = lane, .sparse = mode})
                           .has_value());
            for (int t = 0; t < targets; ++t) {
                FUZZ_CHECK(work.solve(xs1[t]) == want1[t]);
                FUZZ_CHECK(work.solve_masked(ones1[t], unobserved1[t]) == want1_masked[t]);
            }

            // Sixteen targets at a time.
            if (bmf_core::batch_suits(s)) {
                bmf_core::ZetaWork batch;
                FUZZ_CHECK(batch.prepare(s, bmf_core::ZetaWork::kBatch).has_value() && batch.batched());
                for (std::uint64_t first = 0; first < n; first += bmf_core::ZetaWork::kBatch) {
                    ColumnAnswer out[bmf_core::ZetaWork::kBatch], out_masked[bmf_core::ZetaWork::kBatch];
                    batch.solve_batch(xs, first, out);
                    batch.solve_batch_masked(xs, observed, first, out_masked);
                    for (std::uint64_t k = 0; k < bmf_core::ZetaWork::kBatch; ++k) {
                        FUZZ_CHECK(out[k] == (first + k < n ? want[first + k] : empty));
                        FUZZ_CHECK(first + k >= n || out_masked[k] == want_masked[first + k]);
                    }
                }
            }

            // The whole target matrix: the zeta answers column by column.
            for (const bool masked : {false, true}) {
                const auto all = fuzz::must(masked ? bmf_core::solve_all_masked(s, xs, observed, Method::Zeta, 0)
                                                   : bmf_core::solve_all(s, xs, Method::Zeta, 0));
                const std::vector<ColumnAnswer>& expected = masked ? want_masked : want;
                FUZZ_CHECK(all.h.rows() == r && all.h.cols() == n);
                std::uint64_t total = 0;
                for (std::uint64_t k = 0; k < n; ++k) {
                    std::uint64_t h = 0;
                    for (std::uint64_t j = 0; j < r; ++j) h |= std::uint64_t{all.h.get_unchecked(j, k)} << j;
                    FUZZ_CHECK(h == expected[k].h);
                    total += expected[k].error;
                }
                FUZZ_CHECK(all.error == total);
            }
        }
    }
    boolmat::use_kernels(before);
    return 0;
}
