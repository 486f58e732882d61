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

// What the steps know of the answers held: which are a best one (one byte
// per row of W, per column of H), and the components changed on the other
// side since each side's last step (words_for(r) bits). An exact answer
// that takes none of them can only be beaten by one that takes one.
struct Known {
    std::vector<std::uint8_t> exact_w, exact_h;
    std::vector<Word> changed_for_w, changed_for_h;

    // Nothing known: every step searches every answer.
    static Known none(std::uint64_t m, std::uint64_t n, std::uint64_t r) {
        return {std::vector<std::uint8_t>(m), std::vector<std::uint8_t>(n), std::vector<Word>(boolmat::words_for(r)),
                std::vector<Word>(boolmat::words_for(r))};
    }
    // The same answers seen from X's transpose.
    Known transposed() && {
        return {std::move(exact_h), std::move(exact_w), std::move(changed_for_h), std::move(changed_for_w)};
    }
};

struct Polished {
    Factors f;
    std::uint64_t error;
    std::uint64_t iterations;
    StepCount solves{};  // of the steps that improve each answer from the one held
    Known known;
};

// Adds the components whose cells differ between two answer matrices
// (targets x r): the OR over the targets of before ^ after.
void add_changed(const BitMatrix& before, const BitMatrix& after, std::vector<Word>& changed) noexcept {
    for (std::uint64_t t = 0; t < after.rows(); ++t)
        for (std::uint64_t a = 0; a < changed.size(); ++a) changed[a] |= before.row_ptr(t)[a] ^ after.row_ptr(t)[a];
}

// Alternation by steps that improve each answer from the one held, from W
// and H (the H-step first, or the W-step), while the error strictly falls.
// When a step changed no component and the other side's answers are all
// exact, the next step would keep them all: the polish ends there.
Result<Polished> polish(const Cells& c, Factors f, bool w_step_first, Known known, const Interrupt& stop) {
    TRY(BitMatrix ht, boolmat::transpose(f.h, stop));
    StepCount solves;
    std::uint64_t iterations = 0;
    std::uint64_t best = ~std::uint64_t{0};
    const auto count = [&](const StepCount& step) {
        solves.exact += step.exact;
        solves.inexact += step.inexact;
        solves.work += step.work;
    };
    const auto none = [](const auto& v) { return std::ranges::all_of(v, [](auto e) { return e == 0; }); };
    for (bool h_step = !w_step_first;; h_step = true) {
        if (h_step) {
            TRY(const BitMatrix wt, boolmat::transpose(f.w, stop));
            TRY(const BitMatrix before, ht.clone());
            const StepHistory history{known.changed_for_h.data(), known.exact_h.data()};
            TRY(const StepCount hs, improve_rows(wt, c.xt, c.observed_t, ht, kStepNodeBudget, stop, &history));
            count(hs);
            std::fill(known.changed_for_h.begin(), known.changed_for_h.end(), 0);
            add_changed(before, ht, known.changed_for_w);
            const bool all_exact = std::ranges::all_of(known.exact_w, [](std::uint8_t e) { return e != 0; });
            if (best != ~std::uint64_t{0} && all_exact && none(known.changed_for_w)) break;
        }
        TRY(f.h, boolmat::transpose(ht, stop));
        TRY(const BitMatrix before, f.w.clone());
        const StepHistory history{known.changed_for_w.data(), known.exact_w.data()};
        TRY(const StepCount ws, improve_rows(f.h, c.x, c.observed, f.w, kStepNodeBudget, stop, &history));
        count(ws);
        std::fill(known.changed_for_w.begin(), known.changed_for_w.end(), 0);
        add_changed(before, f.w, known.changed_for_h);
        ++iterations;
        // No step raises the error: once it stops falling, W and H are as good as the best seen.
        if (ws.error >= best) break;
        best = ws.error;
    }
    return Polished{std::move(f), best, iterations, solves, std::move(known)};
}

struct Chain {
    Factors f;
    std::uint64_t error;
    StartKind kind;
    std::uint64_t iterations;
    std::uint64_t moves;
    std::uint64_t kept;
    StepCount solves;
    Known known;
    Lcg64 rng;
    std::uint64_t idle = 0;  // perturbations in a row that found nothing lower
};

// A chain perturbs its best factors round by round, each round until its
// steps have done its share of work (StepCount::work), or until so many
// perturbations in a row found nothing lower. A chain that runs every round
// does this much in all.
constexpr std::uint64_t kChainWork = std::uint64_t{1} << 27;
// Rounds of a search of `chains` chains: each after the first runs the
// better half of the one before, down to kLastRound chains, and gives each
// twice the share of the round before: every round costs about the same.
constexpr std::uint64_t kLastRound = 4;
std::uint64_t round_count(std::uint64_t chains) noexcept {
    std::uint64_t rounds = 1;
    for (; chains > kLastRound; chains = (chains + 1) / 2) ++rounds;
    return rounds;
}
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
                return polish(c, std::move(f), true, Known::none(c.x.rows(), c.x.cols(), r), stop);
            }());
        }
        if (!*built_) return std::unexpected(built_->error());
        const Polished& p = **built_;
        TRY(BitMatrix w, p.f.w.clone());
        TRY(BitMatrix h, p.f.h.clone());
        return Polished{{std::move(w), std::move(h)}, p.error, p.iterations, p.solves, p.known};
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
            return polish(c, std::move(f), true, Known::none(c.x.rows(), c.x.cols(), r), stop);
        }
        case StartKind::Columns: {
            // The first is ao_bmf's own start for the caller's seed.
            TRY(BitMatrix w, initial_w(c.xt, r, round == 0 ? seed : chain_seed(seed, k), stop));
            TRY(BitMatrix h, BitMatrix::zeros(r, c.x.cols()));
            return polish(c, {std::move(w), std::move(h)}, false, Known::none(c.x.rows(), c.x.cols(), r), stop);
        }
        case StartKind::Random: {
            TRY(BitMatrix h, random_rows_h(c, r, chain_seed(seed, k), stop));
            TRY(BitMatrix w, BitMatrix::zeros(c.x.rows(), r));
            return polish(c, {std::move(w), std::move(h)}, true, Known::none(c.x.rows(), c.x.cols(), r), stop);
        }
    }
    return boolmat::panic("type de depart inconnu");
}

// Component j of `trial` replaced (`w_j`, `h_j`: its column of W and row of
// H before): answers whose bit j changed are no longer known to be best, and
// j changed for both sides.
void forget_component(Known& known, const Factors& trial, const std::vector<std::uint8_t>& w_j,
                      const std::vector<Word>& h_j, std::uint64_t j) {
    for (std::uint64_t i = 0; i < trial.w.rows(); ++i)
        if (trial.w.get_unchecked(i, j) != (w_j[i] != 0)) known.exact_w[i] = 0;
    for (std::uint64_t l = 0; l < trial.h.cols(); ++l)
        if (trial.h.get_unchecked(j, l) != (((h_j[l / boolmat::kWordBits] >> (l % boolmat::kWordBits)) & 1) != 0))
            known.exact_h[l] = 0;
    const Word bit = Word{1} << (j % boolmat::kWordBits);
    known.changed_for_w[j / boolmat::kWordBits] |= bit;
    known.changed_for_h[j / boolmat::kWordBits] |= bit;
}

// Replaces one component of `trial`, drawn by `rng`, and polishes it again.
Result<Polished> replace_and_polish(const Cells& c, Factors trial, Known known, Lcg64& rng, const Interrupt& stop) {
    const std::uint64_t j = rng.gen_index(trial.h.rows());
    std::vector<std::uint8_t> w_j(trial.w.rows());
    for (std::uint64_t i = 0; i < trial.w.rows(); ++i) w_j[i] = trial.w.get_unchecked(i, j);
    const std::vector<Word> h_j(trial.h.row_ptr(j), trial.h.row_ptr(j) + trial.h.stride());
    TRY_VOID(replace_component(c, trial, j, rng, stop));
    forget_component(known, trial, w_j, h_j, j);
    return polish(c, std::move(trial), true, std::move(known), stop);
}

// A chain's best factors with one component replaced, polished again. The
// replacement is grown from a row of X, or `across`, from a column (the same
// on X's transpose).
Result<Polished> perturb(const Cells& c, const Factors& best, const Known& known, bool across, Lcg64& rng,
                         const Interrupt& stop) {
    if (!across) {
        TRY(BitMatrix w, best.w.clone());
        TRY(BitMatrix h, best.h.clone());
        return replace_and_polish(c, {std::move(w), std::move(h)}, known, rng, stop);
    }
    TRY(BitMatrix wt, boolmat::transpose(best.h, stop));
    TRY(BitMatrix ht, boolmat::transpose(best.w, stop));
    TRY(Polished p,
        replace_and_polish(c.transposed(), {std::move(wt), std::move(ht)}, Known(known).transposed(), rng, stop));
    TRY(BitMatrix w, boolmat::transpose(p.f.h, stop));
    TRY(BitMatrix h, boolmat::transpose(p.f.w, stop));
    p.f = Factors{std::move(w), std::move(h)};
    p.known = std::move(p.known).transposed();
    return p;
}

Result<Chain> start_chain(const Cells& c, std::uint64_t r, std::uint64_t k, std::uint64_t seed, CoverStart& cover,
                          const Interrupt& stop) {
    TRY(Polished best, start(c, r, k, seed, cover, stop));
    return Chain{std::move(best.f), best.error, kKinds[k % std::size(kKinds)], best.iterations, 0, 0, best.solves,
                 std::move(best.known), Lcg64(chain_seed(seed ^ 0x5EA7C4ull, k))};
}

// Perturbs the chain's best factors until its steps' work reaches `until`.
Status advance(const Cells& c, Chain& chain, std::uint64_t until, const Interrupt& stop) {
    const std::uint64_t r = chain.f.h.rows();
    while (chain.solves.work < until && chain.idle < patience(r) && chain.error > 0) {
        TRY(Polished p, perturb(c, chain.f, chain.known, chain.moves % 2 == 1, chain.rng, stop));
        ++chain.moves;
        ++chain.idle;
        chain.iterations += p.iterations;
        chain.solves.exact += p.solves.exact;
        chain.solves.inexact += p.solves.inexact;
        chain.solves.work += p.solves.work;
        if (p.error > chain.error) continue;
        if (p.error < chain.error) {
            ++chain.kept;
            chain.idle = 0;
        }
        chain.f = std::move(p.f);
        chain.error = p.error;
        chain.known = std::move(p.known);
    }
    return {};
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
    const std::uint64_t rounds = round_count(total);
    // A chain's share of the first round; it doubles with each round.
    const std::uint64_t first_share =
        rounds >= 40 ? 1 : std::max<std::uint64_t>(1, chain_work(r) / ((std::uint64_t{1} << rounds) - 1));

    std::vector<std::optional<Result<Chain>>> chains(total);
    std::atomic<bool> halt{false};
    std::mutex lock;
    std::condition_variable ended;
    std::uint64_t done = 0;  // chains that will not run again
    std::uint64_t reported = 0;
    std::uint64_t best_error = c.x.count_ones();
    CoverStart cover;

    // One round: the chains `ks`, each started or advanced by `share`; those
    // of the last round are done as they end.
    const auto run_round = [&](const std::vector<std::uint64_t>& ks, std::uint64_t share, bool last) -> bool {
        std::atomic<std::uint64_t> next{0};
        std::uint64_t ended_here = 0;
        auto worker = [&] {
            const Interrupt flag(&ask_flag, &halt, std::chrono::nanoseconds(0));
            for (;;) {
                const std::uint64_t q = next.fetch_add(1);
                if (q >= ks.size() || halt.load()) break;
                const std::uint64_t k = ks[q];
                const bool fresh = !chains[k];
                Result<Chain> res = fresh ? start_chain(c, r, k, options.seed, cover, flag) : std::move(*chains[k]);
                if (res) {
                    res->idle = 0;
                    const std::uint64_t until = fresh ? share : res->solves.work + share;
                    if (Status st = advance(c, *res, until, flag); !st) res = std::unexpected(st.error());
                }
                const bool failed = !res.has_value();
                std::lock_guard guard(lock);
                if (res) best_error = std::min(best_error, res->error);
                chains[k].emplace(std::move(res));
                ++ended_here;
                done += last;
                if (failed) halt.store(true);
                ended.notify_one();
            }
        };
        std::vector<std::jthread> pool;
        const std::uint64_t n = std::min<std::uint64_t>(threads, ks.size());
        pool.reserve(n);
        for (std::uint64_t t = 0; t < n; ++t) pool.emplace_back(worker);

        // The calling thread reports and polls until the round has ended.
        bool stopped = false;
        {
            std::unique_lock guard(lock);
            for (;;) {
                if (done > reported && progress.report != nullptr && !halt.load()) {
                    reported = done;
                    const SearchReport report{done, total, best_error};
                    guard.unlock();
                    stopped = progress.report(progress.context, report);
                    guard.lock();
                }
                if (stopped || ended_here == ks.size() || halt.load()) break;
                ended.wait_for(guard, std::chrono::milliseconds(20));
                guard.unlock();
                // A wait is long: ask the clock every time, not after a count of units.
                stopped = stop.poll(std::numeric_limits<std::uint64_t>::max());
                guard.lock();
            }
            if (stopped) halt.store(true);
        }
        pool.clear();  // joins
        return !halt.load();
    };

    // Every chain runs the first round; each later round advances the
    // better half of the last one's chains, by error then index, so the
    // work goes where the chains are best.
    std::vector<std::uint64_t> ks(total);
    for (std::uint64_t k = 0; k < total; ++k) ks[k] = k;
    for (std::uint64_t round = 0; round < rounds; ++round) {
        if (round > 0) {
            std::ranges::sort(ks, [&](std::uint64_t a, std::uint64_t b) {
                return std::pair((**chains[a]).error, a) < std::pair((**chains[b]).error, b);
            });
            const std::uint64_t keep = (ks.size() + 1) / 2;
            {
                std::lock_guard guard(lock);
                done += ks.size() - keep;
            }
            ks.resize(keep);
        }
        if (!run_round(ks, first_share << round, round + 1 == rounds)) break;
    }

    // A chain that failed stopped the others: its failure, not theirs.
    for (const auto& ch : chains)
        if (ch && !*ch && ch->error().kind != boolmat::ErrorKind::Stopped) return std::unexpected(ch->error());
    if (halt.load()) return boolmat::stopped();
    SearchAccount account;
    std::optional<std::uint64_t> best;
    for (std::uint64_t k = 0; k < total; ++k) {
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
    Chain& win = **chains[*best];
    account.best_start = win.kind;
    return SearchResult{std::move(win.f.w), std::move(win.f.h), win.error, account};
}

}  // namespace bmf_core
