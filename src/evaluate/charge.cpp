#include "evaluate/charge.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "base/output.hpp"

namespace kestro {

namespace {

// Above this share of the charge limit the battery counts as nearly full.
constexpr double near_full_factor = 0.9;
// Progress lines appear at every multiple of this step...
constexpr std::int32_t progress_step = 5;
// ...and at every change at or below this level.
constexpr std::int32_t always_report_level = 20;
// The rounded percentage of a cycle whose percentage is unknown.
constexpr std::int32_t unknown_rounded_percent = -1;
// The debug line appears in every cycle that is a multiple of this.
constexpr std::uint64_t debug_line_cycles = 10;

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

// The rounded percentage, or unknown_rounded_percent when it is not known.
std::int32_t rounded_percent_or_unknown(std::optional<double> percent) {
    return percent ? round_percent(*percent) : unknown_rounded_percent;
}

}  // namespace

ChargeEstimate evaluate_charge(const CycleReadings& readings, double max_charge_level, const ChargeMemory& memory) {
    ChargeEstimate estimate;
    estimate.percent = charge_percent(readings);
    estimate.previous_percent = memory.previous_percent;
    double sum = 0.0;
    for (const double entry : memory.history) {  // newest to oldest
        // Missing entries stand for the present reading, so a gap never
        // drags the average down.
        sum += entry < 0 && estimate.percent ? *estimate.percent : entry;
    }
    estimate.average = sum / static_cast<double>(charge_history_length);

    estimate.near_full = estimate.percent && *estimate.percent > max_charge_level * near_full_factor;
    if (readings.voltage_now) {
        estimate.draw = readings.rate_reading * *readings.voltage_now;
    }
    estimate_secs_until_full(estimate, readings, max_charge_level);
    return estimate;
}

void estimate_secs_until_full(ChargeEstimate& estimate, const CycleReadings& readings,
                              double max_charge_level) {
    estimate.secs_until_full.reset();
    if (!estimate.percent || !estimate.draw || !readings.voltage_min_design || !readings.full_value ||
        !readings.now_value) {
        return;
    }
    const double full = *readings.full_value;
    const double now = *readings.now_value;
    const double at_limit = max_charge_level / full_charge_percent * full;
    const double to_go = now < at_limit ? at_limit - now : 0.0;
    estimate.secs_until_full =
        to_go == 0.0 ? 0.0 : to_go * *readings.voltage_min_design / *estimate.draw * seconds_per_hour;
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
    history.front() = estimate.percent.value_or(missing_charge);
}

void remember_charge(ChargeMemory& memory, const ChargeEstimate& estimate) {
    if (estimate.percent) {
        std::replace_if(memory.history.begin(), memory.history.end(), [](double entry) { return entry < 0; },
                        *estimate.percent);
    }
    push_charge_history(memory.history, estimate);
    memory.previous_percent = estimate.percent;
}

bool charge_debug_line_due(bool debug_enabled, std::uint64_t cycle,
                           std::optional<BatteryStatus> battery_status) {
    return debug_enabled && cycle % debug_line_cycles == 0 &&
           (battery_status == BatteryStatus::discharging || battery_status == BatteryStatus::not_charging);
}

void report_charge(const ChargeEstimate& estimate, std::uint64_t cycle, std::optional<BatteryStatus> battery_status,
                   bool debug_enabled) {
    const std::int32_t current = rounded_percent_or_unknown(estimate.percent);
    const std::int32_t previous = rounded_percent_or_unknown(estimate.previous_percent);
    if (const auto report = progress_report(current, previous)) {
        const NumberText digits = format_integer(std::int64_t{report->current});
        // Right-aligned in a field two characters wide: " 5", "45", "100".
        const std::string_view padding = digits.view().size() < 2 ? " " : "";
        print_line({"Info: Battery charge: ", padding, digits, "% ",
                    report->trend == ChargeTrend::rising ? "(+)" : "(-)"});
    }

    if (charge_debug_line_due(debug_enabled, cycle, battery_status)) {
        const double shown = estimate.percent.value_or(unknown_percent_shown);
        print_debug_line({"DBG: battery charge: cur=", format_fixed(shown, debug_decimals),
                          "% avg=", format_fixed(estimate.average, debug_decimals), "%"});
    }
}

NumberText charge_text(const ChargeEstimate& estimate) {
    if (!estimate.percent || std::isnan(*estimate.percent) || *estimate.percent < 0) {
        return NumberText("unknown");
    }
    NumberText text = format_fixed(*estimate.percent, status_line_decimals);
    text.append("%");
    return text;
}

}  // namespace kestro
