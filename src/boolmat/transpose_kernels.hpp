// The vectorised 64 x 64 block kernel behind transpose(). It writes the same
// 64 words as transpose_block_scalar() applied to the same block.
#pragma once

#include <cstddef>

#include "boolmat/words.hpp"

namespace boolmat {

// Reads word k of the block at src[k * src_stride] (k = 0..63) and writes
// word k of its transpose at dst[k * dst_stride].
void transpose_block_gfni(const Word* src, std::size_t src_stride, Word* dst, std::size_t dst_stride) noexcept;

}  // namespace boolmat
