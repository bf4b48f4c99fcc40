// The one way the daemon gives up. Expected failures are values and never
// come here; only the unexpected does (a power-supply directory that cannot be
// listed, a log line that cannot be written, a failed power-off command).
//
// fatal_error() unwinds to main(), so that every owner of a resource (the
// sensor library above all) releases it on the way out; main() alone writes
// the report and exits with fatal_exit_status.
#pragma once

#include <string>
#include <string_view>

namespace kestro {

inline constexpr int fatal_exit_status = 101;

struct FatalError {
    std::string message;  // the text that names what failed
    std::string detail;   // the underlying error; may be empty
};

[[noreturn]] void fatal_error(std::string_view message, std::string_view detail);

}  // namespace kestro
