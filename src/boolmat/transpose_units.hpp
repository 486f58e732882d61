// The driver of the unit transposes (transpose_kernels.hpp, UnitStep): the
// matrix in units of 512 rows of a by W of its words (W = 8 for the AVX-512
// set, 4 for the 256-bit ones), each written as 64 W whole lines of t,
// in a pipeline of steps.
//
// Include it only inside a kernel file's target region, after
// transpose_kernels.hpp: each file compiles its own copy, with internal
// linkage (see target.hpp).
#pragma once

namespace boolmat {
namespace {

inline constexpr std::uintptr_t kUnitLine = 64;

inline std::uint64_t words_to_unit_line(const Word* p) {
    return (kUnitLine - reinterpret_cast<std::uintptr_t>(p) % kUnitLine) % kUnitLine / sizeof(Word);
}

// The units of a matrix: unit (k, b) holds rows 64 (v0 + 8k) .. + 511 of a
// (k from -1 when v0 > 0) and its words w0 + W b .. + W - 1 (b from -1 when
// w0 > 0), and writes the same words of t's rows (v0 + 8k .. + 7) and rows
// 64 (w0 + W b) .. + 64 W - 1. v0 and w0 put the units' lines of t and a on
// line boundaries. Units that reach past the matrix, or start before it,
// read zeros for the rows and words a lacks and write only t's own words.
template <std::uint64_t W>
class Units {
public:
    static constexpr std::uint64_t kScratchWords = 512 * W;

    Units(const BitMatrix& a, BitMatrix& t, std::uint64_t v0, std::uint64_t w0, bool stream, Word* scratch)
        : a_(a.words().data()),
          t_(t.words_mut().data()),
          as_(a.stride()),
          ts_(t.stride()),
          rows_(a.rows()),
          cols_(a.cols()),
          v0_(v0),
          w0_(w0),
          stream_(stream),
          k_min_(v0 > 0 ? -1 : 0),
          b_min_(w0 > 0 ? -1 : 0),
          unit_rows_(std::uint64_t((std::int64_t(ts_) - std::int64_t(v0) + 7) / 8 - k_min_)),
          bands_(std::uint64_t((std::int64_t(as_) - std::int64_t(w0) + std::int64_t(W) - 1) / std::int64_t(W) -
                               b_min_)) {
        work_[0] = scratch;
        work_[1] = scratch + kScratchWords;
    }

    std::uint64_t count() const { return unit_rows_ * bands_; }

    // Step u of the pipeline: reads unit u (if any), writes unit u - 1 (if
    // any).
    UnitStep step(std::uint64_t u) const {
        UnitStep s{.ss = as_, .fill = work_[u % 2], .ds = ts_};
        if (u < count()) {
            const std::int64_t r = row(u), w = word(u);
            s.src = at(a_, r, as_, w);
            s.first = std::uint64_t(std::clamp<std::int64_t>(-r, 0, 512));
            s.last = std::uint64_t(std::clamp<std::int64_t>(std::int64_t(rows_) - r, 0, 512));
            s.load_mask = within<W>(w, as_);
            if (u + 1 < count() && row(u + 1) >= 0 && std::uint64_t(row(u + 1)) + 512 <= rows_) {
                s.next = at(a_, row(u + 1), as_, word(u + 1));
            }
        }
        if (u > 0) {
            const std::int64_t v = t_word(u - 1), c = 64 * word(u - 1);
            s.drain = work_[(u - 1) % 2];
            s.dst = at(t_, c, ts_, v);
            s.begin = std::uint64_t(std::clamp<std::int64_t>(-c, 0, 64 * W));
            s.end = std::uint64_t(std::clamp<std::int64_t>(std::int64_t(cols_) - c, 0, 64 * W));
            s.store_mask = within<8>(v, ts_);
            s.stream = stream_ && s.store_mask == 0xFF;
        }
        return s;
    }

private:
    std::int64_t t_word(std::uint64_t u) const { return std::int64_t(v0_) + 8 * (k_min_ + std::int64_t(u / bands_)); }
    std::int64_t row(std::uint64_t u) const { return 64 * t_word(u); }
    std::int64_t word(std::uint64_t u) const {
        return std::int64_t(w0_) + std::int64_t(W) * (b_min_ + std::int64_t(u % bands_));
    }

    // The words k (of N) of a unit's row whose w + k lies in [0, stride).
    template <std::uint64_t N>
    static unsigned within(std::int64_t w, std::uint64_t stride) {
        const auto below = [](std::int64_t n) {
            return n <= 0 ? 0u : n >= std::int64_t(N) ? (1u << N) - 1 : (1u << n) - 1;
        };
        return below(std::int64_t(stride) - w) & ~below(-w);
    }

    // Word w of row r of the words at p (stride s), which may lie outside
    // them: computed as an address, never read or written there.
    template <class T>
    static T* at(T* p, std::int64_t r, std::uint64_t s, std::int64_t w) {
        const std::int64_t offset = (r * std::int64_t(s) + w) * std::int64_t(sizeof(Word));
        return reinterpret_cast<T*>(reinterpret_cast<std::uintptr_t>(p) + std::uintptr_t(offset));
    }

    const Word* a_;
    Word* t_;
    std::uint64_t as_, ts_, rows_, cols_, v0_, w0_;
    bool stream_;
    std::int64_t k_min_, b_min_;
    std::uint64_t unit_rows_, bands_;
    Word* work_[2];
};

// The transpose of a by units of W words and their step; a matrix of fewer
// than 512 rows or W words per row, or a large one whose rows of t are not
// whole lines, goes through the x86-64 driver with `blocks`.
template <std::uint64_t W>
Result<BitMatrix> transpose_in_units(const BitMatrix& a, void (*step)(const UnitStep&) noexcept,
                                     const TransposeBlocks& blocks, const Interrupt& stop) {
    TRY(BitMatrix t, BitMatrix::uninit(a.cols(), a.rows()));
    // Large results are written with non-temporal stores, whole lines at a
    // time: the units then start at the first line of each row of t (row
    // block v0), which needs rows of whole lines and costs a row of units
    // more, worth it only when t's rows are long enough for that to matter
    // little (else ordinary stores, from row block 0). A large result whose
    // rows are not whole lines is left to the driver, whose runs stream it
    // as far as it goes: units written with ordinary stores across lines
    // were 2 to 3 times slower there. So is a matrix too small for a unit.
    // Likewise for a's rows when they are whole lines: each row's words then
    // come from one line, not parts of two.
    constexpr std::uint64_t kLineWords = kUnitLine / sizeof(Word);
    const bool large = t.words().size() >= kStreamWords, lines = t.stride() % kLineWords == 0;
    if (a.rows() < 512 || a.stride() < W || (large && !lines)) {
        TRY_VOID(avx2::transpose_into(a, t, blocks, stop));
        return t;
    }
    std::uint64_t v0 = words_to_unit_line(t.words().data());
    const bool stream = large && (v0 == 0 || t.stride() >= 8 * kLineWords);
    if (!stream) v0 = 0;
    const std::uint64_t w0 = a.stride() % kLineWords == 0 ? words_to_unit_line(a.words().data()) % W : 0;
    // Two units in flight.
    TRY(Buffer<Word> scratch, Buffer<Word>::uninit(2 * Units<W>::kScratchWords + kLineWords));
    const Units<W> units(a, t, v0, w0, stream, scratch.data() + words_to_unit_line(scratch.data()));
    // Units in row order: each one reads the words next to those of the one
    // before, in rows that it has just read.
    for (std::uint64_t u = 0; u <= units.count(); ++u) {
        if (stop.poll(W * 512)) {
            _mm_sfence();
            return stopped();
        }
        step(units.step(u));
    }
    // Order the streamed lines before anything else the caller stores or
    // publishes.
    _mm_sfence();
    return t;
}

}  // namespace
}  // namespace boolmat
