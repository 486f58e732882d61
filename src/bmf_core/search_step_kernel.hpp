// One target of the search's step (search_step.hpp), written once and built
// by each set in its own file, inside its region: there the counts become
// the set's own popcount instructions. Include inside the set's region,
// with <algorithm>, <cstdint> and search_step.hpp included before it.
#pragma once

namespace bmf_core::any_set {
namespace {

// A component's sort key: its net cost, biased to stay positive (a target
// has fewer than 2^46 cells), above its index (kMaxStepRank); the top bit
// puts unchanged components after the changed ones.
constexpr unsigned kIdBits = 16;
constexpr std::uint64_t kKeyBias = std::uint64_t{1} << 46;
constexpr std::uint64_t kUnchangedKey = std::uint64_t{1} << 63;
static_assert(kMaxStepRank <= (std::uint64_t{1} << kIdBits));

inline std::uint64_t ones_in(Word w) noexcept { return static_cast<std::uint64_t>(__builtin_popcountll(w)); }

// The depth-first search over the open components, component k first taken,
// then left out; a branch ends when even every open component after it could
// not beat the best. Leaving a component out keeps the cover, so its node
// needs only the new bound: the nodes of one cover are walked in a loop, and
// each still counts against the budget. Only the first `root_open` open
// components start a branch from the root. Fixed > 0 fixes the target's
// word count at compile time.
template <std::uint64_t Fixed>
struct Dfs {
    const StepTarget& t;
    StepScratch& s;
    std::uint64_t open;
    std::uint64_t root_open;
    std::uint64_t nodes = 0;
    std::uint64_t reads = 0;  // words read by the cuts, beyond the nodes' own
    std::uint64_t depth = 0;  // of s.chosen
    std::uint64_t best;
    std::uint64_t best_depth = 0;  // of s.best

    std::uint64_t words() const noexcept { return Fixed > 0 ? Fixed : t.words; }

    // The nodes k, k + 1, ... of the cover s.cov row k.
    bool visit(std::uint64_t k) {
        const std::uint64_t words = this->words();
        const Word* cov = s.cov + k * words;
        std::uint64_t wrong0 = 0, err = 0;
        for (std::uint64_t w = 0; w < words; ++w) {
            wrong0 += ones_in(s.zeros[w] & cov[w]);
            err += ones_in(t.ones[w] & ~cov[w]);
        }
        err += wrong0;
        if (++nodes > t.node_budget) return false;
        if (err < best) {
            best = err;
            best_depth = depth;
            for (std::uint64_t d = 0; d < depth; ++d) s.best[d] = s.chosen[d];
        }
        for (bool first = true;; ++k, first = false) {
            if (depth == 0 && k == root_open) return true;
            if (!first && ++nodes > t.node_budget) return false;
            const Word* reach = s.reach + k * words;
            std::uint64_t bound = wrong0;
            for (std::uint64_t w = 0; w < words; ++w) bound += ones_in(t.ones[w] & ~(cov[w] | reach[w]));
            if (bound >= best || k == open) return true;
            {
                // Covering any reachable 1 cell takes a component, which
                // covers at least the fewest new 0 cells among them: when all
                // those cost the gap to the best, so does every completion.
                const std::uint64_t gap = best - bound;
                std::uint64_t reachable = 0;
                for (std::uint64_t w = 0; w < words; ++w) reachable += ones_in(t.ones[w] & ~cov[w] & reach[w]);
                bool cut = reachable >= gap;
                reads += words;
                for (std::uint64_t q = k; q < open && cut; ++q) {
                    reads += words;
                    std::uint64_t z = 0;
                    for (std::uint64_t w = 0; w < words; ++w) z += ones_in(s.open[q][w] & s.zeros[w] & ~cov[w]);
                    cut = z >= gap;
                }
                if (cut) return true;
            }
            const Word* b = s.open[k];
            // Where component k adds no 1 cell it can only cost, and where it
            // adds no 0 cell it can only gain: one branch then suffices.
            Word gains = 0, costs = 0;
            for (std::uint64_t w = 0; w < words; ++w) {
                gains |= b[w] & t.ones[w] & ~cov[w];
                costs |= b[w] & s.zeros[w] & ~cov[w];
            }
            if (gains != 0) {
                Word* next = s.cov + (k + 1) * words;
                for (std::uint64_t w = 0; w < words; ++w) next[w] = cov[w] | b[w];
                s.chosen[depth++] = s.ids[k];
                const bool ended = visit(k + 1);
                --depth;
                if (!ended || costs == 0) return ended;
            }
        }
    }
};

template <std::uint64_t Fixed>
StepAnswer search(const StepTarget& t, StepScratch& s, std::uint64_t open, std::uint64_t root_open,
                  std::uint64_t held_error) noexcept {
    Dfs<Fixed> dfs{.t = t, .s = s, .open = open, .root_open = root_open, .best = held_error + 1};
    const bool ended = dfs.visit(0);
    if (dfs.best > held_error) return {held_error, ended, dfs.nodes, dfs.reads};
    const std::uint64_t answer_words = boolmat::words_for(t.r);
    for (std::uint64_t a = 0; a < answer_words; ++a) t.answer[a] = s.taken[a];
    for (std::uint64_t d = 0; d < dfs.best_depth; ++d) t.answer[s.best[d] / boolmat::kWordBits] |= Word{1} << (s.best[d] % boolmat::kWordBits);
    return {dfs.best, ended, dfs.nodes, dfs.reads};
}

template <std::uint64_t Fixed>
StepAnswer improve(const StepTarget& t, StepScratch& s) noexcept {
    const std::uint64_t words = Fixed > 0 ? Fixed : t.words, r = t.r;
    for (std::uint64_t w = 0; w < words; ++w) {
        s.zeros[w] = (t.observed == nullptr ? boolmat::valid_bits(t.cols, w, words) : t.observed[w]) & ~t.ones[w];
    }
    // The answer held is the one to beat.
    const std::uint64_t answer_words = boolmat::words_for(r);
    for (std::uint64_t w = 0; w < words; ++w) s.settled[w] = 0;
    for (std::uint64_t a = 0; a < answer_words; ++a)
        for (Word b = t.answer[a]; b != 0; b &= b - 1) {
            const std::uint64_t j = a * 64 + static_cast<std::uint64_t>(__builtin_ctzll(b));
            const Word* row = t.basis + j * t.basis_stride;
            for (std::uint64_t w = 0; w < words; ++w) s.settled[w] |= row[w];
        }
    std::uint64_t held_error = 0;
    for (std::uint64_t w = 0; w < words; ++w)
        held_error += ones_in(t.ones[w] & ~s.settled[w]) + ones_in(s.zeros[w] & s.settled[w]);
    // A best answer before the change that takes no changed component still
    // beats every answer that takes none.
    bool restricted = t.changed != nullptr;
    for (std::uint64_t a = 0; a < answer_words && restricted; ++a) restricted = (t.answer[a] & t.changed[a]) == 0;

    // Components that cover 1 cells and no 0 cell are always worth taking.
    for (std::uint64_t w = 0; w < words; ++w) s.settled[w] = 0;
    for (std::uint64_t a = 0; a < answer_words; ++a) s.taken[a] = 0;
    for (std::uint64_t j = 0; j < r; ++j) {
        const Word* b = t.basis + j * t.basis_stride;
        Word gains = 0, costs = 0;
        for (std::uint64_t w = 0; w < words; ++w) {
            gains |= b[w] & t.ones[w];
            costs |= b[w] & s.zeros[w];
        }
        if (gains != 0 && costs == 0) {
            s.taken[j / boolmat::kWordBits] |= Word{1} << (j % boolmat::kWordBits);
            for (std::uint64_t w = 0; w < words; ++w) s.settled[w] |= b[w];
        }
    }
    // Every answer searched takes a changed component already.
    for (std::uint64_t a = 0; a < answer_words && restricted; ++a) restricted = (s.taken[a] & t.changed[a]) == 0;
    // The others that still reach an uncovered 1 cell, the best net gain
    // first, then the lowest index: one sort key holds both. Restricted,
    // the changed ones come first, and only they start a branch.
    std::uint64_t open = 0, changed_open = 0;
    for (std::uint64_t j = 0; j < r; ++j) {
        if ((s.taken[j / boolmat::kWordBits] >> (j % boolmat::kWordBits)) & 1) continue;
        const Word* b = t.basis + j * t.basis_stride;
        std::uint64_t gain = 0, cost = 0;
        for (std::uint64_t w = 0; w < words; ++w) {
            gain += ones_in(b[w] & t.ones[w] & ~s.settled[w]);
            cost += ones_in(b[w] & s.zeros[w]);
        }
        if (gain == 0) continue;
        const bool unchanged = restricted && ((t.changed[j / boolmat::kWordBits] >> (j % boolmat::kWordBits)) & 1) == 0;
        changed_open += !unchanged;
        s.keys[open++] = (unchanged ? kUnchangedKey : 0) | ((cost + kKeyBias - gain) << kIdBits) | j;
    }
    if (restricted && changed_open == 0) return {held_error, true, 0, 0};
    if (open <= 32) {
        // Few keys, all distinct: each one's place is the count of those
        // below it, without a branch to mispredict.
        for (std::uint64_t k = 0; k < open; ++k) {
            std::uint64_t place = 0;
            for (std::uint64_t q = 0; q < open; ++q) place += s.keys[q] < s.keys[k];
            s.ids[place] = s.keys[k] & ((std::uint64_t{1} << kIdBits) - 1);
        }
    } else {
        std::sort(s.keys, s.keys + open);
        for (std::uint64_t k = 0; k < open; ++k) s.ids[k] = s.keys[k] & ((std::uint64_t{1} << kIdBits) - 1);
    }
    for (std::uint64_t k = 0; k < open; ++k) s.open[k] = t.basis + s.ids[k] * t.basis_stride;
    // reach[k]: what the open components from k on can still cover.
    for (std::uint64_t w = 0; w < words; ++w) {
        s.reach[open * words + w] = 0;
        s.cov[w] = s.settled[w];
    }
    for (std::uint64_t k = open; k-- > 0;)
        for (std::uint64_t w = 0; w < words; ++w) s.reach[k * words + w] = s.reach[(k + 1) * words + w] | s.open[k][w];

    const std::uint64_t root_open = restricted ? changed_open : open;
    return search<Fixed>(t, s, open, root_open, held_error);
}

StepAnswer improve_one(const StepTarget& t, StepScratch& s) noexcept {
    return t.words == 1 ? improve<1>(t, s) : improve<0>(t, s);
}

}  // namespace
}  // namespace bmf_core::any_set
