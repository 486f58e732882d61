#include "boolmat/kernels.hpp"

#include <cstdlib>

#include "boolmat/ops_kernels.hpp"
#include "boolmat/pack_bytes.hpp"
#include "boolmat/popcount.hpp"
#include "boolmat/product_kernels.hpp"
#include "boolmat/target.hpp"
#include "boolmat/transpose_kernels.hpp"

namespace boolmat {

namespace {

constexpr Kernels kGeneric{
    .isa = Isa::Generic,
    .combine_words = generic::combine_words,
    .combine_words_streamed = generic::combine_words_streamed,
    .complement_words = generic::complement_words,
    .words_equal = generic::words_equal,
    .popcount_words = generic::popcount_words,
    .popcount_xor = generic::popcount_xor,
    .popcount_andnot = generic::popcount_andnot,
    .pack_bytes = generic::pack_bytes,
    .pack_bytes_reversed = generic::pack_bytes_reversed,
    .unpack_bits = generic::unpack_bits,
    .transpose = generic::transpose,
    .or_row_sparse = generic::or_row_sparse,
    .or_rows_four_russians = generic::or_rows_four_russians,
};

#if VALDRIX_X86
// The GFNI set differs from the AVX2 one only in the transpose.
constexpr Kernels kAvx2{
    .isa = Isa::Avx2,
    .combine_words = avx2::combine_words,
    .combine_words_streamed = avx2::combine_words_streamed,
    .complement_words = avx2::complement_words,
    .words_equal = avx2::words_equal,
    .popcount_words = avx2::popcount_words,
    .popcount_xor = avx2::popcount_xor,
    .popcount_andnot = avx2::popcount_andnot,
    .pack_bytes = avx2::pack_bytes,
    .pack_bytes_reversed = avx2::pack_bytes_reversed,
    .unpack_bits = avx2::unpack_bits,
    .transpose = avx2::transpose,
    .or_row_sparse = avx2::or_row_sparse,
    .or_rows_four_russians = avx2::or_rows_four_russians,
};

constexpr Kernels kGfni = [] {
    Kernels k = kAvx2;
    k.isa = Isa::Gfni;
    k.transpose = gfni::transpose;
    return k;
}();
#endif

}  // namespace

const Kernels* detail::active_kernels = &kGeneric;

const Kernels* kernels_for(Isa isa) noexcept {
    switch (isa) {
        case Isa::Generic: return &kGeneric;
#if VALDRIX_X86
        case Isa::Avx2: return &kAvx2;
        case Isa::Gfni: return &kGfni;
#else
        default: return nullptr;
#endif
    }
    return nullptr;
}

std::vector<const Kernels*> runnable_kernel_sets() {
    std::vector<const Kernels*> sets;
    const CpuFeatures cpu = detect_cpu();
    for (const Isa isa : kAllIsas) {
        if (isa_runs_on(isa, cpu)) sets.push_back(kernels_for(isa));
    }
    return sets;
}

void use_kernels(Isa isa) noexcept {
    if (const Kernels* k = kernels_for(isa)) detail::active_kernels = k;
}

Result<Isa> use_kernels_from_environment() {
    TRY(const Isa isa, choose_isa(std::getenv("VALDRIX_ISA"), detect_cpu()));
    use_kernels(isa);
    return isa;
}

}  // namespace boolmat
