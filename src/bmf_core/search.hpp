// The search for a good factorisation X ~ W o H at rank r: strong starts
// (concept covers, association candidates, ao_bmf's columns, random ones),
// each polished by alternation (steps that improve every answer from the one
// it holds, exactly unless a node budget stops them: search_step.hpp), then
// perturbed and polished again while that lowers the error, in rounds that
// give the better half of the chains more work. The result depends on the
// arguments only: the same for any number of threads, and repeatable for a
// given seed and effort.
#pragma once

#include <cstdint>

#include "boolmat/buffer.hpp"
#include "boolmat/interrupt.hpp"

#include "bmf_core/boolls.hpp"

namespace bmf_core {

// How a start was built.
enum class StartKind : std::uint8_t { Cover, Association, Columns, Random };
// "cover", "association", "columns", "random".
const char* start_kind_name(StartKind kind) noexcept;

inline constexpr std::uint64_t kDefaultEffort = 32;

// The search keeps no table of 2^r entries: its memory grows with r, not 2^r.
inline constexpr std::uint64_t kMaxSearchRank = 1024;

struct SearchOptions {
    std::uint64_t r = 1;
    std::uint64_t seed = 0;
    // Work, not time: the number of chains, each one start and its
    // perturbations. The time grows in proportion.
    std::uint64_t effort = kDefaultEffort;
    // 0: one per processor. Never changes the result.
    std::uint64_t threads = 0;
};

// What the search did.
struct SearchAccount {
    std::uint64_t starts = 0;          // starts polished
    StartKind best_start = StartKind::Columns;  // the kind of the start the result came from
    std::uint64_t iterations = 0;      // alternation iterations over all starts and moves
    std::uint64_t moves = 0;           // perturbations tried
    std::uint64_t moves_kept = 0;      // those that lowered their chain's error
    std::uint64_t exact_solves = 0;    // target solves whose answer is a best one
    std::uint64_t inexact_solves = 0;  // those stopped by their budget, no worse than their start
    std::uint64_t work = 0;            // the steps' work, about one unit per word read (StepCount::work)
};

struct SearchResult {
    BitMatrix w;  // m x r
    BitMatrix h;  // r x n
    std::uint64_t error;  // wrong cells (observed ones, under a mask)
    SearchAccount account;
};

// Progress, reported on the calling thread only: `done` of `total` chains
// will not run again, and the lowest error so far. A report that returns
// true stops the search, as `stop` does.
struct SearchReport {
    std::uint64_t done;
    std::uint64_t total;
    std::uint64_t best_error;
};
struct SearchProgress {
    bool (*report)(void* context, const SearchReport& report) = nullptr;
    void* context = nullptr;
};

// `observed`: null, or x's shape with a 1 bit on each observed cell. r is 1
// to kMaxSearchRank. `stop` is polled on the calling
// thread only; once it says stop, the workers stop at their next block and
// the result is boolmat::stopped().
Result<SearchResult> factorize(const BitMatrix& x, const BitMatrix* observed, const SearchOptions& options,
                               const Interrupt& stop = {}, const SearchProgress& progress = {});

}  // namespace bmf_core
