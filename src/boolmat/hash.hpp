// The hash of a matrix: SipHash-1-3 with a zero key over the hash input
// (word count, every word, rows, cols, stride; each 8 bytes little-endian),
// streamed from the words without copying them.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/bitmatrix.hpp"

namespace boolmat {

// SipHash-1-3 of a byte string with key (k0, k1); the reference for the
// streamed matrix hash.
std::uint64_t siphash13(std::span<const std::uint8_t> bytes, std::uint64_t k0 = 0, std::uint64_t k1 = 0) noexcept;

// The hash input of a, as bytes (for tests and the reference path).
Result<Buffer<std::uint8_t>> hash_input(const BitMatrix& a);

// SipHash-1-3, zero key, of hash_input(a), computed without building it.
std::uint64_t hash_matrix(const BitMatrix& a) noexcept;

}  // namespace boolmat
