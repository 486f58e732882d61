// Working memory for the kernels: 64-byte aligned so that every 32-byte
// vector load stays inside one cache line, grown on demand and kept for
// reuse, never shrunk except by release().
#pragma once

#include <cstddef>
#include <cstdlib>
#include <utility>

#include "boolmat/failure.hpp"

namespace bmf_core {

class AlignedBytes {
public:
    AlignedBytes() = default;
    AlignedBytes(const AlignedBytes&) = delete;
    AlignedBytes& operator=(const AlignedBytes&) = delete;
    AlignedBytes(AlignedBytes&& o) noexcept : p_(std::exchange(o.p_, nullptr)), cap_(std::exchange(o.cap_, 0)) {}
    AlignedBytes& operator=(AlignedBytes&& o) noexcept {
        if (this != &o) {
            std::free(p_);
            p_ = std::exchange(o.p_, nullptr);
            cap_ = std::exchange(o.cap_, 0);
        }
        return *this;
    }
    ~AlignedBytes() { std::free(p_); }

    // Room for at least n bytes; the contents are unspecified afterwards.
    boolmat::Status reserve(std::size_t n) {
        if (n <= cap_) return {};
        release();
        const std::size_t rounded = (n + 63) & ~std::size_t{63};
        if (rounded < n) return boolmat::out_of_memory();
        p_ = std::aligned_alloc(64, rounded);
        if (p_ == nullptr) return boolmat::out_of_memory();
        cap_ = rounded;
        return {};
    }

    void release() noexcept {
        std::free(p_);
        p_ = nullptr;
        cap_ = 0;
    }

    template <class T>
    T* as() const noexcept {
        return static_cast<T*>(p_);
    }
    std::size_t capacity() const noexcept { return cap_; }

private:
    void* p_ = nullptr;
    std::size_t cap_ = 0;
};

}  // namespace bmf_core
