// Portable byte kernels, eight bytes per 64-bit step: a byte's "non-zero"
// becomes its top bit by one add, and a multiply gathers the eight top bits
// into one byte (or spreads one byte back over eight).
#include <bit>
#include <cstring>

#include "boolmat/pack_bytes.hpp"

namespace boolmat::generic {
namespace {

static_assert(std::endian::native == std::endian::little, "byte k of a word is element k");

constexpr Word kLow7 = 0x7F7F7F7F7F7F7F7Full, kTop = 0x8080808080808080ull, kOne = 0x0101010101010101ull;

inline Word load8(const std::uint8_t* p) noexcept {
    Word v;
    std::memcpy(&v, p, 8);
    return v;
}

// Bit k of the result is set when byte k of v is not zero.
inline Word gather8(Word v) noexcept {
    const Word top = (((v & kLow7) + kLow7) | v) & kTop;
    return ((top >> 7) * 0x0102040810204080ull) >> 56;
}

// Byte k of the result is bit k of b, as 0 or 1.
inline Word spread8(Word b) noexcept {
    const Word x = (b * kOne) & 0x8040201008040201ull;
    return ((x + kLow7) >> 7) & kOne;
}

inline Word pack64(const std::uint8_t* p) noexcept {
    Word w = 0;
    for (unsigned j = 0; j < 8; ++j) w |= gather8(load8(p + 8 * j)) << (8 * j);
    return w;
}

// 64 bytes at p read from the highest address down: byte 63 is bit 0.
inline Word pack64_reversed(const std::uint8_t* p) noexcept {
    Word w = 0;
    for (unsigned j = 0; j < 8; ++j) w |= gather8(__builtin_bswap64(load8(p + 56 - 8 * j))) << (8 * j);
    return w;
}

}  // namespace

void pack_bytes(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept {
    const std::uint64_t full = n / kWordBits;
    for (std::uint64_t k = 0; k < full; ++k) dst[k] = pack64(src + k * kWordBits);
    if (const std::uint64_t rem = n % kWordBits; rem != 0) {
        std::uint8_t tail[64] = {};
        std::memcpy(tail, src + full * kWordBits, rem);
        dst[full] = pack64(tail);
    }
}

void pack_bytes_reversed(const std::uint8_t* first, std::uint64_t n, Word* dst) noexcept {
    const std::uint64_t full = n / kWordBits;
    for (std::uint64_t k = 0; k < full; ++k) dst[k] = pack64_reversed(first - (k * kWordBits + kWordBits - 1));
    if (const std::uint64_t rem = n % kWordBits; rem != 0) {
        std::uint8_t tail[64] = {};
        const std::uint8_t* p = first - full * kWordBits;
        for (std::uint64_t t = 0; t < rem; ++t) tail[t] = *(p - t);
        dst[full] = pack64(tail);
    }
}

void unpack_bits(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept {
    const std::uint64_t full = n / 8;
    for (std::uint64_t k = 0; k < full; ++k) {
        const Word bytes = spread8((src[k / 8] >> (8 * (k % 8))) & 0xFF);
        std::memcpy(dst + 8 * k, &bytes, 8);
    }
    for (std::uint64_t k = 8 * full; k < n; ++k) dst[k] = static_cast<std::uint8_t>((src[k / 64] >> (k % 64)) & 1);
}

}  // namespace boolmat::generic
