// Element-wise operations, counts, equality and the streamed hash, each
// against its scalar reference, on word runs of any length and alignment and
// on whole matrices of any shape, under every kernel set this processor
// runs.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "boolmat/hash.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/ops_kernels.hpp"
#include "boolmat/popcount.hpp"
#include "fuzz_input.hpp"

using boolmat::Word;
using boolmat::WordOp;

namespace {

constexpr WordOp kOps[] = {WordOp::And, WordOp::Or, WordOp::Xor, WordOp::AndNot};

const std::vector<const boolmat::Kernels*> kSets = boolmat::runnable_kernel_sets();

Word apply(WordOp op, Word a, Word b) {
    switch (op) {
        case WordOp::And: return a & b;
        case WordOp::Or: return a | b;
        case WordOp::Xor: return a ^ b;
        case WordOp::AndNot: return a & ~b;
    }
    return 0;
}

// Raw word runs: lengths around the vector widths and start offsets that
// break 32-byte alignment.
void word_runs(fuzz::Input& in) {
    const std::size_t n = in.in_range(0, 300);
    const std::size_t off_a = in.byte() & 3, off_b = in.byte() & 3, off_d = in.byte() & 3;
    const std::uint8_t density = in.byte();
    std::vector<Word> a(n + 4), b(n + 4);
    for (Word& w : a) w = in.shaped_word(density);
    for (Word& w : b) w = in.shaped_word(density);
    const Word* pa = a.data() + off_a;
    const Word* pb = b.data() + off_b;
    // Where the equality test flips a bit, read before any set runs.
    const std::size_t flip_word = n != 0 ? in.in_range(0, n - 1) : 0;
    const unsigned flip_bit = n != 0 ? in.byte() & 63 : 0;

    for (const boolmat::Kernels* k : kSets) {
        for (const WordOp op : kOps) {
            std::vector<Word> got(n + 4, 0xA5A5A5A5A5A5A5A5ull), want(n + 4, 0xA5A5A5A5A5A5A5A5ull);
            k->combine_words(op, got.data() + off_d, pa, pb, n);
            boolmat::combine_words_scalar(op, want.data() + off_d, pa, pb, n);
            FUZZ_CHECK(got == want);  // guard words outside the run untouched too
            std::vector<Word> streamed(n + 4, 0xA5A5A5A5A5A5A5A5ull);
            k->combine_words_streamed(op, streamed.data() + off_d, pa, pb, n);
            FUZZ_CHECK(streamed == want);
            for (std::size_t w = 0; w < n; ++w) FUZZ_CHECK(want[off_d + w] == apply(op, pa[w], pb[w]));

            // In place (dst is a), as the assigning forms call it.
            std::vector<Word> ip(a);
            k->combine_words(op, ip.data() + off_a, ip.data() + off_a, pb, n);
            for (std::size_t w = 0; w < n; ++w) FUZZ_CHECK(ip[off_a + w] == apply(op, pa[w], pb[w]));
        }

        const std::span<const Word> sa(pa, n), sb(pb, n), short_b(pb, n / 2);
        FUZZ_CHECK(k->popcount_words(sa) == boolmat::popcount_words_scalar(sa));
        FUZZ_CHECK(k->popcount_xor(sa, sb) == boolmat::popcount_xor_scalar(sa, sb));
        FUZZ_CHECK(k->popcount_andnot(sa, sb) == boolmat::popcount_andnot_scalar(sa, sb));
        FUZZ_CHECK(k->popcount_xor(sa, short_b) == boolmat::popcount_xor_scalar(sa, short_b));
        FUZZ_CHECK(k->popcount_andnot(short_b, sa) == boolmat::popcount_andnot_scalar(short_b, sa));

        FUZZ_CHECK(k->words_equal(pa, pb, n) == boolmat::words_equal_scalar(pa, pb, n));
        if (n != 0) {
            // Equal runs, then one differing bit anywhere.
            std::vector<Word> c(pa, pa + n);
            FUZZ_CHECK(k->words_equal(pa, c.data(), n));
            c[flip_word] ^= Word{1} << flip_bit;
            FUZZ_CHECK(!k->words_equal(pa, c.data(), n));
            FUZZ_CHECK(!boolmat::words_equal_scalar(pa, c.data(), n));
        }
    }
}

// Whole matrices: the operations of ops.hpp keep the tail invariant and agree
// with the word references.
void matrices(fuzz::Input& in) {
    const std::uint64_t rows = in.in_range(1, 70);
    const std::uint64_t cols = in.in_range(1, 400);
    const fuzz::BitMatrix a = in.matrix(rows, cols);
    const fuzz::BitMatrix b = in.matrix(rows, cols);
    const std::size_t n = a.words().size();

    // The operations of ops.hpp under each set in turn.
    const boolmat::Isa before = boolmat::active_isa();
    for (const boolmat::Kernels* set : kSets) {
        boolmat::use_kernels(set->isa);
        const fuzz::BitMatrix made[] = {fuzz::must(boolmat::and_(a, b)), fuzz::must(boolmat::or_(a, b)),
                                        fuzz::must(boolmat::xor_(a, b)), fuzz::must(boolmat::andnot(a, b))};
        for (int k = 0; k < 4; ++k) {
            std::vector<Word> want(n);
            boolmat::combine_words_scalar(kOps[k], want.data(), a.words().data(), b.words().data(), n);
            FUZZ_CHECK(fuzz::same_words(made[k].words(), want));
            FUZZ_CHECK(fuzz::tails_clear(made[k]));

            fuzz::BitMatrix assigned = fuzz::must(a.clone());
            boolmat::Status st = k == 0   ? boolmat::and_assign(assigned, b)
                                 : k == 1 ? boolmat::or_assign(assigned, b)
                                 : k == 2 ? boolmat::xor_assign(assigned, b)
                                          : boolmat::andnot_assign(assigned, b);
            FUZZ_CHECK(st.has_value());
            FUZZ_CHECK(fuzz::same_matrix(assigned, made[k]));
        }

        const fuzz::BitMatrix c = fuzz::must(boolmat::complement(a));
        std::vector<Word> want_c(n);
        boolmat::complement_words_scalar(want_c.data(), a.words().data(), rows, a.stride(),
                                         boolmat::tail_mask(cols));
        FUZZ_CHECK(fuzz::same_words(c.words(), want_c));
        FUZZ_CHECK(fuzz::tails_clear(c));
        FUZZ_CHECK(c.count_ones() + a.count_ones() == rows * cols);

        FUZZ_CHECK(fuzz::must(boolmat::hamming(a, b)) == boolmat::popcount_xor_scalar(a.words(), b.words()));
        FUZZ_CHECK(fuzz::must(boolmat::count_andnot(a, b)) ==
                   boolmat::popcount_andnot_scalar(a.words(), b.words()));
        FUZZ_CHECK(a.count_ones() == boolmat::popcount_words_scalar(a.words()));
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < rows; ++i) {
            const std::uint64_t r = fuzz::must(boolmat::row_count_ones(a, i));
            FUZZ_CHECK(r == boolmat::popcount_words_scalar({a.row_ptr(i), a.stride()}));
            total += r;
        }
        FUZZ_CHECK(total == a.count_ones());

        FUZZ_CHECK(boolmat::equals(a, b) == fuzz::same_words(a.words(), b.words()));
        FUZZ_CHECK(boolmat::equals(a, fuzz::must(a.clone())));

        // The streamed hash against SipHash over the materialised hash input.
        const auto bytes = fuzz::must(boolmat::hash_input(a));
        FUZZ_CHECK(bytes.size() == 8 * (n + 4));
        FUZZ_CHECK(boolmat::hash_matrix(a) == boolmat::siphash13(bytes.span()));
    }
    boolmat::use_kernels(before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.flag()) {
        word_runs(in);
    } else {
        matrices(in);
    }
    return 0;
}
