#include "bmf_core/naive.hpp"

namespace bmf_core {

namespace {

// counts(i): whether row i's error counts.
template <class Counts>
ColumnAnswer naive_of(const BoolLs& s, std::span<const Word> x, const Interrupt& stop, Counts counts) {
    const std::span<const std::uint64_t> pat = s.row_patterns();
    const std::uint64_t m = s.m();
    const std::uint64_t candidates = std::uint64_t{1} << s.r();
    ColumnAnswer best{0, m + 1};
    for (std::uint64_t h = 0; h < candidates; ++h) {
        if (stop.poll(m)) break;
        std::uint64_t e = 0;
        for (std::uint64_t i = 0; i < m; ++i) {
            const std::uint64_t covered = (pat[i] & h) != 0;
            const std::uint64_t target = (x[i / 64] >> (i % 64)) & 1;
            e += (covered ^ target) & counts(i);
        }
        if (e < best.error) best = {h, e};
    }
    return best;
}

}  // namespace

ColumnAnswer solve_naive(const BoolLs& s, std::span<const Word> x, const Interrupt& stop) {
    return naive_of(s, x, stop, [](std::uint64_t) { return std::uint64_t{1}; });
}

ColumnAnswer solve_naive_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                const Interrupt& stop) {
    return naive_of(s, x, stop, [&](std::uint64_t i) { return (observed[i / 64] >> (i % 64)) & 1; });
}

}  // namespace bmf_core
