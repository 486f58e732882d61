#include "boolmat/product.hpp"

#include "boolmat/popcount.hpp"
#include "boolmat/product_kernels.hpp"

namespace boolmat {
namespace {

// Relative costs, per word of a row of b, of ORing in one selected row (the
// sparse step), of one table lookup per byte of a (the four Russians step)
// and of building one table entry. Measured on 2048-column products; only
// the choice of strategy depends on them, never the result.
constexpr double kSparseCost = 1.0;
constexpr double kLookupCost = 1.6;
constexpr double kBuildCost = 1.0;

bool dense_row(std::uint64_t ones, std::uint64_t groups) {
    return static_cast<double>(ones) * kSparseCost > static_cast<double>(groups) * kLookupCost;
}

}  // namespace

Result<BitMatrix> boolean_product(const BitMatrix& a, const BitMatrix& b) {
    if (a.cols() != b.rows()) {
        return panic("dimensions incompatibles : A est {}x{}, B est {}x{}", a.rows(), a.cols(), b.rows(), b.cols());
    }
    TRY(BitMatrix c, BitMatrix::zeros(a.rows(), b.cols()));
    or_rows_kernel(a, b, c.words_mut());
    return c;
}

void or_rows_kernel(const BitMatrix& a, const BitMatrix& b, std::span<Word> out) noexcept {
    const std::uint64_t groups = (a.cols() + 7) / 8;
    // Rows dense enough to gain from the tables, and what they would cost by
    // either route; the tables are worth building only when the lookups they
    // save outweigh them.
    std::uint64_t dense = 0;
    double sparse_cost = 0;
    for (std::uint64_t i = 0; i < a.rows(); ++i) {
        const std::uint64_t ones = popcount_words({a.row_ptr(i), a.stride()});
        if (dense_row(ones, groups)) {
            ++dense;
            sparse_cost += static_cast<double>(ones) * kSparseCost;
        }
    }
    const double table_cost = static_cast<double>(dense) * static_cast<double>(groups) * kLookupCost +
                              static_cast<double>(groups) * 256.0 * kBuildCost;
    Buffer<std::uint64_t> rows;
    Buffer<Word> tables;
    if (dense != 0 && table_cost < sparse_cost) {
        // Working memory of the call. Without it the sparse step does the
        // same work more slowly, so a refusal is not a failure.
        auto r = Buffer<std::uint64_t>::uninit(dense);
        auto t = Buffer<Word>::uninit(four_russians_table_words());
        if (r && t) {
            rows = std::move(*r);
            tables = std::move(*t);
        }
    }
    std::uint64_t listed = 0;
    for (std::uint64_t i = 0; i < a.rows(); ++i) {
        const std::uint64_t ones = popcount_words({a.row_ptr(i), a.stride()});
        if (ones == 0) continue;
        if (!rows.empty() && dense_row(ones, groups)) {
            rows[listed++] = i;
        } else {
            or_row_sparse(a, b, out.data(), i);
        }
    }
    if (listed != 0) or_rows_four_russians(a, b, out.data(), rows.span().first(listed), tables.data());
}

}  // namespace boolmat
