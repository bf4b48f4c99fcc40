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
// ("invalid float literal").
class Error {
public:
    constexpr Error(SystemError system) : system_(system) {}  // NOLINT: every system error is an error

    // A reason of the program's own; `text` lives as long as the program (a literal).
    [[nodiscard]] static constexpr Error reason(std::string_view text) { return Error(text); }

    // The system error; none for a reason of the program's own.
    [[nodiscard]] constexpr std::optional<SystemError> system() const {
        return reason_.empty() ? std::optional(system_) : std::nullopt;
    }

    // The system error's text, or the reason.
    [[nodiscard]] ErrorText text() const;

    friend constexpr bool operator==(const Error&, const Error&) = default;

private:
    constexpr explicit Error(std::string_view reason) : reason_(reason) {}

    SystemError system_;
    std::string_view reason_;  // empty for a system error
};

// An act on something named that failed, reported as "<action>: <error>".
struct ActionFailure {
    std::string action;  // "write <path>", "watch <directory>", "poll"
    Error error;
};

}  // namespace kestro
