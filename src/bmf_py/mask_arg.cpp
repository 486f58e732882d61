#include "bmf_py/mask_arg.hpp"

#include "bmf_py/gil.hpp"
#include "boolmat/pack_bytes.hpp"

namespace bmf_py {

Status check_mask_length(std::uint64_t length, std::uint64_t x_length) {
    if (length != x_length) return fail(ErrorKind::Value, "mask a {} elements, x en a {}", length, x_length);
    return {};
}

Result<MaskMatrix> MaskMatrix::convert(PyObject* o) {
    MaskMatrix out;
    if (is_instance<BitMatrix>(o)) {
        TRY(Shared<BitMatrix> m, borrow_shared<BitMatrix>(o));
        out.borrowed_.emplace(std::move(m));
        return out;
    }
    Result<ByteArrayView> view = as_bool_array(o, 2);
    if (!view) {
        // Either form is welcome, so the message names both.
        if (view.error().kind == ErrorKind::Type) return std::unexpected(cannot_convert(o, "BitMatrix | PyArray<T, D>"));
        return std::unexpected(std::move(view).error());
    }
    out.array_ = *view;
    return out;
}

Result<const BitMatrix*> MaskMatrix::bits_for(std::uint64_t rows, std::uint64_t cols) {
    const std::uint64_t mask_rows = borrowed_ ? (*borrowed_)->rows() : array_.rows;
    const std::uint64_t mask_cols = borrowed_ ? (*borrowed_)->cols() : array_.cols;
    if (mask_rows != rows || mask_cols != cols) {
        return fail(ErrorKind::Value, "mask est {} x {}, x est {} x {}", mask_rows, mask_cols, rows, cols);
    }
    if (borrowed_) return &**borrowed_;
    if (!copied_) {
        const SignalCheck signals;
        TRY(BitMatrix m, boolmat::bitmatrix_from_bytes(
                             {array_.data, array_.rows, array_.cols, array_.row_stride, array_.col_stride},
                             signals.interrupt()));
        copied_.emplace(std::move(m));
    }
    return &*copied_;
}

}  // namespace bmf_py
