#include "power/battery_files.hpp"

#include <array>

#include "core/output.hpp"
#include "power/attribute_file.hpp"
#include "power/attribute_reader.hpp"

namespace kestro {

namespace {

// A preferred attribute and the one used in its place when it is missing.
struct Alternative {
    std::string_view preferred;
    std::string_view alternative;
};

constexpr std::array<std::string_view, 3> required_attributes = {
    status_attribute, voltage_min_design_attribute, voltage_now_attribute};
constexpr std::array<Alternative, 2> capacity_attributes = {{
    {"charge_full", "energy_full"},
    {"charge_now", "energy_now"},
}};
constexpr Alternative flow_attribute = {current_attribute, power_attribute};

// True when the preferred file is missing, so that the alternative takes its
// place; prints the line that says so.
bool needs_alternative(const std::string& directory, const Alternative& names) {
    const std::string preferred = attribute_path(directory, names.preferred);
    if (path_exists(preferred.c_str())) {
        return false;
    }
    const std::string alternative = attribute_path(directory, names.alternative);
    if (path_exists(alternative.c_str())) {
        print_line({"Info: Init: Using '", alternative, "' (instead of '", names.preferred, "')"});
    } else {
        print_warning_line({"Warning: Init: Missing expected files: '", preferred, "' or '", alternative, "'"});
    }
    return true;
}

}  // namespace

BatteryFiles select_battery_files(const std::string& battery_dir) {
    BatteryFiles files{battery_dir};
    for (const std::string_view name : required_attributes) {
        const std::string path = attribute_path(battery_dir, name);
        if (!path_exists(path.c_str())) {
            print_warning_line({"Warning: Init: Missing expected file: '", path, "'"});
        }
    }
    for (const Alternative& names : capacity_attributes) {
        if (needs_alternative(battery_dir, names)) {
            files.uses_energy = true;
        }
    }
    files.uses_power = needs_alternative(battery_dir, flow_attribute);
    return files;
}

}  // namespace kestro
