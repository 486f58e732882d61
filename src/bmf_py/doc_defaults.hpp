// Compile-time reading of the defaults a text signature shows, so that a
// binding's signature cannot drift from the core's defaults.
#pragma once

#include <cstdint>
#include <string_view>

namespace bmf_py {

// The text after `key` in the signature of `doc`, up to the next ',' or ')'.
constexpr std::string_view shown(std::string_view doc, std::string_view key) {
    const std::string_view sig = doc.substr(0, doc.find(')') + 1);
    const std::size_t at = sig.find(key);
    if (at == std::string_view::npos) return {};
    const std::size_t start = at + key.size();
    return sig.substr(start, sig.find_first_of(",)", start) - start);
}

constexpr bool shows_number(std::string_view doc, std::string_view key, std::uint64_t value) {
    std::uint64_t n = 0;
    for (const char c : shown(doc, key)) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return !shown(doc, key).empty() && n == value;
}

}  // namespace bmf_py
