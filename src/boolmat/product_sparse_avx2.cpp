// Row-sparse OR of rows of b into one output row. The output row is taken in
// slices of up to 8 vectors (32 words) held in registers while every selected
// row of b is ORed in, so each selected word costs one load and one OR; the
// 1 bits of the row of a are enumerated again for every slice (tzcnt and
// clear-lowest, a zero word of a costs one test).
#include <immintrin.h>

#include "boolmat/product_kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
namespace boolmat::avx2 {
namespace {

inline __m256i load(const Word* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(Word* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// Calls f(j) for every 1 bit j of the row, in ascending order.
template <class F>
inline void for_each_one(const Word* arow, std::uint64_t astride, F&& f) {
    for (std::uint64_t k = 0; k < astride; ++k) {
        Word w = arow[k];
        while (w != 0) {
            f(64 * k + static_cast<std::uint64_t>(_tzcnt_u64(w)));
            w = _blsr_u64(w);
        }
    }
}

// Words [c0, c0 + 4V) of the output row.
template <int V>
void slice(const Word* arow, std::uint64_t astride, const Word* b, std::uint64_t bs, Word* orow, std::uint64_t c0) {
    __m256i acc[V];
    for (int v = 0; v < V; ++v) acc[v] = load(orow + c0 + 4 * v);
    const Word* base = b + c0;
    for_each_one(arow, astride, [&](std::uint64_t j) {
        const Word* brow = base + j * bs;
        for (int v = 0; v < V; ++v) acc[v] = _mm256_or_si256(acc[v], load(brow + 4 * v));
    });
    for (int v = 0; v < V; ++v) store(orow + c0 + 4 * v, acc[v]);
}

// Up to three words [c0, c0 + n) at the end of the row.
void tail(const Word* arow, std::uint64_t astride, const Word* b, std::uint64_t bs, Word* orow, std::uint64_t c0,
          std::uint64_t n) {
    Word acc[3] = {0, 0, 0};
    for (std::uint64_t t = 0; t < n; ++t) acc[t] = orow[c0 + t];
    const Word* base = b + c0;
    for_each_one(arow, astride, [&](std::uint64_t j) {
        const Word* brow = base + j * bs;
        for (std::uint64_t t = 0; t < n; ++t) acc[t] |= brow[t];
    });
    for (std::uint64_t t = 0; t < n; ++t) orow[c0 + t] = acc[t];
}

using SliceFn = void (*)(const Word*, std::uint64_t, const Word*, std::uint64_t, Word*, std::uint64_t);
constexpr SliceFn kSlices[9] = {nullptr,  slice<1>, slice<2>, slice<3>, slice<4>,
                                slice<5>, slice<6>, slice<7>, slice<8>};

}  // namespace

void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i) noexcept {
    const std::uint64_t bs = b.stride();
    const Word* arow = a.row_ptr(i);
    const Word* bw = b.words().data();
    Word* orow = out + i * bs;
    std::uint64_t c0 = 0;
    for (; c0 + 32 <= bs; c0 += 32) slice<8>(arow, a.stride(), bw, bs, orow, c0);
    const std::uint64_t vectors = (bs - c0) / 4;
    if (vectors != 0) {
        kSlices[vectors](arow, a.stride(), bw, bs, orow, c0);
        c0 += 4 * vectors;
    }
    if (c0 < bs) tail(arow, a.stride(), bw, bs, orow, c0, bs - c0);
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
