// The GFNI transpose against the masked-swap reference: single 64 x 64 blocks
// read and written through strides, and whole matrices of any shape, whose
// edge blocks take the padded path.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"
#include "fuzz_input.hpp"

using boolmat::Word;

namespace {

void block(fuzz::Input& in) {
    const std::size_t ss = in.in_range(1, 5), ds = in.in_range(1, 5);
    const std::uint8_t density = in.byte();
    std::vector<Word> src(64 * ss);
    for (Word& w : src) w = in.shaped_word(density);
    std::vector<Word> dst(64 * ds, 0x5A5A5A5A5A5A5A5Aull);
    boolmat::avx2::transpose_block(src.data(), ss, dst.data(), ds);

    Word want[64];
    for (std::size_t k = 0; k < 64; ++k) want[k] = src[k * ss];
    boolmat::transpose_block_scalar(want);
    for (std::size_t k = 0; k < 64 * ds; ++k) {
        FUZZ_CHECK(dst[k] == (k % ds == 0 ? want[k / ds] : 0x5A5A5A5A5A5A5A5Aull));
    }
    // The reference is an involution, and bit (i, j) moves to (j, i).
    Word back[64];
    std::memcpy(back, want, sizeof back);
    boolmat::transpose_block_scalar(back);
    for (std::size_t k = 0; k < 64; ++k) FUZZ_CHECK(back[k] == src[k * ss]);
    const unsigned i = in.byte() & 63, j = in.byte() & 63;
    FUZZ_CHECK(((src[i * ss] >> j) & 1) == ((want[j] >> i) & 1));
}

void matrix(fuzz::Input& in) {
    const std::uint64_t rows = in.in_range(1, 600);
    const std::uint64_t cols = in.in_range(1, 600);
    const fuzz::BitMatrix a = in.matrix(rows, cols);
    const fuzz::BitMatrix t = fuzz::must(boolmat::transpose(a));
    const fuzz::BitMatrix want = fuzz::must(boolmat::transpose_scalar(a));
    FUZZ_CHECK(t.rows() == cols && t.cols() == rows);
    FUZZ_CHECK(fuzz::same_matrix(t, want));
    FUZZ_CHECK(fuzz::tails_clear(t));
    for (int k = 0; k < 16; ++k) {
        const std::uint64_t i = in.in_range(0, rows - 1), j = in.in_range(0, cols - 1);
        FUZZ_CHECK(a.get_unchecked(i, j) == t.get_unchecked(j, i));
    }
    FUZZ_CHECK(fuzz::same_matrix(fuzz::must(boolmat::transpose(t)), a));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.flag()) {
        block(in);
    } else {
        matrix(in);
    }
    return 0;
}
