#include "evaluate/charge.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "core/output.hpp"

namespace kestro {

namespace {

constexpr int debug_decimals = 3;
constexpr int status_line_decimals = 2;
// The percentage the debug line shows when it is unknown.
constexpr double unknown_percent_shown = -1.0;

// now ÷ full × 100, the quotient first; none when it is not a number of
// percent (an unread capacity, or a full capacity of 0).
std::optional<double> charge_percent(const CycleReadings& readings) {
    if (!readings.full_value || !readings.now_value) {
        return std::nullopt;
    }
    const double percent = *readings.now_value / *readings.full_value * full_charge_percent;
    if (!std::isfinite(percent)) {
        return std::nullopt;
    }
    return percent;
}

}  // namespace

ChargeEstimate evaluate_charge(const CycleReadings& readings, double max_charge_level,
                               ChargeHistory& history) {
    ChargeEstimate estimate;
    if (const auto percent = charge_percent(readings)) {
        estimate.percent = *percent;
        estimate.percent_known = true;
        // Missing entries stand for the present reading, so a gap never
        // drags the average down.
        for (double& entry : history) {
            if (entry < 0) {
                entry = *percent;
            }
        }
    }

    double sum = 0.0;
    for (const double entry : history) {  // newest to oldest
        sum += entry;
    }
    estimate.average = sum / static_cast<double>(charge_history_length);

    estimate.near_full = estimate.percent_known && estimate.percent > max_charge_level * near_full_factor;
    if (readings.voltage_now) {
        estimate.draw = readings.rate_reading * *readings.voltage_now;
    }
    return estimate;
}

void estimate_secs_until_full(ChargeEstimate& estimate, const CycleReadings& readings,
                              double max_charge_level) {
    estimate.secs_until_full.reset();
    if (!estimate.percent_known || !readings.voltage_now || !readings.voltage_min_design) {
        return;
    }
    // percent_known means both capacities were read.
    const double full = *readings.full_value;
    const double now = *readings.now_value;
    const double target = max_charge_level / full_charge_percent * full;
    const double to_go = now < target ? target - now : 0.0;
    estimate.secs_until_full =
        to_go == 0.0 ? 0.0 : to_go * *readings.voltage_min_design / estimate.draw * seconds_per_hour;
}

std::int32_t round_percent(double percent) {
    constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto highest = std::numeric_limits<std::int32_t>::max();
    if (std::isnan(percent)) {
        return 0;
    }
    const double rounded = std::round(percent);  // halves away from zero
    if (rounded <= static_cast<double>(lowest)) {
        return lowest;
    }
    if (rounded >= static_cast<double>(highest)) {
        return highest;
    }
    return static_cast<std::int32_t>(rounded);
}

std::int32_t rounded_percent_or_unknown(double percent, bool known) {
    return known ? round_percent(percent) : unknown_rounded_percent;
}

std::optional<ProgressReport> progress_report(std::int32_t current, std::int32_t previous) {
    if (previous < 0 || current < 0 || current == previous) {
        return std::nullopt;
    }
    if (current > always_report_level && current % progress_step != 0) {
        return std::nullopt;
    }
    return ProgressReport{current, current > previous ? ChargeTrend::rising : ChargeTrend::falling};
}

void push_charge_history(ChargeHistory& history, const ChargeEstimate& estimate) {
    std::shift_right(history.begin(), history.end(), 1);
    history.front() = estimate.percent_known ? estimate.percent : missing_charge;
}

bool charge_debug_line_due(bool debug_enabled, std::uint64_t cycle,
                           std::optional<BatteryStatus> battery_status) {
    return debug_enabled && cycle % debug_line_cycles == 0 &&
           (battery_status == BatteryStatus::discharging || battery_status == BatteryStatus::not_charging);
}

void report_charge(const ChargeEstimate& estimate, MonitorState& state,
                   std::optional<BatteryStatus> battery_status, bool debug_enabled) {
    const std::int32_t current = rounded_percent_or_unknown(estimate.percent, estimate.percent_known);
    const std::int32_t previous =
        rounded_percent_or_unknown(state.previous_percent, state.previous_percent_known);
    if (const auto report = progress_report(current, previous)) {
        const NumberText digits = format_integer(std::int64_t{report->current});
        // Right-aligned in a field two characters wide: " 5", "45", "100".
        const std::string_view padding = digits.view().size() < 2 ? " " : "";
        print_line({"Info: Battery charge: ", padding, digits, "% ",
                    report->trend == ChargeTrend::rising ? "(+)" : "(-)"});
    }

    push_charge_history(state.charge_history, estimate);

    if (charge_debug_line_due(debug_enabled, state.cycle, battery_status)) {
        const double shown = estimate.percent_known ? estimate.percent : unknown_percent_shown;
        print_debug_line({"DBG: battery charge: cur=", format_fixed(shown, debug_decimals),
                          "% avg=", format_fixed(estimate.average, debug_decimals), "%"});
    }
}

NumberText charge_text(const ChargeEstimate& estimate) {
    NumberText text;
    if (!estimate.percent_known || std::isnan(estimate.percent) || estimate.percent < 0) {
        constexpr std::string_view unknown = "unknown";
        unknown.copy(text.data(), unknown.size());
        text.set_size(unknown.size());
        return text;
    }
    text = format_fixed(estimate.percent, status_line_decimals);
    const std::size_t size = text.view().size();
    text.data()[size] = '%';
    text.set_size(size + 1);
    return text;
}

}  // namespace kestro
