// The opt-in confirmation of the low level (confirm_low_battery): some
// firmware reports 0 % for a moment (after a resume, at boot, under load),
// and a single such reading must not power off a machine with charge left.
//
// A reading at or below the level starts a confirmation: the action is due
// once the level has been read on confirm_cycles consecutive cycles that
// read the charge (a cycle without an estimate neither counts nor resets;
// any other known estimate ends the confirmation). Two holds may keep a
// confirmed level back, unless the voltage agrees (some present battery
// reads voltage_now at or below its voltage_min_design, both read; the
// first pack to collapse is enough, as packs run down one after the other):
// - settling: the first settle_secs of awake time after the first cycle and
//   after each resume (the asleep clock grew);
// - suspicion: a fall the draw cannot explain, more than suspect_factor
//   times what the present draw removes in the awake time since the last
//   reading plus suspect_margin of the full charge, holds the level back for
//   suspect_secs of awake time from that reading.
// The cycles count while a hold runs, so that a genuine level is acted on at
// most confirm_cycles − 1 seconds late, a level under a hold at most
// suspect_secs late.
#pragma once

#include <chrono>
#include <optional>

#include "evaluate/cycle_readings.hpp"
#include "evaluate/settings.hpp"
#include "power/machine_readings.hpp"

namespace kestro {

inline constexpr int confirm_cycles = 5;
inline constexpr std::chrono::seconds settle_secs{30};
inline constexpr std::chrono::seconds suspect_secs{60};
inline constexpr double suspect_factor = 4.0;
inline constexpr double suspect_margin = 0.005;

// What the guard reads each cycle.
struct GuardReading {
    std::chrono::nanoseconds awake{};
    std::chrono::nanoseconds asleep{};
    std::optional<double> secs;  // evaluate/shutdown.hpp's estimate: 0 at the level
    const CycleReadings* machine = nullptr;  // the machine's combined readings
    std::optional<double> draw;              // evaluate/charge_estimate.hpp's
    bool voltage_agrees = false;
};

// Whether any present battery's voltage_now is at or below its
// voltage_min_design, both read.
[[nodiscard]] bool voltage_agrees(const MachineReadings& readings);

// Why the wait before the action ends early.
enum class CallOff { adapter_connected, charge_above_level };

// What the wait's reading says: the adapter online while the battery does
// not discharge, or the charge above the level; none when neither (or
// nothing could be read).
[[nodiscard]] std::optional<CallOff> call_off_reason(const CycleReadings& machine, const Settings& settings);

class LowBatteryGuard {
public:
    // The estimate to publish and act on: the cycle's, except at the level
    // while the confirmation runs, where it is the seconds it still needs
    // (at least 1).
    [[nodiscard]] std::optional<double> confirm(const GuardReading& reading);

    // The action was called off: the next level starts a new confirmation.
    void restart() { confirmed_ = 0; }

private:
    void watch_fall(const GuardReading& reading);

    std::optional<std::chrono::nanoseconds> settled_at_;  // none before the first cycle
    std::chrono::nanoseconds asleep_{};
    std::optional<std::chrono::nanoseconds> suspect_since_;
    std::optional<double> last_now_;
    std::chrono::nanoseconds last_awake_{};
    int confirmed_ = 0;
};

}  // namespace kestro
