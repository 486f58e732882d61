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

// The table of the set in namespace ns: every entry point of Kernels, named
// alike in each set's namespace.
#define VALDRIX_KERNEL_TABLE(ns, set)                              \
    Kernels {                                                      \
        .isa = set,                                                \
        .combine_words = ns::combine_words,                        \
        .combine_words_streamed = ns::combine_words_streamed,      \
        .complement_words = ns::complement_words,                  \
        .words_equal = ns::words_equal,                            \
        .popcount_words = ns::popcount_words,                      \
        .popcount_xor = ns::popcount_xor,                          \
        .popcount_andnot = ns::popcount_andnot,                    \
        .pack_bytes = ns::pack_bytes,                              \
        .pack_bytes_reversed = ns::pack_bytes_reversed,            \
        .unpack_bits = ns::unpack_bits,                            \
        .transpose = ns::transpose,                                \
        .or_row_sparse = ns::or_row_sparse,                        \
        .or_rows_four_russians = ns::or_rows_four_russians,        \
    }

constexpr Kernels kGeneric = VALDRIX_KERNEL_TABLE(generic, Isa::Generic);

#if VALDRIX_X86
// The GFNI set differs from the AVX2 one only in the transpose.
constexpr Kernels kAvx2 = VALDRIX_KERNEL_TABLE(avx2, Isa::Avx2);

constexpr Kernels kGfni = [] {
    Kernels k = kAvx2;
    k.isa = Isa::Gfni;
    k.transpose = gfni::transpose;
    return k;
}();

// The AVX-512 set has its own counts, element-wise loops and transpose;
// everything else is the GFNI set's.
constexpr Kernels kAvx512 = [] {
    Kernels k = kGfni;
    k.isa = Isa::Avx512;
    k.transpose = avx512::transpose;
    k.combine_words = avx512::combine_words;
    k.combine_words_streamed = avx512::combine_words_streamed;
    k.complement_words = avx512::complement_words;
    k.words_equal = avx512::words_equal;
    k.popcount_words = avx512::popcount_words;
    k.popcount_xor = avx512::popcount_xor;
    k.popcount_andnot = avx512::popcount_andnot;
    return k;
}();
#endif

#undef VALDRIX_KERNEL_TABLE

}  // namespace

const Kernels* detail::active_kernels = &kGeneric;

const Kernels* kernels_for(Isa isa) noexcept {
    switch (isa) {
        case Isa::Generic: return &kGeneric;
#if VALDRIX_X86
        case Isa::Avx2: return &kAvx2;
        case Isa::Gfni: return &kGfni;
        case Isa::Avx512: return &kAvx512;
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
