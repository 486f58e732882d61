// A matrix as the coordinates of its ones, and back: the form sparse data
// comes in (SciPy's COO and CSR matrices, edge lists, transactions).
#pragma once

#include <cstdint>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/interrupt.hpp"

namespace boolmat {

enum class IndexType : std::uint8_t { I8, U8, I16, U16, I32, U32, I64, U64 };

// size integers of one type: element k is at origin + k * stride bytes.
// Read in place, so an index array of any integer type and any layout costs
// no converted copy.
struct IndexVector {
    const void* origin;
    std::uint64_t size;
    std::int64_t stride;
    IndexType type;
};

// A rows x cols matrix with a one at (row_index[k], col_index[k]) for every
// k; repeated pairs make the same bit 1. Every pair is checked before
// anything is allocated: the first one outside the matrix, negative indices
// included, is an Index failure that names it. The two vectors have the same size.
// Polls `stop` between blocks of pairs.
Result<BitMatrix> bitmatrix_from_indices(std::uint64_t rows, std::uint64_t cols, const IndexVector& row_index,
                                         const IndexVector& col_index, const Interrupt& stop = {});

// The coordinates of every one in row-major order, into m.count_ones()
// entries of each output, polling `stop` between rows; stopped, the outputs
// are incomplete.
Status bitmatrix_nonzero(const BitMatrix& m, std::int64_t* rows_out, std::int64_t* cols_out,
                         const Interrupt& stop = {});

}  // namespace boolmat
