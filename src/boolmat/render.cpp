#include "boolmat/render.hpp"


namespace boolmat {
namespace {

constexpr std::uint64_t kMaxRows = 20;     // shown in full up to this many rows
constexpr std::uint64_t kEdgeRows = 10;    // otherwise the first and last 10
constexpr std::uint64_t kMaxCols = 128;    // shown in full up to this many columns
constexpr std::uint64_t kEdgeCols = 64;    // otherwise the first and last 64

inline void separator(std::uint64_t j, std::string& out) {
    if (j == 0) return;
    if (j % 64 == 0) {
        out += '|';
    } else if (j % 8 == 0) {
        out += '_';
    }
}

inline void digit(const BitMatrix& m, std::uint64_t i, std::uint64_t j, std::string& out) {
    out += m.get_unchecked(i, j) ? '1' : '0';
}

}  // namespace

void render_row(const BitMatrix& m, std::uint64_t i, std::string& out) {
    const std::uint64_t cols = m.cols();
    if (cols <= kMaxCols) {
        for (std::uint64_t j = 0; j < cols; ++j) {
            separator(j, out);
            digit(m, i, j, out);
        }
        return;
    }
    for (std::uint64_t j = 0; j < kEdgeCols; ++j) {
        separator(j, out);
        digit(m, i, j, out);
    }
    out += " ... ";
    // The first digit after the ellipsis never takes a separator, whatever
    // its index: " ... _" would read as a stray group.
    digit(m, i, cols - kEdgeCols, out);
    for (std::uint64_t j = cols - kEdgeCols + 1; j < cols; ++j) {
        separator(j, out);
        digit(m, i, j, out);
    }
}

void render(const BitMatrix& m, std::string& out) {
    const std::uint64_t rows = m.rows();
    const std::uint64_t shown_cols = m.cols() <= kMaxCols ? m.cols() : 2 * kEdgeCols;
    out.reserve(out.size() + 64 + (kMaxRows + 1) * (shown_cols + shown_cols / 8 + 6));
    out += std::to_string(rows);
    out += 'x';
    out += std::to_string(m.cols());
    out += " (";
    out += std::to_string(m.count_ones());
    out += " bits a 1)\n";
    const auto lines = [&](std::uint64_t from, std::uint64_t to, bool newline_after_last) {
        for (std::uint64_t i = from; i < to; ++i) {
            render_row(m, i, out);
            if (i + 1 < to || newline_after_last) out += '\n';
        }
    };
    if (rows <= kMaxRows) {
        lines(0, rows, false);
        return;
    }
    lines(0, kEdgeRows, true);
    out += "... (";
    out += std::to_string(rows - 2 * kEdgeRows);
    out += " lignes omises) ...\n";
    lines(rows - kEdgeRows, rows, false);
}

}  // namespace boolmat
