// Row-sparse OR of rows of b into one output row. The output row is taken in
// slices of up to 8 vectors (32 words) held in registers while every selected
// row of b is ORed in, so each selected word costs one load and one OR; the
// 1 bits of the row of a are enumerated again for every slice (tzcnt and
// clear-lowest, a zero word of a costs one test), and a slice stops once it
// is all ones.
#include <immintrin.h>

#include "boolmat/product_kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
namespace boolmat::avx2 {
namespace {

inline __m256i load(const Word* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(Word* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// Words [c0, c0 + 4V) of the output row, whose last word has the valid
// bits `last`. The 1 bits of the row of a are walked in ascending order:
// those of words [0, cut) without a count, then, word by word, the slice is
// tested before a word whenever kSaturationCheck rows or more were ORed
// since the last test (and before the first word), and left as soon as it
// is all ones.
template <int V>
void slice(const Word* arow, std::uint64_t astride, std::uint64_t cut, const Word* b, std::uint64_t bs, Word* orow,
           std::uint64_t c0, Word last) {
    __m256i acc[V];
    for (int v = 0; v < V; ++v) acc[v] = load(orow + c0 + 4 * v);
    const Word* base = b + c0;
    const auto or_rows = [&](std::uint64_t k, Word w) {
        for (; w != 0; w = _blsr_u64(w)) {
            const Word* brow = base + (64 * k + _tzcnt_u64(w)) * bs;
            for (int v = 0; v < V; ++v) acc[v] = _mm256_or_si256(acc[v], load(brow + 4 * v));
        }
    };
    for (std::uint64_t k = 0; k < cut; ++k) or_rows(k, arow[k]);
    if (cut < astride) {
        // The bits past the last column are set while the slice is tested,
        // so that a saturated slice is all ones, then given back their value.
        const Word own = orow[c0 + 4 * V - 1];
        acc[V - 1] = _mm256_or_si256(acc[V - 1], _mm256_set_epi64x(static_cast<long long>(~last), 0, 0, 0));
        std::uint64_t pending = kSaturationCheck;
        for (std::uint64_t k = cut; k < astride; ++k) {
            const Word w = arow[k];
            if (w == 0) continue;
            if (pending >= kSaturationCheck) {
                __m256i all = acc[0];
                for (int v = 1; v < V; ++v) all = _mm256_and_si256(all, acc[v]);
                if (_mm256_testc_si256(all, _mm256_set1_epi64x(-1))) break;
                pending = 0;
            }
            pending += static_cast<std::uint64_t>(_mm_popcnt_u64(w));
            or_rows(k, w);
        }
        acc[V - 1] = _mm256_and_si256(acc[V - 1], _mm256_set_epi64x(static_cast<long long>(last | own), -1, -1, -1));
    }
    for (int v = 0; v < V; ++v) store(orow + c0 + 4 * v, acc[v]);
}

// Up to three words [c0, c0 + n) at the end of the row, as slice() does.
void tail(const Word* arow, std::uint64_t astride, std::uint64_t cut, const Word* b, std::uint64_t bs, Word* orow,
          std::uint64_t c0, std::uint64_t n, Word last) {
    Word acc[3] = {~Word{0}, ~Word{0}, ~Word{0}};
    for (std::uint64_t t = 0; t < n; ++t) acc[t] = orow[c0 + t];
    const Word* base = b + c0;
    const auto or_rows = [&](std::uint64_t k, Word w) {
        for (; w != 0; w = _blsr_u64(w)) {
            const Word* brow = base + (64 * k + _tzcnt_u64(w)) * bs;
            for (std::uint64_t t = 0; t < n; ++t) acc[t] |= brow[t];
        }
    };
    for (std::uint64_t k = 0; k < cut; ++k) or_rows(k, arow[k]);
    if (cut < astride) {
        const Word own = acc[n - 1];
        acc[n - 1] |= ~last;
        std::uint64_t pending = kSaturationCheck;
        for (std::uint64_t k = cut; k < astride; ++k) {
            const Word w = arow[k];
            if (w == 0) continue;
            if (pending >= kSaturationCheck) {
                if ((acc[0] & acc[1] & acc[2]) == ~Word{0}) break;
                pending = 0;
            }
            pending += static_cast<std::uint64_t>(_mm_popcnt_u64(w));
            or_rows(k, w);
        }
        acc[n - 1] &= last | own;
    }
    for (std::uint64_t t = 0; t < n; ++t) orow[c0 + t] = acc[t];
}

using SliceFn = void (*)(const Word*, std::uint64_t, std::uint64_t, const Word*, std::uint64_t, Word*, std::uint64_t,
                         Word);
constexpr SliceFn kSlices[9] = {nullptr,  slice<1>, slice<2>, slice<3>, slice<4>,
                                slice<5>, slice<6>, slice<7>, slice<8>};

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
    for (; c0 + 32 <= bs; c0 += 32) slice<8>(arow, astride, cut, bw, bs, orow, c0, c0 + 32 == bs ? last : ~Word{0});
    // The rest, at most 31 words: whole vectors, then up to three words.
    const std::uint64_t vectors = (bs - c0) / 4;
    if (vectors != 0) {
        kSlices[vectors](arow, astride, cut, bw, bs, orow, c0, c0 + 4 * vectors == bs ? last : ~Word{0});
        c0 += 4 * vectors;
    }
    if (c0 < bs) tail(arow, astride, cut, bw, bs, orow, c0, bs - c0, last);
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
