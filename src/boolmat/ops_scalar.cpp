#include "boolmat/ops_kernels.hpp"

namespace boolmat {

void combine_words_scalar(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        switch (op) {
            case WordOp::And: dst[k] = a[k] & b[k]; break;
            case WordOp::Or: dst[k] = a[k] | b[k]; break;
            case WordOp::Xor: dst[k] = a[k] ^ b[k]; break;
            case WordOp::AndNot: dst[k] = a[k] & ~b[k]; break;
        }
    }
}

void complement_words_scalar(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride,
                             Word tail) noexcept {
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t k = 0; k < stride; ++k) dst[i * stride + k] = ~src[i * stride + k];
        dst[i * stride + stride - 1] &= tail;
    }
}

bool words_equal_scalar(const Word* a, const Word* b, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

}  // namespace boolmat
