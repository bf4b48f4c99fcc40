// One cycle's reading of the machine: the batteries (followed as they go,
// come back and join), their charge limits, the adapter and the Power
// Delivery power, into one plain record.
#pragma once

#include <cstdint>

#include "power/battery_pack.hpp"
#include "power/discovery.hpp"
#include "power/machine_readings.hpp"
#include "power/pd_sensor.hpp"
#include "power/reported_paths.hpp"

namespace kestro {

// What reading carries from one cycle to the next: the batteries with their
// limits and read counts, and the paths whose failure has been reported.
struct PowerWatch {
    BatteryPacks batteries;    // power/battery_pack.hpp
    ReportedPaths reported{};  // power/reported_paths.hpp
};

// Everything the cycle reads, in its order: a look for late batteries when
// one is due (rescan_battery_packs), whether each of several batteries is
// there ("Info: Battery gone: '<dir>'", "Info: Battery back: '<dir>'"), the
// charge limits, each battery's files (a battery that is out is not read;
// among several, one whose charge cannot be had is counted as a read that
// keeps failing, "left out of the machine's charge"), the adapter's
// "online", the Power Delivery power. `cycle` is the loop's count, from 1.
[[nodiscard]] MachineReadings read_machine(const PowerSupplyPaths& paths, const PdSensor& pd_sensor,
                                           std::uint64_t cycle, PowerWatch& watch);

}  // namespace kestro
