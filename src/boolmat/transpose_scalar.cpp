#include <cstring>

#include "boolmat/transpose.hpp"

namespace boolmat {

void transpose_block_scalar(Word b[64]) noexcept {
    static constexpr Word kMasks[6] = {0x00000000FFFFFFFFull, 0x0000FFFF0000FFFFull, 0x00FF00FF00FF00FFull,
                                       0x0F0F0F0F0F0F0F0Full, 0x3333333333333333ull, 0x5555555555555555ull};
    unsigned j = 32;
    for (Word m : kMasks) {
        for (unsigned k = 0; k < 64; ++k) {
            if ((k & j) != 0) continue;
            const Word x = ((b[k] >> j) ^ b[k + j]) & m;
            b[k] ^= x << j;
            b[k + j] ^= x;
        }
        j >>= 1;
    }
}

Result<BitMatrix> transpose_scalar(const BitMatrix& a) {
    TRY(BitMatrix t, BitMatrix::zeros(a.cols(), a.rows()));
    const std::uint64_t as = a.stride(), ts = t.stride();
    const Word* src = a.words().data();
    Word* dst = t.words_mut().data();
    Word block[64];
    for (std::uint64_t r0 = 0; r0 < a.rows(); r0 += 64) {
        const std::uint64_t h = std::min<std::uint64_t>(64, a.rows() - r0);
        for (std::uint64_t c0 = 0; c0 < a.cols(); c0 += 64) {
            const std::uint64_t w = std::min<std::uint64_t>(64, a.cols() - c0);
            std::memset(block, 0, sizeof block);
            for (std::uint64_t k = 0; k < h; ++k) block[k] = src[(r0 + k) * as + c0 / 64];
            transpose_block_scalar(block);
            for (std::uint64_t k = 0; k < w; ++k) dst[(c0 + k) * ts + r0 / 64] = block[k];
        }
    }
    return t;
}

}  // namespace boolmat
