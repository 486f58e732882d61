#include <algorithm>
#include <bit>

#include "boolmat/popcount.hpp"

namespace boolmat {

std::uint64_t popcount_words_scalar(std::span<const Word> a) noexcept {
    std::uint64_t n = 0;
    for (Word w : a) n += static_cast<std::uint64_t>(std::popcount(w));
    return n;
}

std::uint64_t popcount_xor_scalar(std::span<const Word> a, std::span<const Word> b) noexcept {
    const std::size_t len = std::min(a.size(), b.size());
    std::uint64_t n = 0;
    for (std::size_t k = 0; k < len; ++k) n += static_cast<std::uint64_t>(std::popcount(a[k] ^ b[k]));
    return n;
}

std::uint64_t popcount_andnot_scalar(std::span<const Word> a, std::span<const Word> b) noexcept {
    const std::size_t len = std::min(a.size(), b.size());
    std::uint64_t n = 0;
    for (std::size_t k = 0; k < len; ++k) n += static_cast<std::uint64_t>(std::popcount(a[k] & ~b[k]));
    return n;
}

}  // namespace boolmat
