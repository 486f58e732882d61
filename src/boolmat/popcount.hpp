// Population counts over word arrays, one set per namespace (kernels.hpp
// picks one); the *_scalar twins are the references the tests compare every
// set with.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/kernels.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

// popcount_xor: popcount(a[k] ^ b[k]) summed over the shorter length;
// popcount_andnot: popcount(a[k] & ~b[k]) likewise.
#define VALDRIX_POPCOUNT_KERNELS                                                              \
    std::uint64_t popcount_words(std::span<const Word> a) noexcept;                           \
    std::uint64_t popcount_xor(std::span<const Word> a, std::span<const Word> b) noexcept;    \
    std::uint64_t popcount_andnot(std::span<const Word> a, std::span<const Word> b) noexcept;

namespace generic {
VALDRIX_POPCOUNT_KERNELS
}
namespace avx2 {
VALDRIX_POPCOUNT_KERNELS
}
namespace avx512 {
VALDRIX_POPCOUNT_KERNELS
}
#undef VALDRIX_POPCOUNT_KERNELS

std::uint64_t popcount_words_scalar(std::span<const Word> a) noexcept;
std::uint64_t popcount_xor_scalar(std::span<const Word> a, std::span<const Word> b) noexcept;
std::uint64_t popcount_andnot_scalar(std::span<const Word> a, std::span<const Word> b) noexcept;

// The active set's.
inline std::uint64_t popcount_words(std::span<const Word> a) noexcept { return kernels().popcount_words(a); }
inline std::uint64_t popcount_xor(std::span<const Word> a, std::span<const Word> b) noexcept {
    return kernels().popcount_xor(a, b);
}
inline std::uint64_t popcount_andnot(std::span<const Word> a, std::span<const Word> b) noexcept {
    return kernels().popcount_andnot(a, b);
}

}  // namespace boolmat
