// The generic set's population counts, with no popcount instruction to
// depend on (x86-64's baseline has none). Blocks of 16 words per lane go
// through a Harley-Seal carry-save adder tree, so only one word in 16 is
// counted bit by bit (pairs, nibbles, bytes), about half the time of
// counting every word that way; the compiler vectorises the lanes on any
// target.
#include <algorithm>
#include <utility>

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

// Carry-save adder: (high, low) = a + b + c bitwise.
inline void csa(Word& high, Word& low, Word a, Word b, Word c) noexcept {
    const Word u = a ^ b;
    high = (a & b) | (u & c);
    low = u ^ c;
}

// Adds the 8 words in(r0), ..., in(r0 + 7) into o, t and q (ones, twos,
// fours); returns what carries out of q.
template <class In>
inline Word add_eight(const In& in, std::size_t r0, Word& o, Word& t, Word& q) noexcept {
    Word ta, tb, qa, qb, e;
    csa(ta, o, o, in(r0), in(r0 + 1));
    csa(tb, o, o, in(r0 + 2), in(r0 + 3));
    csa(qa, t, t, ta, tb);
    csa(ta, o, o, in(r0 + 4), in(r0 + 5));
    csa(tb, o, o, in(r0 + 6), in(r0 + 7));
    csa(qb, t, t, ta, tb);
    csa(e, q, q, qa, qb);
    return e;
}

// Words per lane: a block holds 16 words of each lane, and the lanes run
// side by side through the same tree, so the compiler makes one vector of
// them. Two (one SSE2 or NEON register): four or eight spill the tree's
// levels.
constexpr std::size_t kLanes = 2;
constexpr std::size_t kBlockWords = 16 * kLanes;

// Counts the 1s of f(k) for k < n, where f reads the words of the sources.
template <class F>
std::uint64_t count(std::size_t n, F f) noexcept {
    std::uint64_t result = 0;
    std::size_t k = 0;
    Word ones[kLanes] = {}, twos[kLanes] = {}, fours[kLanes] = {}, eights[kLanes] = {};
    // Byte counts of the sixteens: at most 8 per byte per block, so the sum
    // is taken every 31 blocks.
    Word acc[kLanes] = {};
    unsigned blocks = 0;
    for (; k + kBlockWords <= n; k += kBlockWords) {
        for (std::size_t j = 0; j < kLanes; ++j) {
            const auto in = [&](std::size_t r) { return f(k + r * kLanes + j); };
            Word o = ones[j], t = twos[j], q = fours[j], e = eights[j];
            const Word ea = add_eight(in, 0, o, t, q);
            const Word eb = add_eight(in, 8, o, t, q);
            Word s;
            csa(s, e, e, ea, eb);
            ones[j] = o;
            twos[j] = t;
            fours[j] = q;
            eights[j] = e;
            acc[j] += byte_counts(s);
        }
        if (++blocks == 31) {
            for (std::size_t j = 0; j < kLanes; ++j) result += 16 * sum_bytes(std::exchange(acc[j], 0));
            blocks = 0;
        }
    }
    for (std::size_t j = 0; j < kLanes; ++j) {
        result += 16 * sum_bytes(acc[j]) + 8 * sum_bytes(byte_counts(eights[j])) +
                  4 * sum_bytes(byte_counts(fours[j])) + 2 * sum_bytes(byte_counts(twos[j])) +
                  sum_bytes(byte_counts(ones[j]));
    }
    // The last words, byte counts of up to 31 words at a time.
    while (k < n) {
        const std::size_t end = std::min(n, k + 31);
        Word bytes = 0;
        for (; k < end; ++k) bytes += byte_counts(f(k));
        result += sum_bytes(bytes);
    }
    return result;
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
