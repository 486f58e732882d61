// PLACEHOLDER until the AVX2 block kernels land: each block through the
// scalar six-stage transpose.
#include "boolmat/target.hpp"
#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"

VALDRIX_AVX2_BEGIN
namespace boolmat::avx2 {

void transpose_block(const Word* src, std::size_t ss, Word* dst, std::size_t ds) noexcept {
    Word b[64];
    for (int k = 0; k < 64; ++k) b[k] = src[k * ss];
    transpose_block_scalar(b);
    for (int k = 0; k < 64; ++k) dst[k * ds] = b[k];
}

void transpose_superblock(const Word* src, std::size_t ss, Word* dst, std::size_t ds) noexcept {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) transpose_block(src + 64 * r * ss + c, ss, dst + 64 * c * ds + r, ds);
}

void transpose_superblock_pair(const Word* src, std::size_t ss, Word* dst0, Word* dst1, std::size_t ds) noexcept {
    transpose_superblock(src, ss, dst0, ds);
    transpose_superblock(src + 4, ss, dst1, ds);
}

Result<BitMatrix> transpose(const BitMatrix& a) { return transpose_by(a, kTransposeBlocks); }

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
