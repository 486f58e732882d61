#include "bmf_core/search_moves.hpp"

#include <bit>
#include <vector>

namespace bmf_core {

namespace {

std::int64_t net(const Word* gain, const Word* cost, const Word* v, std::uint64_t n) noexcept {
    std::int64_t s = 0;
    for (std::uint64_t k = 0; k < n; ++k)
        s += std::popcount(gain[k] & v[k]) - std::popcount(cost[k] & v[k]);
    return s;
}

}  // namespace

Status replace_component(const Cells& c, Factors& f, std::uint64_t j, Lcg64& rng, const Interrupt& stop) {
    const std::uint64_t m = c.x.rows(), n = c.x.cols(), words = c.x.stride(), r = f.h.rows();
    TRY_VOID(stop.check(m * r * words));
    // Per row, the cells the other components leave uncovered: its 1 cells
    // there gain when covered, its observed 0 cells cost.
    std::vector<Word> gain(m * words), cost(m * words);
    std::vector<std::uint64_t> open_rows;
    for (std::uint64_t i = 0; i < m; ++i) {
        Word* g = &gain[i * words];
        Word* z = &cost[i * words];
        const Word* wi = f.w.row_ptr(i);
        for (std::uint64_t k = 0; k < words; ++k) {
            Word covered = 0;
            for (std::uint64_t l = 0; l < r; ++l)
                if (l != j && ((wi[l / boolmat::kWordBits] >> (l % boolmat::kWordBits)) & 1)) covered |= f.h.row_ptr(l)[k];
            const Word valid = boolmat::valid_bits(n, k, words);
            const Word seen = c.observed == nullptr ? valid : c.observed->row_ptr(i)[k];
            g[k] = c.x.row_ptr(i)[k] & ~covered;
            z[k] = seen & ~c.x.row_ptr(i)[k] & ~covered;
        }
        for (std::uint64_t k = 0; k < words; ++k)
            if (g[k] != 0) {
                open_rows.push_back(i);
                break;
            }
    }
    if (open_rows.empty()) return {};
    const std::uint64_t seed_row = open_rows[rng.gen_index(open_rows.size())];
    std::vector<Word> v(gain.begin() + static_cast<std::ptrdiff_t>(seed_row * words),
                        gain.begin() + static_cast<std::ptrdiff_t>((seed_row + 1) * words));
    std::vector<char> u(m);
    std::vector<std::int64_t> score(n);
    for (int round = 0; round < 8; ++round) {
        TRY_VOID(stop.check(m * words));
        std::fill(score.begin(), score.end(), 0);
        for (std::uint64_t i = 0; i < m; ++i) {
            u[i] = net(&gain[i * words], &cost[i * words], v.data(), words) > 0;
            if (!u[i]) continue;
            for (std::uint64_t k = 0; k < words; ++k) {
                for (Word b = gain[i * words + k]; b != 0; b &= b - 1) ++score[k * boolmat::kWordBits + static_cast<std::uint64_t>(std::countr_zero(b))];
                for (Word b = cost[i * words + k]; b != 0; b &= b - 1) --score[k * boolmat::kWordBits + static_cast<std::uint64_t>(std::countr_zero(b))];
            }
        }
        std::vector<Word> next(words);
        for (std::uint64_t l = 0; l < n; ++l)
            if (score[l] > 0) next[l / boolmat::kWordBits] |= Word{1} << (l % boolmat::kWordBits);
        if (next == v) break;
        v = std::move(next);
    }
    TRY_VOID(f.h.set_row(j, v));
    TRY_VOID(f.w.own_words());
    for (std::uint64_t i = 0; i < m; ++i) f.w.set_unchecked(i, j, u[i] != 0);
    return {};
}

}  // namespace bmf_core
