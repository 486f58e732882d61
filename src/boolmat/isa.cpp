#include "boolmat/isa.hpp"

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
    }
    return "generic";
}

#if VALDRIX_X86
namespace {

// XCR0 must show the OS saving the SSE and AVX register state, or AVX
// instructions fault even when CPUID lists them.
bool os_saves_avx_state(unsigned ecx1) noexcept {
    if (((ecx1 >> 27) & 1u) == 0) return false;  // no OSXSAVE: xgetbv itself would fault
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 0x6u) == 0x6u;
}

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
    const bool avx_usable = os_saves_avx_state(ecx1);
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 = avx_usable && ((b >> 5) & 1u);
    f.bmi1 = (b >> 3) & 1u;
    f.bmi2 = (b >> 8) & 1u;
    f.gfni = (c >> 8) & 1u;
    return f;
}
#else
// Only the generic set exists off x86-64, and it needs none of these.
CpuFeatures detect_cpu() noexcept { return {}; }
#endif

std::string missing_features(Isa isa, const CpuFeatures& f) {
    std::string out;
    if (isa == Isa::Generic) return out;
    const struct {
        bool present;
        bool needed;
        const char* name;
    } all[] = {{f.avx2, true, "AVX2"},
               {f.bmi1, true, "BMI1"},
               {f.bmi2, true, "BMI2"},
               {f.popcnt, true, "POPCNT"},
               {f.gfni, isa == Isa::Gfni, "GFNI"}};
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
    return fail(ErrorKind::Environment, "VALDRIX_ISA={} inconnu ; valeurs possibles : auto, generic, avx2, gfni",
                std::string(forced));
}

}  // namespace boolmat
