// The Boolean product: both row strategies (row-sparse and four Russians) of
// every kernel set this processor runs, and the cost-based mix that
// boolean_product picks under each set, against the scalar reference, for any
// shapes and densities.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "boolmat/kernels.hpp"
#include "boolmat/product.hpp"
#include "boolmat/product_kernels.hpp"
#include "fuzz_input.hpp"

using boolmat::Word;

namespace {

const std::vector<const boolmat::Kernels*> kSets = boolmat::runnable_kernel_sets();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint64_t m = in.in_range(1, 120);
    const std::uint64_t k = in.in_range(1, 300);
    const std::uint64_t n = in.in_range(1, 700);
    const fuzz::BitMatrix a = in.matrix(m, k);
    const fuzz::BitMatrix b = in.matrix(k, n);
    const std::size_t out_words = m * b.stride();

    std::vector<Word> want(out_words, 0);
    boolmat::or_rows_kernel_scalar(a, b, want);

    // Each strategy alone, on a subset of the rows picked by the input; the
    // other rows must stay as they were (here: a marker pattern ORed in
    // beforehand, which the reference sees too).
    std::vector<std::uint64_t> listed;
    std::vector<Word> start(out_words, 0);
    for (std::uint64_t i = 0; i < m; ++i) {
        if (in.byte() & 1) listed.push_back(i);
    }
    for (Word& w : start) w = in.word() & in.word() & in.word();
    for (std::uint64_t i = 0; i < m; ++i) start[i * b.stride() + b.stride() - 1] &= boolmat::tail_mask(n);

    std::vector<Word> want_part(start);
    for (const std::uint64_t i : listed) {
        for (std::uint64_t j = 0; j < k; ++j) {
            if (!a.get_unchecked(i, j)) continue;
            for (std::uint64_t l = 0; l < b.stride(); ++l) want_part[i * b.stride() + l] |= b.row_ptr(j)[l];
        }
    }

    const boolmat::Isa before = boolmat::active_isa();
    for (const boolmat::Kernels* set : kSets) {
        boolmat::use_kernels(set->isa);
        const fuzz::BitMatrix c = fuzz::must(boolmat::boolean_product(a, b));
        FUZZ_CHECK(c.rows() == m && c.cols() == n);
        FUZZ_CHECK(fuzz::same_words(c.words(), want));
        FUZZ_CHECK(fuzz::tails_clear(c));

        std::vector<Word> sparse(start);
        for (const std::uint64_t i : listed) set->or_row_sparse(a, b, sparse.data(), i, 0);
        FUZZ_CHECK(sparse == want_part);

        std::vector<Word> four(start);
        std::vector<Word> tables(boolmat::four_russians_table_words());
        std::vector<std::uint64_t> live(listed.size());
        if (!listed.empty()) set->or_rows_four_russians(a, b, four.data(), listed, tables.data(), live.data(), {});
        FUZZ_CHECK(four == want_part);
    }
    boolmat::use_kernels(before);
    return 0;
}
