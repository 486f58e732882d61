// The generic set's byte kernels. Packing compares a block of 64 bytes with
// zero in a loop the compiler vectorises, each non-zero byte becoming 0x80,
// and a multiply gathers the top bits of every 8 bytes into one byte: faster
// than a test, add and mask per 8 bytes. Unpacking looks each byte of bits
// up in a table of its 8 output bytes: faster than spreading each byte by a
// multiply (bench/notes/word_kernels.md).
#include <array>
#include <bit>
#include <cstring>

#include "boolmat/pack_bytes.hpp"

namespace boolmat::generic {
namespace {

static_assert(std::endian::native == std::endian::little, "byte k of a word is element k");

// Bit i of the result is the top bit of byte i of v (the others are 0).
inline Word gather_tops(Word v) noexcept { return (v * 0x0002040810204081ull) >> 56; }

// The 64 bytes byte(0) .. byte(63) to one word.
template <class Byte>
inline Word pack64(Byte byte) noexcept {
    std::uint8_t tops[64];
    for (unsigned j = 0; j < 64; ++j) tops[j] = byte(j) != 0 ? 0x80 : 0;
    Word w = 0;
    for (unsigned j = 0; j < 8; ++j) {
        Word v;
        std::memcpy(&v, tops + 8 * j, 8);
        w |= gather_tops(v) << (8 * j);
    }
    return w;
}

// Entry b: byte i is bit i of b.
constexpr std::array<Word, 256> kSpread = [] {
    std::array<Word, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned i = 0; i < 8; ++i) t[b] |= Word{(b >> i) & 1} << (8 * i);
    }
    return t;
}();

}  // namespace

void pack_bytes(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept {
    const std::uint64_t full = n / kWordBits;
    for (std::uint64_t k = 0; k < full; ++k) {
        const std::uint8_t* p = src + k * kWordBits;
        dst[k] = pack64([p](unsigned j) { return p[j]; });
    }
    if (const std::uint64_t rem = n % kWordBits; rem != 0) {
        std::uint8_t tail[64] = {};
        std::memcpy(tail, src + full * kWordBits, rem);
        dst[full] = pack64([&tail](unsigned j) { return tail[j]; });
    }
}

void pack_bytes_reversed(const std::uint8_t* first, std::uint64_t n, Word* dst) noexcept {
    const std::uint64_t full = n / kWordBits;
    for (std::uint64_t k = 0; k < full; ++k) {
        const std::uint8_t* p = first - k * kWordBits;
        dst[k] = pack64([p](unsigned j) { return *(p - j); });
    }
    if (const std::uint64_t rem = n % kWordBits; rem != 0) {
        std::uint8_t tail[64] = {};
        const std::uint8_t* p = first - full * kWordBits;
        for (std::uint64_t t = 0; t < rem; ++t) tail[t] = *(p - t);
        dst[full] = pack64([&tail](unsigned j) { return tail[j]; });
    }
}

void unpack_bits(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept {
    const std::uint64_t full = n / 8;
    for (std::uint64_t k = 0; k < full; ++k) {
        std::memcpy(dst + 8 * k, &kSpread[(src[k / 8] >> (8 * (k % 8))) & 0xFF], 8);
    }
    for (std::uint64_t k = 8 * full; k < n; ++k) dst[k] = static_cast<std::uint8_t>((src[k / 64] >> (k % 64)) & 1);
}

}  // namespace boolmat::generic
