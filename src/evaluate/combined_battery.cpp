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

struct Energies {
    double full = 0.0;
    double now = 0.0;
};

// A present battery's capacity pair in µWh, the full energy no less than 0
// and the remaining energy held between 0 and it.
std::optional<Energies> energies_of(const BatteryReadings& battery) {
    const std::optional<double> full = energy_of(battery, battery.full_value);
    const std::optional<double> now = energy_of(battery, battery.now_value);
    if (!full || !now) {
        return std::nullopt;
    }
    const double full_energy = std::max(0.0, *full);
    return Energies{full_energy, std::clamp(*now, 0.0, full_energy)};
}

// The capacity pairs of the present batteries whose charge is known, which
// `counted` marks, summed; none when there is no such battery.
std::optional<Energies> summed_energies(std::span<const BatteryReadings> batteries,
                                        std::bitset<max_batteries>& counted) {
    Energies sums;
    for (std::size_t place = 0; place < batteries.size(); ++place) {
        const std::optional<Energies> energies =
            batteries[place].present ? energies_of(batteries[place]) : std::nullopt;
        if (energies) {
            sums.full += energies->full;
            sums.now += energies->now;
            counted.set(place);
        }
    }
    return counted.any() ? std::optional(sums) : std::nullopt;
}

// The machine's power in µW (see combine_batteries).
std::optional<double> machine_power(std::span<const BatteryReadings> batteries) {
    double sum = 0.0;
    bool any = false;
    bool rate_failed = false;
    for (const BatteryReadings& battery : batteries) {
        if (!battery.present) {
            continue;
        }
        if (!battery.uses_power && !battery.voltage_now) {
            return std::nullopt;
        }
        any = true;
        if (!battery.rate_reading) {
            rate_failed = true;
        } else {
            sum += battery.uses_power ? *battery.rate_reading
                                      : *battery.rate_reading * *battery.voltage_now / micro_per_unit;
        }
    }
    if (!any) {
        return std::nullopt;
    }
    return rate_failed ? 0.0 : sum;
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

}  // namespace

MachineEnergy machine_energy(const MachineReadings& machine) {
    const std::span<const BatteryReadings> batteries(machine.batteries.data(), machine.battery_count);
    std::bitset<max_batteries> counted;
    const std::optional<Energies> energies = summed_energies(batteries, counted);
    return {
        .full = energies ? std::optional(energies->full) : std::nullopt,
        .now = energies ? std::optional(energies->now) : std::nullopt,
        .power = machine_power(batteries),
    };
}

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
        readings.rate_reading = battery.rate_reading.value_or(0.0);
        readings.battery_status = battery.battery_status;
        readings.voltage_min_design = battery.voltage_min_design;
        readings.voltage_now = battery.voltage_now;
        return combined;
    }
    if (const std::optional<Energies> sums = summed_energies(batteries, combined.counted)) {
        readings.full_value = sums->full;
        readings.now_value = sums->now;
    }
    const std::optional<double> power = machine_power(batteries);
    readings.rate_reading = power.value_or(0.0);
    if (power) {
        readings.voltage_min_design = unit_voltage;
        readings.voltage_now = unit_voltage;
    }
    readings.battery_status = combined_status(batteries);
    return combined;
}

}  // namespace kestro
