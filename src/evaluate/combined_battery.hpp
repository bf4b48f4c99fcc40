// The machine's battery, made of every battery in it: a laptop with an
// internal and a swappable pack is judged by what both hold together.
//
// With one battery its readings are the machine's as they are. With several,
// each present battery is taken in energy and power (a charge in µAh times
// its voltage_min_design, or its voltage_now where it has no design voltage
// above 1 V, which firmware puts in place of none; a current times
// voltage_now), the sums become the machine's capacity pair and rate in µWh
// and µW, and both voltages read 1, so that the charge rules for one battery
// (now ÷ full, to go × voltage_min_design ÷ (rate × voltage_now)) give the
// energy over the power.
#pragma once

#include <bitset>

#include "evaluate/cycle_readings.hpp"

namespace kestro {

struct CombinedReadings {
    CycleReadings readings;         // the adapter's and Power Delivery values as read
    // With several batteries, those (by their place) whose charge counts in
    // the machine's this cycle; with one, none.
    std::bitset<max_batteries> counted;
};

// Combines the batteries' readings of a cycle. With several batteries:
// - the capacity pair sums that of every present battery whose charge is
//   known (charge_known), its remaining energy held between 0 and its full
//   energy (itself no less than 0), so that a gauge that reads a 16-bit
//   register as signed cannot outweigh the others; it is unknown when no
//   battery's is known;
// - the voltages are known when every present battery's power could be had
//   (a current needs its voltage_now); the rate is then 0 when any
//   battery's rate could not be read, as a failed read makes it for one
//   battery, else the sum;
// - the status is "Charging" when any battery charges, else "Discharging"
//   when any discharges, else "Full" when all are full, else "Not charging"
//   when each is full or not charging, else another status when any was read;
// - the limit is the machine's when it has one, else the batteries' own
//   limits (100 for one without) weighted by their full energy;
// - a battery that is not present counts nowhere; with none present nothing
//   is known.
[[nodiscard]] CombinedReadings combine_batteries(const MachineReadings& machine);

// The machine's figures as energies and a power, whatever its batteries'
// files: the capacity pair summed as above (µWh), and the power (µW), each
// none when it is not known. For the history, which records them in mWh and
// mW with one battery too.
struct MachineEnergy {
    std::optional<double> full;
    std::optional<double> now;
    std::optional<double> power;
};
[[nodiscard]] MachineEnergy machine_energy(const MachineReadings& machine);

}  // namespace kestro
