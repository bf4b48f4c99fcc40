#include "evaluate/shutdown.hpp"

#include <algorithm>
#include <chrono>
#include <string>

#include "base/child_process.hpp"
#include "base/fatal.hpp"
#include "base/number_format.hpp"
#include "base/output.hpp"
#include "base/pause.hpp"
#include "base/units.hpp"

namespace kestro {

namespace {

// The only estimate that starts the shutdown.
constexpr double shutdown_now = 0.0;
// Published instead while the adapter is "Connected": not yet, but soon.
constexpr double held_off_by_adapter = 1.0;

constexpr const char* poweroff_command = "poweroff";
constexpr const char* systemctl_command = "systemctl";

// The shortest grace after a sleeping action, in seconds awake.
constexpr double least_sleep_grace_secs = 60.0;
// Less time asleep than this is no sleep: the action did not take.
constexpr double least_sleep_secs = 1.0;
// The most awake time systemctl gets to ask for the sleep: a hibernation
// stops this clock, a command stuck on its output or a refusal does not.
constexpr std::chrono::seconds sleep_command_limit{30};

void announce_level(const Settings& settings) {
    print_critical_line({"Reached ", format_shortest(settings.request_shutdown_battery_percent), "% battery."});
}

void wait_before_action(const Settings& settings) {
    // The configuration refuses timeouts that do not convert; this cannot
    // fail unless Settings came from elsewhere.
    const auto wait = wait_duration_from_secs(settings.force_shutdown_timeout_secs);
    if (!wait) {
        fatal_error(wait.error().text(), "");
    }
    pause_for(*wait);
}

ShutdownCompleted power_off_now(const char* command) {
    print_critical_line({"Shutting down now."});
    if (const auto ran = run_command(command); !ran) {
        fatal_error(std::string(command).append(": ").append(ran.error().text()), "");
    }
    return {};
}

// From "Forcing shutdown in <seconds> seconds." on.
ShutdownCompleted force_shutdown(const Settings& settings, const char* command) {
    print_critical_line({"Forcing shutdown in ", format_shortest(settings.force_shutdown_timeout_secs), " seconds."});
    wait_before_action(settings);
    return power_off_now(command);
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
    return seconds_between(hold.asleep_before, asleep) >= least_sleep_secs;
}

}  // namespace

std::optional<double> estimate_secs_until_shutdown(const CycleReadings& readings, const ChargeEstimate& estimate,
                                                   std::optional<AcStatus> adapter_status,
                                                   const Settings& settings) {
    if (!estimate.percent || !readings.full_value || !readings.now_value) {
        return std::nullopt;
    }
    const double threshold = *readings.full_value * (settings.request_shutdown_battery_percent / full_charge_percent);
    const double now = *readings.now_value;
    if (now > threshold) {
        // The time to go needs the voltages (the draw is made of voltage_now);
        // the shutdown at the level below does not.
        if (!estimate.draw || !readings.voltage_min_design) {
            return std::nullopt;
        }
        const double secs = *readings.voltage_min_design * (now - threshold) / *estimate.draw * seconds_per_hour;
        // The charge is above the level, so this must not read as "now".
        if (secs == shutdown_now) {
            return std::nullopt;
        }
        return secs;
    }
    return adapter_status == AcStatus::connected ? held_off_by_adapter : shutdown_now;
}

bool shutdown_due(std::optional<double> secs) { return secs && *secs == shutdown_now; }

ShutdownCompleted run_shutdown_sequence(const Settings& settings) {
    return run_shutdown_sequence_with(settings, poweroff_command);
}

ShutdownCompleted run_shutdown_sequence_with(const Settings& settings, const char* command) {
    announce_level(settings);
    return force_shutdown(settings, command);
}

std::optional<double> apply_sleep_hold(std::optional<double> secs, std::optional<SleepHold>& hold,
                                       const Settings& settings) {
    if (!hold) {
        return secs;
    }
    const HeldEstimate held = hold_estimate(secs, *hold, read_clocks().awake, settings);
    if (held.hold_ends) {
        hold.reset();
        print_line({"Info: Armed again: at the low level the computer will ", words_of(settings.critical_action).verb,
                    "."});
    }
    return held.secs;
}

LowBatteryOutcome run_low_battery_action(const Settings& settings, const std::optional<SleepHold>& hold) {
    if (settings.critical_action == CriticalAction::poweroff) {
        return run_shutdown_sequence(settings);
    }
    const CriticalActionWords words = words_of(settings.critical_action);
    announce_level(settings);
    if (hold && !slept_since(*hold, read_clocks().asleep)) {
        print_critical_line({"The computer did not ", words.verb, " after the last request; powering off."});
        return force_shutdown(settings, poweroff_command);
    }
    print_critical_line({words.doing, " in ", format_shortest(settings.force_shutdown_timeout_secs), " seconds."});
    wait_before_action(settings);
    print_critical_line({words.doing, " now."});
    // Read before the command: one that returns only after the resume has
    // the sleep inside, and a baseline taken after it would hide that sleep.
    const ClockReading requested = read_clocks();
    if (const auto ran = run_bounded_command(systemctl_command, std::string(words.name).c_str(), sleep_command_limit);
        !ran) {
        print_critical_line({"Could not ", words.verb, ": ", systemctl_command, " ", words.name, ": ",
                             ran.error().text(), "; powering off."});
        return power_off_now(poweroff_command);
    }
    print_line({"Info: ", systemctl_command, " ", words.name, " succeeded; held off for ",
                format_shortest(sleep_grace_secs(settings)),
                " seconds awake, or until connected or charged above the level."});
    return SleepHold{requested.awake, requested.asleep};
}

}  // namespace kestro
