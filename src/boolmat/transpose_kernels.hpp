// The transpose of each kernel set (kernels.hpp picks one). The x86-64 sets
// share one cache-aware driver and differ in their 64 x 64 block kernels.
// Every set writes the words of transpose_scalar().
#pragma once

#include <cstddef>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/interrupt.hpp"
#include "boolmat/isa.hpp"
#include "boolmat/target.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

// The block kernels of a set:
// - block reads word k of a 64 x 64 block at src[k * src_stride] (k =
//   0..63) and writes word k of its transpose at dst[k * dst_stride];
// - superblock does the same for 4 x 4 blocks at once: 256 rows of 4 words
//   read at src[i * src_stride], 256 rows of 4 words written at
//   dst[j * dst_stride]. Whole-vector loads and stores, so rows must be 4
//   consecutive words;
// - pair does two horizontally adjacent superblocks: 256 rows of 8 words
//   read at src[i * src_stride]; the transpose of words 0..3 goes to dst0,
//   that of words 4..7 to dst1, as superblock writes them.
struct TransposeBlocks {
    void (*block)(const Word* src, std::size_t src_stride, Word* dst, std::size_t dst_stride) noexcept;
    void (*superblock)(const Word* src, std::size_t src_stride, Word* dst, std::size_t dst_stride) noexcept;
    void (*pair)(const Word* src, std::size_t src_stride, Word* dst0, Word* dst1, std::size_t dst_stride) noexcept;
};

#define VALDRIX_TRANSPOSE_BLOCKS                                                                              \
    void transpose_block(const Word* src, std::size_t src_stride, Word* dst, std::size_t dst_stride) noexcept; \
    void transpose_superblock(const Word* src, std::size_t src_stride, Word* dst, std::size_t dst_stride) noexcept; \
    void transpose_superblock_pair(const Word* src, std::size_t src_stride, Word* dst0, Word* dst1,          \
                                   std::size_t dst_stride) noexcept;                                          \
    inline constexpr TransposeBlocks kTransposeBlocks{transpose_block, transpose_superblock, transpose_superblock_pair};

namespace generic {
Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop);
}

namespace avx2 {
VALDRIX_TRANSPOSE_BLOCKS
Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop);
// The driver of the x86-64 sets, with the block kernels of one of them.
Result<BitMatrix> transpose_by(const BitMatrix& a, const TransposeBlocks& blocks, const Interrupt& stop);
}  // namespace avx2

namespace gfni {
VALDRIX_TRANSPOSE_BLOCKS
Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop);
}  // namespace gfni
#undef VALDRIX_TRANSPOSE_BLOCKS

// The block kernels of a set, or null for a set that has none (generic).
inline const TransposeBlocks* transpose_blocks(Isa isa) noexcept {
#if VALDRIX_X86
    if (isa == Isa::Avx2) return &avx2::kTransposeBlocks;
    // The AVX-512 set transposes with the GFNI kernels.
    if (isa == Isa::Gfni || isa == Isa::Avx512) return &gfni::kTransposeBlocks;
#endif
    (void)isa;
    return nullptr;
}

}  // namespace boolmat
