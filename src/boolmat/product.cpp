#include "boolmat/product.hpp"

#include <cmath>

#include "boolmat/popcount.hpp"
#include "boolmat/product_kernels.hpp"

namespace boolmat {
namespace {

// Cost model of the two strategies, in units of one 64-byte OR from cache,
// per slice of 8 words of the output row (a row of b is about that many
// slices). The sparse step costs one unit per 1 bit plus the load and store
// of the output; the four Russians step one unit per byte group plus about
// four per pass of groups for the output, and each table (256 entries)
// about 384 to build. Fitted on products from 1000 x 300 x 1000 to
// 2048 x 2048 x 2048; only the choice of strategy depends on it, never the
// result.
constexpr double kPassCost = 4.0;
constexpr double kTableCost = 384.0;

double sparse_cost(std::uint64_t ones) { return static_cast<double>(ones) + 2.0; }

double tables_cost(std::uint64_t groups) {
    const double g = static_cast<double>(groups);
    return g + kPassCost * std::ceil(g / static_cast<double>(kFourRussiansGroups));
}

}  // namespace

Result<BitMatrix> boolean_product(const BitMatrix& a, const BitMatrix& b, const Interrupt& stop) {
    if (a.cols() != b.rows()) {
        return panic("dimensions incompatibles : A est {}x{}, B est {}x{}", a.rows(), a.cols(), b.rows(), b.cols());
    }
    TRY(BitMatrix c, BitMatrix::zeros(a.rows(), b.cols()));
    or_rows_kernel(a, b, c.words_mut(), stop);
    if (stop.stopped()) return stopped();
    return c;
}

void or_rows_kernel(const BitMatrix& a, const BitMatrix& b, std::span<Word> out, const Interrupt& stop) noexcept {
    const std::uint64_t groups = (a.cols() + 7) / 8;
    const double per_row = tables_cost(groups);
    // Rows cheaper by the tables, and what the tables save on them; they are
    // worth building only when that outweighs their construction.
    std::uint64_t dense = 0;
    double saved = 0;
    for (std::uint64_t i = 0; i < a.rows(); ++i) {
        const double sparse = sparse_cost(popcount_words({a.row_ptr(i), a.stride()}));
        if (sparse > per_row) {
            ++dense;
            saved += sparse - per_row;
        }
    }
    Buffer<std::uint64_t> rows;
    Buffer<Word> tables;
    if (dense != 0 && saved > static_cast<double>(groups) * kTableCost) {
        // Working memory of the call. Without it the sparse step does the
        // same work more slowly, so a refusal is not a failure.
        auto r = Buffer<std::uint64_t>::uninit(dense);
        auto t = Buffer<Word>::uninit(four_russians_table_words() + 7);  // room to align
        if (r && t) {
            rows = std::move(*r);
            tables = std::move(*t);
        }
    }
    // A sparse row ORs about its 1 bits' rows of b.
    const std::uint64_t row_work = a.stride() + b.stride();
    if (rows.empty()) {
        for (std::uint64_t i = 0; i < a.rows(); ++i) {
            if (stop.poll(row_work + a.cols() / 4 * b.stride())) return;
            or_row_sparse(a, b, out.data(), i);
        }
        return;
    }
    std::uint64_t listed = 0;
    for (std::uint64_t i = 0; i < a.rows(); ++i) {
        const std::uint64_t ones = popcount_words({a.row_ptr(i), a.stride()});
        if (sparse_cost(ones) > per_row) {
            rows[listed++] = i;
        } else if (ones != 0) {
            if (stop.poll(row_work + ones * b.stride())) return;
            or_row_sparse(a, b, out.data(), i);
        }
    }
    if (listed != 0) {
        // Table entries are 64-byte lines; aligned, a lookup touches one.
        const auto base = reinterpret_cast<std::uintptr_t>(tables.data());
        Word* aligned = reinterpret_cast<Word*>((base + 63) & ~std::uintptr_t{63});
        or_rows_four_russians(a, b, out.data(), rows.span().first(listed), aligned, stop);
    }
}

}  // namespace boolmat
