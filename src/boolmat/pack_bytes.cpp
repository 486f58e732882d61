#include "boolmat/pack_bytes.hpp"

#include <algorithm>
#include <cstring>

#include "boolmat/transpose.hpp"

namespace boolmat {

namespace {

inline const std::uint8_t* at(const ByteGrid& g, std::uint64_t i, std::uint64_t j) noexcept {
    return g.origin + static_cast<std::int64_t>(i) * g.row_stride + static_cast<std::int64_t>(j) * g.col_stride;
}

// Rows read one after the other, each through the column stride.
void pack_rows_strided(const ByteGrid& g, BitMatrix& m, const Interrupt& stop) noexcept {
    for (std::uint64_t i = 0; i < g.rows; ++i) {
        if (stop.poll(g.cols)) return;
        Word* dst = m.row_ptr(i);
        for (std::uint64_t j0 = 0; j0 < g.cols; j0 += kWordBits) {
            const unsigned w = static_cast<unsigned>(std::min<std::uint64_t>(kWordBits, g.cols - j0));
            const std::uint8_t* p = at(g, i, j0);
            Word acc = 0;
            for (unsigned k = 0; k < w; ++k) acc |= Word{p[static_cast<std::int64_t>(k) * g.col_stride] != 0} << k;
            dst[j0 / kWordBits] = acc;
        }
    }
}

// Walks g by 64 x 64 tiles, a band of tile rows at a time (polling `stop`
// per band): fill(i0, h, j0, w, tile) packs the h x w tile at (i0, j0) into
// tile[0..h), word r holding row i0 + r, which then goes to its row of m.
template <class Fill>
void pack_by_tiles(const ByteGrid& g, BitMatrix& m, const Interrupt& stop, Fill fill) noexcept {
    Word tile[64];
    for (std::uint64_t i0 = 0; i0 < g.rows; i0 += kWordBits) {
        if (stop.poll(kWordBits * g.cols)) return;
        const std::uint64_t h = std::min<std::uint64_t>(kWordBits, g.rows - i0);
        for (std::uint64_t j0 = 0; j0 < g.cols; j0 += kWordBits) {
            const unsigned w = static_cast<unsigned>(std::min<std::uint64_t>(kWordBits, g.cols - j0));
            fill(i0, h, j0, w, tile);
            for (std::uint64_t r = 0; r < h; ++r) m.row_ptr(i0 + r)[j0 / kWordBits] = tile[r];
        }
    }
}

// Columns run along memory (a transposed array): each column of a tile
// packs like a contiguous row, and the tile is transposed into place.
void pack_columns(const ByteGrid& g, BitMatrix& m, const Interrupt& stop) noexcept {
    pack_by_tiles(g, m, stop, [&](std::uint64_t i0, std::uint64_t h, std::uint64_t j0, unsigned w, Word* tile) {
        for (unsigned k = 0; k < w; ++k) pack_bytes(at(g, i0, j0 + k), h, &tile[k]);
        for (unsigned k = w; k < kWordBits; ++k) tile[k] = 0;
        transpose_block_scalar(tile);
    });
}

// Any other layout where a column step is longer than a row step: each tile
// is read column by column so consecutive reads stay close.
void pack_tiles(const ByteGrid& g, BitMatrix& m, const Interrupt& stop) noexcept {
    pack_by_tiles(g, m, stop, [&](std::uint64_t i0, std::uint64_t h, std::uint64_t j0, unsigned w, Word* tile) {
        std::fill_n(tile, h, Word{0});
        for (unsigned k = 0; k < w; ++k) {
            const std::uint8_t* col = at(g, i0, j0 + k);
            for (std::uint64_t r = 0; r < h; ++r) {
                tile[r] |= Word{col[static_cast<std::int64_t>(r) * g.row_stride] != 0} << k;
            }
        }
    });
}

std::uint64_t magnitude(std::int64_t s) noexcept {
    return s < 0 ? 0 - static_cast<std::uint64_t>(s) : static_cast<std::uint64_t>(s);
}

}  // namespace

Result<BitMatrix> bitmatrix_from_bytes(const ByteGrid& g, const Interrupt& stop) {
    TRY(BitMatrix m, BitMatrix::zeros(g.rows, g.cols));
    if (g.col_stride == 1) {
        for (std::uint64_t i = 0; i < g.rows && !stop.poll(g.cols / 8); ++i) pack_bytes(at(g, i, 0), g.cols, m.row_ptr(i));
    } else if (g.col_stride == -1) {
        for (std::uint64_t i = 0; i < g.rows && !stop.poll(g.cols / 8); ++i) {
            pack_bytes_reversed(at(g, i, 0), g.cols, m.row_ptr(i));
        }
    } else if (g.row_stride == 1) {
        pack_columns(g, m, stop);
    } else if (magnitude(g.col_stride) <= magnitude(g.row_stride)) {
        pack_rows_strided(g, m, stop);
    } else {
        pack_tiles(g, m, stop);
    }
    // A poll that said stop left the matrix part filled.
    if (stop.stopped()) return stopped();
    return m;
}

Status bitmatrix_to_bytes(const BitMatrix& m, std::uint8_t* dst, const Interrupt& stop) {
    for (std::uint64_t i = 0; i < m.rows(); ++i) {
        TRY_VOID(stop.check(m.cols() / 8));
        unpack_bits(m.row_ptr(i), m.cols(), dst + i * m.cols());
    }
    return {};
}

}  // namespace boolmat
