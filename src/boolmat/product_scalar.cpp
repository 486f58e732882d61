#include "boolmat/product.hpp"

namespace boolmat {

void or_rows_kernel_scalar(const BitMatrix& a, const BitMatrix& b, std::span<Word> out) noexcept {
    const std::uint64_t as = a.stride(), bs = b.stride();
    for (std::uint64_t i = 0; i < a.rows(); ++i) {
        Word* orow = out.data() + i * bs;
        const Word* arow = a.row_ptr(i);
        for (std::uint64_t k = 0; k < as; ++k) {
            Word w = arow[k];
            while (w != 0) {
                const std::uint64_t j = 64 * k + static_cast<std::uint64_t>(__builtin_ctzll(w));
                const Word* brow = b.row_ptr(j);
                for (std::uint64_t l = 0; l < bs; ++l) orow[l] |= brow[l];
                w &= w - 1;
            }
        }
    }
}

}  // namespace boolmat
