// The sparse way's extraction and deposit of bits as BMI2's pext and pdep,
// for the sets that have them (sparse_avx2.cpp, sparse_avx512.cpp). Include
// it inside the set's region, after sparse_kernel.hpp.
#pragma once

namespace bmf_core::any_set {
namespace {

struct Bmi2Bits {
    static std::uint64_t extract(std::uint64_t x, std::uint64_t mask) noexcept { return _pext_u64(x, mask); }
    static std::uint64_t deposit(std::uint64_t x, std::uint64_t mask) noexcept { return _pdep_u64(x, mask); }
};

}  // namespace
}  // namespace bmf_core::any_set
