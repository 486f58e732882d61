// The multi-line text form of a matrix (what str() returns): a header with
// the shape and the count of 1s, then rows of digits with "_" every 8 and "|"
// every 64 columns, abbreviated beyond 20 rows and 128 columns.
#pragma once

#include <string>

#include "boolmat/bitmatrix.hpp"

namespace boolmat {

// Appends the whole text to out. The work is bounded whatever the matrix
// size: one count pass plus at most 22 lines of at most 148 characters.
void render(const BitMatrix& m, std::string& out);
void render_row(const BitMatrix& m, std::uint64_t i, std::string& out);

}  // namespace boolmat
