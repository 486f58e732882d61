// Portable row steps of the Boolean product: the same two strategies and
// table layout as the vector sets, in plain word loops over slices of
// kFourRussiansEntryWords words, which the compiler vectorises.
#include <algorithm>
#include <bit>

#include "boolmat/product_kernels.hpp"

namespace boolmat::generic {
namespace {

constexpr std::uint64_t kEntry = kFourRussiansEntryWords;

// Calls f(j) for every 1 bit j of the row, in ascending order.
template <class F>
inline void for_each_one(const Word* arow, std::uint64_t astride, F&& f) {
    for (std::uint64_t k = 0; k < astride; ++k) {
        for (Word w = arow[k]; w != 0; w &= w - 1) f(64 * k + static_cast<std::uint64_t>(std::countr_zero(w)));
    }
}

// Table of group g for words [w0, w0 + n) of the rows of b: entry x is the
// OR of the rows 8g + i of b for the bits i of x. Only the entries whose
// bits name existing rows are built; a's tail bits are 0, so no others are
// read.
void build(const BitMatrix& b, std::uint64_t g, std::uint64_t w0, std::uint64_t n, Word* t) {
    std::fill_n(t, n, Word{0});
    const std::uint64_t first = 8 * g;
    const std::uint64_t nrows = std::min<std::uint64_t>(8, b.rows() - first);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Word* row = b.row_ptr(first + i) + w0;
        const std::uint64_t half = std::uint64_t{1} << i;
        for (std::uint64_t x = 0; x < half; ++x) {
            const Word* src = t + x * kEntry;
            Word* dst = t + (x + half) * kEntry;
            for (std::uint64_t k = 0; k < n; ++k) dst[k] = src[k] | row[k];
        }
    }
}

}  // namespace

void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i) noexcept {
    const std::uint64_t bs = b.stride();
    Word* orow = out + i * bs;
    for_each_one(a.row_ptr(i), a.stride(), [&](std::uint64_t j) {
        const Word* brow = b.row_ptr(j);
        for (std::uint64_t k = 0; k < bs; ++k) orow[k] |= brow[k];
    });
}

void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
                           Word* tables) noexcept {
    const std::uint64_t bs = b.stride();
    const std::uint64_t groups = (a.cols() + 7) / 8;
    for (std::uint64_t w0 = 0; w0 < bs; w0 += kEntry) {
        const std::uint64_t n = std::min(kEntry, bs - w0);
        for (std::uint64_t g0 = 0; g0 < groups; g0 += kFourRussiansGroups) {
            const std::uint64_t gn = std::min(kFourRussiansGroups, groups - g0);
            for (std::uint64_t g = 0; g < gn; ++g) build(b, g0 + g, w0, n, tables + g * kFourRussiansTableWords);
            for (const std::uint64_t i : rows) {
                Word acc[kEntry];
                Word* o = out + i * bs + w0;
                std::copy_n(o, n, acc);
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(a.row_ptr(i)) + g0;
                for (std::uint64_t g = 0; g < gn; ++g) {
                    const Word* e = tables + g * kFourRussiansTableWords + std::uint64_t{bytes[g]} * kEntry;
                    for (std::uint64_t k = 0; k < n; ++k) acc[k] |= e[k];
                }
                std::copy_n(acc, n, o);
            }
        }
    }
}

}  // namespace boolmat::generic
