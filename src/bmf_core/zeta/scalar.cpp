// The scalar zeta solve, step by step as the algorithm is stated: the
// reference for the vector kernels, and the solve of tables too small for
// one vector.
#include <bit>
#include <vector>

#include "bmf_core/zeta/sparse.hpp"
#include "bmf_core/zeta/zeta.hpp"

namespace bmf_core {

ColumnAnswer solve_zeta_scalar(const BoolLs& s, std::span<const Word> x, std::span<const Word> unobserved,
                               std::int64_t* a) noexcept {
    const std::uint64_t r = s.r(), m = s.m();
    const std::uint64_t n = std::uint64_t{1} << r;
    for (std::uint64_t p = 0; p < n; ++p) a[p] = -static_cast<std::int64_t>(s.pattern_count(p));
    const std::uint64_t* pat = s.row_patterns().data();
    // A 1-row turns its -1 into +1; an unobserved row its -1 into 0.
    auto add_rows = [&](std::span<const Word> rows, std::int64_t delta) {
        std::uint64_t count = 0;
        for (std::size_t k = 0; k < rows.size(); ++k) {
            for (Word w = rows[k]; w != 0; w &= w - 1) {
                a[pat[k * 64 + static_cast<unsigned>(std::countr_zero(w))]] += delta;
                ++count;
            }
        }
        return count;
    };
    const std::uint64_t ones = add_rows(x, 2);
    const std::uint64_t zeros = m - ones - add_rows(unobserved, 1);
    for (std::uint64_t b = 0; b < r; ++b) {
        const std::uint64_t bit = std::uint64_t{1} << b;
        for (std::uint64_t subset = 0; subset < n; ++subset) {
            if (subset & bit) a[subset] += a[subset ^ bit];
        }
    }
    ColumnAnswer best{0, m + 1};
    for (std::uint64_t h = 0; h < n; ++h) {
        const std::uint64_t e = zeros + static_cast<std::uint64_t>(a[~h & (n - 1)]);
        if (e < best.error) best = {h, e};
    }
    return best;
}

ColumnAnswer solve_zeta_scalar(const BoolLs& s, std::span<const Word> x, std::span<const Word> unobserved) {
    std::vector<std::int64_t> a(std::size_t{1} << s.r());
    return solve_zeta_scalar(s, x, unobserved, a.data());
}

ColumnAnswer solve_zeta_sparse_scalar(const BoolLs& s, std::span<const Word> x) {
    const std::uint64_t m = s.m();
    const std::uint64_t* pat = s.row_patterns().data();
    auto is_one = [&](std::uint64_t i) { return (x[i / 64] >> (i % 64)) & 1; };
    std::uint64_t touched = 0, ones = 0;
    for (std::uint64_t i = 0; i < m; ++i) {
        if (is_one(i)) {
            touched |= pat[i];
            ++ones;
        }
    }
    const unsigned u = static_cast<unsigned>(std::popcount(touched));
    const std::uint64_t n = std::uint64_t{1} << u;
    std::vector<std::int64_t> a(n, 0);
    for (std::uint64_t i = 0; i < m; ++i) a[extract_bits(pat[i], touched)] += is_one(i) ? 1 : -1;
    for (std::uint64_t b = 0; b < u; ++b) {
        for (std::uint64_t subset = 0; subset < n; ++subset) {
            if ((subset >> b) & 1) a[subset] += a[subset ^ (std::uint64_t{1} << b)];
        }
    }
    // The subsets of U in increasing order: the first one reaching the
    // smallest error is the smallest mask.
    ColumnAnswer best{0, m + 1};
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t e = (m - ones) + static_cast<std::uint64_t>(a[~k & (n - 1)]);
        if (e < best.error) best = {deposit_bits(k, touched), e};
    }
    return best;
}

}  // namespace bmf_core
