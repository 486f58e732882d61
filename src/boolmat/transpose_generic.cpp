// The generic set's transpose: the six masked-swap stages of the reference
// on 64 x 64 blocks, arranged so that compilers vectorise them (SSE2 on any
// x86-64, NEON on aarch64) where the reference loops over single words
// testing k & j:
//   - two horizontally adjacent blocks are transposed together, word k of
//     block s at b[2k + s] (a 16-byte load per row), so that every pair
//     (k, k + j) of every stage is the same operation on two consecutive
//     words of both blocks, with a constant shift and mask (in a single
//     block, stage j = 1 pairs neighbouring words and stays word by word);
//   - blocks go in bands of 8 block columns, each band from the top of the
//     matrix down: the 8 blocks of a band share the lines of a's rows, and
//     the 512 rows of t that the band writes get their words one block row
//     after another.
// The same stages on the same bits, so the words are the reference's. Most
// of the time goes on reading and writing single words a row apart; dense
// tile buffers, as the x86-64 driver uses for its borders, do not pay here
// (bench/notes/transpose.md).
#include <algorithm>
#include <utility>

#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"

namespace boolmat::generic {
namespace {

// Pair k of stage j, for both blocks. The pairs of a stage are spelt out
// one by one from a pack of indices: loops over them, even with constant
// bounds, are left partly rolled and then not vectorised.
template <unsigned J, unsigned K>
inline void swap_pair(Word b[128], Word mask) noexcept {
    if constexpr ((K & J) == 0) {
        for (unsigned s = 0; s < 2; ++s) {
            const Word x = ((b[2 * K + s] >> J) ^ b[2 * (K + J) + s]) & mask;
            b[2 * K + s] ^= x << J;
            b[2 * (K + J) + s] ^= x;
        }
    }
}

template <unsigned J, unsigned... K>
inline void stage(Word b[128], Word mask, std::integer_sequence<unsigned, K...>) noexcept {
    (swap_pair<J, K>(b, mask), ...);
}

template <unsigned J>
inline void stage(Word b[128], Word mask) noexcept {
    stage<J>(b, mask, std::make_integer_sequence<unsigned, 64>{});
}

void transpose_two_blocks(Word b[128]) noexcept {
    stage<32>(b, 0x00000000FFFFFFFFull);
    stage<16>(b, 0x0000FFFF0000FFFFull);
    stage<8>(b, 0x00FF00FF00FF00FFull);
    stage<4>(b, 0x0F0F0F0F0F0F0F0Full);
    stage<2>(b, 0x3333333333333333ull);
    stage<1>(b, 0x5555555555555555ull);
}

constexpr std::uint64_t kBand = 8;  // block columns per band, even

}  // namespace

Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop) {
    TRY(BitMatrix t, BitMatrix::uninit(a.cols(), a.rows()));
    const std::uint64_t as = a.stride(), ts = t.stride();
    const Word* src = a.words().data();
    Word* dst = t.words_mut().data();
    // Every word of t is written: block row r fills word r of t's rows. Rows
    // of a past the last one, and the partner of a lone last block, count
    // as zeros.
    Word b[128];
    for (std::uint64_t c0 = 0; c0 < as; c0 += kBand) {
        const std::uint64_t c_end = std::min(as, c0 + kBand);
        for (std::uint64_t r = 0; r < ts; ++r) {
            if (stop.poll(128 * (c_end - c0))) return stopped();
            const std::uint64_t h = std::min<std::uint64_t>(64, a.rows() - 64 * r);
            for (std::uint64_t c = c0; c < c_end; c += 2) {
                const bool two = c + 1 < c_end;
                const Word* from = src + 64 * r * as + c;
                for (std::uint64_t k = 0; k < h; ++k) {
                    b[2 * k] = from[k * as];
                    b[2 * k + 1] = two ? from[k * as + 1] : 0;
                }
                std::fill(b + 2 * h, b + 128, Word{0});
                transpose_two_blocks(b);
                for (std::uint64_t s = 0; s < (two ? 2u : 1u); ++s) {
                    const std::uint64_t w = std::min<std::uint64_t>(64, a.cols() - 64 * (c + s));
                    Word* to = dst + 64 * (c + s) * ts + r;
                    for (std::uint64_t k = 0; k < w; ++k) to[k * ts] = b[2 * k + s];
                }
            }
        }
    }
    return t;
}

}  // namespace boolmat::generic
