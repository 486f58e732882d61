#include "bmf_core/search.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
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
            solves.work += hs.work;
        }
        TRY(f.h, boolmat::transpose(ht, stop));
        TRY(const StepCount ws, improve_rows(f.h, c.x, c.observed, f.w, kStepNodeBudget, stop));
        solves.exact += ws.exact;
        solves.inexact += ws.inexact;
        solves.work += ws.work;
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

// A chain perturbs its best factors until its steps have done this much
// work (StepCount::work), or until so many perturbations in a row found
// nothing lower.
constexpr std::uint64_t kChainWork = std::uint64_t{1} << 27;
// A replacement move touches one component: past 31 components a chain gets
// work in proportion, or its moves would visit few of them.
std::uint64_t chain_work(std::uint64_t r) noexcept { return kChainWork * std::max<std::uint64_t>(1, r / 16); }
std::uint64_t patience(std::uint64_t r) noexcept { return 4 * r; }

// The cover start depends on X and r alone, and so does its polish: the
// first chain of that kind to need it builds it, and every such chain
// starts from a copy, with the same account as if it had built it.
class CoverStart {
public:
    Result<Polished> get(const Cells& c, std::uint64_t r, const Interrupt& stop) {
        std::lock_guard guard(lock_);
        if (!built_) {
            built_.emplace([&]() -> Result<Polished> {
                TRY(Factors f, cover_start(c, r, stop));
                return polish(c, std::move(f), true, stop);
            }());
        }
        if (!*built_) return std::unexpected(built_->error());
        const Polished& p = **built_;
        TRY(BitMatrix w, p.f.w.clone());
        TRY(BitMatrix h, p.f.h.clone());
        return Polished{{std::move(w), std::move(h)}, p.error, p.iterations, p.solves};
    }

private:
    std::mutex lock_;
    std::optional<Result<Polished>> built_;
};

Result<Polished> start(const Cells& c, std::uint64_t r, std::uint64_t k, std::uint64_t seed, CoverStart& cover,
                       const Interrupt& stop) {
    const std::uint64_t round = k / std::size(kKinds);
    switch (kKinds[k % std::size(kKinds)]) {
        case StartKind::Cover: return cover.get(c, r, stop);
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

// A chain's best factors with one component replaced, polished again. The
// replacement is grown from a row of X, or `across`, from a column (the same
// on X's transpose).
Result<Polished> perturb(const Cells& c, const Factors& best, bool across, Lcg64& rng, const Interrupt& stop) {
    const std::uint64_t r = best.h.rows();
    const std::uint64_t j = rng.gen_index(r);
    if (!across) {
        TRY(BitMatrix w, best.w.clone());
        TRY(BitMatrix h, best.h.clone());
        Factors trial{std::move(w), std::move(h)};
        TRY_VOID(replace_component(c, trial, j, rng, stop));
        return polish(c, std::move(trial), true, stop);
    }
    TRY(BitMatrix wt, boolmat::transpose(best.h, stop));
    TRY(BitMatrix ht, boolmat::transpose(best.w, stop));
    Factors trial{std::move(wt), std::move(ht)};
    TRY_VOID(replace_component(c.transposed(), trial, j, rng, stop));
    TRY(Polished p, polish(c.transposed(), std::move(trial), true, stop));
    TRY(BitMatrix w, boolmat::transpose(p.f.h, stop));
    TRY(BitMatrix h, boolmat::transpose(p.f.w, stop));
    p.f = Factors{std::move(w), std::move(h)};
    return p;
}

Result<Chain> run_chain(const Cells& c, std::uint64_t r, std::uint64_t k, std::uint64_t seed, CoverStart& cover,
                        const Interrupt& stop) {
    TRY(Polished best, start(c, r, k, seed, cover, stop));
    Chain chain{std::move(best.f), best.error, kKinds[k % std::size(kKinds)], best.iterations, 0, 0, best.solves};
    Lcg64 rng(chain_seed(seed ^ 0x5EA7C4ull, k));
    std::uint64_t idle = 0;
    while (chain.solves.work < chain_work(r) && idle < patience(r) && chain.error > 0) {
        TRY(Polished p, perturb(c, chain.f, chain.moves % 2 == 1, rng, stop));
        ++chain.moves;
        ++idle;
        chain.iterations += p.iterations;
        chain.solves.exact += p.solves.exact;
        chain.solves.inexact += p.solves.inexact;
        chain.solves.work += p.solves.work;
        if (p.error > chain.error) continue;
        if (p.error < chain.error) {
            ++chain.kept;
            idle = 0;
        }
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
    if (r > kMaxSearchRank) return boolmat::panic("rang trop grand pour la recherche");
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
    CoverStart cover;

    auto worker = [&] {
        const Interrupt flag(&ask_flag, &halt, std::chrono::nanoseconds(0));
        for (;;) {
            const std::uint64_t k = next.fetch_add(1);
            if (k >= total || halt.load()) break;
            Result<Chain> res = run_chain(c, r, k, options.seed, cover, flag);
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

    // The calling thread reports and polls until every chain has ended, the
    // last report with all of them done.
    bool stopped = false;
    {
        std::unique_lock guard(lock);
        std::uint64_t reported = 0;
        for (;;) {
            if (done > reported && progress.report != nullptr && !halt.load()) {
                reported = done;
                const SearchReport report{done, total, best_error};
                guard.unlock();
                stopped = progress.report(progress.context, report);
                guard.lock();
            }
            if (stopped || done == total || halt.load()) break;
            ended.wait_for(guard, std::chrono::milliseconds(20));
            guard.unlock();
            // A wait is long: ask the clock every time, not after a count of units.
            stopped = stop.poll(std::numeric_limits<std::uint64_t>::max());
            guard.lock();
        }
        if (stopped) halt.store(true);
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
        account.work += ch.solves.work;
        if (!best || ch.error < (**chains[*best]).error) best = k;
    }
    if (account.starts != total) return boolmat::stopped();
    Chain& win = **chains[*best];
    account.best_start = win.kind;
    return SearchResult{std::move(win.f.w), std::move(win.f.h), win.error, account};
}

}  // namespace bmf_core
