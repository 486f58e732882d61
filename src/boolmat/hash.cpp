// SipHash-1-3: one SipRound per 8-byte block, three at finalisation. The
// matrix hash input is made of whole 8-byte integers, so the streamed form
// compresses the words in place and its final block carries only the length
// byte.
#include "boolmat/hash.hpp"

#include <bit>
#include <cstring>

namespace boolmat {
namespace {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    SipState(std::uint64_t k0, std::uint64_t k1) noexcept
        : v0(k0 ^ 0x736F6D6570736575ull),
          v1(k1 ^ 0x646F72616E646F6Dull),
          v2(k0 ^ 0x6C7967656E657261ull),
          v3(k1 ^ 0x7465646279746573ull) {}

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void block(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }

    std::uint64_t finish(std::uint64_t last) noexcept {
        block(last);
        v2 ^= 0xFF;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

inline std::uint64_t load_le(const std::uint8_t* p) noexcept {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    if constexpr (std::endian::native == std::endian::big) m = std::byteswap(m);
    return m;
}

}  // namespace

std::uint64_t siphash13(std::span<const std::uint8_t> bytes, std::uint64_t k0, std::uint64_t k1) noexcept {
    SipState s(k0, k1);
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) s.block(load_le(bytes.data() + i));
    std::uint64_t last = static_cast<std::uint64_t>(n & 0xFF) << 56;
    for (std::size_t j = 0; i + j < n; ++j) last |= static_cast<std::uint64_t>(bytes[i + j]) << (8 * j);
    return s.finish(last);
}

Result<Buffer<std::uint8_t>> hash_input(const BitMatrix& a) {
    const std::span<const Word> words = a.words();
    const std::size_t n = 8 * (words.size() + 4);
    TRY(Buffer<std::uint8_t> out, Buffer<std::uint8_t>::uninit(n));
    std::uint8_t* p = out.data();
    const auto put = [&p](std::uint64_t v) {
        for (int b = 0; b < 8; ++b) *p++ = static_cast<std::uint8_t>(v >> (8 * b));
    };
    put(words.size());
    for (Word w : words) put(w);
    put(a.rows());
    put(a.cols());
    put(a.stride());
    return out;
}

std::uint64_t hash_matrix(const BitMatrix& a) noexcept {
    const std::span<const Word> words = a.words();
    SipState s(0, 0);
    s.block(words.size());
    for (Word w : words) s.block(w);
    s.block(a.rows());
    s.block(a.cols());
    s.block(a.stride());
    // 8 * (count + 4) bytes: no partial block, only the length byte.
    const std::uint64_t total = 8 * (static_cast<std::uint64_t>(words.size()) + 4);
    return s.finish((total & 0xFF) << 56);
}

}  // namespace boolmat
