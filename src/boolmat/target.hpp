// Target regions for the x86-64 kernels. Everything between a *_BEGIN and
// VALDRIX_TARGET_END may use the instructions that region names; the rest of
// the project is built for the baseline of its target, so a build made
// anywhere runs on any x86-64. Include every header a kernel file needs
// before opening its region: inline functions and templates defined outside
// the region (the standard library, BitMatrix) stay baseline code, shared
// safely with other files, and are still inlined into the kernels. The
// exception is vector code written once for several kernel files (such as
// transpose_bytes_avx2.hpp): its header is included inside each file's
// region, so that each compiles its own copy, with internal linkage.
#pragma once

#if defined(__x86_64__)
#define VALDRIX_X86 1

#if defined(__clang__)
#define VALDRIX_AVX2_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,popcnt\"))), apply_to = function)")
#define VALDRIX_GFNI_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,popcnt,gfni\"))), apply_to = function)")
// _Pragma takes one string literal: the long line cannot be split.
#define VALDRIX_AVX512_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,popcnt,gfni,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vpopcntdq\"))), apply_to = function)")
#define VALDRIX_TARGET_END _Pragma("clang attribute pop")
#else
#define VALDRIX_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2,popcnt\")")
#define VALDRIX_GFNI_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2,popcnt,gfni\")")
#define VALDRIX_AVX512_BEGIN \
    _Pragma("GCC push_options") \
    _Pragma("GCC target(\"avx2,bmi,bmi2,popcnt,gfni,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vpopcntdq\")")
#define VALDRIX_TARGET_END _Pragma("GCC pop_options")
#endif

#else
#define VALDRIX_X86 0
#endif
