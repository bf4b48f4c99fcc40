// Running a command as a child process, and how it ended.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <variant>

#include "base/error.hpp"

namespace kestro {

// "SIGTERM" for 15 and the like; none for a number without a standard name.
[[nodiscard]] std::optional<std::string_view> signal_name(int signal_number);

// How a child that did not succeed ended, from its waitpid() status:
// "exit status: <code>", or "signal: <n> (<SIGNAME>)" with " (core dumped)"
// when a core was dumped ("signal: <n>" for a signal without a name).
[[nodiscard]] std::string wait_status_text(int wait_status);

// How a child ended: its waitpid() status.
struct ChildEnd {
    int wait_status = 0;
};

// Why a command did not succeed: it could not be started or waited for, or
// it ended unsuccessfully.
class CommandFailure {
public:
    CommandFailure(SystemError error) : cause_(error) {}  // NOLINT: converts like the error itself
    CommandFailure(ChildEnd end) : cause_(end) {}         // NOLINT

    // The system's error text, or wait_status_text of the end.
    [[nodiscard]] std::string text() const;

private:
    std::variant<SystemError, ChildEnd> cause_;
};

// Runs program, found through PATH, with no arguments or the one given, the
// caller's standard streams and environment, and SIGPIPE at its default;
// waits for it to end (wait_for_child). Succeeds when it exits with status 0.
[[nodiscard]] std::expected<void, CommandFailure> run_command(const char* program,
                                                              const char* argument = nullptr);

// Waits until the child ends, resuming after signals; the one place where
// the daemon waits for a command, for as long as the command takes.
[[nodiscard]] std::expected<ChildEnd, SystemError> wait_for_child(pid_t child);

}  // namespace kestro
