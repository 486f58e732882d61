// Transpose with GFNI kernels: 256 x 256-bit superblocks (4 x 4 blocks of
// 64 x 64) for the bulk of the matrix, single blocks for the border that
// superblocks do not cover.
//
// Memory order matters more than the kernels here. When the row stride is a
// multiple of a large power of two (8192 columns: 1 KiB), rows fall into a
// few cache sets: a superblock's 256 partial lines of t are evicted before
// their other halves arrive, and a block's 64 words in 64 rows of a or t
// thrash the same way. Measured at 8192 x 8192, writing superblocks straight
// to t cost 7 to 8 times a plain copy of the words, against about 2 times
// for a padded stride of 1056 bytes. So:
//   - superblocks of two column bands at a time (whole lines of a) are
//     written to a buffer whose row stride is off the power of two, which
//     then goes to t as runs of 128 bytes per row;
//   - border blocks go 8 x 8 at a time through dense buffers, copied in and
//     out as runs of up to 64 bytes per row.
//
// Every block transposed sees what the six-stage reference loads: the words
// of a and zeros for rows past the last one; outputs past the last column are
// dropped. So t is word for word the reference result, tail bits 0.
#include <immintrin.h>

#include <algorithm>

#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"

namespace boolmat {
namespace {

constexpr std::uint64_t kChunk = 4;                      // superblock rows per buffered run
constexpr std::uint64_t kBands = 2;                      // superblock columns per pass
constexpr std::uint64_t kRunStride = 4 * kChunk + 4;     // words, off the power of two
constexpr std::uint64_t kRunWords = kBands * 256 * kRunStride;
constexpr std::uint64_t kTile = 8;                       // border blocks per tile side
constexpr std::uint64_t kTileWords = 64 * kTile * kTile;

void copy_rows(const Word* src, std::uint64_t ss, Word* dst, std::uint64_t ds, std::uint64_t rows,
               std::uint64_t words) {
    if (ss == words && ds == words) {  // one run, as for 64-column results
        std::copy_n(src, rows * words, dst);
        return;
    }
    for (std::uint64_t i = 0; i < rows; ++i, src += ss, dst += ds) {
        std::uint64_t k = 0;
        for (; k + 4 <= words; k += 4) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + k),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + k)));
        }
        for (; k < words; ++k) dst[k] = src[k];
    }
}

class Transposer {
public:
    Transposer(const BitMatrix& a, BitMatrix& t, Word* work, std::uint64_t tile_words)
        : a_(a),
          src_(a.words().data()),
          dst_(t.words_mut().data()),
          as_(a.stride()),
          ts_(t.stride()),
          work_(work),
          tile_words_(tile_words) {}

    // Superblock rows [0, sr) by superblock columns [0, sc).
    void superblocks(std::uint64_t sr, std::uint64_t sc) const {
        for (std::uint64_t c0 = 0; c0 < sc; c0 += kBands) {
            const std::uint64_t nb = std::min(kBands, sc - c0);
            for (std::uint64_t r0 = 0; r0 < sr; r0 += kChunk) {
                const std::uint64_t n = std::min(kChunk, sr - r0);
                for (std::uint64_t r = r0; r < r0 + n; ++r) {
                    for (std::uint64_t b = 0; b < nb; ++b) {
                        transpose_superblock_gfni(src_ + 256 * r * as_ + 4 * (c0 + b), as_,
                                                  work_ + b * 256 * kRunStride + 4 * (r - r0), kRunStride);
                    }
                }
                for (std::uint64_t b = 0; b < nb; ++b) {
                    copy_rows(work_ + b * 256 * kRunStride, kRunStride, dst_ + 256 * (c0 + b) * ts_ + 4 * r0, ts_,
                              256, 4 * n);
                }
            }
        }
    }

    // Row blocks [r_begin, r_end) by column blocks [c_begin, c_end), kTile x
    // kTile blocks at a time.
    void blocks(std::uint64_t r_begin, std::uint64_t r_end, std::uint64_t c_begin, std::uint64_t c_end) const {
        for (std::uint64_t r0 = r_begin; r0 < r_end; r0 += kTile) {
            const std::uint64_t nr = std::min(kTile, r_end - r0);
            for (std::uint64_t c0 = c_begin; c0 < c_end; c0 += kTile) tile(r0, nr, c0, std::min(kTile, c_end - c0));
        }
    }

private:
    void tile(std::uint64_t r0, std::uint64_t nr, std::uint64_t c0, std::uint64_t nc) const {
        Word* in = work_;                // 64 nr rows of nc words
        Word* out = work_ + tile_words_;  // 64 nc rows of nr words
        const std::uint64_t rows = std::min(64 * nr, a_.rows() - 64 * r0);
        const std::uint64_t cols = std::min(64 * nc, a_.cols() - 64 * c0);
        copy_rows(src_ + 64 * r0 * as_ + c0, as_, in, nc, rows, nc);
        std::fill(in + rows * nc, in + 64 * nr * nc, Word{0});
        for (std::uint64_t r = 0; r < nr; ++r) {
            for (std::uint64_t c = 0; c < nc; ++c) {
                transpose_block_gfni(in + 64 * r * nc + c, nc, out + 64 * c * nr + r, nr);
            }
        }
        copy_rows(out, nr, dst_ + 64 * c0 * ts_ + r0, ts_, cols, nr);
    }

    const BitMatrix& a_;
    const Word* src_;
    Word* dst_;
    std::uint64_t as_, ts_;
    Word* work_;
    std::uint64_t tile_words_;  // words of each of the two border buffers
};

}  // namespace

Result<BitMatrix> transpose(const BitMatrix& a) {
    TRY(BitMatrix t, BitMatrix::uninit(a.cols(), a.rows()));
    // Superblocks cover the rows and columns of a up to the last multiple of
    // 256 (in the other direction their 4-word runs always exist).
    const std::uint64_t sr = a.rows() / 256, sc = a.cols() / 256;
    // Working memory of the call, under 100 KiB so that it comes from the
    // heap rather than from fresh pages.
    const bool super = sr != 0 && sc != 0;
    const std::uint64_t tile_words = 64 * std::min(kTile, t.stride()) * std::min(kTile, a.stride());
    TRY(Buffer<Word> work, Buffer<Word>::uninit(super ? std::max(kRunWords, 2 * kTileWords) : 2 * tile_words));
    const Transposer x(a, t, work.data(), super ? kTileWords : tile_words);
    if (super) x.superblocks(sr, sc);
    // The border: row blocks past the superblocks (all column blocks), then
    // column blocks past them (the other row blocks).
    x.blocks(4 * sr, t.stride(), 0, a.stride());
    x.blocks(0, 4 * sr, 4 * sc, a.stride());
    return t;
}

}  // namespace boolmat
