#include "boolmat/pack_bytes.hpp"

namespace boolmat {

void pack_bytes_scalar(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept {
    for (std::uint64_t k = 0; k < words_for(n); ++k) dst[k] = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (src[k] != 0) dst[k / kWordBits] |= Word{1} << (k % kWordBits);
    }
}

void unpack_bits_scalar(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept {
    for (std::uint64_t k = 0; k < n; ++k) dst[k] = static_cast<std::uint8_t>((src[k / kWordBits] >> (k % kWordBits)) & 1);
}

Result<BitMatrix> bitmatrix_from_bytes_scalar(const ByteGrid& g) {
    TRY(BitMatrix m, BitMatrix::zeros(g.rows, g.cols));
    for (std::uint64_t i = 0; i < g.rows; ++i) {
        for (std::uint64_t j = 0; j < g.cols; ++j) {
            const std::uint8_t* p =
                g.origin + static_cast<std::int64_t>(i) * g.row_stride + static_cast<std::int64_t>(j) * g.col_stride;
            if (*p != 0) m.set_unchecked(i, j, true);
        }
    }
    return m;
}

}  // namespace boolmat
