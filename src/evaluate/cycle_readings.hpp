// The values of one cycle as the evaluation takes them, in the kernel's
// micro-units: one battery's as read, or the machine's batteries combined
// (evaluate/combined_battery.hpp).
#pragma once

#include <optional>

#include "base/status_words.hpp"
#include "power/machine_readings.hpp"

namespace kestro {

// An empty optional is a value whose read failed this cycle.
struct CycleReadings {
    std::optional<double> full_value;  // charge_full or energy_full
    std::optional<double> now_value;   // charge_now or energy_now
    double rate_reading = 0.0;         // |current_now| or power_now; 0 when the read failed
    std::optional<KernelBatteryStatus> battery_status;  // none when unreadable
    std::optional<double> voltage_min_design;
    std::optional<double> voltage_now;
    std::optional<bool> adapter_online;  // none when "online" is unreadable
    double pd_power = 0.0;               // watts; 0 when not available
};

}  // namespace kestro
