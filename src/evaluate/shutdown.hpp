// The low-battery shutdown: the estimate of the seconds until the charge
// falls to the configured level, the decision, and the sequence that powers
// the machine off. Once announced, the shutdown cannot be cancelled.
#pragma once

#include <optional>

#include "evaluate/settings.hpp"
#include "base/status_words.hpp"
#include "evaluate/charge_estimate.hpp"
#include "evaluate/cycle_readings.hpp"

namespace kestro {

// The seconds until the charge reaches settings.request_shutdown_battery_percent
// of the full value, at the present draw. None when the percentage is unknown.
//
// Above the threshold: voltage_min_design × (now − threshold) ÷ draw × 3600,
// computed in that order (infinite with a draw of 0); none when the draw or
// voltage_min_design is not known. At or below it, whether or not the voltages were read: 0, or
// 1 while the adapter is exactly "Connected", which holds the shutdown off.
// Above the threshold the result is never 0: where the formula gives 0 (a
// design voltage of 0) there is no estimate, since a 0 means "shut down now".
[[nodiscard]] std::optional<double> estimate_secs_until_shutdown(const CycleReadings& readings,
                                                                 const ChargeEstimate& estimate,
                                                                 std::optional<AcStatus> adapter_status,
                                                                 const Settings& settings);

// True when the estimate is known and exactly 0.
[[nodiscard]] bool shutdown_due(std::optional<double> secs);

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
