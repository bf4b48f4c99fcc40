// The low-battery shutdown: the estimate of the seconds until the charge
// falls to the configured level, the decision, and the sequence that powers
// the machine off. Once announced, the shutdown cannot be cancelled.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/config.hpp"
#include "core/monitor_state.hpp"
#include "evaluate/charge_estimate.hpp"
#include "evaluate/status_words.hpp"

namespace kestro {

// The seconds until the charge reaches settings.request_shutdown_battery_percent
// of the full value, at the present draw. None when the percentage is unknown.
//
// Above the threshold: voltage_min_design × (now − threshold) ÷ draw × 3600,
// computed in that order (infinite with no draw); none when either voltage
// was not read. At or below it, whether or not the voltages were read: 0, or
// 1 while the adapter is exactly "Connected", which holds the shutdown off.
// Above the threshold the result is never 0: where the formula gives 0 (a
// design voltage of 0) there is no estimate, since a 0 means "shut down now".
[[nodiscard]] std::optional<double> estimate_secs_until_shutdown(const CycleReadings& readings,
                                                                 const ChargeEstimate& estimate,
                                                                 std::optional<AcStatus> adapter_status,
                                                                 const Settings& settings);

// True when the estimate is known and exactly 0.
[[nodiscard]] bool shutdown_due(std::optional<double> secs);

// A wait too long for a nanosecond count: whole seconds and the rest.
struct WaitDuration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // below 1'000'000'000
};

// Converts seconds to a wait, rounded to the nearest nanosecond (halves to
// even). The error is the message: "cannot convert float seconds to
// Duration: value is negative" below 0, "cannot convert float seconds to
// Duration: value is either too big or NaN" for NaN and 2^64 s or more.
[[nodiscard]] std::expected<WaitDuration, std::string_view> wait_duration_from_secs(double secs);

// "SIGTERM" for 15 and the like; none for a number without a standard name.
[[nodiscard]] std::optional<std::string_view> signal_name(int signal_number);

// How a child that did not succeed ended, from its waitpid() status:
// "exit status: <code>", or "signal: <n> (<SIGNAME>)" with " (core dumped)"
// when a core was dumped ("signal: <n>" for a signal without a name).
[[nodiscard]] std::string wait_status_text(int wait_status);

// Runs program, found through PATH, with no arguments, the daemon's standard
// streams and environment, and SIGPIPE at its default; waits for it to end.
// The error is the system error text when it cannot be started or waited
// for, else wait_status_text of an unsuccessful end.
[[nodiscard]] std::expected<void, std::string> run_command(const char* program);

// The shutdown ran its course; the caller releases what it holds and exits 0.
struct [[nodiscard]] ShutdownCompleted {};

// The shutdown sequence. Prints "Reached <percent>% battery." and "Forcing
// shutdown in <seconds> seconds.", waits force_shutdown_timeout_secs doing
// nothing else, prints "Shutting down now." and runs poweroff. A timeout that
// cannot be converted, and a poweroff that cannot be started or fails, are
// fatal errors ("poweroff: <error>", "poweroff: exit status: 1", ...).
// Returns only after poweroff has succeeded.
[[nodiscard]] ShutdownCompleted run_shutdown_sequence(const Settings& settings);

// The same with another command in place of poweroff, named in its fatal
// messages the same way; lets the sequence run where powering off is not an
// option.
[[nodiscard]] ShutdownCompleted run_shutdown_sequence_with(const Settings& settings, const char* command);

}  // namespace kestro
