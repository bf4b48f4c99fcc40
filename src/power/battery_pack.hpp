// The batteries the daemon watches: every one of BAT0 to BAT8 found at
// start-up, and those that turn up later. Each keeps its attribute files
// (chosen again whenever it comes back: the pack put in may be of another
// kind), its own charge limit where it has one, its read counts and whether
// it is in the machine at the moment.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "power/attribute_reader.hpp"
#include "power/battery_files.hpp"
#include "power/charge_limit.hpp"
#include "power/discovery.hpp"

namespace kestro {

struct BatteryPack {
    BatteryFiles files;
    // Its charge_control_end_threshold, when the limits are the batteries'
    // own (no device-wide limit file).
    ChargeLimit limit{};
    ReadCounts rate_reads{};
    // Its cycles among several batteries, failed when its charge could not be
    // had and was left out of the machine's.
    ReadCounts charge_reads{};
    bool present = true;
};

struct BatteryPacks {
    std::vector<BatteryPack> packs;  // in the order of their numbers
    // The device-wide limit file, or, with no limit file at all, none (the
    // machine's limit then 100).
    ChargeLimit limit;
    // The awake time (base/pause.hpp) at which the next look for late
    // batteries is due; none before the first cycle.
    std::optional<std::chrono::nanoseconds> next_look{};

    // Whether any battery has a limit of its own; the machine's limit then
    // combines them.
    [[nodiscard]] bool limits_per_battery() const;
    // Whether presence is followed: a machine with one battery reads it
    // whatever happens to it, as its read failures say all there is to say.
    [[nodiscard]] bool several() const { return packs.size() > 1; }
};

// Chooses each battery's files (select_battery_files, with its lines), in
// order, then the limit files: the device's file when it exists, else each
// battery's own, each with "Info: Init: MaxChargeLevel feature: using
// '<path>'"; with none at all the warning of find_charge_limit_file.
[[nodiscard]] BatteryPacks set_up_battery_packs(const PowerSupplyPaths& paths,
                                                std::string_view device_path = device_charge_limit_path);

// Once a minute of awake time, probes those of BAT0 to BAT8 that are not
// watched yet and sets each battery found up as at start-up, with the same
// lines (a type file that cannot be read is tried again next time). The
// first look comes in the cycle whose pause ends the first minute of cycles,
// at the loop's pace the 60th, and each after it a minute after the one
// before. `awake` is the cycle's reading of the awake clock. Returns whether
// one joined.
[[nodiscard]] bool rescan_battery_packs(BatteryPacks& packs, std::chrono::nanoseconds awake);

// Chooses a battery's files afresh (select_battery_files, with its lines):
// for a battery that came back, which may be another pack under its name.
void reselect_battery_files(BatteryPack& pack);

// Whether the battery is in the machine: its "present" file reads other than
// 0, or, where that file cannot be read, its directory exists. Prints nothing.
[[nodiscard]] bool battery_present(const BatteryFiles& files);

}  // namespace kestro
