// Boolean matrix product over the (AND, OR) semiring, row-sparse in a: each
// 1 bit of a row of a ORs the matching row of b into the output row.
#pragma once

#include <span>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/interrupt.hpp"

namespace boolmat {

// A product that `stop` stops returns stopped().
Result<BitMatrix> boolean_product(const BitMatrix& a, const BitMatrix& b, const Interrupt& stop = {});

// The inner step: out is the zero-filled a.rows() x b.stride() word array of
// the result; the kernel ORs into it. Polls `stop` between rows and between
// passes of tables; stopped (stop.stopped()), out is incomplete.
void or_rows_kernel(const BitMatrix& a, const BitMatrix& b, std::span<Word> out, const Interrupt& stop = {}) noexcept;
// Scalar reference of the same kernel.
void or_rows_kernel_scalar(const BitMatrix& a, const BitMatrix& b, std::span<Word> out) noexcept;

}  // namespace boolmat
