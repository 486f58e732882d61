// The seam between the kernel sets: one table of entry points per set, the
// active one chosen once (when the module is imported, or by a test) and
// read by every dispatched call. Inside a set, a kernel may assume that
// set's features without checking again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/interrupt.hpp"
#include "boolmat/isa.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

enum class WordOp : std::uint8_t { And, Or, Xor, AndNot };

struct Kernels {
    Isa isa;

    // Element-wise (ops_kernels.hpp).
    void (*combine_words)(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept;
    void (*combine_words_streamed)(WordOp op, Word* dst, const Word* a, const Word* b, std::size_t n) noexcept;
    void (*complement_words)(Word* dst, const Word* src, std::uint64_t rows, std::uint64_t stride,
                             Word tail) noexcept;
    bool (*words_equal)(const Word* a, const Word* b, std::size_t n) noexcept;

    // Counts (popcount.hpp).
    std::uint64_t (*popcount_words)(std::span<const Word> a) noexcept;
    std::uint64_t (*popcount_xor)(std::span<const Word> a, std::span<const Word> b) noexcept;
    std::uint64_t (*popcount_andnot)(std::span<const Word> a, std::span<const Word> b) noexcept;

    // Bytes to bits and back (pack_bytes.hpp).
    void (*pack_bytes)(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept;
    void (*pack_bytes_reversed)(const std::uint8_t* first, std::uint64_t n, Word* dst) noexcept;
    void (*unpack_bits)(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept;

    // The whole transpose: its copies and stores are vector code too
    // (transpose_kernels.hpp). It polls `stop` between bands of blocks.
    Result<BitMatrix> (*transpose)(const BitMatrix& a, const Interrupt& stop);

    // The product's row steps (product_kernels.hpp).
    void (*or_row_sparse)(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i,
                          std::uint64_t check_from) noexcept;
    void (*or_rows_four_russians)(const BitMatrix& a, const BitMatrix& b, Word* out,
                                  std::span<const std::uint64_t> rows, Word* tables, std::uint64_t* live,
                                  const Interrupt& stop) noexcept;
};

// The table of a set, or null when this build has none (the x86-64 sets
// off x86-64).
const Kernels* kernels_for(Isa isa) noexcept;

// The sets this processor runs, in increasing order of what they need: the
// tests, fuzzers and benchmarks go through each.
std::vector<const Kernels*> runnable_kernel_sets();

namespace detail {
extern const Kernels* active_kernels;
}

// The active set: generic until use_kernels() picks another.
inline const Kernels& kernels() noexcept { return *detail::active_kernels; }
inline Isa active_isa() noexcept { return detail::active_kernels->isa; }

// Makes isa the active set. The caller has checked that the processor runs
// it (choose_isa); it is done once, before any other thread computes.
void use_kernels(Isa isa) noexcept;

// Chooses the set from VALDRIX_ISA and the processor, and makes it active.
Result<Isa> use_kernels_from_environment();

}  // namespace boolmat
