#include "boolmat/indices.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace boolmat {

namespace {

// Indices are read a block at a time into signed 64-bit values, one type
// switch per block. Unsigned values past the signed range saturate: they
// are out of range of any matrix either way.
constexpr std::uint64_t kBlock = 1024;

template <class T>
std::int64_t load(const IndexVector& v, std::uint64_t k) noexcept {
    T x;
    std::memcpy(&x, static_cast<const char*>(v.origin) + static_cast<std::int64_t>(k) * v.stride, sizeof x);
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        return x > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(x);
    } else {
        return static_cast<std::int64_t>(x);
    }
}

template <class T>
void load_block(const IndexVector& v, std::uint64_t first, std::uint64_t n, std::int64_t* out) noexcept {
    for (std::uint64_t k = 0; k < n; ++k) out[k] = load<T>(v, first + k);
}

void load_block(const IndexVector& v, std::uint64_t first, std::uint64_t n, std::int64_t* out) noexcept {
    switch (v.type) {
        case IndexType::I8: return load_block<std::int8_t>(v, first, n, out);
        case IndexType::U8: return load_block<std::uint8_t>(v, first, n, out);
        case IndexType::I16: return load_block<std::int16_t>(v, first, n, out);
        case IndexType::U16: return load_block<std::uint16_t>(v, first, n, out);
        case IndexType::I32: return load_block<std::int32_t>(v, first, n, out);
        case IndexType::U32: return load_block<std::uint32_t>(v, first, n, out);
        case IndexType::I64: return load_block<std::int64_t>(v, first, n, out);
        case IndexType::U64: return load_block<std::uint64_t>(v, first, n, out);
    }
}

// The value as stored, for the message: an unsigned index past the signed
// range is shown as it is, not saturated.
FailureArg stored_value(const IndexVector& v, std::uint64_t k) {
    if (v.type == IndexType::U64) {
        std::uint64_t x;
        std::memcpy(&x, static_cast<const char*>(v.origin) + static_cast<std::int64_t>(k) * v.stride, sizeof x);
        return x;
    }
    std::int64_t x = 0;
    load_block(v, k, 1, &x);
    return x;
}

// Calls f(first, n, rows, cols) on every block of pairs, in order, until it
// returns a failure or `stop` stops it.
template <class F>
Status for_each_block(const IndexVector& ri, const IndexVector& ci, const Interrupt& stop, F&& f) {
    std::int64_t r[kBlock];
    std::int64_t c[kBlock];
    for (std::uint64_t first = 0; first < ri.size; first += kBlock) {
        TRY_VOID(stop.check(kBlock));
        const std::uint64_t n = std::min(kBlock, ri.size - first);
        load_block(ri, first, n, r);
        load_block(ci, first, n, c);
        TRY_VOID(f(first, n, r, c));
    }
    return {};
}

}  // namespace

Result<BitMatrix> bitmatrix_from_indices(std::uint64_t rows, std::uint64_t cols, const IndexVector& row_index,
                                         const IndexVector& col_index, const Interrupt& stop) {
    if (row_index.size != col_index.size) {
        return panic("bitmatrix_from_indices : {} indices de lignes, {} de colonnes", row_index.size, col_index.size);
    }
    TRY_VOID(checked_word_count(rows, cols));
    TRY_VOID(for_each_block(row_index, col_index, stop,
                            [&](std::uint64_t first, std::uint64_t n, const std::int64_t* r,
                                const std::int64_t* c) -> Status {
                                for (std::uint64_t k = 0; k < n; ++k) {
                                    // Negative values wrap past any dimension.
                                    if (static_cast<std::uint64_t>(r[k]) < rows &&
                                        static_cast<std::uint64_t>(c[k]) < cols) {
                                        continue;
                                    }
                                    return fail(ErrorKind::Index,
                                                "from_indices : la paire numero {} ({}, {}) est hors limites pour une "
                                                "matrice {}x{}",
                                                first + k, stored_value(row_index, first + k),
                                                stored_value(col_index, first + k), rows, cols);
                                }
                                return {};
                            }));
    TRY(BitMatrix m, BitMatrix::zeros(rows, cols));
    const std::uint64_t stride = m.stride();
    Word* words = m.words_mut().data();
    // Every pair is in range now: only `stop` can end this pass early.
    TRY_VOID(for_each_block(row_index, col_index, stop,
                            [&](std::uint64_t, std::uint64_t n, const std::int64_t* r, const std::int64_t* c) -> Status {
                                for (std::uint64_t k = 0; k < n; ++k) {
                                    const auto j = static_cast<std::uint64_t>(c[k]);
                                    words[static_cast<std::uint64_t>(r[k]) * stride + j / kWordBits] |=
                                        Word{1} << (j % kWordBits);
                                }
                                return {};
                            }));
    return m;
}

Status bitmatrix_nonzero(const BitMatrix& m, std::int64_t* rows_out, std::int64_t* cols_out, const Interrupt& stop) {
    std::uint64_t at = 0;
    for (std::uint64_t i = 0; i < m.rows(); ++i) {
        TRY_VOID(stop.check(m.stride()));
        const Word* row = m.row_ptr(i);
        for (std::uint64_t w = 0; w < m.stride(); ++w) {
            for (Word bits = row[w]; bits != 0; bits &= bits - 1) {
                rows_out[at] = static_cast<std::int64_t>(i);
                cols_out[at] = static_cast<std::int64_t>(w * kWordBits + static_cast<unsigned>(std::countr_zero(bits)));
                ++at;
            }
        }
    }
    return {};
}

}  // namespace boolmat
