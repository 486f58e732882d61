// A fixed-length array of trivially copyable elements: exclusively owned,
// or read from memory another owner lends (borrow()), which is handed back
// through the lender and never written. Zero-filled construction goes
// through calloc, so large blocks arrive as fresh zero pages instead of
// being written in a loop.
//
// Blocks of kHugeBytes and more ask the kernel for transparent huge pages,
// as NumPy does for its own arrays: a fresh block is then faulted in 2 MiB at
// a time instead of 4 KiB, which on a virtual machine was most of the cost
// of filling one (a page fault per 4 KiB).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "boolmat/failure.hpp"

namespace boolmat {

inline constexpr std::size_t kHugeBytes = std::size_t{4} << 20;

// Marks the whole 2 MiB pages inside [p, p + bytes) for huge pages, where the
// system has them; a hint only, so it cannot fail.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// How lent memory is handed back: release(owner), once, from whichever
// thread lets go of it last.
struct Lender {
    void (*release)(void* owner) noexcept = nullptr;
    void* owner = nullptr;
};

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), lender_(std::exchange(o.lender_, {})) {}
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            drop();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            lender_ = std::exchange(o.lender_, {});
        }
        return *this;
    }
    ~Buffer() { drop(); }

    // n elements at `data`, which `lender` owns and gets back when this
    // buffer goes. Only read: a caller that must write makes its own copy
    // first (clone()).
    static Buffer borrow(const T* data, std::size_t n, Lender lender) noexcept {
        Buffer b;
        b.data_ = const_cast<T*>(data);
        b.size_ = n;
        b.lender_ = lender;
        return b;
    }
    bool borrowed() const noexcept { return lender_.release != nullptr; }
    const Lender& lender() const noexcept { return lender_; }

    // An owned buffer hands its block to the buffer it returns and from then
    // on borrows the same elements from `lender`, so every pointer into them
    // stays valid.
    Buffer lend_to(Lender lender) noexcept {
        Buffer owner;
        owner.data_ = data_;
        owner.size_ = size_;
        lender_ = lender;
        return owner;
    }

    // The same block as bytes.
    Buffer<std::uint8_t> into_bytes() && noexcept {
        Buffer<std::uint8_t> b;
        b.data_ = reinterpret_cast<std::uint8_t*>(std::exchange(data_, nullptr));
        b.size_ = std::exchange(size_, 0) * sizeof(T);
        b.lender_ = std::exchange(lender_, {});
        return b;
    }

    // n elements, all bytes zero. The caller has checked that n * sizeof(T)
    // does not overflow.
    static Result<Buffer> zeroed(std::size_t n) {
        Buffer b;
        if (n == 0) return b;
        b.data_ = static_cast<T*>(std::calloc(n, sizeof(T)));
        if (b.data_ == nullptr) return out_of_memory();
        b.size_ = n;
        if (n * sizeof(T) >= kHugeBytes) advise_huge_pages(b.data_, n * sizeof(T));
        return b;
    }

    // n elements with unspecified contents, for buffers about to be overwritten.
    static Result<Buffer> uninit(std::size_t n) {
        Buffer b;
        if (n == 0) return b;
        // malloc's own 16-byte alignment: the kernels load unaligned and
        // align their own streaming stores. An over-aligned request cannot
        // reuse a freed block of exactly its size, so a loop making
        // same-sized results kept growing the heap and faulting it back in.
        if (n > SIZE_MAX / sizeof(T)) return out_of_memory();
        b.data_ = static_cast<T*>(std::malloc(n * sizeof(T)));
        if (b.data_ == nullptr) return out_of_memory();
        b.size_ = n;
        if (n * sizeof(T) >= kHugeBytes) advise_huge_pages(b.data_, n * sizeof(T));
        return b;
    }

    static Result<Buffer> copy_of(std::span<const T> src) {
        TRY(Buffer b, uninit(src.size()));
        if (!src.empty()) std::memcpy(b.data_, src.data(), src.size_bytes());
        return b;
    }

    [[nodiscard]] Result<Buffer> clone() const { return copy_of(span()); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

private:
    template <class>
    friend class Buffer;

    void drop() noexcept {
        if (borrowed()) {
            lender_.release(lender_.owner);
        } else {
            std::free(data_);
        }
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    Lender lender_;
};

}  // namespace boolmat
