// The long operations under an Interrupt: one that says stop makes them
// return the Stopped failure with their inputs as they were; one that never
// does is asked, and changes nothing of the result.
#include "boolmat/interrupt.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bmf_core/ao_bmf.hpp"
#include "bmf_core/boolls.hpp"
#include "bmf_core/solve.hpp"
#include "boolmat/product.hpp"
#include "boolmat/transpose.hpp"
#include "boolmat_testing.hpp"
#include "solver_fixtures.hpp"

namespace boolmat {
namespace {

using bmf_core::Method;

// Says stop from its `stop_at`-th ask on (never when 0); asked at every
// clock read.
struct Asker {
    int stop_at;
    int asks = 0;
    static bool ask(void* self) noexcept {
        auto* me = static_cast<Asker*>(self);
        return ++me->asks >= me->stop_at && me->stop_at != 0;
    }
    Interrupt interrupt() { return Interrupt(ask, this, std::chrono::nanoseconds(0)); }
};

// What an operation returns, as words to compare.
using Words = std::vector<Word>;

Words words_of(const BitMatrix& m, std::uint64_t extra = 0) {
    Words w(m.words().begin(), m.words().end());
    w.push_back(extra);
    return w;
}

struct Inputs {
    BitMatrix x;    // 400 x 300, the targets
    BitMatrix w18;  // 400 x 18: column by column
    BitMatrix w12;  // 400 x 12: in batches
    BitMatrix big;  // 700 x 700
    BitVec target;
};

Inputs make_inputs() {
    std::mt19937_64 gen(17);
    BitMatrix x = fixtures::random_matrix(400, 300, 0.4, gen);
    BitMatrix w18 = fixtures::random_matrix(400, 18, 0.2, gen);
    BitMatrix w12 = fixtures::random_matrix(400, 12, 0.2, gen);
    BitMatrix big = fixtures::random_matrix(700, 700, 0.5, gen);
    BitVec target = fixtures::random_bits(400, 0.5, gen);
    return {std::move(x), std::move(w18), std::move(w12), std::move(big), std::move(target)};
}

bool same_inputs(const Inputs& a, const Inputs& b) {
    return fixtures::same_words(a.x, b.x) && fixtures::same_words(a.w18, b.w18) &&
           fixtures::same_words(a.w12, b.w12) && fixtures::same_words(a.big, b.big) &&
           std::ranges::equal(a.target.words(), b.target.words());
}

Result<Words> solved_all(const BitMatrix& w, const BitMatrix& x, const Interrupt& stop) {
    TRY(const auto s, bmf_core::BoolLs::build(w));
    TRY(const auto r, bmf_core::solve_all(s, x, Method::Zeta, 0, stop));
    return words_of(r.h, r.error);
}

struct LongOp {
    const char* name;
    Result<Words> (*run)(const Inputs&, const Interrupt&);
};

const LongOp kOps[] = {
    {"solve_all_by_column", [](const Inputs& in, const Interrupt& stop) { return solved_all(in.w18, in.x, stop); }},
    {"solve_all_in_batches", [](const Inputs& in, const Interrupt& stop) { return solved_all(in.w12, in.x, stop); }},
    {"solve_naive", [](const Inputs& in, const Interrupt& stop) -> Result<Words> {
         TRY(const auto s, bmf_core::BoolLs::build(in.w12));
         TRY(const auto a, bmf_core::solve(s, in.target, Method::Naive, 0, stop));
         return Words{a.h, a.error};
     }},
    // A table of 2^12 counters for 400 rows: cleared whole, then counted.
    {"build_recycled", [](const Inputs& in, const Interrupt& stop) -> Result<Words> {
         TRY(auto old, bmf_core::BoolLs::build(in.w12));
         TRY(const auto s, bmf_core::BoolLs::build(in.w12, std::move(old), stop));
         return Words(s.pattern_counts().begin(), s.pattern_counts().end());
     }},
    {"ao_bmf", [](const Inputs& in, const Interrupt& stop) -> Result<Words> {
         TRY(const auto r, bmf_core::ao_bmf(in.x, 10, Method::Zeta, 50, 3, stop));
         Words w = words_of(r.w, r.error);
         w.insert(w.end(), r.h.words().begin(), r.h.words().end());
         return w;
     }},
    {"product", [](const Inputs& in, const Interrupt& stop) -> Result<Words> {
         TRY(const auto p, boolean_product(in.big, in.big, stop));
         return words_of(p);
     }},
    {"transpose", [](const Inputs& in, const Interrupt& stop) -> Result<Words> {
         TRY(const auto t, transpose(in.big, stop));
         return words_of(t);
     }},
};

class Interrupted : public ::testing::TestWithParam<LongOp> {};

TEST_P(Interrupted, StopsWithTheStoppedFailureAndItsInputsUnchanged) {
    const Inputs in = make_inputs();
    for (const int stop_at : {1, 2}) {
        Asker asker{stop_at};
        const auto r = GetParam().run(in, asker.interrupt());
        ASSERT_FALSE(r.has_value()) << "stop at ask " << stop_at;
        EXPECT_EQ(r.error().kind, ErrorKind::Stopped);
        EXPECT_EQ(asker.asks, stop_at) << "asked again once stopped";
    }
    EXPECT_TRUE(same_inputs(in, make_inputs()));
}

TEST_P(Interrupted, NeverStoppingIsAskedAndChangesNothing) {
    const Inputs in = make_inputs();
    Asker asker{0};
    const Words with = testing::ok(GetParam().run(in, asker.interrupt()));
    EXPECT_GT(asker.asks, 1);
    EXPECT_EQ(with, testing::ok(GetParam().run(in, Interrupt{})));
}

INSTANTIATE_TEST_SUITE_P(LongOps, Interrupted, ::testing::ValuesIn(kOps),
                         [](const auto& info) { return std::string(info.param.name); });

// The function is asked at most once per interval, however often it polls.
TEST(InterruptRate, AskedAtMostOncePerInterval) {
    Asker asker{0};
    const Interrupt stop(Asker::ask, &asker, std::chrono::hours(1));
    for (int k = 0; k < 100000; ++k) EXPECT_FALSE(stop.poll(1000));
    EXPECT_EQ(asker.asks, 0);
    EXPECT_FALSE(Interrupt{}.poll(~std::uint64_t{0}));
}

}  // namespace
}  // namespace boolmat
