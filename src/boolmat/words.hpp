// Word-level facts shared by every packed container: 64 bits per word,
// least significant bit first.
#pragma once

#include <cstdint>

namespace boolmat {

using Word = std::uint64_t;
inline constexpr unsigned kWordBits = 64;

// Valid bits of a row's last word.
constexpr Word tail_mask(std::uint64_t cols) noexcept {
    if (cols == 0) return 0;
    const unsigned rem = static_cast<unsigned>(cols % kWordBits);
    return rem == 0 ? ~Word{0} : (Word{1} << rem) - 1;
}

// The bits of word k of a row of `cols` bits (`stride` words) that hold cells.
constexpr Word valid_bits(std::uint64_t cols, std::uint64_t k, std::uint64_t stride) noexcept {
    return k + 1 == stride ? tail_mask(cols) : ~Word{0};
}

// Fresh results of at least this many words (2 MiB) are written past the
// cache with streaming stores: they would not stay there, and reading
// their lines in before overwriting them costs a pass of its own.
inline constexpr std::uint64_t kStreamWords = std::uint64_t{1} << 18;

// Words needed for n bits.
constexpr std::uint64_t words_for(std::uint64_t n) noexcept {
    return n / kWordBits + (n % kWordBits != 0 ? 1 : 0);
}

}  // namespace boolmat
