// What a snapshot of the status files means to a person: which values are
// worth showing, which estimate applies in the present state, how urgent the
// situation is. Pure functions.
#pragma once

#include <optional>

#include "client/status_snapshot.hpp"

namespace kestro {

// When the time until the shutdown request makes the status a warning or
// critical, in seconds.
struct Thresholds {
    double warning_seconds = 30 * 60;
    double critical_seconds = 10 * 60;
};

// A value to show, and whether its file is stale.
template <class Value>
struct Shown {
    Value value;
    bool stale = false;
};

enum class EstimateKind {
    full_in,        // while charging: seconds until the charge target
    shutdown_in,    // while discharging: seconds until the shutdown request
    shutting_down,  // while discharging: the shutdown has started
};

struct Estimate {
    EstimateKind kind = EstimateKind::full_in;
    double seconds = 0.0;
    bool stale = false;
};

enum class Urgency { normal, warning, critical };

struct StatusMeaning {
    bool any = false;        // some file holds a value
    bool all_stale = false;  // ... and every one is stale: the daemon has stopped
    std::optional<Shown<AcStatus>> adapter;
    std::optional<Shown<double>> percent;  // finite, from 0 to below 1000
    std::optional<Shown<BatteryStatus>> battery;
    std::optional<Estimate> estimate;
    Urgency urgency = Urgency::normal;  // from fresh values only
    CriticalAction action = CriticalAction::poweroff;  // what the shutdown request does
};

// The meaning of a snapshot:
// - a percentage is shown when it is finite, not negative and below 1000;
// - "full in" applies only while the battery is "Charging", with a finite
//   estimate above 0;
// - "shutdown in" applies only while it is "Discharging" on an adapter that
//   is not "Connected" (which holds the shutdown off), with a finite
//   estimate at or above 0; 0 means the shutdown has started;
// - the urgency is critical when the shutdown has started or is at most
//   critical_seconds away, a warning when at most warning_seconds away, and
//   normal otherwise or when the estimate or the battery status is stale;
// - the action is the published one, poweroff without one.
[[nodiscard]] StatusMeaning interpret(const StatusSnapshot& snapshot, const Thresholds& thresholds);

}  // namespace kestro
