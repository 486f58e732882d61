// Transpose by 64 x 64 blocks. transpose() uses the vectorised block kernel;
// transpose_scalar() is the six-stage masked-swap reference. Both write
// identical words.
#pragma once

#include "boolmat/bitmatrix.hpp"

namespace boolmat {

Result<BitMatrix> transpose(const BitMatrix& a);
Result<BitMatrix> transpose_scalar(const BitMatrix& a);

// In-place transpose of one 64-word block by the six masked-swap stages.
void transpose_block_scalar(Word block[64]) noexcept;

}  // namespace boolmat
