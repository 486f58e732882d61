// Failures travel as values (std::expected) from the core up to the Python
// boundary, where the frame turns them into exceptions. The message text is
// only formatted when the failure is raised.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace boolmat {

// What went wrong, named for the failure itself; the boundary (bmf_py's
// failure_py.cpp) alone decides which Python exception each kind becomes.
// The core's own checks produce Panic, Memory, Stopped and Environment, and
// Index or Value where it validates input handed to it as is (from_indices'
// pairs, a method's name). The kinds from Type on describe a call and its
// arguments, mostly as the Python layer checks them.
enum class ErrorKind : std::uint8_t {
    Panic,        // a precondition of the core was violated, or a size cannot be represented
    Memory,       // an allocation was refused
    Stopped,      // the caller's Interrupt said stop; the caller knows why
    Environment,  // the process's settings or processor forbid the start (VALDRIX_ISA)
    Type,         // an argument is not of a type the call takes
    Value,        // an argument's value is outside what the call takes
    Index,        // an index or position outside its container
    Overflow,     // a number too large for the integer it must fit in
    Unsupported,  // an operation the object does not offer (deleting an element)
    Borrowed,     // the object is already borrowed in a way that excludes this access
    Pending,      // the interpreter's error indicator already holds the exception
};

// A template argument: an unsigned or signed decimal integer, or a text.
using FailureArg = std::variant<std::uint64_t, std::int64_t, std::string>;

struct Failure {
    ErrorKind kind;
    std::string_view tmpl;  // always a string literal with "{}" placeholders
    std::vector<FailureArg> args;

    // Fills the placeholders in order; a missing argument leaves "{}" as is.
    [[nodiscard]] std::string message() const;
};

template <class T>
using Result = std::expected<T, Failure>;

using Status = Result<void>;

namespace detail {
inline void push_arg(std::vector<FailureArg>& out, std::string s) { out.emplace_back(std::move(s)); }
inline void push_arg(std::vector<FailureArg>& out, std::string_view s) { out.emplace_back(std::string(s)); }
inline void push_arg(std::vector<FailureArg>& out, const char* s) { out.emplace_back(std::string(s)); }
inline void push_arg(std::vector<FailureArg>& out, FailureArg a) { out.push_back(std::move(a)); }
template <class I>
    requires std::is_integral_v<I>
inline void push_arg(std::vector<FailureArg>& out, I v) {
    if constexpr (std::is_signed_v<I>) {
        out.emplace_back(static_cast<std::int64_t>(v));
    } else {
        out.emplace_back(static_cast<std::uint64_t>(v));
    }
}
}  // namespace detail

template <class... A>
[[nodiscard]] Failure make_failure(ErrorKind kind, std::string_view tmpl, A&&... a) {
    Failure f{kind, tmpl, {}};
    f.args.reserve(sizeof...(A));
    (detail::push_arg(f.args, std::forward<A>(a)), ...);
    return f;
}

template <class... A>
[[nodiscard]] std::unexpected<Failure> fail(ErrorKind kind, std::string_view tmpl, A&&... a) {
    return std::unexpected(make_failure(kind, tmpl, std::forward<A>(a)...));
}

// Internal fault: a precondition of the core was violated.
template <class... A>
[[nodiscard]] std::unexpected<Failure> panic(std::string_view tmpl, A&&... a) {
    return fail(ErrorKind::Panic, tmpl, std::forward<A>(a)...);
}

[[nodiscard]] inline std::unexpected<Failure> out_of_memory() {
    return fail(ErrorKind::Memory, "");
}

}  // namespace boolmat

#define VX_CONCAT_(a, b) a##b
#define VX_CONCAT(a, b) VX_CONCAT_(a, b)

// TRY(decl, expr): evaluate expr (a Result); on failure return it from the
// enclosing function, otherwise bind its value to decl.
#define TRY(decl, expr)                                                     \
    auto VX_CONCAT(vx_try_, __LINE__) = (expr);                             \
    if (!VX_CONCAT(vx_try_, __LINE__))                                      \
        return std::unexpected(std::move(VX_CONCAT(vx_try_, __LINE__)).error()); \
    decl = std::move(*VX_CONCAT(vx_try_, __LINE__))

// TRY_VOID(expr): the same for a Status.
#define TRY_VOID(expr)                                                      \
    do {                                                                    \
        auto vx_try_void_ = (expr);                                         \
        if (!vx_try_void_) return std::unexpected(std::move(vx_try_void_).error()); \
    } while (0)
