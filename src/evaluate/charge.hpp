// The battery charge of one cycle: the percentage, its moving average, the
// near-full flag, the present draw and the seconds until the charge limit,
// and the progress and debug lines that follow the percentage.
//
// The arithmetic is done in a fixed order of floating-point operations, so
// that the published numbers are the same to the last digit on every run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/number_format.hpp"
#include "base/status_words.hpp"
#include "base/units.hpp"
#include "evaluate/charge_estimate.hpp"
#include "evaluate/cycle_readings.hpp"

namespace kestro {

// Recent charge percentages, newest first.
inline constexpr std::size_t charge_history_length = 9;
// A history entry that holds no percentage.
inline constexpr double missing_charge = -1.0;
using ChargeHistory = std::array<double, charge_history_length>;

[[nodiscard]] constexpr ChargeHistory empty_charge_history() {
    ChargeHistory history{};
    history.fill(missing_charge);
    return history;
}

// What the charge rules carry from one cycle to the next: evaluate_charge
// reads it, remember_charge moves it on.
struct ChargeMemory {
    ChargeHistory history = empty_charge_history();
    std::optional<double> previous_percent;  // the previous cycle's percentage, if known
};

// Evaluates the cycle's readings against the charge limit in force
// (`max_charge_level`, 0 to 100):
// - percent = now ÷ full × 100, unclamped; known when both capacity reads
//   succeeded and the result is a finite number (a full capacity of 0 while
//   the battery recalibrates says nothing about the charge);
// - previous_percent from memory;
// - average = the nine history entries summed newest to oldest, ÷ 9, a
//   missing (negative) entry standing for the percentage when it is known;
// - near_full when known and percent > max_charge_level × 0.9;
// - draw = rate × voltage_now when voltage_now is known;
// - secs_until_full as estimate_secs_until_full makes it.
// Prints nothing.
[[nodiscard]] ChargeEstimate evaluate_charge(const CycleReadings& readings, double max_charge_level,
                                             const ChargeMemory& memory);

// Sets the estimate's seconds until the charge reaches
// max_charge_level percent of the full capacity: none unless the percentage,
// the draw and voltage_min_design are known; 0 at or above the limit; otherwise
// to go × voltage_min_design ÷ draw × 3600 (infinite when the draw is 0).
void estimate_secs_until_full(ChargeEstimate& estimate, const CycleReadings& readings,
                              double max_charge_level);

// Rounds half away from zero to a 32-bit integer, saturating at its limits;
// NaN gives 0.
[[nodiscard]] std::int32_t round_percent(double percent);

enum class ChargeTrend { rising, falling };

struct ProgressReport {
    std::int32_t current;  // the rounded percentage to print
    ChargeTrend trend;
};

// Whether the rounded percentage moving from `previous` to `current` is
// reported: both known (not negative), different, and current at or below
// 20 or a multiple of 5.
[[nodiscard]] std::optional<ProgressReport> progress_report(std::int32_t current, std::int32_t previous);

// Shifts the history one place towards the old end and puts the cycle's
// percentage (or the missing mark when unknown) in the newest place.
void push_charge_history(ChargeHistory& history, const ChargeEstimate& estimate);

// Moves the memory on to the next cycle: when the percentage is known, every
// missing entry takes it (as evaluate_charge counted them); then pushes the
// percentage into the history and keeps it as the previous percentage.
void remember_charge(ChargeMemory& memory, const ChargeEstimate& estimate);

// Whether this cycle prints the debug line: debugging on, a cycle that is a
// multiple of 10, and a battery that is discharging or not charging.
[[nodiscard]] bool charge_debug_line_due(bool debug_enabled, std::uint64_t cycle,
                                         std::optional<BatteryStatus> battery_status);

// The report of the cycle, after publication and when no shutdown started:
// prints "Info: Battery charge: <current>% <trend>" (current right-aligned in
// two characters, trend "(+)" or "(-)") when progress_report says so,
// comparing with the previous cycle's percentage; prints
// "DBG: battery charge: cur=<c>% avg=<a>%" (three decimals, c = -1 when the
// percentage is unknown) when charge_debug_line_due. Both lines go to
// standard output.
void report_charge(const ChargeEstimate& estimate, std::uint64_t cycle, std::optional<BatteryStatus> battery_status,
                   bool debug_enabled);

// The percentage as it appears in the status lines: two decimals and "%"
// ("57.14%"), or "unknown" when it is unknown, below 0 or NaN.
[[nodiscard]] NumberText charge_text(const ChargeEstimate& estimate);

}  // namespace kestro
