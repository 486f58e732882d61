// The transpose of every kernel set this processor runs against the
// masked-swap reference: the x86-64 block kernels (single 64 x 64 blocks,
// superblocks of 4 x 4 blocks and pairs of them, read and written through
// strides), and whole matrices of any shape, whose edge blocks take the
// padded paths.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "boolmat/kernels.hpp"
#include "boolmat/target.hpp"
#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"
#include "fuzz_input.hpp"

using boolmat::Word;

namespace {

constexpr Word kGuard = 0x5A5A5A5A5A5A5A5Aull;

const std::vector<const boolmat::Kernels*> kSets = boolmat::runnable_kernel_sets();

#if VALDRIX_X86
// The block kernels of each set this processor runs that has them.
std::vector<const boolmat::TransposeBlocks*> block_sets() {
    std::vector<const boolmat::TransposeBlocks*> sets;
    for (const boolmat::Kernels* k : kSets) {
        if (const boolmat::TransposeBlocks* blocks = boolmat::transpose_blocks(k->isa)) sets.push_back(blocks);
    }
    return sets;
}
const std::vector<const boolmat::TransposeBlocks*> kBlockSets = block_sets();

void block(fuzz::Input& in) {
    const std::size_t ss = in.in_range(1, 5), ds = in.in_range(1, 5);
    const std::uint8_t density = in.byte();
    std::vector<Word> src(64 * ss);
    for (Word& w : src) w = in.shaped_word(density);
    Word want[64];
    for (std::size_t k = 0; k < 64; ++k) want[k] = src[k * ss];
    boolmat::transpose_block_scalar(want);
    for (const boolmat::TransposeBlocks* k : kBlockSets) {
        std::vector<Word> dst(64 * ds, kGuard);
        k->block(src.data(), ss, dst.data(), ds);
        for (std::size_t j = 0; j < 64 * ds; ++j) FUZZ_CHECK(dst[j] == (j % ds == 0 ? want[j / ds] : kGuard));
    }
    // The reference is an involution, and bit (i, j) moves to (j, i).
    Word back[64];
    std::memcpy(back, want, sizeof back);
    boolmat::transpose_block_scalar(back);
    for (std::size_t k = 0; k < 64; ++k) FUZZ_CHECK(back[k] == src[k * ss]);
    const unsigned i = in.byte() & 63, j = in.byte() & 63;
    FUZZ_CHECK(((src[i * ss] >> j) & 1) == ((want[j] >> i) & 1));
}

// A superblock pair at an odd word offset (no alignment), strides past the
// 8 words read and the 4 words written: each half against 16 reference
// blocks, the lone superblock kernel against the first half.
void superblocks(fuzz::Input& in) {
    const std::size_t ss = in.in_range(8, 10), ds = in.in_range(4, 6), off = in.byte() & 3;
    const std::uint8_t density = in.byte();
    std::vector<Word> src(off + 256 * ss);
    for (Word& w : src) w = in.shaped_word(density);
    const Word* s = src.data() + off;
    std::vector<Word> want0(256 * ds, kGuard), want1(256 * ds, kGuard);
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 8; ++c) {
            Word b[64];
            for (std::size_t k = 0; k < 64; ++k) b[k] = s[(64 * r + k) * ss + c];
            boolmat::transpose_block_scalar(b);
            std::vector<Word>& want = c < 4 ? want0 : want1;
            for (std::size_t k = 0; k < 64; ++k) want[(64 * (c % 4) + k) * ds + r] = b[k];
        }
    }
    for (const boolmat::TransposeBlocks* k : kBlockSets) {
        std::vector<Word> got0(off + 256 * ds, kGuard), got1(off + 256 * ds, kGuard), one(off + 256 * ds, kGuard);
        k->pair(s, ss, got0.data() + off, got1.data() + off, ds);
        k->superblock(s, ss, one.data() + off, ds);
        FUZZ_CHECK(std::memcmp(got0.data() + off, want0.data(), want0.size() * sizeof(Word)) == 0);
        FUZZ_CHECK(std::memcmp(got1.data() + off, want1.data(), want1.size() * sizeof(Word)) == 0);
        FUZZ_CHECK(std::memcmp(one.data() + off, want0.data(), want0.size() * sizeof(Word)) == 0);
    }
}
#endif

void matrix(fuzz::Input& in) {
    const std::uint64_t rows = in.in_range(1, 600);
    const std::uint64_t cols = in.in_range(1, 600);
    const fuzz::BitMatrix a = in.matrix(rows, cols);
    const fuzz::BitMatrix want = fuzz::must(boolmat::transpose_scalar(a));
    FUZZ_CHECK(want.rows() == cols && want.cols() == rows);
    FUZZ_CHECK(fuzz::tails_clear(want));
    for (int k = 0; k < 16; ++k) {
        const std::uint64_t i = in.in_range(0, rows - 1), j = in.in_range(0, cols - 1);
        FUZZ_CHECK(a.get_unchecked(i, j) == want.get_unchecked(j, i));
    }
    for (const boolmat::Kernels* k : kSets) {
        const fuzz::BitMatrix t = fuzz::must(k->transpose(a, {}));
        FUZZ_CHECK(fuzz::same_matrix(t, want));
        FUZZ_CHECK(fuzz::same_matrix(fuzz::must(k->transpose(t, {})), a));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const bool kernels = in.flag();
#if VALDRIX_X86
    if (kernels) {
        if (in.flag()) {
            superblocks(in);
        } else {
            block(in);
        }
        return 0;
    }
#endif
    (void)kernels;  // whole matrices only where there are no block kernels
    matrix(in);
    return 0;
}
