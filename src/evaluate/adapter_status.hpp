// The adapter and battery statuses of one cycle. Neither is taken from the
// kernel on trust: the battery's own status is checked against the trend of
// the charge, and an online adapter that cannot keep the battery from
// discharging is "Connected slow". Adapter changes are announced once they
// have lasted a few cycles, so that a wobbly plug does not flood the log.
//
// Two stages per cycle: register_adapter_status right after the adapter's
// "online" file has been read, evaluate_statuses after the charge has been
// evaluated. Both decide from plain values; only evaluate_statuses prints.
#pragma once

#include <cstdint>
#include <optional>

#include "base/status_words.hpp"
#include "evaluate/charge_estimate.hpp"
#include "evaluate/cycle_readings.hpp"

namespace kestro {

// How many cycles an adapter change must be old before it is announced, before
// the discharging warning may be printed, and before the status may switch
// into or out of "Connected slow".
inline constexpr std::uint64_t settle_cycles = 5;

// What the adapter rules carry from one cycle to the next: the second stage
// keeps the final status, the first registers changes against it.
struct AdapterTracking {
    std::optional<AcStatus> previous;   // the final status of the previous cycle
    std::optional<AcStatus> reference;  // the status before the latest change
    std::uint64_t changed_at = 0;       // the cycle of the latest change
};

// First stage, in cycle `cycle`. Decides the raw adapter status N of this
// cycle and registers a change of it in tracking.reference and
// tracking.changed_at.
//
// N is connected when adapter_online is true and "Disconnected" when it is
// false. When "online" could not be read it follows the battery's own status:
// full, charging and not charging mean connected, discharging means
// "Disconnected", anything else (or an unreadable status) gives none. A
// connected N is "Connected slow" exactly when the previous cycle's final
// status was, so the slow state lasts until the second stage switches it
// back, and those switches are never registered as changes.
//
// A change is N differing from tracking.previous (none equals none): the
// cycle is recorded, and the reference becomes the status before it (or N
// when there was none). The first status ever seen is registered the same
// way. Prints nothing.
[[nodiscard]] std::optional<AcStatus> register_adapter_status(std::optional<bool> adapter_online,
                                                              std::optional<KernelBatteryStatus> battery_status,
                                                              std::uint64_t cycle, AdapterTracking& tracking);

// What the cycle publishes: the battery status B and the final adapter status F.
struct Statuses {
    std::optional<BatteryStatus> battery;
    std::optional<AcStatus> adapter;
};

// The adapter status line a cycle prints, if any.
enum class AdapterLine {
    none,
    at_start,  // cycle 2: the status at start
    changed,   // settle_cycles after a change that still holds
};

// Everything the second stage decides, before anything is printed.
struct StatusDecision {
    Statuses statuses;
    bool discharging_warning = false;  // the battery discharges behind an online adapter
    AdapterLine line = AdapterLine::none;
};

// Second stage, without output. raw_adapter_status is the N of the first
// stage; battery_status the battery's own status (none when unreadable).
// Decides from the percentage and the previous one in the estimate and from
// the change registered in tracking, then keeps F in tracking.previous for
// the next cycle's first stage.
//
// B: the kernel's "Discharging" and "Full" are taken as they are; a battery
// that claims to charge (or not to charge, short of near full) behind a
// connected adapter is verified against the previous percentage and the
// average; everything else follows the trend of the percentage. F: a
// "Connected" adapter becomes "Connected slow" when the battery discharges,
// and back when it charges, once the latest change is settle_cycles old.
[[nodiscard]] StatusDecision decide_statuses(std::optional<AcStatus> raw_adapter_status,
                                             std::optional<KernelBatteryStatus> battery_status,
                                             const ChargeEstimate& estimate, std::uint64_t cycle,
                                             AdapterTracking& tracking);

// Second stage: decides as decide_statuses and prints on standard output, in
// this order, "Warning: AC Adapter connected but battery is actually
// discharging" when due, then the status line of the cycle, if any:
//   "Info: AC Adapter status at start: '<F>'<suffix>, battery <charge>, status: '<B>'"
//   "Info: AC Adapter status changed '<R>'->'<F>'<suffix>, battery <charge>, status: '<B>'"
// where an absent status reads None, <charge> is charge_text (evaluate/charge.hpp), and <suffix>
// is " at <pd_power>W" while F is connected and pd_power is above 0.
[[nodiscard]] Statuses evaluate_statuses(std::optional<AcStatus> raw_adapter_status,
                                         std::optional<KernelBatteryStatus> battery_status,
                                         const ChargeEstimate& estimate, double pd_power, std::uint64_t cycle,
                                         AdapterTracking& tracking);

// Both stages of one cycle, once the charge has been evaluated: registers
// the adapter status from the readings' "online" and battery status, then
// decides and prints as evaluate_statuses.
[[nodiscard]] Statuses decide_cycle_statuses(const CycleReadings& readings, const ChargeEstimate& estimate,
                                             std::uint64_t cycle, AdapterTracking& tracking);

}  // namespace kestro
