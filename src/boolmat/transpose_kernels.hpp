// The vectorised 64 x 64 block kernel behind transpose(). It writes the same
// 64 words as transpose_block_scalar() applied to the same block.
#pragma once

#include <cstddef>

#include "boolmat/words.hpp"

namespace boolmat {

// Reads word k of the block at src[k * src_stride] (k = 0..63) and writes
// word k of its transpose at dst[k * dst_stride].
void transpose_block_gfni(const Word* src, std::size_t src_stride, Word* dst, std::size_t dst_stride) noexcept;

// The same for 4 x 4 blocks at once: 256 rows of 4 words read at
// src[i * src_stride], 256 rows of 4 words written at dst[j * dst_stride].
// Whole-vector loads and stores, so rows must be 4 consecutive words.
void transpose_superblock_gfni(const Word* src, std::size_t src_stride, Word* dst, std::size_t dst_stride) noexcept;

// Two horizontally adjacent superblocks: 256 rows of 8 words read at
// src[i * src_stride]; the transpose of words 0..3 goes to dst0, that of
// words 4..7 to dst1, as transpose_superblock_gfni writes them.
void transpose_superblock_pair_gfni(const Word* src, std::size_t src_stride, Word* dst0, Word* dst1,
                                    std::size_t dst_stride) noexcept;

}  // namespace boolmat
