// Portable population counts: the bit-slicing count (pairs, nibbles, bytes)
// on every word, summed per byte over blocks of words before the bytes are
// added up, so the loop has no popcount instruction to depend on (x86-64's
// baseline has none) and vectorises on any target.
#include <algorithm>

#include "boolmat/popcount.hpp"

namespace boolmat::generic {
namespace {

constexpr Word k55 = 0x5555555555555555ull, k33 = 0x3333333333333333ull, k0F = 0x0F0F0F0F0F0F0F0Full;

// Byte-wise counts of w: each byte holds the count of its bits (0..8).
inline Word byte_counts(Word w) noexcept {
    w -= (w >> 1) & k55;
    w = (w & k33) + ((w >> 2) & k33);
    return (w + (w >> 4)) & k0F;
}

// The sum of the bytes of w.
inline std::uint64_t sum_bytes(Word w) noexcept {
    w = (w & 0x00FF00FF00FF00FFull) + ((w >> 8) & 0x00FF00FF00FF00FFull);
    w = (w & 0x0000FFFF0000FFFFull) + ((w >> 16) & 0x0000FFFF0000FFFFull);
    return (w & 0xFFFFFFFFull) + (w >> 32);
}

// Counts the 1s of f(k) for k < n. Byte counts of up to 31 words fit a byte
// (31 * 8 = 248), so they are added as words for 31 words at a time.
template <class F>
std::uint64_t count(std::size_t n, F f) noexcept {
    constexpr std::size_t kRun = 31;
    std::uint64_t total = 0;
    for (std::size_t k0 = 0; k0 < n; k0 += kRun) {
        const std::size_t end = std::min(n, k0 + kRun);
        Word acc = 0;
        for (std::size_t k = k0; k < end; ++k) acc += byte_counts(f(k));
        total += sum_bytes(acc);
    }
    return total;
}

}  // namespace

std::uint64_t popcount_words(std::span<const Word> a) noexcept {
    const Word* p = a.data();
    return count(a.size(), [p](std::size_t k) { return p[k]; });
}

std::uint64_t popcount_xor(std::span<const Word> a, std::span<const Word> b) noexcept {
    const Word *p = a.data(), *q = b.data();
    return count(std::min(a.size(), b.size()), [p, q](std::size_t k) { return p[k] ^ q[k]; });
}

std::uint64_t popcount_andnot(std::span<const Word> a, std::span<const Word> b) noexcept {
    const Word *p = a.data(), *q = b.data();
    return count(std::min(a.size(), b.size()), [p, q](std::size_t k) { return p[k] & ~q[k]; });
}

}  // namespace boolmat::generic
