#include "evaluate/combined_battery.hpp"

#include <algorithm>
#include <span>

#include "base/units.hpp"

namespace kestro {

namespace {

// µAh × µV and µA × µV are a million times µWh and µW.
constexpr double micro_per_unit = 1e6;
// The voltages of the combined record: its figures are energies and powers.
constexpr double unit_voltage = 1.0;

// A capacity value in µWh, when it and the voltage it needs are known.
std::optional<double> energy_of(const BatteryReadings& battery, std::optional<double> value) {
    if (!value || battery.uses_energy) {
        return value;
    }
    const std::optional<double> voltage =
        battery.voltage_min_design ? battery.voltage_min_design : battery.voltage_now;
    if (!voltage) {
        return std::nullopt;
    }
    return *value * *voltage / micro_per_unit;
}

std::optional<double> power_of(const BatteryReadings& battery) {
    if (battery.uses_power) {
        return battery.rate_reading;
    }
    if (!battery.voltage_now) {
        return std::nullopt;
    }
    return battery.rate_reading * *battery.voltage_now / micro_per_unit;
}

// The sum of every present battery's value; none when one is unknown.
template <class Value>
std::optional<double> sum_of(std::span<const BatteryReadings> batteries, Value value) {
    double sum = 0.0;
    bool any = false;
    for (const BatteryReadings& battery : batteries) {
        if (!battery.present) {
            continue;
        }
        const std::optional<double> part = value(battery);
        if (!part) {
            return std::nullopt;
        }
        sum += *part;
        any = true;
    }
    return any ? std::optional(sum) : std::nullopt;
}

std::optional<KernelBatteryStatus> combined_status(std::span<const BatteryReadings> batteries) {
    bool any_read = false;
    bool all_full = true;
    bool all_resting = true;  // full or not charging
    bool any_discharging = false;
    for (const BatteryReadings& battery : batteries) {
        if (!battery.present) {
            continue;
        }
        const std::optional<KernelBatteryStatus> status = battery.battery_status;
        if (status == KernelBatteryStatus::charging) {
            return status;
        }
        any_read = any_read || status;
        any_discharging = any_discharging || status == KernelBatteryStatus::discharging;
        all_full = all_full && status == KernelBatteryStatus::full;
        all_resting =
            all_resting && (status == KernelBatteryStatus::full || status == KernelBatteryStatus::not_charging);
    }
    if (!any_read) {
        return std::nullopt;
    }
    if (any_discharging) {
        return KernelBatteryStatus::discharging;
    }
    if (all_full) {
        return KernelBatteryStatus::full;
    }
    return all_resting ? KernelBatteryStatus::not_charging : KernelBatteryStatus::other;
}

// The batteries' own limits weighted by their full energy; their plain mean
// while no full energy is known.
double combined_limit(std::span<const BatteryReadings> batteries) {
    double weighted = 0.0;
    double weights = 0.0;
    double sum = 0.0;
    double count = 0.0;
    for (const BatteryReadings& battery : batteries) {
        if (!battery.present) {
            continue;
        }
        sum += battery.max_charge_level;
        count += 1.0;
        if (const auto full = energy_of(battery, battery.full_value); full && *full > 0) {
            weighted += battery.max_charge_level * *full;
            weights += *full;
        }
    }
    if (weights > 0) {
        return weighted / weights;
    }
    return count > 0 ? sum / count : full_charge_percent;
}

}  // namespace

CombinedReadings combine_batteries(const MachineReadings& machine) {
    const std::span<const BatteryReadings> batteries(machine.batteries.data(), machine.battery_count);
    CombinedReadings combined;
    CycleReadings& readings = combined.readings;
    readings.adapter_online = machine.adapter_online;
    readings.pd_power = machine.pd_power;
    if (batteries.size() == 1) {
        const BatteryReadings& battery = batteries.front();
        readings.full_value = battery.full_value;
        readings.now_value = battery.now_value;
        readings.rate_reading = battery.rate_reading;
        readings.battery_status = battery.battery_status;
        readings.voltage_min_design = battery.voltage_min_design;
        readings.voltage_now = battery.voltage_now;
        combined.max_charge_level = machine.max_charge_level.value_or(battery.max_charge_level);
        return combined;
    }
    readings.full_value =
        sum_of(batteries, [](const BatteryReadings& battery) { return energy_of(battery, battery.full_value); });
    readings.now_value =
        sum_of(batteries, [](const BatteryReadings& battery) { return energy_of(battery, battery.now_value); });
    const std::optional<double> power = sum_of(batteries, power_of);
    readings.rate_reading = power.value_or(0.0);
    if (power) {
        readings.voltage_min_design = unit_voltage;
        readings.voltage_now = unit_voltage;
    }
    readings.battery_status = combined_status(batteries);
    combined.max_charge_level = machine.max_charge_level ? *machine.max_charge_level : combined_limit(batteries);
    return combined;
}

}  // namespace kestro
