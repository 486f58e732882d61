#include "bmf_core/method.hpp"

namespace bmf_core {

namespace {

// Every character with the White_Space property, as UTF-8.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",
    "\x20",         "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

// Length of the white-space character text starts with, or 0. In valid
// UTF-8 no encoded character is a prefix or suffix of another, so a match
// of whole sequences is a match of whole characters.
std::size_t leading_space(std::string_view text) noexcept {
    for (std::string_view ws : kWhiteSpace) {
        if (text.starts_with(ws)) return ws.size();
    }
    return 0;
}

std::size_t trailing_space(std::string_view text) noexcept {
    for (std::string_view ws : kWhiteSpace) {
        if (text.ends_with(ws)) return ws.size();
    }
    return 0;
}

}  // namespace

std::string_view method_name(Method m) noexcept { return kMethodNames[static_cast<std::size_t>(m)]; }

std::string InvalidMethod::message() const { return failure().message(); }

boolmat::Failure InvalidMethod::failure() const {
    return boolmat::make_failure(boolmat::ErrorKind::Value, "methode inconnue : '{}'. Valeurs acceptees : {}", text,
                                 kAcceptedMethods);
}

std::expected<Method, InvalidMethod> parse_method(std::string_view text) {
    std::string_view t = text;
    while (std::size_t n = leading_space(t)) t.remove_prefix(n);
    while (std::size_t n = trailing_space(t)) t.remove_suffix(n);
    // Longer than any name: no need to fold it.
    if (t.size() <= kMethodNames[3].size()) {
        char folded[16];
        for (std::size_t i = 0; i < t.size(); ++i) {
            const char c = t[i];
            folded[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        const std::string_view f(folded, t.size());
        for (std::size_t k = 0; k < kMethodNames.size(); ++k) {
            if (f == kMethodNames[k]) return static_cast<Method>(k);
        }
    }
    return std::unexpected(InvalidMethod{std::string(text)});
}

boolmat::Result<Method> parse_method_or_fail(std::string_view text) {
    auto parsed = parse_method(text);
    if (!parsed) return std::unexpected(parsed.error().failure());
    return *parsed;
}

}  // namespace bmf_core
