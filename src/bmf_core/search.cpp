#include "bmf_core/search.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bmf_core/alternation.hpp"
#include "bmf_core/lcg64.hpp"
#include "bmf_core/search_moves.hpp"
#include "bmf_core/search_starts.hpp"
#include "bmf_core/search_step.hpp"
#include "boolmat/transpose.hpp"

namespace bmf_core {

const char* start_kind_name(StartKind kind) noexcept {
    switch (kind) {
        case StartKind::Cover: return "cover";
        case StartKind::Association: return "association";
        case StartKind::Columns: return "columns";
        case StartKind::Random: return "random";
    }
    return "?";
}

namespace {

constexpr StartKind kKinds[] = {StartKind::Cover, StartKind::Association, StartKind::Columns, StartKind::Random};
// The association thresholds, in the order the chains take them.
constexpr double kTaus[] = {0.7, 0.5, 0.9, 0.6, 0.8, 0.4, 0.95, 0.3};

// Chain k's draws: a stream of its own, whatever thread runs it.
std::uint64_t chain_seed(std::uint64_t seed, std::uint64_t k) noexcept {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ull * (k + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct Polished {
    Factors f;
    std::uint64_t error;
    std::uint64_t iterations;
    StepCount solves{};  // of the steps that improve each answer from the one held
};

// Alternation by steps that improve each answer from the one held, from W
// and H (the H-step first, or the W-step), while the error strictly falls.
Result<Polished> polish(const Cells& c, Factors f, bool w_step_first, const Interrupt& stop) {
    TRY(BitMatrix ht, boolmat::transpose(f.h, stop));
    StepCount solves;
    std::uint64_t iterations = 0;
    std::uint64_t best = ~std::uint64_t{0};
    for (bool h_step = !w_step_first;; h_step = true) {
        if (h_step) {
            TRY(const BitMatrix wt, boolmat::transpose(f.w, stop));
            TRY(const StepCount hs, improve_rows(wt, c.xt, c.observed_t, ht, kStepNodeBudget, stop));
            solves.exact += hs.exact;
            solves.inexact += hs.inexact;
        }
        TRY(f.h, boolmat::transpose(ht, stop));
        TRY(const StepCount ws, improve_rows(f.h, c.x, c.observed, f.w, kStepNodeBudget, stop));
        solves.exact += ws.exact;
        solves.inexact += ws.inexact;
        ++iterations;
        // No step raises the error: once it stops falling, W and H are as good as the best seen.
        if (ws.error >= best) break;
        best = ws.error;
    }
    return Polished{std::move(f), best, iterations, solves};
}

struct Chain {
    Factors f;
    std::uint64_t error;
    StartKind kind;
    std::uint64_t iterations;
    std::uint64_t moves;
    std::uint64_t kept;
    StepCount solves;
};

// The perturbation rounds of one chain.
std::uint64_t moves_per_chain(std::uint64_t r) noexcept { return 2 * r; }

Result<Polished> start(const Cells& c, std::uint64_t r, std::uint64_t k, std::uint64_t seed,
                       const Interrupt& stop) {
    const std::uint64_t round = k / std::size(kKinds);
    switch (kKinds[k % std::size(kKinds)]) {
        case StartKind::Cover: {
            TRY(Factors f, cover_start(c, r, stop));
            return polish(c, std::move(f), true, stop);
        }
        case StartKind::Association: {
            TRY(Factors f, association_start(c, r, kTaus[round % std::size(kTaus)], stop));
            return polish(c, std::move(f), true, stop);
        }
        case StartKind::Columns: {
            // The first is ao_bmf's own start for the caller's seed.
            TRY(BitMatrix w, initial_w(c.xt, r, round == 0 ? seed : chain_seed(seed, k), stop));
            TRY(BitMatrix h, BitMatrix::zeros(r, c.x.cols()));
            return polish(c, {std::move(w), std::move(h)}, false, stop);
        }
        case StartKind::Random: {
            TRY(BitMatrix h, random_rows_h(c, r, chain_seed(seed, k), stop));
            TRY(BitMatrix w, BitMatrix::zeros(c.x.rows(), r));
            return polish(c, {std::move(w), std::move(h)}, true, stop);
        }
    }
    return boolmat::panic("type de depart inconnu");
}

Result<Chain> run_chain(const Cells& c, std::uint64_t r, std::uint64_t k, std::uint64_t seed,
                        const Interrupt& stop) {
    TRY(Polished best, start(c, r, k, seed, stop));
    Chain chain{std::move(best.f), best.error, kKinds[k % std::size(kKinds)], best.iterations, 0, 0, best.solves};
    Lcg64 rng(chain_seed(seed ^ 0x5EA7C4ull, k));
    const std::uint64_t moves = moves_per_chain(r);
    for (std::uint64_t t = 0; t < moves && chain.error > 0; ++t) {
        TRY(BitMatrix w, chain.f.w.clone());
        TRY(BitMatrix h, chain.f.h.clone());
        Factors trial{std::move(w), std::move(h)};
        TRY_VOID(replace_component(c, trial, rng.gen_index(r), rng, stop));
        TRY(Polished p, polish(c, std::move(trial), true, stop));
        ++chain.moves;
        chain.iterations += p.iterations;
        chain.solves.exact += p.solves.exact;
        chain.solves.inexact += p.solves.inexact;
        if (p.error > chain.error) continue;
        if (p.error < chain.error) ++chain.kept;
        chain.f = std::move(p.f);
        chain.error = p.error;
    }
    return chain;
}

bool ask_flag(void* context) noexcept { return static_cast<std::atomic<bool>*>(context)->load(); }

}  // namespace

Result<SearchResult> factorize(const BitMatrix& x, const BitMatrix* observed, const SearchOptions& options,
                               const Interrupt& stop, const SearchProgress& progress) {
    const std::uint64_t r = options.r;
    if (r == 0) return boolmat::panic("r doit valoir au moins 1");
    TRY_VOID(check_rank(r));
    if (options.effort == 0) return boolmat::panic("effort doit valoir au moins 1");
    TRY(const OwnedCells cells, own_cells(x, observed, stop));
    const Cells c = cells.view();

    const std::uint64_t total = options.effort;
    std::uint64_t threads = options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, total);

    std::vector<std::optional<Result<Chain>>> chains(total);
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> halt{false};
    std::mutex lock;
    std::condition_variable ended;
    std::uint64_t done = 0;
    std::uint64_t best_error = c.x.count_ones();

    auto worker = [&] {
        const Interrupt flag(&ask_flag, &halt, std::chrono::nanoseconds(0));
        for (;;) {
            const std::uint64_t k = next.fetch_add(1);
            if (k >= total || halt.load()) break;
            Result<Chain> res = run_chain(c, r, k, options.seed, flag);
            const bool failed = !res.has_value();
            std::lock_guard guard(lock);
            if (res) best_error = std::min(best_error, res->error);
            chains[k].emplace(std::move(res));
            ++done;
            if (failed) halt.store(true);
            ended.notify_one();
        }
    };
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    for (std::uint64_t t = 0; t < threads; ++t) pool.emplace_back(worker);

    bool stopped = false;
    {
        std::unique_lock guard(lock);
        std::uint64_t reported = 0;
        while (done < total && !halt.load()) {
            ended.wait_for(guard, std::chrono::milliseconds(20));
            if (done > reported && progress.report != nullptr) {
                reported = done;
                const SearchReport report{done, total, best_error};
                guard.unlock();
                stopped = progress.report(progress.context, report);
                guard.lock();
            }
            guard.unlock();
            if (stopped || stop.poll()) {
                stopped = true;
                halt.store(true);
            }
            guard.lock();
        }
    }
    pool.clear();  // joins
    if (stopped) return boolmat::stopped();

    // A chain that failed stopped the others: its failure, not theirs.
    for (const auto& ch : chains)
        if (ch && !*ch && ch->error().kind != boolmat::ErrorKind::Stopped) return std::unexpected(ch->error());
    SearchAccount account;
    std::optional<std::uint64_t> best;
    for (std::uint64_t k = 0; k < total; ++k) {
        if (!chains[k]) continue;
        if (!*chains[k]) return std::unexpected(chains[k]->error());
        const Chain& ch = **chains[k];
        ++account.starts;
        account.iterations += ch.iterations;
        account.moves += ch.moves;
        account.moves_kept += ch.kept;
        account.exact_solves += ch.solves.exact;
        account.inexact_solves += ch.solves.inexact;
        if (!best || ch.error < (**chains[*best]).error) best = k;
    }
    if (account.starts != total) return boolmat::stopped();
    Chain& win = **chains[*best];
    account.best_start = win.kind;
    return SearchResult{std::move(win.f.w), std::move(win.f.h), win.error, account};
}

}  // namespace bmf_core
