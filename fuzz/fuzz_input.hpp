// Decoding of a fuzz input into shapes, choices and matrix contents, and the
// check that stops the run on the first disagreement.
//
// The leading bytes pick sizes and options; the rest fills matrices word by
// word. When the bytes run out, the filler goes on with a generator seeded
// from the whole input, so a short input can still describe a large matrix
// and every byte keeps mattering to the outcome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/words.hpp"

namespace fuzz {

using boolmat::BitMatrix;
using boolmat::Word;

[[noreturn]] inline void mismatch(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: kernel and reference disagree: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond)                                             \
    do {                                                             \
        if (!(cond)) ::fuzz::mismatch(#cond, __FILE__, __LINE__);    \
    } while (0)

// The value of a core Result that cannot fail for the small sizes the
// harnesses build.
template <class R>
auto must(R r) {
    if (!r) {
        std::fprintf(stderr, "unexpected failure: %s\n", r.error().message().c_str());
        std::abort();
    }
    return std::move(*r);
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        // FNV-1a of the whole input seeds the filler.
        std::uint64_t h = 0xCBF29CE484222325ull;
        for (std::size_t k = 0; k < size; ++k) h = (h ^ data[k]) * 0x100000001B3ull;
        state_ = h;
    }

    std::uint8_t byte() {
        if (pos_ < size_) return data_[pos_++];
        return static_cast<std::uint8_t>(next());
    }

    // A value in [lo, hi], from two bytes.
    std::uint64_t in_range(std::uint64_t lo, std::uint64_t hi) {
        const std::uint64_t v = byte() | (std::uint64_t{byte()} << 8);
        return lo + v % (hi - lo + 1);
    }

    bool flag() { return (byte() & 1) != 0; }

    Word word() {
        if (pos_ + 8 <= size_) {
            Word w;
            std::memcpy(&w, data_ + pos_, 8);
            pos_ += 8;
            return w;
        }
        Word w = 0;
        for (unsigned k = 0; k < 8; ++k) w |= Word{byte()} << (8 * k);
        return w;
    }

    // A word whose bits are set with a density picked by the input: sparse
    // and dense rows take different paths in several kernels.
    Word shaped_word(std::uint8_t density) {
        switch (density & 3) {
            case 0: return word() & word() & word();  // ~1/8
            case 1: return word();                    // ~1/2
            case 2: return word() | word() | word();  // ~7/8
            default: return (byte() & 7) == 0 ? word() : 0;  // a few dense words in zeros
        }
    }

    // A rows x cols matrix filled from the input, tail invariant kept.
    BitMatrix matrix(std::uint64_t rows, std::uint64_t cols) {
        BitMatrix m = must(BitMatrix::zeros(rows, cols));
        const std::uint8_t density = byte();
        std::vector<Word> row(m.stride());
        for (std::uint64_t i = 0; i < rows; ++i) {
            for (Word& w : row) w = shaped_word(density);
            if (!m.set_row(i, row)) std::abort();
        }
        return m;
    }

    std::size_t remaining() const { return size_ - pos_; }

private:
    std::uint64_t next() {
        // splitmix64
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint64_t state_;
};

// Every row's bits past the last column are clear.
inline bool tails_clear(const BitMatrix& m) {
    const Word mask = boolmat::tail_mask(m.cols());
    for (std::uint64_t i = 0; i < m.rows(); ++i) {
        if ((m.row_ptr(i)[m.stride() - 1] & ~mask) != 0) return false;
    }
    return true;
}

inline bool same_words(std::span<const Word> a, std::span<const Word> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

inline bool same_matrix(const BitMatrix& a, const BitMatrix& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() && a.stride() == b.stride() && same_words(a.words(), b.words());
}

}  // namespace fuzz
