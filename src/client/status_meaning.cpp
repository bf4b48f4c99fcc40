#include "client/status_meaning.hpp"

#include <cmath>

namespace kestro {

namespace {

constexpr double percent_limit = 1000.0;  // no battery reports ten times full

template <class Value>
[[nodiscard]] std::optional<Shown<Value>> shown(const std::optional<Value>& value, const StatusSnapshot& snapshot,
                                                StatusFile file) {
    if (!value) {
        return std::nullopt;
    }
    return Shown<Value>{*value, snapshot.stale(file)};
}

[[nodiscard]] std::optional<Estimate> estimate_of(const StatusSnapshot& snapshot) {
    if (snapshot.battery_status == BatteryStatus::charging) {
        const auto& seconds = snapshot.secs_until_battery_full;
        if (seconds && std::isfinite(*seconds) && *seconds > 0) {
            return Estimate{EstimateKind::full_in, *seconds, snapshot.stale(StatusFile::secs_until_battery_full)};
        }
    } else if (snapshot.battery_status == BatteryStatus::discharging && snapshot.ac_status != AcStatus::connected) {
        const auto& seconds = snapshot.secs_until_shutdown_request;
        if (seconds && std::isfinite(*seconds) && *seconds >= 0) {
            const EstimateKind kind = *seconds == 0 ? EstimateKind::shutting_down : EstimateKind::shutdown_in;
            return Estimate{kind, *seconds, snapshot.stale(StatusFile::secs_until_shutdown_request)};
        }
    }
    return std::nullopt;
}

[[nodiscard]] Urgency urgency_of(const std::optional<Estimate>& estimate, bool battery_stale,
                                 const Thresholds& thresholds) {
    if (!estimate || estimate->kind == EstimateKind::full_in || estimate->stale || battery_stale) {
        return Urgency::normal;
    }
    if (estimate->kind == EstimateKind::shutting_down || estimate->seconds <= thresholds.critical_seconds) {
        return Urgency::critical;
    }
    return estimate->seconds <= thresholds.warning_seconds ? Urgency::warning : Urgency::normal;
}

}  // namespace

StatusMeaning interpret(const StatusSnapshot& snapshot, const Thresholds& thresholds) {
    StatusMeaning meaning;
    meaning.any = has_status(snapshot);
    meaning.all_stale = all_stale(snapshot);
    meaning.adapter = shown(snapshot.ac_status, snapshot, StatusFile::ac_status);
    meaning.battery = shown(snapshot.battery_status, snapshot, StatusFile::battery_status);
    const auto& percent = snapshot.battery_percent;
    if (percent && *percent >= 0 && *percent < percent_limit) {
        meaning.percent = shown(percent, snapshot, StatusFile::battery_percent);
    }
    meaning.estimate = estimate_of(snapshot);
    meaning.urgency = urgency_of(meaning.estimate, snapshot.stale(StatusFile::battery_status), thresholds);
    meaning.action = snapshot.action();
    return meaning;
}

}  // namespace kestro
