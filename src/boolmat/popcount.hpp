// Population counts over word arrays. The default entry points use the AVX2
// kernels; the *_scalar twins are the plain references the tests compare with.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/words.hpp"

namespace boolmat {

std::uint64_t popcount_words(std::span<const Word> a) noexcept;
// popcount(a[k] ^ b[k]) summed over the shorter length.
std::uint64_t popcount_xor(std::span<const Word> a, std::span<const Word> b) noexcept;
// popcount(a[k] & ~b[k]) summed over the shorter length.
std::uint64_t popcount_andnot(std::span<const Word> a, std::span<const Word> b) noexcept;

std::uint64_t popcount_words_scalar(std::span<const Word> a) noexcept;
std::uint64_t popcount_xor_scalar(std::span<const Word> a, std::span<const Word> b) noexcept;
std::uint64_t popcount_andnot_scalar(std::span<const Word> a, std::span<const Word> b) noexcept;

}  // namespace boolmat
