// Small builders shared by the solver tests: matrices from row strings
// ("101": columns 0 and 2 set) and seeded random matrices.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string_view>

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
