// The row walk of complement_words, the same in every set: the set brings its
// loops over words, this decides which words they invert and where the row
// tails are masked.
//
// Include it after <algorithm> and <cstdint>, inside the set's
// VALDRIX_*_BEGIN region where it has one, like any other code of the set:
// the template is then compiled with the set's instructions and the set's
// loops are inlined into it. It has internal linkage, so each kernel file
// keeps its own copy.
#pragma once

#include "boolmat/words.hpp"

namespace boolmat {
namespace {

// invert(dst, src, n): dst = NOT src over n words, dst possibly src itself.
// invert_masked(dst, src, n, tail): the same ANDed with tail, for n words
// that are each the last word of a row.
template <class Invert, class InvertMasked>
inline void complement_rows(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride, Word tail,
                            Invert invert, InvertMasked invert_masked) noexcept {
    if (tail == ~Word{0}) {
        // Whole-word rows: nothing to mask, one run over all the words.
        invert(dst, src, rows * stride);
        return;
    }
    if (stride == 1) {
        // Every word is a row's last word: inverted and masked in one pass.
        invert_masked(dst, src, rows, tail);
        return;
    }
    // Invert a few rows at a time, then mask their last words while the
    // chunk is still in L1: one pass over memory whatever the stride.
    const std::uint64_t chunk_rows = std::max<std::uint64_t>(1, 512 / stride);
    for (std::uint64_t i0 = 0; i0 < rows; i0 += chunk_rows) {
        const std::uint64_t n = std::min(chunk_rows, rows - i0);
        invert(dst + i0 * stride, src + i0 * stride, n * stride);
        for (std::uint64_t i = i0; i < i0 + n; ++i) dst[i * stride + stride - 1] &= tail;
    }
}

}  // namespace
}  // namespace boolmat
