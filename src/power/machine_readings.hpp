// The raw values of one cycle, as power/machine_reader.hpp reads them, in
// the kernel's micro-units: the input of every evaluation.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "base/status_words.hpp"

namespace kestro {

// One battery's values of one cycle, as read from its files.
struct BatteryReadings {
    bool present = true;       // false: out of the machine, nothing read
    bool uses_energy = false;  // capacity in µWh (energy files), else µAh
    bool uses_power = false;   // rate in µW (power_now), else µA
    std::optional<double> full_value;
    std::optional<double> now_value;
    std::optional<double> rate_reading;  // none when the read failed
    std::optional<KernelBatteryStatus> battery_status;
    std::optional<double> voltage_min_design;
    std::optional<double> voltage_now;
};

// The most batteries a machine is watched with: BAT0 to BAT8.
inline constexpr std::size_t max_batteries = 9;

// Everything one cycle reads: the batteries, the adapter, the Power Delivery
// power, and the machine's charge limit where it has one of its own.
struct MachineReadings {
    std::array<BatteryReadings, max_batteries> batteries;
    std::size_t battery_count = 0;
    // The limit in force for the machine, 0 to 100: the device's, or made of
    // the batteries' own; 100 without any limit file.
    double max_charge_level = 100.0;
    // A battery went, came back or joined: the charge before is not
    // comparable with the charge now.
    bool batteries_changed = false;
    std::optional<bool> adapter_online;
    double pd_power = 0.0;
};

// The limit of several batteries with limits of their own (`levels`, one a
// battery in their order, 100 for one without): weighted by their full
// energy, their plain mean while no full energy is known; the present ones
// only, 100 with none.
[[nodiscard]] double combined_limit(const MachineReadings& readings, std::span<const double> levels);

// A capacity value of a present battery in µWh: as read from energy files;
// from charge files, times its voltage_min_design, or its voltage_now where
// it has no design voltage above 1 V (firmware's placeholder for none). None
// when the value or the voltage it needs is not known.
[[nodiscard]] std::optional<double> energy_of(const BatteryReadings& battery, std::optional<double> value);

// Whether a present battery's charge, among several, can be had in energy
// this cycle; one whose charge cannot is left out of the machine's.
[[nodiscard]] bool charge_known(const BatteryReadings& battery);

}  // namespace kestro
