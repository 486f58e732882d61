#include "boolmat/product.hpp"

#include <algorithm>
#include <bit>
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

// After how many rows of b the row-sparse step starts testing whether a
// slice of its output row is full. A slice of c cells, each row of b
// setting a fraction p of them at random, keeps about c (1 - p)^t empty
// cells after t rows: testing starts at t = ln(c) / -ln(1 - p), when about
// one is left (with c the smallest whole slice of any set, 16 words);
// earlier tests almost never succeed, and each costs about what one OR
// does plus a mispredicted branch. p is estimated on a sample of rows of b:
// on data far from random, a wrong estimate costs speed, never
// correctness. Rows too short to skip kSaturationCheck rows after that are
// not tested at all.
constexpr std::uint64_t kSliceCells = 1024;
constexpr std::uint64_t kSampleRows = 64;

std::uint64_t first_saturation_test(const BitMatrix& b) {
    const std::uint64_t sample = std::min(b.rows(), kSampleRows);
    std::uint64_t ones = 0;
    for (std::uint64_t s = 0; s < sample; ++s) ones += popcount_words({b.row_ptr(s * b.rows() / sample), b.stride()});
    if (ones == 0) return kNeverCheck;
    const double p = static_cast<double>(ones) / (static_cast<double>(sample) * static_cast<double>(b.cols()));
    if (p >= 1) return 1;
    const double cells = static_cast<double>(std::min(b.cols(), kSliceCells));
    const double rows = std::log(cells) / -std::log1p(-p);
    return rows < 1 ? 1 : static_cast<std::uint64_t>(std::min(rows, 1e18));
}

}  // namespace

std::uint64_t words_before_check(const Word* arow, std::uint64_t words, std::uint64_t check_from) noexcept {
    if (check_from == kNeverCheck) return words;
    std::uint64_t cut = 0;
    for (std::uint64_t seen = 0; cut < words; ++cut) {
        seen += static_cast<std::uint64_t>(std::popcount(arow[cut]));
        if (seen > check_from) break;
    }
    return cut;
}

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
    // The 1 bits of each row of a, counted once; recounted if there is no
    // memory to keep them.
    Buffer<std::uint64_t> counts;
    if (auto c = Buffer<std::uint64_t>::uninit(a.rows())) counts = std::move(*c);
    const auto ones_of = [&](std::uint64_t i) {
        return counts.empty() ? popcount_words({a.row_ptr(i), a.stride()}) : counts[i];
    };
    // Rows cheaper by the tables, and what the tables save on them; they are
    // worth building only when that outweighs their construction.
    std::uint64_t dense = 0;
    double saved = 0;
    for (std::uint64_t i = 0; i < a.rows(); ++i) {
        const std::uint64_t ones = popcount_words({a.row_ptr(i), a.stride()});
        if (!counts.empty()) counts[i] = ones;
        const double sparse = sparse_cost(ones);
        if (sparse > per_row) {
            ++dense;
            saved += sparse - per_row;
        }
    }
    Buffer<std::uint64_t> rows, live;
    Buffer<Word> tables;
    if (dense != 0 && saved > static_cast<double>(groups) * kTableCost) {
        // Working memory of the call. Without it the sparse step does the
        // same work more slowly, so a refusal is not a failure.
        auto r = Buffer<std::uint64_t>::uninit(dense);
        auto l = Buffer<std::uint64_t>::uninit(dense);
        auto t = Buffer<Word>::uninit(four_russians_table_words() + 7);  // room to align
        if (r && l && t) {
            rows = std::move(*r);
            live = std::move(*l);
            tables = std::move(*t);
        }
    }
    const std::uint64_t check_from = first_saturation_test(b);
    // A sparse row ORs about its 1 bits' rows of b.
    const std::uint64_t row_work = a.stride() + b.stride();
    std::uint64_t listed = 0;
    for (std::uint64_t i = 0; i < a.rows(); ++i) {
        const std::uint64_t ones = ones_of(i);
        if (!rows.empty() && sparse_cost(ones) > per_row) {
            rows[listed++] = i;
        } else if (ones != 0) {
            if (stop.poll(row_work + ones * b.stride())) return;
            const bool test = check_from != kNeverCheck && ones > check_from + kSaturationCheck;
            or_row_sparse(a, b, out.data(), i, test ? check_from : kNeverCheck);
        }
    }
    if (listed != 0) {
        // Table entries are 64-byte lines; aligned, a lookup touches one.
        const auto base = reinterpret_cast<std::uintptr_t>(tables.data());
        Word* aligned = reinterpret_cast<Word*>((base + 63) & ~std::uintptr_t{63});
        or_rows_four_russians(a, b, out.data(), rows.span().first(listed), aligned, live.data(), stop);
    }
}

}  // namespace boolmat
