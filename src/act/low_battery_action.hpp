// The low-battery act: the shutdown sequence that powers the machine off,
// the sleeping action that asks the service manager for a suspend or a
// hibernation, and the hold that keeps the next action back after one.
// Once announced, the shutdown cannot be cancelled.
//
// Everything outside the process (the clocks, the wait, the commands) goes
// through an ActionSystem, so that the rules of the hold and the grace can
// be tried without a process or a clock.
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <variant>

#include "base/child_process.hpp"
#include "base/pause.hpp"
#include "evaluate/low_battery_guard.hpp"
#include "evaluate/settings.hpp"

namespace kestro {

// What the act needs from the machine.
class ActionSystem {
public:
    // base/pause.hpp's read_clocks.
    [[nodiscard]] virtual ClockReading read_clocks() = 0;
    // base/pause.hpp's pause_for.
    virtual void pause(WaitDuration duration) = 0;
    // base/child_process.hpp's run_command, without an argument.
    [[nodiscard]] virtual std::expected<void, Error> run_command(const char* program) = 0;
    // base/child_process.hpp's run_bounded_command.
    [[nodiscard]] virtual std::expected<void, Error> run_bounded_command(
        const char* program, const char* argument, std::chrono::seconds awake_limit) = 0;

protected:
    ~ActionSystem() = default;
};

// The machine's own clocks, sleeps and commands.
class MachineActions final : public ActionSystem {
public:
    ClockReading read_clocks() override;
    void pause(WaitDuration duration) override;
    std::expected<void, Error> run_command(const char* program) override;
    std::expected<void, Error> run_bounded_command(const char* program, const char* argument,
                                                            std::chrono::seconds awake_limit) override;
};

// With confirm_low_battery: what the wait before the action reads each
// second (the adapter and the charge); none while the action stands.
class LevelWatch {
public:
    [[nodiscard]] virtual std::optional<CallOff> recheck() = 0;

protected:
    ~LevelWatch() = default;
};

// The wait was cut short by a LevelWatch: the cycles go on.
struct CalledOff {};

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
// turns the estimate into the grace left. Touches nothing, and reads no
// clock, without a hold.
[[nodiscard]] std::optional<double> apply_sleep_hold(std::optional<double> secs, std::optional<SleepHold>& hold,
                                                     const Settings& settings, ActionSystem& system);

// The low-battery action that settings.critical_action names. For poweroff,
// the shutdown sequence: "Reached <percent>% battery." and "Forcing shutdown
// in <seconds> seconds.", a wait of force_shutdown_timeout_secs doing
// nothing else, "Shutting down now." and poweroff. A timeout that cannot be
// converted, and a poweroff that cannot be started or fails, are fatal
// errors ("poweroff: <error>", "poweroff: exit status: 1", ...): the
// shutdown completes only after poweroff has succeeded. For a sleeping
// action: "Reached <percent>% battery.", "<Doing> in <seconds> seconds.",
// the same wait, "<Doing> now." ("Hibernating now.") and
// `systemctl <name>` found through PATH, as a bounded command
// (base/child_process.hpp: 30 seconds awake, its output on the log's own
// descriptors). When it succeeds, the line "Info: systemctl <name>
// succeeded; ..." and the hold that keeps the next action back (the daemon
// runs on), counted from the request. When it cannot be started, fails or
// runs over its time, "Could not <verb>: systemctl <name>: <why>; powering
// off.", "Shutting down now." and poweroff at once. When the previous hold
// is still on and the machine has not slept since, the sleeping action is
// taken to have failed: "The computer did not <verb> after the last request;
// powering off." and the shutdown from "Forcing shutdown in ...".
//
// With a LevelWatch the wait is paused a second at a time, and after each
// second a reason to call the action off ends it with the line "Warning:
// Low-battery action called off: adapter connected." ("...: charge back
// above the level.").
using LowBatteryOutcome = std::variant<ShutdownCompleted, SleepHold, CalledOff>;
[[nodiscard]] LowBatteryOutcome run_low_battery_action(const Settings& settings,
                                                       const std::optional<SleepHold>& hold, ActionSystem& system,
                                                       LevelWatch* watch = nullptr);

}  // namespace kestro
