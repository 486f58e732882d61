#include "bmf_core/solve_work.hpp"

#include <bit>
#include <cstring>

namespace bmf_core {

Status SolveWork::prepare(const BoolLs& s, Method method, std::uint64_t columns) {
    method_ = method;
    switch (method) {
        case Method::Zeta: return zeta.prepare(s, columns);
        case Method::Greedy:
        case Method::GreedyLs: return greedy.prepare(s.columns()[0].words().size());
        case Method::Naive: return {};
    }
    return {};
}

Status SolveWork::reset_record(std::uint64_t rows) {
    if (errors_.size() < rows) {
        errors_ = boolmat::Buffer<std::uint64_t>();
        TRY(errors_, boolmat::Buffer<std::uint64_t>::uninit(rows));
    }
    // Row indices are stored as 32-bit values; a call with more rows than
    // that simply answers every row.
    mask_ = 0;
    if (rows >= 0xFFFFFFFFull) return {};
    const std::uint64_t size = std::bit_ceil(rows * 2 < 16 ? std::uint64_t{16} : rows * 2);
    if (slots_.size() != size) {
        slots_ = boolmat::Buffer<std::uint32_t>();
        TRY(slots_, boolmat::Buffer<std::uint32_t>::zeroed(size));
    } else {
        std::memset(slots_.data(), 0, size * sizeof(std::uint32_t));
    }
    if (hashes_.size() < rows) {
        hashes_ = boolmat::Buffer<std::uint64_t>();
        TRY(hashes_, boolmat::Buffer<std::uint64_t>::uninit(rows));
    }
    mask_ = size - 1;
    return {};
}

Status SolveWork::reserve_masked(std::uint64_t words) {
    if (masked_.size() < 2 * words) {
        masked_ = boolmat::Buffer<Word>();
        TRY(masked_, boolmat::Buffer<Word>::uninit(2 * words));
    }
    masked_words_ = words;
    return {};
}

template <bool Masked>
std::uint64_t SolveWork::find_or_record_of(const BitMatrix& targets, const BitMatrix* observed, std::uint64_t row) {
    if (mask_ == 0) return row;
    const std::uint64_t stride = targets.stride();
    const Word* x = targets.row_ptr(row);
    const Word* o = Masked ? observed->row_ptr(row) : nullptr;
    // A sum of independent products, not a chain, so the words hash in
    // parallel; a collision only costs a comparison.
    std::uint64_t h = stride;
    for (std::uint64_t k = 0; k < stride; ++k) {
        if constexpr (Masked) {
            h += ((x[k] & o[k]) + k * 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
            h += (o[k] + k * 0xD6E8FEB86659FD93ull) * 0x94D049BB133111EBull;
        } else {
            h += (x[k] + k * 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
        }
    }
    h ^= h >> 31;
    h *= 0x94D049BB133111EBull;
    h ^= h >> 29;
    hashes_[row] = h;
    auto same = [&](std::uint64_t other) {
        const Word* y = targets.row_ptr(other);
        if constexpr (Masked) {
            const Word* p = observed->row_ptr(other);
            for (std::uint64_t k = 0; k < stride; ++k) {
                if (p[k] != o[k] || ((y[k] ^ x[k]) & o[k]) != 0) return false;
            }
            return true;
        } else {
            return std::memcmp(y, x, stride * sizeof(Word)) == 0;
        }
    };
    for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0) {
            slots_[i] = static_cast<std::uint32_t>(row + 1);
            return row;
        }
        const std::uint64_t other = slot - 1;
        if (hashes_[other] == h && same(other)) return other;
    }
}

std::uint64_t SolveWork::find_or_record(const BitMatrix& targets, std::uint64_t row) {
    return find_or_record_of<false>(targets, nullptr, row);
}

std::uint64_t SolveWork::find_or_record(const BitMatrix& targets, const BitMatrix& observed, std::uint64_t row) {
    return find_or_record_of<true>(targets, &observed, row);
}

}  // namespace bmf_core
