#include "client/status_meaning.hpp"

#include <cmath>
#include <cstdint>

#include "core/number_format.hpp"

namespace kestro {

namespace {

constexpr double less_than_a_minute = 30.0;  // rounds to 0 minutes
constexpr double most_minutes = 99 * 60;     // shown as such up to 99:00
constexpr double percent_limit = 1000.0;     // no battery reports ten times full

// The minutes of a duration, rounded to the nearest; none above the range
// shown in figures.
[[nodiscard]] std::optional<std::uint64_t> shown_minutes(double seconds) {
    const double minutes = std::round(seconds / 60.0);
    if (!(minutes <= most_minutes)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(minutes);
}

// H:MM, or the words for below and above the range shown in figures.
[[nodiscard]] std::string duration_in_words(double seconds, std::string_view below, std::string_view above) {
    if (seconds < less_than_a_minute) {
        return std::string(below);
    }
    const auto minutes = shown_minutes(seconds);
    if (!minutes) {
        return std::string(above);
    }
    std::string text(format_integer(*minutes / 60).view());
    text += ':';
    if (*minutes % 60 < 10) {
        text += '0';
    }
    text += format_integer(*minutes % 60).view();
    return text;
}

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
    return meaning;
}

std::string duration_text(double seconds) { return duration_in_words(seconds, "less than a minute", "more than 99 hours"); }

std::string short_duration_text(double seconds) { return duration_in_words(seconds, "<1 min", ">99 h"); }

}  // namespace kestro
