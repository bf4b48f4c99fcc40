// Running a command as a child process, and how it ended.
#pragma once

#include <chrono>
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

// Runs program, found through PATH, with no arguments or the one given, the
// caller's standard streams and environment, and SIGPIPE at its default;
// waits for it to end. Succeeds when it exits with status 0; fails with the
// system's error when it could not be started or waited for, else with
// wait_status_text of how it ended as the reason.
[[nodiscard]] std::expected<void, Error> run_command(const char* program, const char* argument = nullptr);

// The same for a command that must neither keep the daemon waiting nor be
// kept waiting by the daemon's log: standard input from /dev/null, standard
// output and error on the log's own descriptors (base/output.hpp's
// log_descriptor: where the log is a terminal or a pipe that stopped
// reading, the command's writes fail instead of waiting), and at most
// `awake_limit` of awake time (CLOCK_MONOTONIC, which stands still while the
// machine sleeps, so that a hibernation the command asked for does not
// count). A command still running then is killed (SIGKILL, and not waited
// for) and fails with "killed after <n> seconds awake without finishing".
[[nodiscard]] std::expected<void, Error> run_bounded_command(const char* program, const char* argument,
                                                             std::chrono::seconds awake_limit);

}  // namespace kestro
