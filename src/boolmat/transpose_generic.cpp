// Portable transpose: 64 x 64 blocks by the six masked-swap stages.
#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"

namespace boolmat::generic {

Result<BitMatrix> transpose(const BitMatrix& a) { return transpose_scalar(a); }

}  // namespace boolmat::generic
