#include "power/machine_reader.hpp"

#include <array>

#include "base/output.hpp"
#include "base/pause.hpp"
#include "power/attribute_reader.hpp"
#include "power/charge_limit.hpp"

namespace kestro {

namespace {

// The adapter's one attribute.
constexpr std::string_view online_attribute = "online";

// Reads the limit files in force this cycle: the machine's (the device's
// file, or 100 without any file), or each battery's own.
void refresh_charge_limits(BatteryPacks& batteries, ReportedPaths& reported) {
    if (!batteries.limits_per_battery()) {
        batteries.limit.level = refresh_max_charge_level(batteries.limit.file, batteries.limit.level, reported);
        return;
    }
    for (BatteryPack& pack : batteries.packs) {
        if (pack.limit.file && pack.present) {
            // One battery alone names none in its line.
            const std::string_view name = batteries.several() ? std::string_view(pack.files.directory) : "";
            pack.limit.level = refresh_battery_max_charge_level(*pack.limit.file, name, pack.limit.level, reported);
        }
    }
}

// The limit in force for the machine: the device's, one battery's own, or
// several batteries' own weighted by their full energy (their plain mean
// while no full energy is known).
double machine_limit(const BatteryPacks& batteries, const MachineReadings& readings) {
    if (!batteries.limits_per_battery()) {
        return batteries.limit.level.value_or(unlimited_charge_level);
    }
    if (!batteries.several()) {
        return batteries.packs.front().limit.level.value_or(unlimited_charge_level);
    }
    std::array<double, max_batteries> levels{};
    for (std::size_t place = 0; place < batteries.packs.size() && place < levels.size(); ++place) {
        levels[place] = batteries.packs[place].limit.level.value_or(unlimited_charge_level);
    }
    return combined_limit(readings, levels);
}

// Follows whether a battery among several is in the machine, with a line
// when that changes, and chooses the files of one that came back afresh;
// returns whether it changed.
bool follow_presence(BatteryPack& pack) {
    const bool present = battery_present(pack.files);
    if (present == pack.present) {
        return false;
    }
    pack.present = present;
    print_line({present ? "Info: Battery back: '" : "Info: Battery gone: '", pack.files.directory, "'"});
    if (present) {
        reselect_battery_files(pack);
    }
    return true;
}

// Counts, for a battery among several, whether its charge could be had this
// cycle; one that could not is left out of the machine's, which the others
// keep protecting. Reported as a read that keeps failing.
void count_charge_read(BatteryPack& pack, const BatteryReadings& readings, std::uint64_t cycle) {
    if (readings.present) {
        count_read(pack.charge_reads, !charge_known(readings), cycle, pack.files.directory, ": ",
                   "left out of the machine's charge");
    }
}

// The raw values of one battery, in the order the cycle reads them; a
// battery that is out is not read.
BatteryReadings read_battery(BatteryPack& pack, std::uint64_t cycle, ReportedPaths& reported) {
    BatteryReadings readings;
    if (!pack.present) {
        readings.present = false;
        return readings;
    }
    const BatteryFiles& files = pack.files;
    const std::string& battery = files.directory;
    readings.uses_energy = files.uses_energy;
    readings.uses_power = files.uses_power;
    readings.full_value = read_number_attribute(battery, full_attribute(files), reported);
    readings.now_value = read_number_attribute(battery, now_attribute(files), reported);
    readings.rate_reading = read_rate_attribute(files, pack.rate_reads, cycle, reported);
    if (const auto status = read_text_attribute(battery, status_attribute, reported)) {
        readings.battery_status = kernel_battery_status_from(*status);
    }
    readings.voltage_min_design = read_number_attribute(battery, voltage_min_design_attribute, reported);
    readings.voltage_now = read_number_attribute(battery, voltage_now_attribute, reported);
    return readings;
}

std::optional<bool> read_adapter_online(const PowerSupplyPaths& paths, ReportedPaths& reported) {
    if (const auto online = read_text_attribute(paths.adapter_dir, online_attribute, reported)) {
        return adapter_online_from(*online);
    }
    return std::nullopt;
}

}  // namespace

MachineReadings read_machine(const PowerSupplyPaths& paths, const PdSensor& pd_sensor, std::uint64_t cycle,
                             PowerWatch& watch) {
    MachineReadings readings;
    BatteryPacks& batteries = watch.batteries;
    readings.batteries_changed = rescan_battery_packs(batteries, read_awake_time());
    for (BatteryPack& pack : batteries.packs) {
        if (batteries.several() && follow_presence(pack)) {
            readings.batteries_changed = true;
        }
    }
    refresh_charge_limits(batteries, watch.reported);
    for (BatteryPack& pack : batteries.packs) {
        BatteryReadings& battery = readings.batteries[readings.battery_count++];
        battery = read_battery(pack, cycle, watch.reported);
        if (batteries.several()) {
            count_charge_read(pack, battery, cycle);
        }
    }
    readings.max_charge_level = machine_limit(batteries, readings);
    readings.adapter_online = read_adapter_online(paths, watch.reported);
    readings.pd_power = read_pd_power(pd_sensor);
    return readings;
}

}  // namespace kestro
