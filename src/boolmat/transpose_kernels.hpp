// The transpose of each kernel set (kernels.hpp picks one). The x86-64 sets
// move matrices of 512 rows or more in units of 512 rows (UnitStep,
// transpose_units.hpp) and the others through one cache-aware driver, by
// 64 x 64 blocks. Every set writes the words of transpose_scalar().
#pragma once

#include <cstddef>
#include <cstdint>

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

// One step of a pipeline of units of 512 rows of a by W words (W = 8 in
// the AVX-512 set, 4 in the 256-bit ones: 8 x W blocks): the unit at `src`
// is read into the scratch `fill`, while the one read into `drain` by the
// step before is finished and written to `dst`, and the rows of the unit
// after are prefetched from `next`. Any of the three may be null. The
// scratch buffers hold 512 W words each, 64-byte aligned.
// - Reading: row i of the unit (i = 0..511) is src[i * ss .. i * ss + W -
//   1]; only rows [first, last) and the words of `load_mask` (bit k: word
//   k) are read, the others count as zeros and src may point outside a for
//   them.
// - Writing: row j of the finished unit (j = 0..64 W - 1) goes to dst[j *
//   ds .. j * ds + 7], for j in [begin, end) only and the words of
//   `store_mask` only (dst may point outside t for the others). `stream`
//   writes with non-temporal stores, which need every row of dst on a
//   64-byte boundary and a full mask.
struct UnitStep {
    const Word* src = nullptr;
    std::size_t ss = 0;
    std::size_t first = 0, last = 512;
    unsigned load_mask = 0xFF;
    Word* fill = nullptr;
    const Word* drain = nullptr;
    Word* dst = nullptr;
    std::size_t ds = 0;
    std::size_t begin = 0, end = 512;
    unsigned store_mask = 0xFF;
    bool stream = false;
    const Word* next = nullptr;
};

#define VALDRIX_TRANSPOSE_BLOCKS                                                                              \
    void transpose_unit_step(const UnitStep& step) noexcept;                                                  \
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
// The driver of the x86-64 sets, with the block kernels of one of them;
// transpose_into writes every word of a t made (uninitialised) by the caller.
Result<BitMatrix> transpose_by(const BitMatrix& a, const TransposeBlocks& blocks, const Interrupt& stop);
Status transpose_into(const BitMatrix& a, BitMatrix& t, const TransposeBlocks& blocks, const Interrupt& stop);
}  // namespace avx2

namespace gfni {
VALDRIX_TRANSPOSE_BLOCKS
Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop);
}  // namespace gfni
#undef VALDRIX_TRANSPOSE_BLOCKS

namespace avx512 {
void transpose_unit_step(const UnitStep& step) noexcept;
Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop);
}  // namespace avx512

// The block kernels of a set, or null for a set that has none (generic).
inline const TransposeBlocks* transpose_blocks(Isa isa) noexcept {
#if VALDRIX_X86
    if (isa == Isa::Avx2) return &avx2::kTransposeBlocks;
    // The AVX-512 set's blocks (for matrices it does not move in units) are
    // the GFNI ones.
    if (isa == Isa::Gfni || isa == Isa::Avx512) return &gfni::kTransposeBlocks;
#endif
    (void)isa;
    return nullptr;
}

}  // namespace boolmat
