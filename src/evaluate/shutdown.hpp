// The low-battery shutdown: the estimate of the seconds until the charge
// falls to the configured level, the decision, and the sequence that powers
// the machine off. Once announced, the shutdown cannot be cancelled.
#pragma once

#include <chrono>
#include <optional>
#include <variant>

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

// After a sleeping action was asked for: when, in time awake, and how long
// the machine had been asleep by then (base/pause.hpp's ClockReading), both
// read just before the command started.
struct SleepHold {
    std::chrono::nanoseconds requested_at{};
    std::chrono::nanoseconds asleep_before{};
};

// While a hold is on, the estimate of the cycle, on the clocks of now. A
// known estimate other than 0 (the charge is above the level, or the adapter
// is "Connected") ends the hold, with the line "Info: Armed again: at the low level the computer will <verb>.", or
// turns the estimate into the grace left. Touches nothing without a hold.
[[nodiscard]] std::optional<double> apply_sleep_hold(std::optional<double> secs, std::optional<SleepHold>& hold,
                                                     const Settings& settings);

// The shutdown sequence. Prints "Reached <percent>% battery." and "Forcing
// shutdown in <seconds> seconds.", waits force_shutdown_timeout_secs doing
// nothing else, prints "Shutting down now." and runs poweroff. A timeout that
// cannot be converted, and a poweroff that cannot be started or fails, are
// fatal errors ("poweroff: <error>", "poweroff: exit status: 1", ...).
// Returns only after poweroff has succeeded.
[[nodiscard]] ShutdownCompleted run_shutdown_sequence(const Settings& settings);

// The low-battery action that settings.critical_action names. For poweroff,
// run_shutdown_sequence. For a sleeping action: "Reached <percent>% battery.",
// "<Doing> in <seconds> seconds.", the same wait, "<Doing> now." ("Hibernating
// now.") and `systemctl <name>` found through PATH, as a bounded command
// (base/child_process.hpp: 30 seconds awake, its output on the log's own
// descriptors). When it succeeds, the line "Info: systemctl <name>
// succeeded; ..." and the hold that keeps the next action back (the daemon
// runs on), counted from the request. When it cannot be started, fails or
// runs over its time, "Could not <verb>: systemctl <name>: <why>; powering
// off.", "Shutting down now." and poweroff at once. When the previous hold
// is still on and the machine has not slept since, the sleeping action is
// taken to have failed: "The computer did not <verb> after the last request;
// powering off." and the shutdown from "Forcing shutdown in ...".
using LowBatteryOutcome = std::variant<ShutdownCompleted, SleepHold>;
[[nodiscard]] LowBatteryOutcome run_low_battery_action(const Settings& settings,
                                                       const std::optional<SleepHold>& hold);

// The same with another command in place of poweroff, named in its fatal
// messages the same way; lets the sequence run where powering off is not an
// option.
[[nodiscard]] ShutdownCompleted run_shutdown_sequence_with(const Settings& settings, const char* command);

}  // namespace kestro
