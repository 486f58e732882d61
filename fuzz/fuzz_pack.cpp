// Bytes to packed words and back: the pack and unpack kernels of every set
// this processor runs against their scalar twins on any byte values,
// lengths and alignments, and the strided grid reader under every set
// against the element-at-a-time reference for any strides, negative and
// zero ones included.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "boolmat/kernels.hpp"
#include "boolmat/pack_bytes.hpp"
#include "fuzz_input.hpp"

using boolmat::Word;

namespace {

const std::vector<const boolmat::Kernels*> kSets = boolmat::runnable_kernel_sets();

// Byte values are mostly 0 and 1, with other non-zero values mixed in: NumPy
// shows any non-zero byte of a bool array as True.
std::uint8_t element(fuzz::Input& in, std::uint8_t density) {
    const std::uint8_t b = in.byte();
    switch (density & 3) {
        case 0: return (b & 7) == 0;
        case 1: return b & 1;
        case 2: return b;
        default: return (b & 7) != 0 ? 1 : 0;
    }
}

void runs(fuzz::Input& in) {
    const std::uint64_t n = in.in_range(0, 700);
    const std::size_t off = in.byte() & 31;
    const std::uint8_t density = in.byte();
    std::vector<std::uint8_t> bytes(n + off);
    for (std::uint64_t k = 0; k < n; ++k) bytes[off + k] = element(in, density);
    const std::uint64_t nw = boolmat::words_for(n);

    // One guard word past the end: the kernels write exactly words_for(n).
    std::vector<Word> want(nw + 1, 0x3C3C3C3C3C3C3C3Cull);
    boolmat::pack_bytes_scalar(bytes.data() + off, n, want.data());
    if (nw != 0) FUZZ_CHECK((want[nw - 1] & ~boolmat::tail_mask(n)) == 0);
    std::vector<std::uint8_t> out_ref(n + off + 1, 0xEE);
    boolmat::unpack_bits_scalar(want.data(), n, out_ref.data() + off);
    for (std::uint64_t k = 0; k < n; ++k) FUZZ_CHECK(out_ref[off + k] == (bytes[off + k] != 0 ? 1 : 0));
    // The same bytes backwards, for the reversed reader.
    const std::vector<std::uint8_t> mirrored(bytes.rbegin(), bytes.rend() - static_cast<std::ptrdiff_t>(off));
    std::vector<Word> want_reversed(nw + 1, 0x3C3C3C3C3C3C3C3Cull);
    boolmat::pack_bytes_scalar(mirrored.data(), n, want_reversed.data());

    for (const boolmat::Kernels* k : kSets) {
        std::vector<Word> got(nw + 1, 0x3C3C3C3C3C3C3C3Cull);
        k->pack_bytes(bytes.data() + off, n, got.data());
        FUZZ_CHECK(got == want);
        if (n != 0) {
            std::vector<Word> reversed(nw + 1, 0x3C3C3C3C3C3C3C3Cull);
            k->pack_bytes_reversed(bytes.data() + off + n - 1, n, reversed.data());
            FUZZ_CHECK(reversed == want_reversed);
        }
        std::vector<std::uint8_t> out(n + off + 1, 0xEE);
        k->unpack_bits(want.data(), n, out.data() + off);
        FUZZ_CHECK(out == out_ref);
    }
}

void grid(fuzz::Input& in) {
    const std::uint64_t rows = in.in_range(1, 200);
    const std::uint64_t cols = in.in_range(1, 200);
    // Strides in elements of a base layout, then scaled: contiguous rows,
    // transposed, reversed in either axis, stepped, and broadcast (stride 0).
    const std::uint8_t layout = in.byte();
    const std::int64_t step = 1 + static_cast<std::int64_t>(in.byte() % 3);
    const std::int64_t pad = static_cast<std::int64_t>(in.byte() % 5);
    std::int64_t rs = static_cast<std::int64_t>(cols) * step + pad, cs = step;
    if (layout & 1) {  // column-major, as a transposed array
        cs = static_cast<std::int64_t>(rows) * step + pad;
        rs = step;
    }
    if (layout & 2) cs = -cs;
    if (layout & 4) rs = -rs;
    if ((layout & 24) == 8) rs = 0;
    if ((layout & 24) == 16) cs = 0;

    // The span the grid touches, and an origin that keeps it in the buffer.
    const std::int64_t row_span = (static_cast<std::int64_t>(rows) - 1) * rs;
    const std::int64_t col_span = (static_cast<std::int64_t>(cols) - 1) * cs;
    const std::int64_t lo = std::min<std::int64_t>(0, row_span) + std::min<std::int64_t>(0, col_span);
    const std::int64_t hi = std::max<std::int64_t>(0, row_span) + std::max<std::int64_t>(0, col_span);
    const std::uint8_t density = in.byte();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(hi - lo + 1));
    for (std::uint8_t& b : buf) b = element(in, density);

    const boolmat::ByteGrid g{buf.data() - lo, rows, cols, rs, cs};
    const fuzz::BitMatrix want = fuzz::must(boolmat::bitmatrix_from_bytes_scalar(g));
    const boolmat::Isa before = boolmat::active_isa();
    for (const boolmat::Kernels* set : kSets) {
        boolmat::use_kernels(set->isa);
        const fuzz::BitMatrix got = fuzz::must(boolmat::bitmatrix_from_bytes(g));
        FUZZ_CHECK(fuzz::same_matrix(got, want));
        FUZZ_CHECK(fuzz::tails_clear(got));

        // And back to row-major bytes.
        std::vector<std::uint8_t> back(rows * cols + 1, 0x77);
        (void)boolmat::bitmatrix_to_bytes(got, back.data());
        FUZZ_CHECK(back[rows * cols] == 0x77);
        for (std::uint64_t i = 0; i < rows; ++i) {
            for (std::uint64_t j = 0; j < cols; ++j) {
                const std::uint8_t src =
                    g.origin[static_cast<std::int64_t>(i) * rs + static_cast<std::int64_t>(j) * cs];
                FUZZ_CHECK(back[i * cols + j] == (src != 0 ? 1 : 0));
            }
        }
    }
    boolmat::use_kernels(before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.flag()) {
        runs(in);
    } else {
        grid(in);
    }
    return 0;
}
