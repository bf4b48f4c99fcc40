// Finding the mains adapter and the battery among the kernel's power
// supplies, once at start-up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// The kernel's power-supply class; supply paths are this text followed
// directly by the supply's name.
inline constexpr std::string_view power_supply_root = "/sys/class/power_supply/";

// The battery is looked for as BAT0 to BAT8, and nowhere else.
inline constexpr unsigned battery_candidates = 9;

struct PowerSupplyPaths {
    std::string adapter_dir;  // without a trailing slash; empty when there is no adapter
    std::string battery_dir;  // "<root>BAT<n>", the first battery found
    std::vector<std::string> further_battery_dirs;  // the others, in the order of their numbers
};

// Lists root (which ends with "/") in the kernel's order and returns the
// first supply whose type names mains, after printing "Info: Init: Found AC
// power supply: '<path>'". Entries without a type file are skipped. When no
// adapter is found prints "Warning: Could not find device for AC/Mains, some
// functionality might be missing or not accurate." and returns none.
// Fatal when root cannot be listed, or when a type file exists but cannot be
// read as UTF-8 text ("Cannot read path").
[[nodiscard]] std::optional<std::string> find_adapter(std::string_view root = power_supply_root);

// Whether "<root>BAT<number>" is a battery: its type names one. Prints
// "Info: Init: Found battery: '<path>'" when it is. A type file that cannot be read is fatal when
// `fatal_when_unreadable`, and otherwise no battery (for now). Allocates
// nothing unless the candidate has a type file.
[[nodiscard]] std::optional<std::string> probe_battery(unsigned number, bool fatal_when_unreadable,
                                                       std::string_view root = power_supply_root);

// Both searches, adapter first, with their lines: every one of BAT0 to BAT8
// that is a battery, each with its line, in the order of their numbers. None
// when there is no battery: the caller stops the daemon.
[[nodiscard]] std::optional<PowerSupplyPaths> discover_power_supplies(std::string_view root = power_supply_root);

}  // namespace kestro
