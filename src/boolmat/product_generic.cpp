// The generic set's row steps of the Boolean product: the same two
// strategies and table layout as the vector sets. The output words a step
// works on are held in a fixed-size local value that the compiler keeps in
// vector registers, so each selected word of b or table entry costs one
// load and one OR; with a run-time width the output went through memory on
// every OR, several times slower (bench/notes/word_kernels.md).
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "boolmat/product_kernels.hpp"

namespace boolmat::generic {
namespace {

constexpr std::uint64_t kEntry = kFourRussiansEntryWords;
constexpr std::uint64_t kTable = kFourRussiansTableWords;

// Words per slice of the row-sparse step: eight SSE2 or NEON registers.
constexpr std::uint64_t kSlice = 16;

// W output words held in registers: W / 2 pairs (an SSE2 or NEON register
// each) and, for odd W, one word. With plain word arrays, the test for all
// ones and the handling of the last word made the compiler split the
// words between vector and general registers, several times slower.
typedef Word Pair __attribute__((vector_size(16)));

template <std::uint64_t W>
struct Words {
    static constexpr std::uint64_t kPairs = W / 2;
    Pair pair[kPairs > 0 ? kPairs : 1];
    Word odd;  // word W - 1 when W is odd

    static Words load(const Word* p) {
        Words w;
        for (std::uint64_t i = 0; i < kPairs; ++i) std::memcpy(&w.pair[i], p + 2 * i, sizeof(Pair));
        w.odd = W % 2 != 0 ? p[W - 1] : 0;
        return w;
    }
    void store(Word* p) const {
        for (std::uint64_t i = 0; i < kPairs; ++i) std::memcpy(p + 2 * i, &pair[i], sizeof(Pair));
        if constexpr (W % 2 != 0) p[W - 1] = odd;
    }
    void or_load(const Word* p) {
        for (std::uint64_t i = 0; i < kPairs; ++i) {
            Pair v;
            std::memcpy(&v, p + 2 * i, sizeof(Pair));
            pair[i] |= v;
        }
        if constexpr (W % 2 != 0) odd |= p[W - 1];
    }
    // The steps set the bits past the last column in their copy of the
    // row's last word, so that a saturated slice is all ones, and give
    // those bits back their own value when they store it.
    void or_last(Word x) {
        if constexpr (W % 2 != 0) {
            odd |= x;
        } else {
            pair[kPairs - 1] |= Pair{0, x};
        }
    }
    void and_last(Word x) {
        if constexpr (W % 2 != 0) {
            odd &= x;
        } else {
            pair[kPairs - 1] &= Pair{~Word{0}, x};
        }
    }
    bool all_ones() const {
        Pair all = {~Word{0}, ~Word{0}};
        for (std::uint64_t i = 0; i < kPairs; ++i) all &= pair[i];
        return (all[0] & all[1] & (W % 2 != 0 ? odd : ~Word{0})) == ~Word{0};
    }
};

// ORs into orow[0, W) the words [0, W) of the rows of b (from `base`,
// stride bs) selected by the 1 bits of arow, in ascending order: those of
// words [0, cut) without a count, then, word by word, the words are tested
// before a word of a whenever kSaturationCheck rows or more were ORed since
// the last test (and before the first), and left as soon as they are all
// ones. `last` holds the valid bits of the last word.
template <std::uint64_t W>
void sparse_slice(const Word* arow, std::uint64_t astride, std::uint64_t cut, const Word* base, std::uint64_t bs,
                  Word* orow, Word last) {
    Words<W> acc = Words<W>::load(orow);
    const auto or_rows = [&](std::uint64_t k, Word w) {
        for (; w != 0; w &= w - 1) acc.or_load(base + (64 * k + static_cast<std::uint64_t>(std::countr_zero(w))) * bs);
    };
    for (std::uint64_t k = 0; k < cut; ++k) or_rows(k, arow[k]);
    if (cut < astride) {
        const Word own = orow[W - 1];
        acc.or_last(~last);
        std::uint64_t pending = kSaturationCheck;
        for (std::uint64_t k = cut; k < astride; ++k) {
            const Word w = arow[k];
            if (w == 0) continue;
            if (pending >= kSaturationCheck) {
                if (acc.all_ones()) break;
                pending = 0;
            }
            pending += static_cast<std::uint64_t>(std::popcount(w));
            or_rows(k, w);
        }
        acc.and_last(last | own);
    }
    acc.store(orow);
}

using SparseSliceFn = void (*)(const Word*, std::uint64_t, std::uint64_t, const Word*, std::uint64_t, Word*, Word);

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
// kFourRussiansGroups at a time, then each live row ORs one entry per byte
// of its row of a. A row whose words are saturated after a pass is not
// copied into `live`, and once no row is left the remaining tables are not
// built.
template <std::uint64_t N>
void four_russians_slice(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
                         std::uint64_t* live, std::uint64_t w0, Word last, Word* tables, const Interrupt& stop) {
    const std::uint64_t bs = b.stride();
    const std::uint64_t groups = (a.cols() + 7) / 8;
    const std::uint64_t* from = rows.data();
    std::uint64_t n = rows.size();
    for (std::uint64_t g0 = 0; g0 < groups && n != 0; g0 += kFourRussiansGroups) {
        const std::uint64_t gn = std::min(kFourRussiansGroups, groups - g0);
        if (stop.poll(gn * (256 + n) * N)) return;
        for (std::uint64_t g = 0; g < gn; ++g) build<N>(b, g0 + g, w0, tables + g * kTable);
        std::uint64_t kept = 0;
        for (std::uint64_t r = 0; r < n; ++r) {
            const std::uint64_t i = from[r];
            Word* o = out + i * bs + w0;
            Words<N> acc = Words<N>::load(o);
            const Word own = o[N - 1];
            acc.or_last(~last);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(a.row_ptr(i)) + g0;
            for (std::uint64_t g = 0; g < gn; ++g) acc.or_load(tables + g * kTable + std::uint64_t{bytes[g]} * kEntry);
            const bool full = acc.all_ones();
            acc.and_last(last | own);
            acc.store(o);
            // Without a branch: which rows fill up is not predictable.
            live[kept] = i;
            kept += full ? 0 : 1;
        }
        n = kept;
        from = live;
    }
}

using FourRussiansSliceFn = void (*)(const BitMatrix&, const BitMatrix&, Word*, std::span<const std::uint64_t>,
                                     std::uint64_t*, std::uint64_t, Word, Word*, const Interrupt&);

template <std::uint64_t... N>
constexpr auto four_russians_slices(std::integer_sequence<std::uint64_t, N...>) {
    return std::array<FourRussiansSliceFn, sizeof...(N)>{four_russians_slice<N + 1>...};
}
// Entry n - 1 does n words.
constexpr auto kFourRussiansSlices = four_russians_slices(std::make_integer_sequence<std::uint64_t, kEntry>{});

}  // namespace

void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i,
                   std::uint64_t check_from) noexcept {
    const std::uint64_t bs = b.stride(), astride = a.stride();
    const Word* arow = a.row_ptr(i);
    const Word* bw = b.words().data();
    Word* orow = out + i * bs;
    const Word last = tail_mask(b.cols());
    const std::uint64_t cut = words_before_check(arow, astride, check_from);
    std::uint64_t c0 = 0;
    for (; c0 + kSlice <= bs; c0 += kSlice) {
        sparse_slice<kSlice>(arow, astride, cut, bw + c0, bs, orow + c0, c0 + kSlice == bs ? last : ~Word{0});
    }
    if (c0 < bs) kSparseSlices[bs - c0 - 1](arow, astride, cut, bw + c0, bs, orow + c0, last);
}

void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
                           Word* tables, std::uint64_t* live, const Interrupt& stop) noexcept {
    const std::uint64_t bs = b.stride();
    const Word last = tail_mask(b.cols());
    for (std::uint64_t w0 = 0; w0 < bs && !stop.stopped(); w0 += kEntry) {
        const std::uint64_t n = std::min(kEntry, bs - w0);
        kFourRussiansSlices[n - 1](a, b, out, rows, live, w0, w0 + n == bs ? last : ~Word{0}, tables, stop);
    }
}

}  // namespace boolmat::generic
