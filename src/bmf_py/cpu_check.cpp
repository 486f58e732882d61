#include "bmf_py/cpu_check.hpp"

#include <cpuid.h>

namespace bmf_py {

namespace {

// XCR0 must show the OS saving the SSE and AVX register state, or AVX
// instructions fault even when CPUID lists them.
bool os_saves_avx_state(unsigned ecx1) noexcept {
    const bool osxsave = (ecx1 >> 27) & 1u;
    if (!osxsave) return false;
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 0x6u) == 0x6u;
}

void append(char* out, std::size_t size, std::size_t& used, const char* name) noexcept {
    if (size == 0) return;
    if (used != 0) {
        for (const char* s = ", "; *s != '\0' && used + 1 < size; ++s) out[used++] = *s;
    }
    for (const char* s = name; *s != '\0' && used + 1 < size; ++s) out[used++] = *s;
    out[used] = '\0';
}

}  // namespace

CpuFeatures detect_cpu() noexcept {
    CpuFeatures f{false, false, false, false, false};
    unsigned a = 0, b = 0, c = 0, d = 0;
    const unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf < 1) return f;
    // POPCNT lives in leaf 1, so a processor without leaf 7 still reports it
    // correctly and the import error lists only what is really absent.
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

int missing_features(const CpuFeatures& f, char* out, std::size_t out_size) noexcept {
    std::size_t used = 0;
    if (out_size != 0) out[0] = '\0';
    int n = 0;
    const struct {
        bool present;
        const char* name;
    } all[] = {{f.avx2, "AVX2"}, {f.bmi1, "BMI1"}, {f.bmi2, "BMI2"}, {f.popcnt, "POPCNT"}, {f.gfni, "GFNI"}};
    for (const auto& feature : all) {
        if (!feature.present) {
            append(out, out_size, used, feature.name);
            ++n;
        }
    }
    return n;
}

}  // namespace bmf_py
