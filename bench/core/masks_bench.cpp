// Solves and factorisations under a mask of observed cells against the same
// calls without one, in one run, per kernel set this processor runs. Build
// (after the core library):
//   g++ -O3 -std=c++23 -Isrc bench/core/masks_bench.cpp build/core/libvaldrix_core.a -o build/masks_bench
//   build/masks_bench [masked|plain-only] [generic|avx2|gfni|avx512]
// "plain-only" times the calls without a mask alone; built with
// -DVALDRIX_BENCH_PLAIN_ONLY against a revision without masks, the same file
// gives that revision's figures for the unmasked calls, to be compared with
// a plain-only run of this one (in turns, several times: two processes). The cases: zeta solve_all on m = 2000 rows at r = 12, 16
// and 20 (per column), and ao_bmf on the planted 2000 x 1000 matrix at
// r = 12 (per iteration), each with 10% of the cells unobserved. Prints the
// fastest run of each and the ratio masked / unmasked, the two timed in turns.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bmf_core/ao_bmf.hpp"
#include "bmf_core/solve.hpp"
#include "boolmat/kernels.hpp"

using boolmat::BitMatrix;

namespace {

BitMatrix random_matrix(std::uint64_t rows, std::uint64_t cols, double density, std::mt19937_64& gen) {
    BitMatrix m = BitMatrix::zeros(rows, cols).value();
    std::bernoulli_distribution bit(density);
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < cols; ++j) m.set_unchecked(i, j, bit(gen));
    }
    return m;
}

// W o H with W and H of density 0.1, 5% of the cells flipped.
BitMatrix planted(std::uint64_t m, std::uint64_t n, std::uint64_t r, std::mt19937_64& gen) {
    const BitMatrix w = random_matrix(m, r, 0.1, gen);
    const BitMatrix h = random_matrix(r, n, 0.1, gen);
    BitMatrix x = BitMatrix::zeros(m, n).value();
    std::bernoulli_distribution flip(0.05);
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t l = 0; l < n; ++l) {
            bool v = false;
            for (std::uint64_t j = 0; j < r && !v; ++j) v = w.get_unchecked(i, j) && h.get_unchecked(j, l);
            x.set_unchecked(i, l, v != flip(gen));
        }
    }
    return x;
}

double seconds_of(auto&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The fastest run: on a shared machine the others only add time.
double fastest(const std::vector<double>& t) { return *std::min_element(t.begin(), t.end()); }

// Times `plain` and `masked` in turns; each returns its unit count (columns
// or iterations) and the figures are per unit.
void compare(const char* name, int repeat, bool plain_only, auto&& plain, auto&& masked) {
    std::vector<double> a, b;
    for (int k = 0; k < repeat; ++k) {
        double units = 1;
        a.push_back(seconds_of([&] { units = plain(); }) / units);
        if (!plain_only) b.push_back(seconds_of([&] { units = masked(); }) / units);
    }
    if (plain_only) {
        std::printf("%-48s unmasked %10.1f us\n", name, 1e6 * fastest(a));
        return;
    }
    std::printf("%-48s unmasked %10.1f us  masked %10.1f us  ratio %.3f\n", name, 1e6 * fastest(a), 1e6 * fastest(b),
                fastest(b) / fastest(a));
}

}  // namespace

int main(int argc, char** argv) {
#ifdef VALDRIX_BENCH_PLAIN_ONLY
    const bool plain_only = true;
#else
    const bool plain_only = argc > 1 && std::strcmp(argv[1], "plain-only") == 0;
#endif
    for (const boolmat::Kernels* k : boolmat::runnable_kernel_sets()) {
        const std::string set(boolmat::isa_name(k->isa));
        if (argc > 2 && set != argv[2]) continue;
        boolmat::use_kernels(k->isa);
        std::printf("kernel set %s\n", set.c_str());
        std::mt19937_64 gen(1);
        const struct {
            std::uint64_t r, n;
            int repeat;
        } solves[] = {{12, 400, 61}, {16, 40, 31}, {20, 32, 9}};
        for (const auto& c : solves) {
            const BitMatrix w = random_matrix(2000, c.r, 0.2, gen);
            const BitMatrix x = random_matrix(2000, c.n, 0.5, gen);
            const BitMatrix observed = random_matrix(2000, c.n, 0.9, gen);
            const bmf_core::BoolLs s = bmf_core::BoolLs::build(w).value();
            const std::string name = "zeta solve_all r=" + std::to_string(c.r) + ", per column";
            compare(
                name.c_str(), c.repeat, plain_only,
                [&] {
                    (void)bmf_core::solve_all(s, x, bmf_core::Method::Zeta, 0).value();
                    return static_cast<double>(c.n);
                },
                [&] {
#ifndef VALDRIX_BENCH_PLAIN_ONLY
                    (void)bmf_core::solve_all_masked(s, x, observed, bmf_core::Method::Zeta, 0).value();
#endif
                    return static_cast<double>(c.n);
                });
        }
        const BitMatrix x = planted(2000, 1000, 12, gen);
        const BitMatrix observed = random_matrix(2000, 1000, 0.9, gen);
        compare(
            "ao_bmf planted 2000x1000 r=12, per iteration", 21, plain_only,
            [&] {
                return static_cast<double>(bmf_core::ao_bmf(x, 12, bmf_core::Method::Zeta, 50, 0).value().iterations);
            },
            [&] {
#ifndef VALDRIX_BENCH_PLAIN_ONLY
                return static_cast<double>(
                    bmf_core::ao_bmf_masked(x, observed, 12, bmf_core::Method::Zeta, 50, 0).value().iterations);
#else
                return 1.0;
#endif
            });
    }
    return 0;
}
