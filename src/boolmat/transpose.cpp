// Transpose by 64 x 64 blocks with the GFNI block kernel. Blocks are visited
// in bands of kBand row blocks: for each column block the band's blocks are
// done top to bottom, so the output words they write fill whole cache lines
// (kBand consecutive words of 64 rows of t) while the band's input lines
// (kBand * 64 rows of a) stay in L1/L2 across the eight column blocks that
// share them. Edge blocks go through a zero-padded copy and keep only their
// w valid output words, exactly as the reference does, so the tail bits of
// t come out 0.
#include <algorithm>

#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"

namespace boolmat {
namespace {

constexpr std::uint64_t kBand = 8;

void edge_block(const Word* src, std::uint64_t ss, std::uint64_t h, Word* dst, std::uint64_t ds, std::uint64_t w) {
    Word in[64] = {};
    Word out[64];
    for (std::uint64_t k = 0; k < h; ++k) in[k] = src[k * ss];
    transpose_block_gfni(in, 1, out, 1);
    for (std::uint64_t k = 0; k < w; ++k) dst[k * ds] = out[k];
}

}  // namespace

Result<BitMatrix> transpose(const BitMatrix& a) {
    TRY(BitMatrix t, BitMatrix::zeros(a.cols(), a.rows()));
    const std::uint64_t as = a.stride(), ts = t.stride();
    const std::uint64_t row_blocks = ts, col_blocks = as;
    const Word* src = a.words().data();
    Word* dst = t.words_mut().data();
    for (std::uint64_t r0 = 0; r0 < row_blocks; r0 += kBand) {
        const std::uint64_t r1 = std::min(row_blocks, r0 + kBand);
        for (std::uint64_t c = 0; c < col_blocks; ++c) {
            const std::uint64_t w = std::min<std::uint64_t>(64, a.cols() - 64 * c);
            for (std::uint64_t r = r0; r < r1; ++r) {
                const std::uint64_t h = std::min<std::uint64_t>(64, a.rows() - 64 * r);
                const Word* s = src + 64 * r * as + c;
                Word* d = dst + 64 * c * ts + r;
                if (h == 64 && w == 64) {
                    transpose_block_gfni(s, as, d, ts);
                } else {
                    edge_block(s, as, h, d, ts, w);
                }
            }
        }
    }
    return t;
}

}  // namespace boolmat
