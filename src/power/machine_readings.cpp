#include "power/machine_readings.hpp"

#include "power/charge_limit.hpp"

namespace kestro {

namespace {

// µAh × µV is a million times µWh.
constexpr double micro_per_unit = 1e6;

// A design voltage of 1 V or less is firmware's placeholder, not the
// battery's (µV).
constexpr double least_design_voltage = 1e6;

}  // namespace

std::optional<double> energy_of(const BatteryReadings& battery, std::optional<double> value) {
    if (!value || battery.uses_energy) {
        return value;
    }
    const std::optional<double> voltage = battery.voltage_min_design > least_design_voltage
                                              ? battery.voltage_min_design
                                              : battery.voltage_now;
    if (!voltage) {
        return std::nullopt;
    }
    return *value * *voltage / micro_per_unit;
}

bool charge_known(const BatteryReadings& battery) {
    return energy_of(battery, battery.full_value) && energy_of(battery, battery.now_value);
}

double combined_limit(const MachineReadings& readings, std::span<const double> levels) {
    double weighted = 0.0;
    double weights = 0.0;
    double sum = 0.0;
    double count = 0.0;
    for (std::size_t place = 0; place < readings.battery_count && place < levels.size(); ++place) {
        const BatteryReadings& battery = readings.batteries[place];
        if (!battery.present) {
            continue;
        }
        sum += levels[place];
        count += 1.0;
        if (const auto full = energy_of(battery, battery.full_value); full && *full > 0) {
            weighted += levels[place] * *full;
            weights += *full;
        }
    }
    if (weights > 0) {
        return weighted / weights;
    }
    return count > 0 ? sum / count : unlimited_charge_level;
}

}  // namespace kestro
