/* Runs one instruction of the family named by argv[1] ("avx2", "bmi2",
 * "gfni" or "avx512"). Under qemu-x86_64, an instruction that the emulated processor model
 * lacks must die with SIGILL; run.sh checks that first, or its emulated runs
 * would prove nothing about the instructions the kernels execute. */
#include <immintrin.h>
#include <stdio.h>
#include <string.h>

/* volatile and noinline keep the compiler from folding the vector work away */
static volatile unsigned char data[32] = {1, 2, 3, 4, 5, 6, 7, 8};

__attribute__((target("avx2"), noinline)) static int run_avx2(void) {
    __m256i v = _mm256_loadu_si256((const __m256i*)data);
    v = _mm256_shuffle_epi8(v, _mm256_add_epi32(v, v));
    return _mm256_movemask_epi8(v);
}

__attribute__((target("bmi2"), noinline)) static int run_bmi2(void) {
    return (int)_pdep_u32(data[0], 0xf0f0u);
}

__attribute__((target("gfni,sse4.1"), noinline)) static int run_gfni(void) {
    __m128i v = _mm_loadu_si128((const __m128i*)data);
    v = _mm_gf2p8affine_epi64_epi8(v, v, 0);
    return _mm_extract_epi8(v, 3);
}

__attribute__((target("avx512f,avx512vpopcntdq"), noinline)) static int run_avx512(void) {
    __m512i v = _mm512_maskz_loadu_epi64(0x0f, (const void*)data);
    v = _mm512_popcnt_epi64(v);
    return (int)_mm_cvtsi128_si32(_mm512_castsi512_si128(v));
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    if (strcmp(argv[1], "avx2") == 0) printf("%d\n", run_avx2());
    else if (strcmp(argv[1], "bmi2") == 0) printf("%d\n", run_bmi2());
    else if (strcmp(argv[1], "gfni") == 0) printf("%d\n", run_gfni());
    else if (strcmp(argv[1], "avx512") == 0) printf("%d\n", run_avx512());
    else return 2;
    return 0;
}
