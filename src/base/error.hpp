// Why something failed, in the words every report uses. Failures are
// values: what only the operating system can make fail returns
// std::expected<T, SystemError>; what also fails for reasons of its own
// returns std::expected<T, Error>; what may simply be absent is an optional.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include "base/fixed_text.hpp"

namespace kestro {

// The text of a failure, built without touching the heap.
using ErrorText = FixedText<256>;

// An operating-system call that failed, by its error number.
struct SystemError {
    int number = 0;

    // What the call that just failed left in errno.
    [[nodiscard]] static SystemError last() { return {errno}; }

    // The system's description and the number: "No such file or directory
    // (os error 2)".
    [[nodiscard]] ErrorText text() const;

    friend bool operator==(const SystemError&, const SystemError&) = default;
};

// A failure: an operating-system error, or a reason of the program's own
// ("invalid float literal", "exit status: 1"); and, where the caller knows
// it, the context it failed in ("write standard output", "poll"), which a
// report puts first.
class Error {
public:
    constexpr Error(SystemError system) : system_(system) {}  // NOLINT: every system error is an error

    // A reason of the program's own; `text` lives as long as the program (a literal).
    [[nodiscard]] static constexpr Error reason(std::string_view text) { return Error(text); }

    // A reason of the program's own made at run time, such as how a command ended.
    [[nodiscard]] static Error reason_text(std::string text);

    // The same failure in `context`: what was being done, and to what.
    [[nodiscard]] Error in_context(std::string context) &&;

    // The system error; none for a reason of the program's own.
    [[nodiscard]] constexpr std::optional<SystemError> system() const {
        return reason_.empty() && !made_reason_ ? std::optional(system_) : std::nullopt;
    }

    // The system error's text, or the reason, without the context.
    [[nodiscard]] ErrorText text() const;

    [[nodiscard]] const std::optional<std::string>& context() const { return context_; }

    // "<context>: <text>", or the text alone without a context.
    [[nodiscard]] std::string report() const;

    friend constexpr bool operator==(const Error&, const Error&) = default;

private:
    constexpr explicit Error(std::string_view reason) : reason_(reason) {}

    SystemError system_;
    std::string_view reason_;                 // a literal reason; empty otherwise
    std::optional<std::string> made_reason_;  // none unless made at run time
    std::optional<std::string> context_;
};

}  // namespace kestro
