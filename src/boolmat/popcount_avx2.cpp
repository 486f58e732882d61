// Placeholder dispatch to the scalar twins until the AVX2 kernels land.
#include "boolmat/popcount.hpp"

namespace boolmat {

std::uint64_t popcount_words(std::span<const Word> a) noexcept { return popcount_words_scalar(a); }
std::uint64_t popcount_xor(std::span<const Word> a, std::span<const Word> b) noexcept {
    return popcount_xor_scalar(a, b);
}
std::uint64_t popcount_andnot(std::span<const Word> a, std::span<const Word> b) noexcept {
    return popcount_andnot_scalar(a, b);
}

}  // namespace boolmat
