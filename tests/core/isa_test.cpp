#include "boolmat/isa.hpp"

#include <gtest/gtest.h>

#include <string>

#include "boolmat/kernels.hpp"
#include "boolmat/target.hpp"

namespace boolmat {
namespace {

// Everything the largest set needs.
CpuFeatures every_feature() {
    CpuFeatures f;
    f.avx2 = f.bmi1 = f.bmi2 = f.popcnt = f.gfni = true;
    f.avx512f = f.avx512bw = f.avx512vl = f.avx512vbmi = f.avx512vpopcntdq = f.avx512_state = true;
    return f;
}

// A processor of the GFNI generation without AVX-512 (the OS saves no
// AVX-512 state there: there is none).
CpuFeatures gfni_only() {
    CpuFeatures f;
    f.avx2 = f.bmi1 = f.bmi2 = f.popcnt = f.gfni = true;
    return f;
}

TEST(Isa, EachMissingAvx512PieceIsNamed) {
    const std::pair<bool CpuFeatures::*, const char*> pieces[] = {
        {&CpuFeatures::avx512f, "AVX512F"},
        {&CpuFeatures::avx512bw, "AVX512BW"},
        {&CpuFeatures::avx512vl, "AVX512VL"},
        {&CpuFeatures::avx512vbmi, "AVX512VBMI"},
        {&CpuFeatures::avx512vpopcntdq, "AVX512VPOPCNTDQ"},
        {&CpuFeatures::avx512_state, "état AVX-512 du système"},
        {&CpuFeatures::gfni, "GFNI"},
        {&CpuFeatures::avx2, "AVX2"},
    };
    EXPECT_EQ(missing_features(Isa::Avx512, every_feature()), "");
    for (const auto& [piece, name] : pieces) {
        CpuFeatures f = every_feature();
        f.*piece = false;
        EXPECT_EQ(missing_features(Isa::Avx512, f), name);
        EXPECT_FALSE(isa_runs_on(Isa::Avx512, f)) << name;
        // The smaller sets do not need any AVX-512 piece.
        EXPECT_EQ(missing_features(Isa::Avx2, f), piece == &CpuFeatures::avx2 ? "AVX2" : "") << name;
    }
}

TEST(Isa, MissingNamesComeInAFixedOrder) {
    EXPECT_EQ(missing_features(Isa::Avx512, CpuFeatures{}),
              "AVX2, BMI1, BMI2, POPCNT, GFNI, AVX512F, AVX512BW, AVX512VL, AVX512VBMI, AVX512VPOPCNTDQ");
    CpuFeatures f = every_feature();
    f.avx512vl = f.avx512vpopcntdq = f.avx512_state = false;
    EXPECT_EQ(missing_features(Isa::Avx512, f), "AVX512VL, AVX512VPOPCNTDQ, état AVX-512 du système");
    EXPECT_EQ(missing_features(Isa::Gfni, CpuFeatures{}), "AVX2, BMI1, BMI2, POPCNT, GFNI");
    EXPECT_EQ(missing_features(Isa::Generic, CpuFeatures{}), "");
}

// The system's state is only the obstacle on a processor that has AVX-512.
TEST(Isa, TheSystemStateIsNamedOnlyWhereAvx512Exists) {
    EXPECT_EQ(missing_features(Isa::Avx512, gfni_only()),
              "AVX512F, AVX512BW, AVX512VL, AVX512VBMI, AVX512VPOPCNTDQ");
    CpuFeatures f = gfni_only();
    f.avx512bw = f.avx512vl = f.avx512vbmi = f.avx512vpopcntdq = true;  // all but F, no state
    EXPECT_EQ(missing_features(Isa::Avx512, f), "AVX512F");
}

TEST(Isa, TheBestSetIsTheLargestThatRuns) {
    EXPECT_EQ(best_isa(CpuFeatures{}), Isa::Generic);
    EXPECT_EQ(best_isa(gfni_only()), VALDRIX_X86 ? Isa::Gfni : Isa::Generic);
    EXPECT_EQ(best_isa(every_feature()), VALDRIX_X86 ? Isa::Avx512 : Isa::Generic);
    CpuFeatures f = every_feature();
    f.avx512_state = false;
    EXPECT_EQ(best_isa(f), VALDRIX_X86 ? Isa::Gfni : Isa::Generic);
    f = every_feature();
    f.gfni = false;  // AVX-512 without GFNI (Skylake-SP and its kin)
    EXPECT_EQ(best_isa(f), VALDRIX_X86 ? Isa::Avx2 : Isa::Generic);
}

TEST(Isa, ForcingAvx512WhereItCannotRunIsRefused) {
    CpuFeatures f = every_feature();
    f.avx512vbmi = false;
    const auto r = choose_isa("avx512", f);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Environment);
    EXPECT_EQ(r.error().message(), VALDRIX_X86 ? "VALDRIX_ISA=avx512 : ce processeur n'a pas : AVX512VBMI"
                                               : "VALDRIX_ISA=avx512 : ce jeu de noyaux n'existe que sur x86-64");
    f = every_feature();
    f.avx512_state = false;
    const auto no_state = choose_isa("avx512", f);
    ASSERT_FALSE(no_state);
    if (VALDRIX_X86) {
        EXPECT_EQ(no_state.error().message(), "VALDRIX_ISA=avx512 : ce processeur n'a pas : état AVX-512 du système");
    }
    // The smaller sets are still allowed there.
    EXPECT_EQ(choose_isa("gfni", f).value_or(Isa::Generic), VALDRIX_X86 ? Isa::Gfni : Isa::Generic);
}

TEST(Isa, NamesAndChoices) {
    for (const Isa isa : kAllIsas) {
        const std::string name(isa_name(isa));
        const auto r = choose_isa(name.c_str(), every_feature());
        if (VALDRIX_X86 || isa == Isa::Generic) {
            ASSERT_TRUE(r) << name;
            EXPECT_EQ(*r, isa);
            ASSERT_NE(kernels_for(isa), nullptr) << name;
            EXPECT_EQ(kernels_for(isa)->isa, isa);
        } else {
            EXPECT_FALSE(r) << name;
        }
    }
    for (const char* automatic : {static_cast<const char*>(nullptr), "", "auto"}) {
        EXPECT_EQ(choose_isa(automatic, gfni_only()).value_or(Isa::Avx512), best_isa(gfni_only()));
    }
    const auto unknown = choose_isa("avx512f", every_feature());
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, ErrorKind::Environment);
    EXPECT_EQ(unknown.error().message(),
              "VALDRIX_ISA=avx512f inconnu ; valeurs possibles : auto, generic, avx2, gfni, avx512");
}

// The sets the tests go through end with the one the module would choose.
TEST(Isa, RunnableSetsEndWithTheBest) {
    const CpuFeatures f = detect_cpu();
    for (const Kernels* k : runnable_kernel_sets()) EXPECT_TRUE(isa_runs_on(k->isa, f)) << isa_name(k->isa);
    EXPECT_EQ(runnable_kernel_sets().back()->isa, best_isa(f));
}

}  // namespace
}  // namespace boolmat
