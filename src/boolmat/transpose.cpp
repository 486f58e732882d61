// Until the vectorised block kernel lands, transpose() is the reference.
#include "boolmat/transpose.hpp"

namespace boolmat {

Result<BitMatrix> transpose(const BitMatrix& a) { return transpose_scalar(a); }

}  // namespace boolmat
