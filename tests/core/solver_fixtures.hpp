// Small builders shared by the solver tests: matrices from row strings
// ("101": columns 0 and 2 set) and seeded random matrices.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string_view>
#include <utility>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/bitvec.hpp"

namespace fixtures {

using boolmat::BitMatrix;
using boolmat::BitVec;

inline BitMatrix rows_of(std::initializer_list<std::string_view> rows) {
    BitMatrix m = BitMatrix::zeros(rows.size(), rows.begin()->size()).value();
    std::uint64_t i = 0;
    for (std::string_view row : rows) {
        for (std::uint64_t j = 0; j < row.size(); ++j) m.set_unchecked(i, j, row[j] == '1');
        ++i;
    }
    return m;
}

// Bit i of the vector is character i.
inline BitVec bits_of(std::string_view s) {
    BitVec v = BitVec::zeros(s.size()).value();
    for (std::uint64_t i = 0; i < s.size(); ++i) EXPECT_TRUE(v.set(i, s[i] == '1').has_value());
    return v;
}

inline BitMatrix random_matrix(std::uint64_t rows, std::uint64_t cols, double density, std::mt19937_64& gen) {
    BitMatrix m = BitMatrix::zeros(rows, cols).value();
    std::bernoulli_distribution bit(density);
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < cols; ++j) m.set_unchecked(i, j, bit(gen));
    }
    return m;
}

inline BitVec random_bits(std::uint64_t n, double density, std::mt19937_64& gen) {
    BitVec v = BitVec::zeros(n).value();
    std::bernoulli_distribution bit(density);
    for (std::uint64_t i = 0; i < n; ++i) EXPECT_TRUE(v.set(i, bit(gen)).has_value());
    return v;
}

// The best mask h for target x over the rows that `observed` marks, every
// mask tried in increasing order and every cell read one by one: the
// smallest h of the least error. {h, error}.
inline std::uint64_t observed_error(const BitMatrix& w, const BitVec& x, const BitVec& observed, std::uint64_t h) {
    std::uint64_t e = 0;
    for (std::uint64_t i = 0; i < w.rows(); ++i) {
        bool covered = false;
        for (std::uint64_t j = 0; j < w.cols(); ++j) covered |= w.get_unchecked(i, j) && ((h >> j) & 1);
        e += observed.get(i).value() && covered != x.get(i).value();
    }
    return e;
}

inline std::pair<std::uint64_t, std::uint64_t> best_over_observed(const BitMatrix& w, const BitVec& x,
                                                                  const BitVec& observed) {
    std::pair<std::uint64_t, std::uint64_t> best{0, w.rows() + 1};
    for (std::uint64_t h = 0; h < (std::uint64_t{1} << w.cols()); ++h) {
        const std::uint64_t e = observed_error(w, x, observed, h);
        if (e < best.second) best = {h, e};
    }
    return best;
}

// X = W o H over the Boolean semiring, computed element by element.
inline BitMatrix product_of(const BitMatrix& w, const BitMatrix& h) {
    BitMatrix out = BitMatrix::zeros(w.rows(), h.cols()).value();
    for (std::uint64_t i = 0; i < w.rows(); ++i) {
        for (std::uint64_t l = 0; l < h.cols(); ++l) {
            bool v = false;
            for (std::uint64_t j = 0; j < w.cols() && !v; ++j) v = w.get_unchecked(i, j) && h.get_unchecked(j, l);
            out.set_unchecked(i, l, v);
        }
    }
    return out;
}

inline std::uint64_t distance(const BitMatrix& a, const BitMatrix& b) {
    std::uint64_t d = 0;
    for (std::uint64_t k = 0; k < a.words().size(); ++k) d += std::popcount(a.words()[k] ^ b.words()[k]);
    return d;
}

inline bool same_words(const BitMatrix& a, const BitMatrix& b) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
    for (std::uint64_t k = 0; k < a.words().size(); ++k) {
        if (a.words()[k] != b.words()[k]) return false;
    }
    return true;
}

}  // namespace fixtures
