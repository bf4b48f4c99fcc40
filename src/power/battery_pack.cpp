#include "power/battery_pack.hpp"

#include <algorithm>

#include "base/attribute_file.hpp"
#include "base/output.hpp"
#include "base/pause.hpp"
#include "base/posix_io.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

// A late battery is looked for once a minute of awake time. Slow cycles (a
// charge-limit file retried every cycle) do not stretch it.
constexpr std::chrono::nanoseconds battery_rescan_period = std::chrono::minutes(1);

constexpr std::string_view present_attribute = "present";
constexpr std::string_view absent_text = "0";

// A battery's own limit file, when it has one, with its line.
std::optional<std::string> own_charge_limit_file(const std::string& battery_dir) {
    std::string path = attribute_path(battery_dir, charge_limit_attribute);
    if (!path_exists(path.c_str())) {
        return std::nullopt;
    }
    print_line({"Info: Init: MaxChargeLevel feature: using '", path, "'"});
    return path;
}

}  // namespace

bool BatteryPacks::limits_per_battery() const {
    return std::any_of(packs.begin(), packs.end(), [](const BatteryPack& pack) { return pack.limit.file; });
}

BatteryPacks set_up_battery_packs(const PowerSupplyPaths& paths, std::string_view device_path) {
    BatteryPacks machine;
    machine.packs.push_back({.files = select_battery_files(paths.battery_dir)});
    for (const std::string& directory : paths.further_battery_dirs) {
        machine.packs.push_back({.files = select_battery_files(directory)});
    }
    if (machine.packs.size() == 1) {
        machine.limit.file = find_charge_limit_file(paths.battery_dir, device_path);
        if (machine.limit.file && *machine.limit.file != device_path) {
            machine.packs.front().limit.file = std::move(machine.limit.file);
            machine.limit.file.reset();
        }
        return machine;
    }
    const std::string device(device_path);
    if (path_exists(device.c_str())) {
        print_line({"Info: Init: MaxChargeLevel feature: using '", device, "'"});
        machine.limit.file = device;
        return machine;
    }
    for (BatteryPack& pack : machine.packs) {
        pack.limit.file = own_charge_limit_file(pack.files.directory);
    }
    if (!machine.limits_per_battery()) {
        print_warning_line(
            {"Warning: Init: MaxChargeLevel feature: Cound not find suitable file, assuming MaxChargeLevel=100%"});
    }
    return machine;
}

bool rescan_battery_packs(BatteryPacks& machine, std::chrono::nanoseconds awake) {
    if (!machine.next_look) {
        // The minute of the first cycles counts their pauses: the first cycle
        // starts one pause into it.
        machine.next_look = awake + battery_rescan_period - cycle_pause;
    }
    if (awake < *machine.next_look || machine.packs.size() >= battery_candidates) {
        return false;
    }
    machine.next_look = awake + battery_rescan_period;
    bool joined = false;
    for (unsigned number = 0; number < battery_candidates; ++number) {
        // A battery's directory ends in its one-digit number.
        if (std::any_of(machine.packs.begin(), machine.packs.end(), [&](const BatteryPack& pack) {
                return pack.files.directory.back() == static_cast<char>('0' + number);
            })) {
            continue;
        }
        const auto directory = probe_battery(number, false);
        if (!directory) {
            continue;
        }
        BatteryPack pack{.files = select_battery_files(*directory)};
        if (!machine.limit.file) {
            pack.limit.file = own_charge_limit_file(*directory);
        }
        const auto later = std::find_if(machine.packs.begin(), machine.packs.end(), [&](const BatteryPack& other) {
            return other.files.directory > pack.files.directory;
        });
        machine.packs.insert(later, std::move(pack));
        joined = true;
    }
    return joined;
}

void reselect_battery_files(BatteryPack& pack) {
    pack.files = select_battery_files(pack.files.directory);
}

bool battery_present(const BatteryFiles& files) {
    PathText path;
    if (!path.assign({files.directory, "/", present_attribute})) {
        return false;
    }
    AttributeBuffer buffer;
    if (const auto content = read_attribute_file(path.c_str(), buffer)) {
        return trim_white_space(*content) != absent_text;
    }
    if (!path.assign({files.directory})) {
        return false;
    }
    return path_exists(path.c_str());
}

}  // namespace kestro
