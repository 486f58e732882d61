// The generic set's row steps of the Boolean product: the same two
// strategies and table layout as the vector sets. The output words a step
// works on are held in a fixed-size local array that the compiler keeps in
// vector registers, so each selected word of b or table entry costs one
// load and one OR; with a run-time width the output went through memory on
// every OR, several times slower (bench/notes/word_kernels.md).
#include <algorithm>
#include <array>
#include <bit>
#include <utility>

#include "boolmat/product_kernels.hpp"

namespace boolmat::generic {
namespace {

constexpr std::uint64_t kEntry = kFourRussiansEntryWords;
constexpr std::uint64_t kTable = kFourRussiansTableWords;

// Calls f(j) for every 1 bit j of the row, in ascending order.
template <class F>
inline void for_each_one(const Word* arow, std::uint64_t astride, F&& f) {
    for (std::uint64_t k = 0; k < astride; ++k) {
        for (Word w = arow[k]; w != 0; w &= w - 1) f(64 * k + static_cast<std::uint64_t>(std::countr_zero(w)));
    }
}

// Words per slice of the row-sparse step: eight SSE2 or NEON registers.
constexpr std::uint64_t kSlice = 16;

// ORs into orow[0, W) the words [0, W) of the rows of b (from `base`,
// stride bs) selected by the 1 bits of arow.
template <std::uint64_t W>
void sparse_slice(const Word* arow, std::uint64_t astride, const Word* base, std::uint64_t bs, Word* orow) {
    Word acc[W];
    std::copy_n(orow, W, acc);
    for_each_one(arow, astride, [&](std::uint64_t j) {
        const Word* brow = base + j * bs;
        for (std::uint64_t t = 0; t < W; ++t) acc[t] |= brow[t];
    });
    std::copy_n(acc, W, orow);
}

using SparseSliceFn = void (*)(const Word*, std::uint64_t, const Word*, std::uint64_t, Word*);

template <std::uint64_t... W>
constexpr auto sparse_slices(std::integer_sequence<std::uint64_t, W...>) {
    return std::array<SparseSliceFn, sizeof...(W)>{sparse_slice<W + 1>...};
}
// Entry w - 1 does w words, for the last slice of a row.
constexpr auto kSparseSlices = sparse_slices(std::make_integer_sequence<std::uint64_t, kSlice>{});

// Table of group g for words [w0, w0 + N) of the rows of b: entry x is the
// OR of the rows 8g + i of b for the bits i of x. Only the entries whose
// bits name existing rows are built; a's tail bits are 0, so no others are
// read.
template <std::uint64_t N>
void build(const BitMatrix& b, std::uint64_t g, std::uint64_t w0, Word* t) {
    std::fill_n(t, N, Word{0});
    const std::uint64_t first = 8 * g;
    const std::uint64_t nrows = std::min<std::uint64_t>(8, b.rows() - first);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        Word row[N];
        std::copy_n(b.row_ptr(first + i) + w0, N, row);
        const std::uint64_t half = std::uint64_t{1} << i;
        const Word* src = t;
        Word* dst = t + half * kEntry;
        for (std::uint64_t x = 0; x < half; ++x, src += kEntry, dst += kEntry) {
            for (std::uint64_t k = 0; k < N; ++k) dst[k] = src[k] | row[k];
        }
    }
}

// Words [w0, w0 + N) of the product rows: the tables of every group, built
// kFourRussiansGroups at a time, then each listed row ORs one entry per
// byte of its row of a.
template <std::uint64_t N>
void four_russians_slice(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
                         std::uint64_t w0, Word* tables, const Interrupt& stop) {
    const std::uint64_t bs = b.stride();
    const std::uint64_t groups = (a.cols() + 7) / 8;
    for (std::uint64_t g0 = 0; g0 < groups; g0 += kFourRussiansGroups) {
        const std::uint64_t gn = std::min(kFourRussiansGroups, groups - g0);
        if (stop.poll(gn * (256 + rows.size()) * N)) return;
        for (std::uint64_t g = 0; g < gn; ++g) build<N>(b, g0 + g, w0, tables + g * kTable);
        for (const std::uint64_t i : rows) {
            Word* o = out + i * bs + w0;
            Word acc[N];
            std::copy_n(o, N, acc);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(a.row_ptr(i)) + g0;
            for (std::uint64_t g = 0; g < gn; ++g) {
                const Word* e = tables + g * kTable + std::uint64_t{bytes[g]} * kEntry;
                for (std::uint64_t k = 0; k < N; ++k) acc[k] |= e[k];
            }
            std::copy_n(acc, N, o);
        }
    }
}

using FourRussiansSliceFn = void (*)(const BitMatrix&, const BitMatrix&, Word*, std::span<const std::uint64_t>,
                                     std::uint64_t, Word*, const Interrupt&);

template <std::uint64_t... N>
constexpr auto four_russians_slices(std::integer_sequence<std::uint64_t, N...>) {
    return std::array<FourRussiansSliceFn, sizeof...(N)>{four_russians_slice<N + 1>...};
}
// Entry n - 1 does n words.
constexpr auto kFourRussiansSlices = four_russians_slices(std::make_integer_sequence<std::uint64_t, kEntry>{});

}  // namespace

void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i) noexcept {
    const std::uint64_t bs = b.stride();
    const Word* arow = a.row_ptr(i);
    const Word* bw = b.words().data();
    Word* orow = out + i * bs;
    std::uint64_t c0 = 0;
    for (; c0 + kSlice <= bs; c0 += kSlice) sparse_slice<kSlice>(arow, a.stride(), bw + c0, bs, orow + c0);
    if (c0 < bs) kSparseSlices[bs - c0 - 1](arow, a.stride(), bw + c0, bs, orow + c0);
}

void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
                           Word* tables, const Interrupt& stop) noexcept {
    const std::uint64_t bs = b.stride();
    for (std::uint64_t w0 = 0; w0 < bs && !stop.stopped(); w0 += kEntry) {
        kFourRussiansSlices[std::min(kEntry, bs - w0) - 1](a, b, out, rows, w0, tables, stop);
    }
}

}  // namespace boolmat::generic
