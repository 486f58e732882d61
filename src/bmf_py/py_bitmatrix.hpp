// The Python BitMatrix instance: one core boolmat::BitMatrix and its borrow
// counter.
#pragma once

#include "bmf_py/instance.hpp"
#include "bmf_py/state.hpp"
#include "boolmat/bitmatrix.hpp"

namespace bmf_py {

using boolmat::BitMatrix;

template <>
struct ClassOf<BitMatrix> {
    static constexpr const char* name = "BitMatrix";
    static PyTypeObject* type() noexcept { return state().bitmatrix_type; }
};

using PyBitMatrix = Instance<BitMatrix>;

// The check every constructor makes before building the core matrix.
inline Status check_dimensions(std::uint64_t rows, std::uint64_t cols) {
    if (rows == 0 || cols == 0) {
        return fail(ErrorKind::Value, "dimensions invalides {}x{} : rows et cols doivent valoir au moins 1", rows,
                    cols);
    }
    return {};
}

}  // namespace bmf_py
