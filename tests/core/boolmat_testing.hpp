// Helpers shared by the core tests: unwrapping results, checking internal
// faults and their messages, and deterministic random matrices.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/kernels.hpp"

namespace boolmat::testing {

// The value of a Result that the test expects to succeed.
template <class T>
T ok(Result<T> r) {
    // Thrown so that GoogleTest stops the test and reports the message.
    if (!r) throw std::runtime_error("unexpected failure: " + r.error().message());
    return std::move(*r);
}

// Expects an internal fault (Panic) with exactly this message.
template <class R>
::testing::AssertionResult panics_with(const R& r, const std::string& message) {
    if (r) return ::testing::AssertionFailure() << "succeeded, expected \"" << message << "\"";
    if (r.error().kind != ErrorKind::Panic) {
        return ::testing::AssertionFailure() << "failure of another kind: " << r.error().message();
    }
    if (r.error().message() != message) {
        return ::testing::AssertionFailure() << "message \"" << r.error().message() << "\", expected \"" << message
                                             << "\"";
    }
    return ::testing::AssertionSuccess();
}

using boolmat::runnable_kernel_sets;

// Makes a kernel set the active one for a scope: whole operations
// (transpose(), the product) then run on that set's kernels.
class UsingKernels {
public:
    explicit UsingKernels(const Kernels& k) : before_(active_isa()) { use_kernels(k.isa); }
    ~UsingKernels() { use_kernels(before_); }
    UsingKernels(const UsingKernels&) = delete;
    UsingKernels& operator=(const UsingKernels&) = delete;

private:
    Isa before_;
};

// The set's name, to say which one a failed comparison ran on.
inline std::string set_name(const Kernels& k) { return std::string(isa_name(k.isa)); }

// Names the instances of a test suite parametrised by kernel set.
inline std::string set_param_name(const ::testing::TestParamInfo<const Kernels*>& info) {
    return set_name(*info.param);
}

inline std::vector<Word> words_of(const BitMatrix& m) { return {m.words().begin(), m.words().end()}; }

// Each element 1 with probability density (exactly 0 or 1 at the extremes).
inline BitMatrix random_matrix(std::mt19937_64& rng, std::uint64_t rows, std::uint64_t cols, double density) {
    BitMatrix m = ok(BitMatrix::zeros(rows, cols));
    std::bernoulli_distribution bit(density);
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < cols; ++j) m.set_unchecked(i, j, bit(rng));
    }
    return m;
}

// Uniform random words with the row tails cleared (fast for large shapes).
inline BitMatrix random_words(std::mt19937_64& rng, std::uint64_t rows, std::uint64_t cols) {
    BitMatrix m = ok(BitMatrix::zeros(rows, cols));
    std::vector<Word> row(m.stride());
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (Word& w : row) w = rng();
        EXPECT_TRUE(m.set_row(i, row));
    }
    return m;
}

// The widths where word boundaries and tails go wrong.
inline constexpr std::uint64_t kEdgeWidths[] = {1, 2, 7, 8, 9, 63, 64, 65, 127, 128, 129, 200};

}  // namespace boolmat::testing
