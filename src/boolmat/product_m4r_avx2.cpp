// "Four Russians" step of the Boolean product for rows of a that hold many
// 1s. The rows of b are taken in groups of eight (one byte of a row of a);
// for every group the 256 possible ORs of its rows are tabulated, so a row of
// a ORs one table entry per byte instead of one row of b per 1 bit. Tables
// are built for a slice of kV vectors of columns (an entry is one 64-byte
// line) and kG groups at a time, then every listed row of a runs through
// them with its output slice held in registers. A row leaves the passes of
// a slice once that slice is all ones, and the slice's tables stop being
// built when no row is left.
//
// 2 vectors x 16 groups: 256 KiB of tables, in the second-level cache.
// Fewer, larger passes win over tables sized for the first-level cache
// because every pass reloads and stores the output slice of every row.
// Entries that straddle two lines are markedly slower, hence the aligned
// tables. The sizes tried: bench/notes/word_kernels.md.
#include <immintrin.h>

#include <algorithm>

#include "boolmat/product_kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
namespace boolmat::avx2 {
namespace {

constexpr int kV = kFourRussiansEntryWords / 4;   // vectors per column slice
constexpr std::uint64_t kG = kFourRussiansGroups;  // byte groups per pass
constexpr std::uint64_t kEntry = kFourRussiansEntryWords;
constexpr std::uint64_t kTable = kFourRussiansTableWords;

inline __m256i load(const Word* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(Word* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// Table of group g for the columns [w0, w0 + 4 NV + tail) of b: entry x is the
// OR of the rows 8g + i of b for the bits i of x. Only the entries whose bits
// name existing rows are built; a's tail bits are 0, so no others are read.
template <int NV>
void build(const BitMatrix& b, std::uint64_t g, std::uint64_t w0, std::uint64_t tail, Word* t) {
    for (int v = 0; v < NV; ++v) store(t + 4 * v, _mm256_setzero_si256());
    for (std::uint64_t k = 0; k < tail; ++k) t[4 * NV + k] = 0;
    const std::uint64_t first = 8 * g;
    const std::uint64_t nrows = std::min<std::uint64_t>(8, b.rows() - first);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Word* row = b.row_ptr(first + i) + w0;
        __m256i r[NV > 0 ? NV : 1];
        for (int v = 0; v < NV; ++v) r[v] = load(row + 4 * v);
        const std::uint64_t half = std::uint64_t{1} << i;
        const Word* src = t;
        Word* dst = t + half * kEntry;
        for (std::uint64_t x = 0; x < half; ++x, src += kEntry, dst += kEntry) {
            for (int v = 0; v < NV; ++v) store(dst + 4 * v, _mm256_or_si256(load(src + 4 * v), r[v]));
            for (std::uint64_t k = 0; k < tail; ++k) dst[4 * NV + k] = src[4 * NV + k] | row[4 * NV + k];
        }
    }
}

// ORs gn table entries into words [w0, w0 + 4 NV + tail) of each row of
// `from`, and writes to `to` (which may be `from`) those whose words do not
// yet hold every bit of `full`. Returns how many it wrote.
template <int NV>
std::uint64_t pass(const BitMatrix& a, std::uint64_t bs, Word* out, const std::uint64_t* from, std::uint64_t n,
                   std::uint64_t* to, std::uint64_t w0, std::uint64_t tail, std::uint64_t g0, std::uint64_t gn,
                   const Word* tables, const Word* full) {
    __m256i full_v[NV > 0 ? NV : 1];
    for (int v = 0; v < NV; ++v) full_v[v] = load(full + 4 * v);
    std::uint64_t kept = 0;
    for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint64_t i = from[r];
        Word* o = out + i * bs + w0;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(a.row_ptr(i)) + g0;
        __m256i acc[NV > 0 ? NV : 1];
        Word acc_tail[3] = {0, 0, 0};
        for (int v = 0; v < NV; ++v) acc[v] = load(o + 4 * v);
        for (std::uint64_t k = 0; k < tail; ++k) acc_tail[k] = o[4 * NV + k];
        for (std::uint64_t g = 0; g < gn; ++g) {
            const Word* e = tables + g * kTable + std::uint64_t{bytes[g]} * kEntry;
            for (int v = 0; v < NV; ++v) acc[v] = _mm256_or_si256(acc[v], load(e + 4 * v));
            for (std::uint64_t k = 0; k < tail; ++k) acc_tail[k] |= e[4 * NV + k];
        }
        for (int v = 0; v < NV; ++v) store(o + 4 * v, acc[v]);
        for (std::uint64_t k = 0; k < tail; ++k) o[4 * NV + k] = acc_tail[k];
        int saturated = 1;
        for (int v = 0; v < NV; ++v) saturated &= _mm256_testc_si256(acc[v], full_v[v]);
        for (std::uint64_t k = 0; k < tail; ++k) saturated &= (~acc_tail[k] & full[4 * NV + k]) == 0;
        // Without a branch: which rows fill up is not predictable.
        to[kept] = i;
        kept += static_cast<std::uint64_t>(saturated ^ 1);
    }
    return kept;
}

// The words of the slice [w0, w0 + 4 NV + tail): passes of kG groups while
// some listed row is not saturated there; `live` holds the rows left.
template <int NV>
void slice(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
           std::uint64_t* live, std::uint64_t w0, std::uint64_t tail, Word* tables, const Interrupt& stop) {
    const std::uint64_t bs = b.stride();
    const std::uint64_t groups = (a.cols() + 7) / 8;
    // The bits a saturated slice holds: all, but only the valid ones of the
    // row's last word.
    Word full[kEntry];
    std::fill_n(full, kEntry, ~Word{0});
    if (w0 + 4 * NV + tail == bs) full[4 * NV + tail - 1] = tail_mask(b.cols());
    const std::uint64_t* from = rows.data();
    std::uint64_t n = rows.size();
    for (std::uint64_t g0 = 0; g0 < groups && n != 0; g0 += kG) {
        const std::uint64_t gn = std::min(kG, groups - g0);
        if (stop.poll(gn * (256 + n) * kEntry)) return;
        for (std::uint64_t g = 0; g < gn; ++g) build<NV>(b, g0 + g, w0, tail, tables + g * kTable);
        n = pass<NV>(a, bs, out, from, n, live, w0, tail, g0, gn, tables, full);
        from = live;
    }
}

}  // namespace

void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
                           Word* tables, std::uint64_t* live, const Interrupt& stop) noexcept {
    const std::uint64_t bs = b.stride();
    std::uint64_t w0 = 0;
    for (; w0 + kEntry <= bs; w0 += kEntry) {
        slice<kV>(a, b, out, rows, live, w0, 0, tables, stop);
        if (stop.stopped()) return;
    }
    if (w0 == bs) return;
    const std::uint64_t rest = bs - w0;
    // Fewer than kEntry = 8 words are left: at most one whole vector.
    static_assert(kEntry == 8);
    if (rest < 4) return slice<0>(a, b, out, rows, live, w0, rest, tables, stop);
    slice<1>(a, b, out, rows, live, w0, rest - 4, tables, stop);
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
