#include "boolmat/isa.hpp"

#include <cstdint>
#include <cstring>

#include "boolmat/target.hpp"

#if VALDRIX_X86
#include <cpuid.h>
#endif

namespace boolmat {

std::string_view isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::Generic: return "generic";
        case Isa::Avx2: return "avx2";
        case Isa::Gfni: return "gfni";
        case Isa::Avx512: return "avx512";
    }
    return "generic";
}

#if VALDRIX_X86
namespace {

// The register state the operating system saves on a context switch (XCR0),
// or none when it has not enabled XSAVE (xgetbv itself would then fault).
// CPUID lists what the processor has; without the state saved, its
// instructions fault all the same.
std::uint64_t saved_state(unsigned ecx1) noexcept {
    if (((ecx1 >> 27) & 1u) == 0) return 0;  // no OSXSAVE
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t{hi} << 32) | lo;
}

constexpr std::uint64_t kAvxState = 0x6;      // SSE, and the upper halves of YMM
constexpr std::uint64_t kAvx512State = 0xE0;  // opmask, upper halves of ZMM0-15, ZMM16-31

}  // namespace

CpuFeatures detect_cpu() noexcept {
    CpuFeatures f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    const unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf < 1) return f;
    // POPCNT lives in leaf 1, so a processor without leaf 7 still reports it.
    __cpuid(1, a, b, c, d);
    const unsigned ecx1 = c;
    f.popcnt = (ecx1 >> 23) & 1u;
    if (max_leaf < 7) return f;
    const std::uint64_t state = saved_state(ecx1);
    const bool avx_usable = (state & kAvxState) == kAvxState;
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 = avx_usable && ((b >> 5) & 1u);
    f.bmi1 = (b >> 3) & 1u;
    f.bmi2 = (b >> 8) & 1u;
    f.gfni = (c >> 8) & 1u;
    f.avx512f = (b >> 16) & 1u;
    f.avx512bw = (b >> 30) & 1u;
    f.avx512vl = (b >> 31) & 1u;
    f.avx512vbmi = (c >> 1) & 1u;
    f.avx512vpopcntdq = (c >> 14) & 1u;
    f.avx512_state = avx_usable && (state & kAvx512State) == kAvx512State;
    return f;
}
#else
// Only the generic set exists off x86-64, and it needs none of these.
CpuFeatures detect_cpu() noexcept { return {}; }
#endif

std::string missing_features(Isa isa, const CpuFeatures& f) {
    std::string out;
    if (isa == Isa::Generic) return out;
    const bool gfni = isa == Isa::Gfni || isa == Isa::Avx512;
    const bool avx512 = isa == Isa::Avx512;
    const struct {
        bool present;
        bool needed;
        const char* name;
    } all[] = {{f.avx2, true, "AVX2"},
               {f.bmi1, true, "BMI1"},
               {f.bmi2, true, "BMI2"},
               {f.popcnt, true, "POPCNT"},
               {f.gfni, gfni, "GFNI"},
               {f.avx512f, avx512, "AVX512F"},
               {f.avx512bw, avx512, "AVX512BW"},
               {f.avx512vl, avx512, "AVX512VL"},
               {f.avx512vbmi, avx512, "AVX512VBMI"},
               {f.avx512vpopcntdq, avx512, "AVX512VPOPCNTDQ"},
               // Only a processor with AVX-512 has that state to save: on
               // one without, naming the system would blame the wrong party.
               {f.avx512_state, avx512 && f.avx512f, "état AVX-512 du système"}};
    for (const auto& feature : all) {
        if (feature.needed && !feature.present) {
            if (!out.empty()) out += ", ";
            out += feature.name;
        }
    }
    return out;
}

bool isa_runs_on(Isa isa, const CpuFeatures& f) {
    // Off x86-64 the vector sets are not even built, whatever f says.
    if (isa != Isa::Generic && !VALDRIX_X86) return false;
    return missing_features(isa, f).empty();
}

Isa best_isa(const CpuFeatures& f) noexcept {
    Isa best = Isa::Generic;
    for (const Isa isa : kAllIsas) {
        if (isa_runs_on(isa, f)) best = isa;
    }
    return best;
}

Result<Isa> choose_isa(const char* forced, const CpuFeatures& f) {
    if (forced == nullptr || *forced == '\0' || std::strcmp(forced, "auto") == 0) return best_isa(f);
    for (const Isa isa : kAllIsas) {
        if (isa_name(isa) != forced) continue;
        if (!VALDRIX_X86 && isa != Isa::Generic) {
            return fail(ErrorKind::Environment, "VALDRIX_ISA={} : ce jeu de noyaux n'existe que sur x86-64",
                        std::string(forced));
        }
        if (!isa_runs_on(isa, f)) {
            return fail(ErrorKind::Environment, "VALDRIX_ISA={} : ce processeur n'a pas : {}", std::string(forced),
                        missing_features(isa, f));
        }
        return isa;
    }
    return fail(ErrorKind::Environment, "VALDRIX_ISA={} inconnu ; valeurs possibles : auto, generic, avx2, gfni, avx512",
                std::string(forced));
}

}  // namespace boolmat
