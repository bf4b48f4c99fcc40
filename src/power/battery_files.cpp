#include "power/battery_files.hpp"

#include <array>

#include "base/attribute_file.hpp"
#include "base/output.hpp"

namespace kestro {

namespace {

// True when the preferred file is missing, so that the alternative takes its
// place; prints the line that says so.
bool needs_alternative(const std::string& directory, const AttributeChoice& names) {
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
    for (const AttributeChoice& names : capacity_choices) {
        if (needs_alternative(battery_dir, names)) {
            files.uses_energy = true;
        }
    }
    files.uses_power = needs_alternative(battery_dir, flow_choice);
    return files;
}

}  // namespace kestro
