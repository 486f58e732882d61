// Micro-benchmark of the core kernels against a memcpy of the same words,
// once per kernel set this processor runs. No instruction-set flags: the
// sets choose their own. Build (after the core library):
//   g++ -O3 -std=c++23 -Isrc bench/core/kernels_bench.cpp build/core/libvaldrix_core.a -o build/kernels_bench
//   build/kernels_bench [popcount|ops|transpose|product|zeta|ao] [generic|avx2|gfni|avx512]
// Prints the median time of each case and its ns per word (per column for
// the zeta cases). The machine is shared, so compare figures of one run only.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bmf_core/ao_bmf.hpp"
#include "bmf_core/solve.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/hash.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/popcount.hpp"
#include "boolmat/product.hpp"
#include "boolmat/product_kernels.hpp"
#include "boolmat/transpose.hpp"

using namespace boolmat;

namespace {

template <class F>
double median_seconds(F&& f, int repeat = 15) {
    std::vector<double> t;
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void report(const char* name, double s, double words, double copy_s = 0) {
    std::printf("%-44s %10.3f ms %8.3f ns/word", name, s * 1e3, s * 1e9 / words);
    if (copy_s > 0) std::printf("  x%.2f copy", s / copy_s);
    std::printf("\n");
}

BitMatrix random_matrix(std::mt19937_64& rng, std::uint64_t rows, std::uint64_t cols, double density) {
    BitMatrix m = *BitMatrix::zeros(rows, cols);
    std::vector<Word> row(m.stride());
    std::bernoulli_distribution bit(density);
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (Word& w : row) {
            w = 0;
            if (density == 0.5) {
                w = rng();
            } else {
                for (int b = 0; b < 64; ++b) w |= Word{bit(rng)} << b;
            }
        }
        (void)m.set_row(i, row);
    }
    return m;
}

volatile std::uint64_t sink;

// W of m rows, each with one or two of r columns or none, and n targets that
// are the rows of two columns of W, three quarters of them kept: most
// targets touch few columns, the data of the sparse zeta way.
std::pair<BitMatrix, BitMatrix> planted_sparse(std::mt19937_64& rng, std::uint64_t m, std::uint64_t r,
                                               std::uint64_t n) {
    BitMatrix w = *BitMatrix::zeros(m, r), x = *BitMatrix::zeros(m, n);
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t k = rng() % 3; k > 0; --k) w.set_unchecked(i, rng() % r, true);
    }
    for (std::uint64_t j = 0; j < n; ++j) {
        const std::uint64_t h = (std::uint64_t{1} << (rng() % r)) | (std::uint64_t{1} << (rng() % r));
        for (std::uint64_t i = 0; i < m; ++i) {
            if ((w.row_ptr(i)[0] & h) != 0 && rng() % 4 != 0) x.set_unchecked(i, j, true);
        }
    }
    return {std::move(w), std::move(x)};
}

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The exact solve of every column of x against w, per column, in the
// thread's processor time: the zeta cases run on one thread, and this
// leaves out the time other processes of a shared machine take.
void report_zeta(const char* name, const BitMatrix& w, const BitMatrix& x, int repeat) {
    const bmf_core::BoolLs s = *bmf_core::BoolLs::build(w);
    std::vector<double> times;
    for (int k = 0; k < repeat; ++k) {
        const double t0 = thread_seconds();
        sink = bmf_core::solve_all(s, x, bmf_core::Method::Zeta, 0)->error;
        times.push_back(thread_seconds() - t0);
    }
    std::sort(times.begin(), times.end());
    const double t = times[times.size() / 2];
    std::printf("%-44s %10.3f us/column\n", name, t * 1e6 / double(x.cols()));
}

// One iteration of ao_bmf (its first, from the same start in every set),
// in the thread's processor time: the solves of both steps at rank r.
void report_ao(const char* name, const BitMatrix& x, std::uint64_t r) {
    const double t0 = thread_seconds();
    const auto result = bmf_core::ao_bmf(x, r, bmf_core::Method::Zeta, 1, 0);
    const double t = thread_seconds() - t0;
    sink = result->error;
    std::printf("%-44s %10.3f s/iteration\n", name, t / double(result->iterations));
}

struct TransposeCase {
    std::uint64_t rows, cols;
    BitMatrix a;
};

// The transpose of one shape against a copy of the same words, in two
// states of the result's memory, each timed in the same run:
// - reused: each result is dropped before the next call, which gets the
//   same resident pages back from the allocator; against a memcpy into a
//   warm destination;
// - fresh: every result is kept alive until the end, so each call lands on
//   new pages and pays their faults; against a clone kept alive likewise.
void report_transpose(const TransposeCase& c) {
    const BitMatrix& a = c.a;
    const double words = double(a.words().size());
    std::vector<Word> dst(a.words().size(), 1);
    const double copy = median_seconds([&] { std::memcpy(dst.data(), a.words().data(), words * 8); });
    const double reused = median_seconds([&] { sink = transpose(a)->words()[0]; });
    std::vector<BitMatrix> kept;
    kept.reserve(64);
    const double clone_fresh = median_seconds([&] { kept.push_back(*a.clone()); });
    kept.clear();
    const double fresh = median_seconds([&] { kept.push_back(*transpose(a)); });
    kept.clear();
    char name[80];
    std::snprintf(name, sizeof name, "transpose %llu x %llu, reused", static_cast<unsigned long long>(c.rows),
                  static_cast<unsigned long long>(c.cols));
    report(name, reused, words, copy);
    std::snprintf(name, sizeof name, "transpose %llu x %llu, fresh", static_cast<unsigned long long>(c.rows),
                  static_cast<unsigned long long>(c.cols));
    report(name, fresh, words, clone_fresh);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const std::string only_set = argc > 2 ? argv[2] : "";
    const auto want = [&](const char* s) { return only.empty() || only == s; };
    std::mt19937_64 rng(1);
    const std::uint64_t n = 8192;
    const BitMatrix a = random_matrix(rng, n, n, 0.5), b = random_matrix(rng, n, n, 0.5);
    const double words = double(a.words().size());
    std::vector<Word> dst(a.words().size(), 1);
    const double copy = median_seconds([&] { std::memcpy(dst.data(), a.words().data(), words * 8); });
    const double clone = median_seconds([&] { sink = a.clone()->words()[7]; });
    std::printf("8192 x 8192 (%.0f words)\n", words);
    report("memcpy (warm destination)", copy, words);
    report("clone (fresh allocation + copy)", clone, words);
    if (want("popcount")) {
        report("popcount_words_scalar", median_seconds([&] { sink = popcount_words_scalar(a.words()); }), words,
               copy);
    }

    std::vector<BitMatrix> factors;  // product operands, made once for every set
    std::vector<double> densities;
    if (want("product")) {
        for (const double d : {0.5, 0.05, 0.005}) {
            factors.push_back(random_matrix(rng, 2048, 2048, d));
            densities.push_back(d);
        }
        factors.push_back(random_matrix(rng, 2048, 2048, 0.5));
        const BitMatrix &p = factors.front(), &q = factors.back();
        std::vector<Word> out(p.rows() * q.stride());
        report("product 2048^2 density 0.5, scalar reference", median_seconds([&] {
                   std::fill(out.begin(), out.end(), 0);
                   or_rows_kernel_scalar(p, q, out);
               }, 3),
               double(out.size()));
    }

    struct ZetaCase {
        const char* name;
        BitMatrix w, x;
        int repeat;
    };
    std::vector<ZetaCase> zeta;  // made once for every set
    if (want("zeta")) {
        // The shapes of the solver cases of bench/cases_solver.py: m = 2000,
        // W of density 0.2, targets of density 0.5.
        for (const auto& [name, r, n, repeat] : {std::tuple{"zeta r=12 m=2000 (batches)", 12, 512, 15},
                                                 std::tuple{"zeta r=16 m=2000 (base)", 16, 128, 9},
                                                 std::tuple{"zeta r=20 m=2000 (base, spread)", 20, 64, 7},
                                                 std::tuple{"zeta r=20 m=2000, one column", 20, 1, 15}}) {
            zeta.push_back({name, random_matrix(rng, 2000, r, 0.2), random_matrix(rng, 2000, n, 0.5), repeat});
        }
        auto [w, x] = planted_sparse(rng, 2000, 20, 64);
        zeta.push_back({"zeta r=20 m=2000 sparse planted", std::move(w), std::move(x), 9});
    }

    // The shape of a binarised image data set: 5000 images of 28 x 28
    // pixels, 13% of them set.
    const BitMatrix images = random_matrix(rng, want("ao") ? 5000 : 1, want("ao") ? 784 : 1, 0.13);

    std::vector<TransposeCase> transposes;  // made once for every set
    if (want("transpose")) {
        using Shape = std::pair<std::uint64_t, std::uint64_t>;
        for (const auto& [rows, cols] : {Shape{1024, 1024}, Shape{8192, 8192}, Shape{10000, 10000}, Shape{1000, 50000},
                                         Shape{1 << 20, 26}}) {
            transposes.push_back({rows, cols, random_matrix(rng, rows, cols, 0.5)});
        }
    }

    for (const Kernels* set : runnable_kernel_sets()) {
        const Isa isa = set->isa;
        if (!only_set.empty() && only_set != isa_name(isa)) continue;
        use_kernels(isa);
        const Kernels& k = kernels();
        std::printf("-- kernel set %s\n", std::string(isa_name(isa)).c_str());
        if (want("popcount")) {
            report("popcount_words", median_seconds([&] { sink = popcount_words(a.words()); }), words, copy);
            report("hamming", median_seconds([&] { sink = *hamming(a, b); }), words, copy);
            report("count_andnot", median_seconds([&] { sink = *count_andnot(a, b); }), words, copy);
            const std::span<const Word> small = a.words().first(4096);
            report("popcount_words 4096 words in L1 (x100)", median_seconds([&] {
                       for (int r = 0; r < 100; ++r) sink = popcount_words(small);
                   }),
                   409600);
            const std::span<const Word> half_a = a.words().first(2048), half_b = b.words().first(2048);
            report("popcount_xor 2 x 2048 words in L1 (x200)", median_seconds([&] {
                       for (int r = 0; r < 200; ++r) sink = popcount_xor(half_a, half_b);
                   }),
                   409600);
        }
        if (want("ops")) {
            BitMatrix c = *a.clone();
            report("or_assign (in place)", median_seconds([&] { (void)or_assign(c, b); }), words, copy);
            report("xor_ (new matrix)", median_seconds([&] { sink = xor_(a, b)->words()[3]; }), words, clone);
            report("complement (new matrix)", median_seconds([&] { sink = complement(a)->words()[3]; }), words,
                   clone);
            const BitMatrix same = *a.clone();
            report("equals (equal)", median_seconds([&] { sink = equals(a, same); }), words, copy);
            report("hash_matrix", median_seconds([&] { sink = hash_matrix(a); }, 5), words, copy);
            // The same loops with every operand in the first-level cache
            // (3 x 8 KiB): what the vectors gain when memory does not bound.
            constexpr std::size_t kSmall = 1024;
            std::vector<Word> sa(a.words().begin(), a.words().begin() + kSmall),
                sb(b.words().begin(), b.words().begin() + kSmall), sd(kSmall);
            report("combine_words xor 1024 words in L1 (x1000)", median_seconds([&] {
                       for (int r = 0; r < 1000; ++r) k.combine_words(WordOp::Xor, sd.data(), sa.data(), sb.data(), kSmall);
                   }),
                   1024000);
            report("complement_words 1024 words in L1 (x1000)", median_seconds([&] {
                       for (int r = 0; r < 1000; ++r) k.complement_words(sd.data(), sa.data(), 1, kSmall, ~Word{0});
                   }),
                   1024000);
            report("words_equal 1024 words in L1 (x1000)", median_seconds([&] {
                       for (int r = 0; r < 1000; ++r) sink = k.words_equal(sa.data(), sa.data(), kSmall);
                   }),
                   1024000);
        }
        if (want("transpose")) {
            for (const TransposeCase& c : transposes) report_transpose(c);
        }
        if (want("product")) {
            const BitMatrix& q = factors.back();
            for (std::size_t f = 0; f < densities.size(); ++f) {
                const BitMatrix& p = factors[f];
                std::vector<Word> out(p.rows() * q.stride());
                const double pw = double(out.size());
                char name[80];
                std::snprintf(name, sizeof name, "product 2048^2 density %.3f", densities[f]);
                report(name, median_seconds([&] { sink = boolean_product(p, q)->words()[3]; }, 7), pw);
                report("  sparse rows only", median_seconds([&] {
                           std::fill(out.begin(), out.end(), 0);
                           for (std::uint64_t i = 0; i < p.rows(); ++i) k.or_row_sparse(p, q, out.data(), i, 0);
                       }, 5),
                       pw);
                std::vector<std::uint64_t> all(p.rows());
                for (std::uint64_t i = 0; i < p.rows(); ++i) all[i] = i;
                std::vector<Word> tables(four_russians_table_words());
                std::vector<std::uint64_t> live(p.rows());
                report("  four Russians only", median_seconds([&] {
                           std::fill(out.begin(), out.end(), 0);
                           k.or_rows_four_russians(p, q, out.data(), all, tables.data(), live.data(), {});
                       }, 5),
                       pw);
            }
        }
        for (const ZetaCase& c : zeta) report_zeta(c.name, c.w, c.x, c.repeat);
        if (want("ao")) report_ao("ao_bmf 5000x784 density 0.13 r=22", images, 22);
    }
    return 0;
}
