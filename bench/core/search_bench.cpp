// The search on one data file, for tuning its parts without the module.
// Build (after the core library):
//   g++ -O3 -std=c++23 -Isrc bench/core/search_bench.cpp build/core/libvaldrix_core.a -o build/search_bench
//   build/search_bench FILE.csv K [EFFORT] [THREADS] [SEED]
// FILE.csv: one row per line, fields 1, 0 or empty (unobserved). Prints the
// error over the observed cells, the time and the search's account.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bmf_core/search.hpp"
#include "boolmat/kernels.hpp"

using boolmat::BitMatrix;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE.csv K [EFFORT] [THREADS] [SEED]\n", argv[0]);
        return 2;
    }
    if (!boolmat::use_kernels_from_environment()) return 2;
    std::ifstream in(argv[1]);
    std::vector<std::vector<int>> cells;  // 1, 0, or -1 unobserved
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        std::vector<int> row;
        std::string field;
        for (std::size_t p = 0;; ++p) {
            if (p == line.size() || line[p] == ',') {
                row.push_back(field == "1" ? 1 : field == "0" ? 0 : -1);
                field.clear();
                if (p == line.size()) break;
            } else if (line[p] != ' ' && line[p] != '\r') {
                field += line[p];
            }
        }
        cells.push_back(std::move(row));
    }
    const std::uint64_t m = cells.size(), n = cells.at(0).size();
    BitMatrix x = BitMatrix::zeros(m, n).value(), seen = BitMatrix::zeros(m, n).value();
    bool masked = false;
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            x.set_unchecked(i, j, cells[i][j] == 1);
            seen.set_unchecked(i, j, cells[i][j] >= 0);
            masked |= cells[i][j] < 0;
        }
    bmf_core::SearchOptions options;
    options.r = std::stoull(argv[2]);
    if (argc > 3) options.effort = std::stoull(argv[3]);
    if (argc > 4) options.threads = std::stoull(argv[4]);
    if (argc > 5) options.seed = std::stoull(argv[5]);
    const auto t0 = std::chrono::steady_clock::now();
    auto res = bmf_core::factorize(x, masked ? &seen : nullptr, options);
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!res) {
        std::fprintf(stderr, "failed\n");
        return 1;
    }
    const auto& a = res->account;
    std::printf("error %llu time %.3f starts %llu best_start %s iterations %llu moves %llu kept %llu exact %llu inexact %llu\n",
                static_cast<unsigned long long>(res->error), dt, static_cast<unsigned long long>(a.starts),
                bmf_core::start_kind_name(a.best_start), static_cast<unsigned long long>(a.iterations),
                static_cast<unsigned long long>(a.moves), static_cast<unsigned long long>(a.moves_kept), static_cast<unsigned long long>(a.exact_solves),
                static_cast<unsigned long long>(a.inexact_solves));
    return 0;
}
