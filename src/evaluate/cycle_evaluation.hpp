// What one cycle decides from what it read: the machine's charge with both
// of its estimates, the adapter and battery statuses with their lines, and
// the seconds until the low-battery action.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>

#include "evaluate/adapter_status.hpp"
#include "evaluate/charge.hpp"
#include "evaluate/cycle_readings.hpp"
#include "evaluate/settings.hpp"
#include "evaluate/shutdown.hpp"

namespace kestro {

// What the rules carry from one cycle to the next; evaluate_cycle alone
// moves it on.
struct EvaluationMemory {
    AdapterTracking adapter;  // evaluate/adapter_status.hpp
    ChargeMemory charge;      // evaluate/charge.hpp
    std::bitset<max_batteries> counted;   // the batteries whose charge counted last cycle
};

struct CycleEvaluation {
    ChargeEstimate estimate;
    Statuses statuses;
    std::optional<double> secs_until_shutdown;
    // The estimate is the grace left after a sleeping action
    // (act/low_battery_action.hpp's hold, which the loop applies).
    bool action_held = false;
    // The estimate is the seconds the confirmation of the low level still
    // needs (evaluate/low_battery_guard.hpp, which the loop applies).
    bool confirming = false;
};

// Combines the batteries (evaluate/combined_battery.hpp), evaluates the
// charge, decides the statuses (printing their lines) and estimates the
// seconds until the shutdown, in that order, then moves the memory on to the
// next cycle. When the batteries changed, or those whose charge counts, the
// charge memory starts afresh, so that a battery going is not taken for a
// fall of the charge (nor one coming for a rise).
[[nodiscard]] CycleEvaluation evaluate_cycle(const MachineReadings& readings, std::uint64_t cycle,
                                             const Settings& settings, EvaluationMemory& memory);

}  // namespace kestro
