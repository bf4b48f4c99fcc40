// Running a command as a child process, and how it ended.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace kestro {

// "SIGTERM" for 15 and the like; none for a number without a standard name.
[[nodiscard]] std::optional<std::string_view> signal_name(int signal_number);

// How a child that did not succeed ended, from its waitpid() status:
// "exit status: <code>", or "signal: <n> (<SIGNAME>)" with " (core dumped)"
// when a core was dumped ("signal: <n>" for a signal without a name).
[[nodiscard]] std::string wait_status_text(int wait_status);

// Why a command did not succeed, in the words of its report: the system's
// error text when it could not be started or waited for, else
// wait_status_text of how it ended.
struct CommandFailure {
    std::string reason;

    [[nodiscard]] const std::string& text() const { return reason; }
};

// Runs program, found through PATH, with no arguments or the one given, the
// caller's standard streams and environment, and SIGPIPE at its default;
// waits for it to end. Succeeds when it exits with status 0.
[[nodiscard]] std::expected<void, CommandFailure> run_command(const char* program,
                                                              const char* argument = nullptr);

}  // namespace kestro
