// Transpose by 64 x 64 blocks. transpose() uses the active kernel set;
// transpose_scalar() is the six-stage masked-swap reference. Both write
// identical words.
#pragma once

#include "boolmat/bitmatrix.hpp"
#include "boolmat/kernels.hpp"

namespace boolmat {

// A transpose that `stop` stops returns stopped().
inline Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop = {}) {
    return kernels().transpose(a, stop);
}
Result<BitMatrix> transpose_scalar(const BitMatrix& a);

// In-place transpose of one 64-word block by the six masked-swap stages.
void transpose_block_scalar(Word block[64]) noexcept;

}  // namespace boolmat
