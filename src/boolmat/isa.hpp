// The kernel sets and the processor features they need. One set is chosen
// once, when the module is imported (kernels.hpp); VALDRIX_ISA can force it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "boolmat/failure.hpp"

namespace boolmat {

// In increasing order of what they need.
enum class Isa : std::uint8_t { Generic, Avx2, Gfni, Avx512 };

inline constexpr Isa kAllIsas[] = {Isa::Generic, Isa::Avx2, Isa::Gfni, Isa::Avx512};

std::string_view isa_name(Isa isa) noexcept;

struct CpuFeatures {
    bool avx2 = false;  // with the operating system saving the AVX state
    bool bmi1 = false;
    bool bmi2 = false;
    bool popcnt = false;
    bool gfni = false;
    // AVX-512 as CPUID lists it; the registers are only usable when the
    // operating system also saves their state (avx512_state).
    bool avx512f = false;
    bool avx512bw = false;
    bool avx512vl = false;
    bool avx512vbmi = false;
    bool avx512vpopcntdq = false;
    bool avx512_state = false;
};

// What this processor offers: read from CPUID and XCR0 on x86-64; nothing
// that matters to the kernels elsewhere.
CpuFeatures detect_cpu() noexcept;

// The names of the features isa needs that f lacks, ", "-separated in a
// fixed order; empty when isa can run.
std::string missing_features(Isa isa, const CpuFeatures& f);
bool isa_runs_on(Isa isa, const CpuFeatures& f);

// The best set that f can run.
Isa best_isa(const CpuFeatures& f) noexcept;

// The set named by the VALDRIX_ISA value `forced` (null, "", "auto": the
// best one). An unknown name, or a set that f cannot run, is an Environment
// failure saying why.
Result<Isa> choose_isa(const char* forced, const CpuFeatures& f);

}  // namespace boolmat
