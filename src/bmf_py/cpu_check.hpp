// Processor feature check run by the module's init before any vectorised
// code. This file and cpu_check.cpp / init.cpp are compiled for the baseline
// x86-64, so they must stay free of code shared with the other translation
// units (no templates or inline functions from the rest of the project).
#pragma once

#include <cstddef>

namespace bmf_py {

struct CpuFeatures {
    bool avx2;
    bool bmi1;
    bool bmi2;
    bool popcnt;
    bool gfni;
};

// What this processor (and its operating system, for the AVX state) offers.
CpuFeatures detect_cpu() noexcept;

// Writes the names of the missing features, separated by ", ", into out
// (always NUL-terminated) and returns how many are missing.
int missing_features(const CpuFeatures& f, char* out, std::size_t out_size) noexcept;

}  // namespace bmf_py
