// The choice, made once at start-up, of the battery attribute files the
// monitor loop reads: charge or energy for the capacity pair, current or
// power for the flow.
#pragma once

#include <string>
#include <string_view>

#include "base/battery_attributes.hpp"

namespace kestro {

struct BatteryFiles {
    std::string directory;     // the battery's directory; attribute paths are "<directory>/<name>"
    bool uses_energy = false;  // capacity from energy_full/energy_now rather than charge_full/charge_now
    bool uses_power = false;   // flow from power_now rather than current_now
};

// The attributes in use.
[[nodiscard]] constexpr std::string_view full_attribute(const BatteryFiles& files) {
    return full_choice.chosen(files.uses_energy);
}
[[nodiscard]] constexpr std::string_view now_attribute(const BatteryFiles& files) {
    return now_choice.chosen(files.uses_energy);
}
[[nodiscard]] constexpr std::string_view flow_attribute(const BatteryFiles& files) {
    return flow_choice.chosen(files.uses_power);
}

// Tests which attribute files exist in battery_dir (following links; an
// unreadable file counts as present) and decides the record. Prints, in this
// order and only when it applies:
//   for status, voltage_min_design, voltage_now in turn:
//     "Warning: Init: Missing expected file: '<path>'"
//   for charge_full, then charge_now, when missing:
//     "Info: Init: Using '<energy path>' (instead of '<charge name>')", or
//     "Warning: Init: Missing expected files: '<charge path>' or '<energy path>'"
//     (either one selects energy; the second name is tested all the same)
//   the same two forms for current_now and power_now (either selects power).
// Never fails.
[[nodiscard]] BatteryFiles select_battery_files(const std::string& battery_dir);

}  // namespace kestro
