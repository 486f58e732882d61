// Bringing a target into an AVX2-layout zeta table (layout.hpp), and the
// solve of one target around a set's transform: the row machinery of the
// AVX2 kernels, shared by the sets whose rounds differ (transform.hpp). The rows are added one 32-byte vector at a time in
// every such set: a row touches one vector, so wider registers gain
// nothing there.
//
// With many targets per call, the negated counts live in a private base
// table. A target with fewer rows to add than the table has vectors is added
// into the base and read from there by the first round; the base keeps it
// until the next target, and only the rows where the two differ are moved
// (half the rows of adding each target and taking it out again, for dense
// targets). Otherwise the base is copied and the fewer of the target's
// 1-rows and 0-rows are added to the copy. A row is added by a 32-bit code
// holding its vector's offset and its in-vector bits, which is cheaper than
// gathering its pattern and finding its vector. Patterns carried by many
// rows are counted by popcount over a mask of their rows, since adding them
// one by one is a chain of dependent updates of one vector.
//
// Include it only inside an x86-64 region that has AVX2 and BMI2, after
// lanes_avx2.hpp, rounds.hpp, lane_switch.hpp and the headers
// full_avx2.cpp includes;
// its templates have internal linkage, so each kernel file compiles its
// own copy for its own region.
#pragma once

namespace bmf_core::avx2 {
namespace {

using any_set::with_lane_type;

// Expected rows of one pattern in a target from which they are worth a
// popcount over that pattern's mask rather than a chain of single adds.
constexpr std::uint64_t kMinChain = 8;


// For each byte value, the positions of its 1 bits, one per byte.
constexpr std::array<std::uint64_t, 256> kBitPositions = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned n = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if ((b >> i) & 1) t[b] |= std::uint64_t{i} << (8 * n++);
        }
    }
    return t;
}();

// The indices of the 1 bits of x (of its 0 bits when Zeros) among the
// rows of `keep`, without a branch per bit: each byte stores all eight
// candidate indices and advances by its popcount. `out` needs room for 8
// entries past the count. Sparse: most words are expected empty and are
// skipped (a branch that dense targets would mispredict).
template <bool Zeros, bool Sparse>
std::size_t list_rows(std::span<const Word> x, std::uint64_t m, const Word* keep, std::uint32_t* out) noexcept {
    std::size_t n = 0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        Word w = x[k];
        if constexpr (Zeros) w = ~w & (k + 1 == x.size() ? boolmat::tail_mask(m) : ~Word{0});
        w &= keep[k];
        if constexpr (Sparse) {
            if (w == 0) continue;
        }
        for (unsigned j = 0; j < 8; ++j) {
            const unsigned b = static_cast<unsigned>(w >> (8 * j)) & 0xFF;
            const __m256i pos = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kBitPositions[b])));
            const __m256i idx = _mm256_add_epi32(pos, _mm256_set1_epi32(static_cast<int>(k * 64 + 8 * j)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n), idx);
            n += static_cast<std::size_t>(std::popcount(b));
        }
    }
    return n;
}

std::uint64_t count_and(std::span<const Word> x, const Word* mask) noexcept {
    std::uint64_t c = 0;
    for (std::size_t k = 0; k < x.size(); ++k) c += static_cast<std::uint64_t>(std::popcount(x[k] & mask[k]));
    return c;
}

// The table is kept with its in-vector stages already done (they are linear,
// so they can be done on the counts once, and on each target row here): a
// row of pattern p adds 2 to every entry of its vector whose in-vector index
// holds the low bits of p, that is one vector add of supersets()[p & low].
template <class T>
struct Supersets {
    static constexpr unsigned kLanes = 32 / sizeof(T);
    alignas(32) T lanes[kLanes][kLanes];
};

template <class T>
constexpr Supersets<T> make_supersets() noexcept {
    Supersets<T> s{};
    for (unsigned q = 0; q < Supersets<T>::kLanes; ++q) {
        for (unsigned l = 0; l < Supersets<T>::kLanes; ++l) s.lanes[q][l] = static_cast<T>((l & q) == q ? -1 : 0);
    }
    return s;
}

template <class T>
inline constexpr Supersets<T> kSupersets = make_supersets<T>();

// Adds d at the place of a row code; spread over top_bits, at every
// superset of its top bits.
template <class T>
inline void add_at(V* table, std::uint32_t code, V d, unsigned top_bits) noexcept {
    if (top_bits == 0) {
        V* e = reinterpret_cast<V*>(reinterpret_cast<char*>(table) + (code & ~std::uint32_t{31}));
        *e = Ops<T>::add(*e, d);
        return;
    }
    V* at = reinterpret_cast<V*>(reinterpret_cast<char*>(table) + (code & 0x00FFFFE0u));
    const unsigned t = code >> 24;
    const std::uint16_t* off = kTopSpread.offset[top_bits][t];
    for (unsigned j = 0; j < kTopSpread.count[top_bits][t]; ++j) at[off[j]] = Ops<T>::add(at[off[j]], d);
}

// Adds `amount` to the lanes of pattern p's supersets.
template <class T>
inline void bump(V* table, std::uint64_t p, V amount, unsigned top_bits = 0) noexcept {
    constexpr unsigned lb = Ops<T>::kLaneBits;
    const V lanes = _mm256_load_si256(reinterpret_cast<const V*>(kSupersets<T>.lanes[p & ((1u << lb) - 1)]));
    add_at<T>(table, row_code(p, lb, top_bits), _mm256_and_si256(lanes, amount), top_bits);
}

// The superset vectors times delta, one per value of the in-vector bits.
template <class T>
struct RowDeltas {
    static constexpr unsigned kLow = (1u << Ops<T>::kLaneBits) - 1;
    V d[kLow + 1];
    explicit RowDeltas(int delta) noexcept {
        const V amount = Ops<T>::splat(delta);
        for (unsigned q = 0; q <= kLow; ++q) {
            d[q] = _mm256_and_si256(_mm256_load_si256(reinterpret_cast<const V*>(kSupersets<T>.lanes[q])), amount);
        }
    }
};

// Adds the rows listed in `rows` by index.
template <class T>
void add_rows(V* table, const std::uint32_t* codes, const std::uint32_t* rows, std::size_t n, int delta,
              unsigned top_bits) noexcept {
    const RowDeltas<T> d(delta);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t c = codes[rows[k]];
        add_at<T>(table, c, d.d[c & RowDeltas<T>::kLow], top_bits);
    }
}

// Adds the rows of `bits` among those of `keep` by their codes, walking the
// bits: for rows too few to be worth listing first (the unobserved ones).
template <class T>
void add_row_bits(V* table, const std::uint32_t* codes, std::span<const Word> bits, const Word* keep, int delta,
                  unsigned top_bits) noexcept {
    const RowDeltas<T> d(delta);
    for (std::size_t k = 0; k < bits.size(); ++k) {
        for (Word w = bits[k] & keep[k]; w != 0; w &= w - 1) {
            const std::uint32_t c = codes[k * 64 + static_cast<unsigned>(std::countr_zero(w))];
            add_at<T>(table, c, d.d[c & RowDeltas<T>::kLow], top_bits);
        }
    }
}

// The same straight from the bits, for targets too long for 32-bit indices.
template <class T>
void add_bits(V* table, const std::uint64_t* pat, std::span<const Word> x, int delta, unsigned top_bits = 0) noexcept {
    const V amount = Ops<T>::splat(delta);
    for (std::size_t k = 0; k < x.size(); ++k) {
        for (Word w = x[k]; w != 0; w &= w - 1) {
            bump<T>(table, pat[k * 64 + static_cast<unsigned>(std::countr_zero(w))], amount, top_bits);
        }
    }
}

// The negated counts with the in-vector stages done, polling `stop` per
// chunk of vectors (a fresh table of the largest ranks is faulted in here).
template <class T>
void fill_negated_counts(const BoolLs& s, T* out, const Interrupt& stop) noexcept {
    const std::uint32_t* counts = s.pattern_counts().data();
    const std::size_t n = std::size_t{1} << s.r();
    constexpr std::size_t kLanes = 32 / sizeof(T);
    constexpr std::size_t kStep = kLanes << kChunkBits;
    V* dst = reinterpret_cast<V*>(out);
    for (std::size_t i0 = 0; i0 < n; i0 += kStep) {
        if (stop.poll(kStep / 2)) return;
        const std::size_t end = std::min(n, i0 + kStep);
        for (std::size_t i = i0; i < end; i += kLanes) {
            _mm256_store_si256(dst + padded(i / kLanes), Ops<T>::intra(Ops<T>::negated(counts + i)));
        }
    }
    if constexpr (sizeof(T) == 8) {
        for (const CountCarry& c : s.count_carries()) {
            bump<T>(dst, c.pattern, Ops<T>::splat(-static_cast<std::int64_t>(c.high << 32)));
        }
    }
}

// Stopped, the base is left half filled: the caller does not mark it ready.
template <class T>
void fill_base_lanes(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, const Interrupt& stop) noexcept {
    V* base = buf.base<V>(plan);
    fill_negated_counts(s, reinterpret_cast<T*>(base), stop);
    if (stop.stopped()) return;
    if (plan.avx2.top_bits != 0) {
        simd::Store store;
        simd::round<Lanes, T>(plan.avx2.top_bits, base, base, std::size_t{1} << plan.vec_bits,
                              simd::Bit<kChunkBits>{}, store);
    }
    // What move_base() reads of the target before: nothing.
    const std::size_t words = boolmat::words_for(s.m());
    std::fill(buf.held.as<Word>(), buf.held.as<Word>() + words, Word{0});
    std::fill(buf.held.as<Word>() + 3 * words, buf.held.as<Word>() + 4 * words, Word{0});
    buf.base_counted = 0;
    buf.base_unobserved = false;
}

// Makes the base hold the negated counts plus twice the 1-rows of x (none
// for an empty x), from what it held for the target before: heavy patterns
// by their counts, the other rows by the rows where the two targets differ.
// Consecutive targets share about half their 1-rows when they are dense,
// so this moves half the rows that adding each target and taking it out
// again would. Masked: the base also holds once each unobserved row (none
// for an empty `unobserved`), so that a row moves once by the difference
// of its two amounts, which is 2 for most rows that move (those of x and
// 0-rows); the others, fewer, are walked by their bits.
template <class T, bool Masked>
void move_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
               std::span<const Word> unobserved, unsigned counted) noexcept {
    const std::size_t words = boolmat::words_for(s.m());
    V* base = buf.base<V>(plan);
    const Word* masks = buf.heavy_masks.as<Word>();
    for (unsigned k = 0; k < buf.base_counted; ++k) {
        bump<T>(base, plan.avx2.heavy_patterns[k], Ops<T>::splat(-buf.base_heavy[k]), plan.avx2.top_bits);
    }
    for (unsigned k = 0; k < counted; ++k) {
        buf.base_heavy[k] = 2 * static_cast<std::int64_t>(count_and(x, masks + k * words));
        if (Masked && !unobserved.empty()) {
            buf.base_heavy[k] += static_cast<std::int64_t>(count_and(unobserved, masks + k * words));
        }
        bump<T>(base, plan.avx2.heavy_patterns[k], Ops<T>::splat(buf.base_heavy[k]), plan.avx2.top_bits);
    }
    const Word* was_light = masks + (plan.avx2.heavy + buf.base_counted) * words;
    const Word* light = masks + (plan.avx2.heavy + counted) * words;
    Word* held = buf.held.as<Word>();
    Word* out = held + words;
    Word* in = out + words;
    // Masked: the unobserved rows held, and the rows whose amount drops or
    // rises by 1.
    Word* held_unobserved = in + words;
    Word* down = held_unobserved + words;
    Word* up = down + words;
    std::uint64_t n_out = 0, n_in = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const Word before = held[w] & was_light[w];
        const Word now = x.empty() ? 0 : x[w] & light[w];
        if constexpr (Masked) {
            // Amounts 2 (x), 1 (unobserved) or 0, before and now.
            const Word before_u = held_unobserved[w] & was_light[w];
            const Word now_u = unobserved.empty() ? 0 : unobserved[w] & light[w];
            out[w] = before & ~now & ~now_u;
            in[w] = now & ~before & ~before_u;
            down[w] = (before & now_u) | (before_u & ~now & ~now_u);
            up[w] = (before_u & now) | (now_u & ~before & ~before_u);
            held_unobserved[w] = unobserved.empty() ? 0 : unobserved[w];
        } else {
            out[w] = before & ~now;
            in[w] = now & ~before;
        }
        n_out += static_cast<std::uint64_t>(std::popcount(out[w]));
        n_in += static_cast<std::uint64_t>(std::popcount(in[w]));
        held[w] = x.empty() ? 0 : x[w];
    }
    buf.base_counted = counted;
    const Word* all = masks + plan.avx2.heavy * words;
    std::uint32_t* rows = buf.rows.as<std::uint32_t>();
    const std::uint32_t* codes = buf.codes.as<std::uint32_t>();
    const auto move = [&](const Word* bits, std::uint64_t count, int delta) {
        const std::span<const Word> b(bits, words);
        const std::size_t n = count < 4 * words ? list_rows<false, true>(b, s.m(), all, rows)
                                                : list_rows<false, false>(b, s.m(), all, rows);
        add_rows<T>(base, codes, rows, n, delta, plan.avx2.top_bits);
    };
    move(out, n_out, -2);
    move(in, n_in, 2);
    if constexpr (Masked) {
        add_row_bits<T>(base, codes, {down, words}, all, -1, plan.avx2.top_bits);
        add_row_bits<T>(base, codes, {up, words}, all, 1, plan.avx2.top_bits);
        buf.base_unobserved = !unobserved.empty();
    }
}

// move_base, masked when the target or the base has unobserved rows.
template <class T>
void move_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
               std::span<const Word> unobserved, unsigned counted) noexcept {
    if (unobserved.empty() && !buf.base_unobserved) return move_base<T, false>(plan, buf, s, x, {}, counted);
    move_base<T, true>(plan, buf, s, x, unobserved, counted);
}

template <class T, class Transform>
ColumnAnswer solve_lanes(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                         std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    const unsigned r = plan.r;
    const unsigned vb = plan.vec_bits;
    const std::size_t nvec = std::size_t{1} << vb;
    const std::uint64_t* pat = s.row_patterns().data();

    std::uint64_t ones = 0;
    for (const Word v : x) ones += static_cast<std::uint64_t>(std::popcount(v));
    const std::uint64_t zeros = s.m() - ones;
    // Three ways to bring the target in, by cost:
    // - no base: the table is made from the counts, then the 1-rows added;
    // - base, table no larger than the rows to add: copy the base (negated
    //   when the 0-rows are fewer: -count + 2 ones = count - 2 zeros) and
    //   add the fewer side;
    // - base, larger table: the base keeps the 1-rows of the target
    //   before, and only the rows where the two targets differ are moved
    //   (move_base).
    std::uint32_t* rows = buf.rows.as<std::uint32_t>();
    const std::uint32_t* codes = buf.codes.as<std::uint32_t>();
    // A heavy pattern is counted by popcount only when the target is dense
    // enough to put a chain of rows on it; the heavy patterns are sorted by
    // count, so those counted are a leading run of them.
    const Word* masks = buf.heavy_masks.as<Word>();
    unsigned counted = 0;
    const std::uint64_t fewer = ones < zeros ? ones : zeros;
    while (counted < plan.avx2.heavy && plan.avx2.heavy_counts[counted] * fewer >= s.m() * kMinChain) ++counted;
    const Word* light = masks + (plan.avx2.heavy + counted) * x.size();
    V* target_table = buf.table<V>();
    // Adds `sign` times twice the 1-rows (zeros: the 0-rows) of x.
    auto add_target = [&](V* into, int sign, bool zeros) {
        for (unsigned k = 0; k < counted; ++k) {
            std::uint64_t c = count_and(x, masks + k * x.size());
            if (zeros) c = plan.avx2.heavy_counts[k] - c;
            bump<T>(into, plan.avx2.heavy_patterns[k], Ops<T>::splat(sign * 2 * static_cast<std::int64_t>(c)), plan.avx2.top_bits);
        }
        const bool sparse = fewer < 4 * x.size();
        const std::size_t n = zeros ? (sparse ? list_rows<true, true>(x, s.m(), light, rows)
                                              : list_rows<true, false>(x, s.m(), light, rows))
                                    : (sparse ? list_rows<false, true>(x, s.m(), light, rows)
                                              : list_rows<false, false>(x, s.m(), light, rows));
        add_rows<T>(into, codes, rows, n, 2 * sign, plan.avx2.top_bits);
    };
    if (plan.strategy != ZetaStrategy::Base) {
        fill_negated_counts(s, reinterpret_cast<T*>(target_table), stop);
        if (stop.stopped()) return {0, 0};
        if (plan.avx2.listed) {
            add_target(target_table, 1, false);
        } else {
            add_bits<T>(target_table, pat, x, 2);
        }
    } else if (nvec <= fewer) {
        move_base<T>(plan, buf, s, {}, {}, 0);  // the base as the counts alone
        const V* base = buf.base<V>(plan);
        V* dst = buf.table<V>();
        const std::size_t stored = padded(nvec);
        if (ones <= zeros) {
            for (std::size_t t = 0; t < stored; ++t) _mm256_store_si256(dst + t, _mm256_load_si256(base + t));
            add_target(target_table, 1, false);
        } else {
            const V zero = _mm256_setzero_si256();
            for (std::size_t t = 0; t < stored; ++t) {
                _mm256_store_si256(dst + t, Ops<T>::sub(zero, _mm256_load_si256(base + t)));
            }
            add_target(target_table, -1, true);
        }
    } else {
        target_table = buf.base<V>(plan);
        move_base<T>(plan, buf, s, x, unobserved, counted);
    }

    // An unobserved row's -1 cancelled, the rows added as the target's
    // are (move_base() has them in the base already).
    if (!unobserved.empty() && target_table == buf.table<V>()) {
        if (!plan.avx2.listed) {
            add_bits<T>(target_table, pat, unobserved, 1, plan.avx2.top_bits);
        } else {
            for (unsigned k = 0; k < counted; ++k) {
                bump<T>(target_table, plan.avx2.heavy_patterns[k],
                        Ops<T>::splat(static_cast<std::int64_t>(count_and(unobserved, masks + k * x.size()))),
                        plan.avx2.top_bits);
            }
            add_row_bits<T>(target_table, codes, unobserved, light, 1, plan.avx2.top_bits);
        }
    }
    V* table = buf.table<V>();
    const std::uint64_t all = (std::uint64_t{1} << r) - 1;
    std::pair<std::int64_t, std::size_t> least;
    if (plan.avx2.chunks_then_top) {
        least = Transform::template chunks_then_top<T>(target_table, table, vb - kChunkBits);
    } else {
        least = Transform::template minimum<T>(target_table, table, buf, vb, plan.avx2.top_bits != 0, stop);
    }
    return {~static_cast<std::uint64_t>(least.second) & all, (s.m() - ones) + static_cast<std::uint64_t>(least.first)};
}

}  // namespace
}  // namespace bmf_core::avx2
