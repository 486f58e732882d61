// Everything a sequence of column solves reuses: the zeta tables, the greedy
// cover, and the record of targets already answered in the current call.
#pragma once

#include <cstdint>

#include "boolmat/buffer.hpp"

#include "bmf_core/greedy.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/zeta/zeta.hpp"

namespace bmf_core {

class SolveWork {
public:
    ZetaWork zeta;
    GreedyScratch greedy;

    // Makes the work ready for `columns` targets of s with method.
    Status prepare(const BoolLs& s, Method method, std::uint64_t columns);
    // The prepared targets go to the zeta solve in batches.
    bool batched() const noexcept { return method_ == Method::Zeta && zeta.batched(); }

    // Equal targets get equal answers from every method (the seed is the
    // same for every column), so a repeated target is answered from the
    // record. Returns the index of an earlier equal row of `targets`, or
    // `row` itself after recording it.
    std::uint64_t find_or_record(const BitMatrix& targets, std::uint64_t row);
    // The same under a mask: two targets are equal when their masks are
    // and their observed bits are (unobserved bits do not count).
    std::uint64_t find_or_record(const BitMatrix& targets, const BitMatrix& observed, std::uint64_t row);
    Status reset_record(std::uint64_t rows);

    // The error found for each row of the current call, for the repeats.
    std::uint64_t* errors() noexcept { return errors_.data(); }

    // Room for one masked target: its observed bits, then its unobserved
    // rows, words() words each.
    Status reserve_masked(std::uint64_t words);
    Word* masked_target() noexcept { return masked_.data(); }
    Word* unobserved() noexcept { return masked_.data() + masked_words_; }

private:
    template <bool Masked>
    std::uint64_t find_or_record_of(const BitMatrix& targets, const BitMatrix* observed, std::uint64_t row);

    // Sized by the number of targets, so allocated through Buffer: running
    // out of memory is a failure to report, not an exception.
    boolmat::Buffer<std::uint32_t> slots_;  // row + 1, or 0 when empty
    boolmat::Buffer<std::uint64_t> hashes_;
    boolmat::Buffer<std::uint64_t> errors_;
    boolmat::Buffer<Word> masked_;
    std::uint64_t masked_words_ = 0;
    std::uint64_t mask_ = 0;
    Method method_ = Method::Zeta;
};

}  // namespace bmf_core
