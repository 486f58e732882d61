#include "bmf_core/search_starts.hpp"

#include <bit>
#include <vector>

#include "boolmat/popcount.hpp"
#include "boolmat/transpose.hpp"

namespace bmf_core {

namespace {

using Words = std::vector<Word>;

using boolmat::valid_bits;

// The rows of `a` as word vectors, with the observed ones and unobserved
// cells read through the mask.
struct Rows {
    std::uint64_t count;
    std::uint64_t stride;
    const BitMatrix& ones;  // observed 1 cells
    const BitMatrix* observed;

    std::span<const Word> one(std::uint64_t i) const noexcept { return {ones.row_ptr(i), stride}; }
    // A cell may be covered without an error: a 1, or unobserved.
    Word allowed(std::uint64_t i, std::uint64_t k) const noexcept {
        const Word v = ones.row_ptr(i)[k];
        if (observed == nullptr) return v;
        return v | (~observed->row_ptr(i)[k] & valid_bits(ones.cols(), k, stride));
    }
    // An observed 0 cell: covering it is an error.
    Word zero(std::uint64_t i, std::uint64_t k) const noexcept {
        const Word seen = observed == nullptr ? valid_bits(ones.cols(), k, stride)
                                              : observed->row_ptr(i)[k];
        return seen & ~ones.row_ptr(i)[k];
    }
};

// f(i) for each set bit i of `bits`, in order.
template <class F>
void for_each_bit(const Words& bits, F f) {
    for (std::uint64_t k = 0; k < bits.size(); ++k)
        for (Word b = bits[k]; b != 0; b &= b - 1)
            f(k * boolmat::kWordBits + static_cast<std::uint64_t>(std::countr_zero(b)));
}

// |a & b| as |a| - |a & ~b|: the counts run in the kernel set.
std::uint64_t popcount_and(const Word* a, const Word* b, std::uint64_t n) noexcept {
    const std::span<const Word> sa{a, n}, sb{b, n};
    return boolmat::popcount_words(sa) - boolmat::popcount_andnot(sa, sb);
}

Result<Factors> factors_from_columns(const std::vector<Words>& w_cols, const std::vector<Words>& h_rows,
                                     std::uint64_t m, std::uint64_t n, std::uint64_t r, const Interrupt& stop) {
    TRY(BitMatrix wt, BitMatrix::zeros(r, m));
    TRY(BitMatrix h, BitMatrix::zeros(r, n));
    for (std::uint64_t j = 0; j < w_cols.size(); ++j) {
        TRY_VOID(wt.set_row(j, w_cols[j]));
        TRY_VOID(h.set_row(j, h_rows[j]));
    }
    TRY(BitMatrix w, boolmat::transpose(wt, stop));
    return Factors{std::move(w), std::move(h)};
}

}  // namespace

Result<Factors> cover_start(const Cells& c, std::uint64_t r, const Interrupt& stop) {
    // A concept's columns are those allowed on every one of its rows, and its
    // value is counted over those rows: a candidate costs its own rows, never
    // a pass over every pair of columns, which wide data could not afford.
    const Rows rows{c.x.rows(), c.x.stride(), c.x, c.observed};
    const Rows cols{c.xt.rows(), c.xt.stride(), c.xt, c.observed_t};
    const std::uint64_t m = rows.count, n = cols.count, row_words = rows.stride, col_words = cols.stride;
    std::vector<Words> allowed_row(m, Words(row_words)), uncovered(m, Words(row_words));
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t k = 0; k < row_words; ++k) {
            allowed_row[i][k] = rows.allowed(i, k);
            uncovered[i][k] = rows.one(i)[k];
        }
    }
    std::vector<Words> allowed_col(n, Words(col_words));
    for (std::uint64_t j = 0; j < n; ++j)
        for (std::uint64_t k = 0; k < col_words; ++k) allowed_col[j][k] = cols.allowed(j, k);

    // The columns allowed on every row of `extent`, into `intent`; returns
    // the rows read.
    auto intent_of = [&](const Words& extent, Words& intent) {
        for (std::uint64_t k = 0; k < row_words; ++k) intent[k] = valid_bits(n, k, row_words);
        std::uint64_t read = 0;
        for_each_bit(extent, [&](std::uint64_t i) {
            for (std::uint64_t q = 0; q < row_words; ++q) intent[q] &= allowed_row[i][q];
            ++read;
        });
        return read;
    };
    std::vector<Words> w_cols, h_rows;
    Words extent(col_words), trial(col_words), intent(row_words), trial_intent(row_words);
    std::vector<char> in_b(n);
    for (std::uint64_t comp = 0; comp < r; ++comp) {
        // The empty column set's extent: every row.
        for (std::uint64_t k = 0; k < col_words; ++k) extent[k] = valid_bits(m, k, col_words);
        std::fill(in_b.begin(), in_b.end(), 0);
        std::uint64_t value = 0, last_work = 0;
        for (;;) {
            std::uint64_t best = value, best_j = n;
            for (std::uint64_t j = 0; j < n; ++j) {
                if (in_b[j]) continue;
                TRY_VOID(stop.check(last_work));
                for (std::uint64_t k = 0; k < col_words; ++k) trial[k] = extent[k] & allowed_col[j][k];
                const std::uint64_t read = intent_of(trial, trial_intent);
                std::uint64_t v = 0;
                for_each_bit(trial, [&](std::uint64_t i) {
                    v += popcount_and(trial_intent.data(), uncovered[i].data(), row_words);
                });
                last_work = col_words + 2 * read * row_words;
                if (v > best) {
                    best = v;
                    best_j = j;
                }
            }
            if (best_j == n) break;
            for (std::uint64_t k = 0; k < col_words; ++k) extent[k] &= allowed_col[best_j][k];
            intent_of(extent, intent);
            for (std::uint64_t l = 0; l < n; ++l) in_b[l] = (intent[l / boolmat::kWordBits] >> (l % boolmat::kWordBits)) & 1;
            value = best;
        }
        if (value == 0) break;  // every 1 cell is covered
        for_each_bit(extent, [&](std::uint64_t i) {
            for (std::uint64_t q = 0; q < row_words; ++q) uncovered[i][q] &= ~intent[q];
        });
        w_cols.push_back(extent);
        h_rows.push_back(intent);
    }
    return factors_from_columns(w_cols, h_rows, m, n, r, stop);
}

Result<Factors> association_start(const Cells& c, std::uint64_t r, double tau, const Interrupt& stop) {
    const std::uint64_t m = c.x.rows(), n = c.x.cols();
    const std::uint64_t col_words = c.xt.stride(), row_words = c.x.stride();
    // Candidates from the columns' co-occurrence among observed 1 cells, and
    // for each the rows with a 1 in one of its columns: only there can it gain.
    std::vector<Words> candidates, touched;
    for (std::uint64_t j = 0; j < n; ++j) {
        TRY_VOID(stop.check(n * col_words));
        const std::span<const Word> col_j{c.xt.row_ptr(j), col_words};
        const std::uint64_t support = boolmat::popcount_words(col_j);
        if (support == 0) continue;
        Words cand(row_words), rows_of(col_words);
        for (std::uint64_t l = 0; l < n; ++l) {
            const std::uint64_t both = support - boolmat::popcount_andnot(col_j, {c.xt.row_ptr(l), col_words});
            if (static_cast<double>(both) < tau * static_cast<double>(support)) continue;
            cand[l / boolmat::kWordBits] |= Word{1} << (l % boolmat::kWordBits);
            for (std::uint64_t k = 0; k < col_words; ++k) rows_of[k] |= c.xt.row_ptr(l)[k];
        }
        candidates.push_back(std::move(cand));
        touched.push_back(std::move(rows_of));
    }
    const Rows rows{m, row_words, c.x, c.observed};
    // Per row: the 1 cells still uncovered, and the 0 cells still uncovered.
    std::vector<Words> ones(m, Words(row_words)), zeros(m, Words(row_words));
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t k = 0; k < row_words; ++k) {
            ones[i][k] = rows.one(i)[k];
            zeros[i][k] = rows.zero(i, k);
        }
    std::vector<Words> w_cols, h_rows;
    std::vector<char> used(candidates.size());
    for (std::uint64_t comp = 0; comp < r && comp < candidates.size(); ++comp) {
        std::int64_t best = 0;
        std::uint64_t best_c = candidates.size();
        std::uint64_t last_work = 0;
        for (std::uint64_t q = 0; q < candidates.size(); ++q) {
            if (used[q]) continue;
            TRY_VOID(stop.check(last_work));
            std::int64_t gain = 0;
            last_work = col_words;
            for_each_bit(touched[q], [&](std::uint64_t i) {
                const auto g = static_cast<std::int64_t>(popcount_and(ones[i].data(), candidates[q].data(), row_words)) -
                               static_cast<std::int64_t>(popcount_and(zeros[i].data(), candidates[q].data(), row_words));
                if (g > 0) gain += g;
                last_work += 4 * row_words;
            });
            if (gain > best) {
                best = gain;
                best_c = q;
            }
        }
        if (best_c == candidates.size()) break;
        used[best_c] = 1;
        const Words& cand = candidates[best_c];
        Words usage(col_words);
        for_each_bit(touched[best_c], [&](std::uint64_t i) {
            const auto g = static_cast<std::int64_t>(popcount_and(ones[i].data(), cand.data(), row_words)) -
                           static_cast<std::int64_t>(popcount_and(zeros[i].data(), cand.data(), row_words));
            if (g <= 0) return;
            usage[i / boolmat::kWordBits] |= Word{1} << (i % boolmat::kWordBits);
            for (std::uint64_t k = 0; k < row_words; ++k) {
                ones[i][k] &= ~cand[k];
                zeros[i][k] &= ~cand[k];
            }
        });
        w_cols.push_back(std::move(usage));
        h_rows.push_back(cand);
    }
    return factors_from_columns(w_cols, h_rows, m, n, r, stop);
}

Result<BitMatrix> random_rows_h(const Cells& c, std::uint64_t r, std::uint64_t seed, const Interrupt& stop) {
    // X's rows are the columns of its transpose: ao_bmf's draw on X^T.
    TRY(BitMatrix ht, initial_w(c.x, r, seed, stop));
    return boolmat::transpose(ht, stop);
}

}  // namespace bmf_core
