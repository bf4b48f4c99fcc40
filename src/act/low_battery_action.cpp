#include "act/low_battery_action.hpp"

#include <algorithm>
#include <string>

#include "base/fatal.hpp"
#include "base/number_format.hpp"
#include "base/output.hpp"
#include "evaluate/shutdown.hpp"

namespace kestro {

namespace {

constexpr const char* poweroff_command = "poweroff";
constexpr const char* systemctl_command = "systemctl";

// The shortest grace after a sleeping action, in seconds awake.
constexpr double least_sleep_grace_secs = 60.0;
// The most awake time systemctl gets to ask for the sleep: a hibernation
// stops this clock, a command stuck on its output or a refusal does not.
constexpr std::chrono::seconds sleep_command_limit{30};

void announce_level(const Settings& settings) {
    print_critical_line({"Reached ", format_shortest(settings.request_shutdown_battery_percent), "% battery."});
}

// Returns whether a watch called the action off.
bool wait_before_action(const Settings& settings, ActionSystem& system, LevelWatch* watch) {
    // The configuration refuses timeouts that do not convert; this cannot
    // fail unless Settings came from elsewhere.
    const auto wait = wait_duration_from_secs(settings.force_shutdown_timeout_secs);
    if (!wait) {
        fatal_error(wait.error().text(), "");
    }
    if (watch == nullptr) {
        system.pause(*wait);
        return false;
    }
    for (std::uint64_t second = 0; second <= wait->seconds; ++second) {
        const WaitDuration step = second < wait->seconds ? WaitDuration{1, 0} : WaitDuration{0, wait->nanoseconds};
        if (step.seconds == 0 && step.nanoseconds == 0) {
            break;
        }
        system.pause(step);
        if (const auto reason = watch->recheck()) {
            print_warning_line({"Warning: Low-battery action called off: ",
                                *reason == CallOff::adapter_connected ? "adapter connected."
                                                                      : "charge back above the level."});
            return true;
        }
    }
    return false;
}

ShutdownCompleted power_off_now(ActionSystem& system) {
    print_critical_line({"Shutting down now."});
    if (const auto ran = system.run_command(poweroff_command); !ran) {
        fatal_error(std::string(poweroff_command).append(": ").append(ran.error().text()), "");
    }
    return {};
}

// From "Forcing shutdown in <seconds> seconds." on.
LowBatteryOutcome force_shutdown(const Settings& settings, ActionSystem& system, LevelWatch* watch) {
    print_critical_line({"Forcing shutdown in ", format_shortest(settings.force_shutdown_timeout_secs), " seconds."});
    if (wait_before_action(settings, system, watch)) {
        return CalledOff{};
    }
    return power_off_now(system);
}

// Exact for whole nanoseconds apart, as a difference of two rounded
// seconds since boot is not.
double seconds_between(std::chrono::nanoseconds from, std::chrono::nanoseconds to) {
    return std::chrono::duration<double>(to - from).count();
}

// The seconds awake after a sleeping action before the low level acts again.
double sleep_grace_secs(const Settings& settings) {
    return std::max(least_sleep_grace_secs, settings.force_shutdown_timeout_secs);
}

// The estimate while a hold is on: the grace left for a 0, or the end of
// the hold for any other known estimate; none stays none.
struct HeldEstimate {
    std::optional<double> secs;
    bool hold_ends = false;
};

HeldEstimate hold_estimate(std::optional<double> secs, const SleepHold& hold, std::chrono::nanoseconds awake,
                           const Settings& settings) {
    if (!secs) {
        return {secs, false};
    }
    if (*secs != shutdown_now) {
        return {secs, true};
    }
    const double left = sleep_grace_secs(settings) - seconds_between(hold.requested_at, awake);
    return {left > 0 ? left : shutdown_now, false};
}

// Whether the machine has been asleep for at least a second since the hold
// began: a sleeping action that the service manager accepted may still fail
// after the command has returned.
bool slept_since(const SleepHold& hold, std::chrono::nanoseconds asleep) {
    return slept_between(hold.asleep_before, asleep);
}

}  // namespace

ClockReading MachineActions::read_clocks() { return kestro::read_clocks(); }

void MachineActions::pause(WaitDuration duration) { pause_for(duration); }

std::expected<void, Error> MachineActions::run_command(const char* program) {
    return kestro::run_command(program);
}

std::expected<void, Error> MachineActions::run_bounded_command(const char* program, const char* argument,
                                                                        std::chrono::seconds awake_limit) {
    return kestro::run_bounded_command(program, argument, awake_limit);
}

std::optional<double> apply_sleep_hold(std::optional<double> secs, std::optional<SleepHold>& hold,
                                       const Settings& settings, ActionSystem& system) {
    if (!hold) {
        return secs;
    }
    const HeldEstimate held = hold_estimate(secs, *hold, system.read_clocks().awake, settings);
    if (held.hold_ends) {
        hold.reset();
        print_line({"Info: Armed again: at the low level the computer will ", words_of(settings.critical_action).verb,
                    "."});
    }
    return held.secs;
}

LowBatteryOutcome run_low_battery_action(const Settings& settings, const std::optional<SleepHold>& hold,
                                         ActionSystem& system, LevelWatch* watch) {
    announce_level(settings);
    if (settings.critical_action == CriticalAction::poweroff) {
        return force_shutdown(settings, system, watch);
    }
    const CriticalActionWords words = words_of(settings.critical_action);
    if (hold && !slept_since(*hold, system.read_clocks().asleep)) {
        print_critical_line({"The computer did not ", words.verb, " after the last request; powering off."});
        return force_shutdown(settings, system, watch);
    }
    print_critical_line({words.doing, " in ", format_shortest(settings.force_shutdown_timeout_secs), " seconds."});
    if (wait_before_action(settings, system, watch)) {
        return CalledOff{};
    }
    print_critical_line({words.doing, " now."});
    // Read before the command: one that returns only after the resume has
    // the sleep inside, and a baseline taken after it would hide that sleep.
    const ClockReading requested = system.read_clocks();
    if (const auto ran =
            system.run_bounded_command(systemctl_command, std::string(words.name).c_str(), sleep_command_limit);
        !ran) {
        print_critical_line({"Could not ", words.verb, ": ", systemctl_command, " ", words.name, ": ",
                             ran.error().text(), "; powering off."});
        return power_off_now(system);
    }
    print_line({"Info: ", systemctl_command, " ", words.name, " succeeded; held off for ",
                format_shortest(sleep_grace_secs(settings)),
                " seconds awake, or until connected or charged above the level."});
    return SleepHold{requested.awake, requested.asleep};
}

}  // namespace kestro
