// The four ways of searching the best column subset, and their text names.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "boolmat/failure.hpp"

namespace bmf_core {

enum class Method : std::uint8_t { Naive, Zeta, Greedy, GreedyLs };

// In enumeration order; methods() lists them in this order too.
inline constexpr std::array<std::string_view, 4> kMethodNames = {"naive", "zeta", "greedy", "greedy-ls"};
inline constexpr std::string_view kAcceptedMethods = "naive, zeta, greedy, greedy-ls";

std::string_view method_name(Method m) noexcept;

// A text that names no method. Keeps the caller's text exactly as given, so
// the message shows what was typed, spaces and capitals included.
struct InvalidMethod {
    std::string text;

    [[nodiscard]] std::string message() const;
    // The ValueError the Python layer raises for it.
    [[nodiscard]] boolmat::Failure failure() const;
};

// Trims Unicode White_Space at both ends (text is UTF-8), folds ASCII A-Z
// only, then compares byte for byte with the four names.
std::expected<Method, InvalidMethod> parse_method(std::string_view text);

// parse_method with the failure already in the frame's form.
boolmat::Result<Method> parse_method_or_fail(std::string_view text);

}  // namespace bmf_core
