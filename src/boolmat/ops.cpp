#include "boolmat/ops.hpp"

#include "boolmat/ops_kernels.hpp"
#include "boolmat/popcount.hpp"

namespace boolmat {
namespace {

Status check_shapes(const BitMatrix& a, const BitMatrix& b) {
    if (!same_shape(a, b)) return panic("les deux matrices sont de dimensions différentes");
    return {};
}

Status combine_into(WordOp op, BitMatrix& a, const BitMatrix& b) {
    TRY_VOID(check_shapes(a, b));
    TRY_VOID(a.own_words());
    Word* dst = a.words_mut().data();
    combine_words(op, dst, dst, b.words().data(), a.words().size());
    return {};
}

// The new-matrix forms write a op b straight into the fresh result: the same
// words as a copy of a followed by the in-place form, in one pass instead of
// two. Large results are streamed: written through the cache, each line of
// the result is first read in and then competes with a and b for the shared
// cache; streamed, the pass costs reads of a and b and one write.
Result<BitMatrix> combine_new(WordOp op, const BitMatrix& a, const BitMatrix& b) {
    TRY_VOID(check_shapes(a, b));
    TRY(BitMatrix c, BitMatrix::uninit(a.rows(), a.cols()));
    const std::size_t n = a.words().size();
    const auto kernel = n >= kStreamWords ? combine_words_streamed : combine_words;
    kernel(op, c.words_mut().data(), a.words().data(), b.words().data(), n);
    return c;
}

}  // namespace

bool same_shape(const BitMatrix& a, const BitMatrix& b) noexcept {
    return a.rows() == b.rows() && a.cols() == b.cols();
}

Status and_assign(BitMatrix& a, const BitMatrix& b) { return combine_into(WordOp::And, a, b); }
Status or_assign(BitMatrix& a, const BitMatrix& b) { return combine_into(WordOp::Or, a, b); }
Status xor_assign(BitMatrix& a, const BitMatrix& b) { return combine_into(WordOp::Xor, a, b); }
Status andnot_assign(BitMatrix& a, const BitMatrix& b) { return combine_into(WordOp::AndNot, a, b); }

Result<BitMatrix> and_(const BitMatrix& a, const BitMatrix& b) { return combine_new(WordOp::And, a, b); }
Result<BitMatrix> or_(const BitMatrix& a, const BitMatrix& b) { return combine_new(WordOp::Or, a, b); }
Result<BitMatrix> xor_(const BitMatrix& a, const BitMatrix& b) { return combine_new(WordOp::Xor, a, b); }
Result<BitMatrix> andnot(const BitMatrix& a, const BitMatrix& b) { return combine_new(WordOp::AndNot, a, b); }

Result<BitMatrix> complement(const BitMatrix& a) {
    TRY(BitMatrix c, BitMatrix::uninit(a.rows(), a.cols()));
    // Not streamed: with one source instead of two, the pass is bound by the
    // writes, and streamed writes are the slower ones here.
    complement_words(c.words_mut().data(), a.words().data(), a.rows(), a.stride(), tail_mask(a.cols()));
    return c;
}

Result<std::uint64_t> row_count_ones(const BitMatrix& a, std::uint64_t i) {
    TRY(const std::span<const Word> row, a.row(i));
    return popcount_words(row);
}

Result<std::uint64_t> hamming(const BitMatrix& a, const BitMatrix& b) {
    TRY_VOID(check_shapes(a, b));
    return popcount_xor(a.words(), b.words());
}

Result<std::uint64_t> count_andnot(const BitMatrix& a, const BitMatrix& b) {
    TRY_VOID(check_shapes(a, b));
    return popcount_andnot(a.words(), b.words());
}

bool equals(const BitMatrix& a, const BitMatrix& b) noexcept {
    // The shape fields are compared before the words only because they are
    // cheaper; the answer does not depend on the order.
    if (a.words().size() != b.words().size()) return false;
    if (a.rows() != b.rows() || a.cols() != b.cols() || a.stride() != b.stride()) return false;
    return words_equal(a.words().data(), b.words().data(), a.words().size());
}

}  // namespace boolmat
