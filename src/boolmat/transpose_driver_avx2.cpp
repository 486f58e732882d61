// The transpose driver of the x86-64 sets for the matrices their units
// (transpose_units.hpp) leave: 256 x 256-bit superblocks (4 x 4 blocks of
// 64 x 64) for the bulk of the matrix, single blocks for the border that
// superblocks do not cover, each by the block kernels of the set.
//
// Memory order matters more than the kernels: with a row stride that is a
// multiple of a large power of two, rows map to the same few places of the
// cache, and lines of t written in part are evicted before their other
// halves arrive. So the kernels write to buffers: superblocks (two column
// bands at a time: 64 bytes of each row of a, from a line boundary when the
// stride allows, so one whole line rather than parts of two) to one whose
// row stride is off the power of two, border blocks (8 x 8 at a time) to
// dense ones, and the buffers go to t as long runs per row. A large t is written with non-temporal stores, whatever its stride:
// it is not read back here and would not stay in cache, and reading its
// lines before overwriting them would cost a pass of its own. Those writes
// are bound by memory and the kernels by the shuffle units, so one run is
// written out while the next is transposed.
// Timings and the variants tried: bench/notes/transpose.md.
//
// Every block transposed sees what the six-stage reference loads: the words
// of a and zeros for rows past the last one; outputs past the last column are
// dropped. So t is word for word the reference result, tail bits 0.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "boolmat/transpose.hpp"
#include "boolmat/target.hpp"
#include "boolmat/transpose_kernels.hpp"

VALDRIX_AVX2_BEGIN
namespace boolmat::avx2 {
namespace {

constexpr std::uint64_t kChunk = 32;  // superblock rows per buffered run, at most
constexpr std::uint64_t kBands = 2;   // superblock columns per pass: 64 bytes of each row of a
constexpr std::uint64_t kTile = 8;    // border blocks per tile side
constexpr std::uint64_t kTileWords = 64 * kTile * kTile;
constexpr std::uintptr_t kLine = 64;  // bytes per cache line

// Row stride of the superblock buffer for runs of `chunk` superblock rows:
// off the power of two.
constexpr std::uint64_t run_stride(std::uint64_t chunk) { return 4 * chunk + 4; }

// Words before the next line boundary at p.
inline std::uint64_t words_to_line(const Word* p) {
    return (kLine - reinterpret_cast<std::uintptr_t>(p) % kLine) % kLine / sizeof(Word);
}

// Words past the last line boundary at or before p.
inline std::uint64_t words_past_line(const Word* p) {
    return reinterpret_cast<std::uintptr_t>(p) % kLine / sizeof(Word);
}

// Words [k, end) of one row, non-temporal: 8 bytes at a time up to a
// 32-byte boundary, then 32 at a time.
inline void stream_words(const Word* src, Word* dst, std::uint64_t k, std::uint64_t end) {
    for (; k < end && reinterpret_cast<std::uintptr_t>(dst + k) % 32 != 0; ++k) {
        _mm_stream_si64(reinterpret_cast<long long*>(dst + k), static_cast<long long>(src[k]));
    }
    for (; k + 4 <= end; k += 4) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + k),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + k)));
    }
    for (; k < end; ++k) _mm_stream_si64(reinterpret_cast<long long*>(dst + k), static_cast<long long>(src[k]));
}

// Rows of `words` words, the lines that they fill with non-temporal stores
// and the lines they share with other runs with ordinary ones: those merge
// in the cache instead of leaving memory two partial writes per line. Rows
// that follow each other (ds == words) fill the lines across their ends.
void stream_rows(const Word* src, std::uint64_t ss, Word* dst, std::uint64_t ds, std::uint64_t rows,
                 std::uint64_t words) {
    if (rows == 0 || words == 0) return;
    const bool joined = ds == words;
    // The whole lines of the rows when joined, as offsets from dst.
    const std::uint64_t first = words_to_line(dst), last = rows * ds - words_past_line(dst + rows * ds);
    for (std::uint64_t i = 0; i < rows; ++i, src += ss, dst += ds) {
        const std::uint64_t past = words_past_line(dst + words);
        std::uint64_t lo = words_to_line(dst), hi = words > past ? words - past : 0;
        if (joined) {
            lo = i * ds >= first ? 0 : first - i * ds;
            hi = std::min(words, last > i * ds ? last - i * ds : 0);
        }
        lo = std::min(lo, words);
        hi = std::max(hi, lo);
        std::uint64_t k = 0;
        for (; k < lo; ++k) dst[k] = src[k];
        stream_words(src, dst, lo, hi);
        for (k = hi; k < words; ++k) dst[k] = src[k];
    }
}

void copy_rows(const Word* src, std::uint64_t ss, Word* dst, std::uint64_t ds, std::uint64_t rows,
               std::uint64_t words) {
    if (ss == words && ds == words) {  // one run, as for 64-column results
        std::copy_n(src, rows * words, dst);
        return;
    }
    for (std::uint64_t i = 0; i < rows; ++i, src += ss, dst += ds) {
        std::uint64_t k = 0;
        for (; k + 4 <= words; k += 4) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + k),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + k)));
        }
        for (; k < words; ++k) dst[k] = src[k];
    }
}

// A run of transposed superblock rows in the buffer, on its way to t: `rows`
// rows of t (256 per superblock column), each `words` words long, of which
// the first `done` are written.
struct Run {
    bool stream;
    std::uint64_t rs, ts;  // row strides of the buffer and of t
    const Word* src = nullptr;
    Word* dst = nullptr;
    std::uint64_t rows = 0, words = 0, done = 0;

    void start(const Word* s, Word* d, std::uint64_t r, std::uint64_t w) {
        src = s, dst = d, rows = r, words = w, done = 0;
    }

    // Writes rows [done, end); rows of one superblock column are 256 rows
    // apart in the buffer and consecutive in t.
    void write_until(std::uint64_t end) {
        while (done < end) {
            const std::uint64_t band = done / 256, i = done % 256, k = std::min(end - done, 256 - i);
            const Word* from = src + (band * 256 + i) * rs;
            Word* to = dst + (band * 256 + i) * ts;
            if (stream) {
                stream_rows(from, rs, to, ts, k, words);
            } else {
                copy_rows(from, rs, to, ts, k, words);
            }
            done += k;
        }
    }
};

class Transposer {
public:
    Transposer(const BitMatrix& a, BitMatrix& t, const TransposeBlocks& k, Word* work, std::uint64_t tile_words,
               const Interrupt& stop)
        : k_(k),
          a_(a),
          src_(a.words().data()),
          dst_(t.words_mut().data()),
          as_(a.stride()),
          ts_(t.stride()),
          work_(work),
          tile_words_(tile_words),
          stop_(stop) {}

    // Superblock rows [0, sr) by the superblock columns that start at word
    // w0 + 4c for c in [0, sc), in runs of `chunk` superblock rows. The
    // buffer holds two runs of kBands * 256 * run_stride(chunk) words: while
    // one is being transposed, the one before it is written out a slice
    // after each superblock row, so that the writes to t overlap the kernels
    // instead of following them. False when stopped (polled per run).
    bool superblocks(std::uint64_t w0, std::uint64_t sr, std::uint64_t sc, std::uint64_t chunk) const {
        const std::uint64_t rs = run_stride(chunk);
        const bool stream = ts_ * a_.cols() >= kStreamWords;
        Run out{.stream = stream, .rs = rs, .ts = ts_};
        Word* buffers[2] = {work_, work_ + kBands * 256 * rs};
        unsigned next = 0;
        for (std::uint64_t c0 = 0; c0 < sc; c0 += kBands) {
            const std::uint64_t nb = std::min(kBands, sc - c0);
            for (std::uint64_t r0 = 0; r0 < sr; r0 += chunk) {
                const std::uint64_t n = std::min(chunk, sr - r0);
                if (stop_.poll(2 * 1024 * nb * n)) {
                    if (stream) _mm_sfence();
                    return false;
                }
                Word* work = buffers[next];
                for (std::uint64_t r = r0; r < r0 + n; ++r) {
                    const Word* from = src_ + 256 * r * as_ + w0 + 4 * c0;
                    Word* to = work + 4 * (r - r0);
                    std::uint64_t b = 0;
                    for (; b + 2 <= nb; b += 2) {
                        k_.pair(from + 4 * b, as_, to + b * 256 * rs, to + (b + 1) * 256 * rs, rs);
                    }
                    if (b < nb) k_.superblock(from + 4 * b, as_, to + b * 256 * rs, rs);
                    out.write_until((r - r0 + 1) * out.rows / n);
                }
                out.write_until(out.rows);
                out.start(work, dst_ + (64 * w0 + 256 * c0) * ts_ + 4 * r0, nb * 256, 4 * n);
                next ^= 1;
            }
        }
        out.write_until(out.rows);
        // Order the streamed words before anything else the caller stores or
        // publishes.
        if (stream) _mm_sfence();
        return true;
    }

    // Row blocks [r_begin, r_end) by column blocks [c_begin, c_end), kTile x
    // kTile blocks at a time. False when stopped (polled per row of tiles).
    bool blocks(std::uint64_t r_begin, std::uint64_t r_end, std::uint64_t c_begin, std::uint64_t c_end) const {
        for (std::uint64_t r0 = r_begin; r0 < r_end; r0 += kTile) {
            const std::uint64_t nr = std::min(kTile, r_end - r0);
            if (stop_.poll(128 * nr * (c_end - c_begin))) return false;
            for (std::uint64_t c0 = c_begin; c0 < c_end; c0 += kTile) tile(r0, nr, c0, std::min(kTile, c_end - c0));
        }
        return true;
    }

private:
    void tile(std::uint64_t r0, std::uint64_t nr, std::uint64_t c0, std::uint64_t nc) const {
        Word* in = work_;                // 64 nr rows of nc words
        Word* out = work_ + tile_words_;  // 64 nc rows of nr words
        const std::uint64_t rows = std::min(64 * nr, a_.rows() - 64 * r0);
        const std::uint64_t cols = std::min(64 * nc, a_.cols() - 64 * c0);
        copy_rows(src_ + 64 * r0 * as_ + c0, as_, in, nc, rows, nc);
        std::fill(in + rows * nc, in + 64 * nr * nc, Word{0});
        for (std::uint64_t r = 0; r < nr; ++r) {
            for (std::uint64_t c = 0; c < nc; ++c) {
                k_.block(in + 64 * r * nc + c, nc, out + 64 * c * nr + r, nr);
            }
        }
        copy_rows(out, nr, dst_ + 64 * c0 * ts_ + r0, ts_, cols, nr);
    }

    const TransposeBlocks k_;
    const BitMatrix& a_;
    const Word* src_;
    Word* dst_;
    std::uint64_t as_, ts_;
    Word* work_;
    std::uint64_t tile_words_;  // words of each of the two border buffers
    const Interrupt& stop_;
};

}  // namespace

Result<BitMatrix> transpose_by(const BitMatrix& a, const TransposeBlocks& blocks, const Interrupt& stop) {
    TRY(BitMatrix t, BitMatrix::uninit(a.cols(), a.rows()));
    TRY_VOID(transpose_into(a, t, blocks, stop));
    return t;
}

Status transpose_into(const BitMatrix& a, BitMatrix& t, const TransposeBlocks& blocks, const Interrupt& stop) {
    // Superblocks cover the rows of a up to the last multiple of 256, and
    // its columns from word w0, where the rows of a meet a line boundary
    // when they all do (a stride of whole lines), up to the last multiple of
    // 256 past it: each pass then reads one whole line of each row of a, not
    // parts of two. (In the other direction their 4-word runs always
    // exist.)
    const std::uint64_t as = a.stride();
    const std::uint64_t w0 = as % (kLine / sizeof(Word)) == 0 ? std::min(words_to_line(a.words().data()), as) : 0;
    const std::uint64_t sc = a.cols() > 64 * w0 ? (a.cols() - 64 * w0) / 256 : 0;
    const std::uint64_t sr = sc != 0 ? a.rows() / 256 : 0;
    // Working memory of the call: at most 1.1 MiB (two runs, within the
    // second-level cache), sized to the runs the matrix has.
    const bool super = sr != 0;
    const std::uint64_t chunk = std::min(kChunk, sr);
    const std::uint64_t run_words = kBands * 256 * run_stride(chunk);
    const std::uint64_t tile_words = 64 * std::min(kTile, t.stride()) * std::min(kTile, as);
    TRY(Buffer<Word> work, Buffer<Word>::uninit(super ? std::max(2 * run_words, 2 * kTileWords) : 2 * tile_words));
    const Transposer x(a, t, blocks, work.data(), super ? kTileWords : tile_words, stop);
    if (super && !x.superblocks(w0, sr, sc, chunk)) return stopped();
    // The border: row blocks past the superblocks (all column blocks), then
    // the column blocks before and past them (the other row blocks).
    if (!x.blocks(4 * sr, t.stride(), 0, as)) return stopped();
    if (!x.blocks(0, 4 * sr, 0, w0)) return stopped();
    if (!x.blocks(0, 4 * sr, w0 + 4 * sc, as)) return stopped();
    return {};
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
