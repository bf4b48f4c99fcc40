#include "core/monitor_loop.hpp"

#include "base/output.hpp"
#include "base/pause.hpp"
#include "evaluate/combined_battery.hpp"
#include "evaluate/cycle_evaluation.hpp"
#include "evaluate/cycle_readings.hpp"
#include "power/attribute_reader.hpp"
#include "power/charge_limit.hpp"
#include "status/status_directory.hpp"

namespace kestro {

namespace {

// The adapter's one attribute.
constexpr std::string_view online_attribute = "online";

// What the loop carries from one cycle to the next: its own count, the
// batteries with their limits and read counts, the paths whose failure has
// been reported, and the record the rules keep for themselves.
struct MonitorState {
    std::uint64_t cycle = 0;   // the first cycle is 1
    BatteryPacks batteries;    // power/battery_pack.hpp
    ReportedPaths reported{};  // power/reported_paths.hpp
    EvaluationMemory memory{};  // evaluate/cycle_evaluation.hpp
};

// The limits in force this cycle: the machine's (the device's file, or 100
// without any file), or each battery's own.
void refresh_charge_limits(BatteryPacks& batteries, MachineReadings& readings, ReportedPaths& reported) {
    if (!batteries.limits_per_battery()) {
        batteries.max_charge_level =
            refresh_max_charge_level(batteries.charge_limit_file, batteries.max_charge_level, reported);
        readings.max_charge_level = batteries.max_charge_level;
        return;
    }
    for (BatteryPack& pack : batteries.packs) {
        if (pack.charge_limit_file && pack.present) {
            // One battery alone names none in its line.
            const std::string_view name = batteries.several() ? std::string_view(pack.files.directory) : "";
            pack.max_charge_level =
                refresh_battery_charge_limit(*pack.charge_limit_file, name, pack.max_charge_level, reported);
        }
    }
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
    readings.max_charge_level = pack.max_charge_level.value_or(unlimited_charge_level);
    return readings;
}

std::optional<bool> read_adapter_online(const PowerSupplyPaths& paths, ReportedPaths& reported) {
    if (const auto online = read_text_attribute(paths.adapter_dir, online_attribute, reported)) {
        return adapter_online_from(*online);
    }
    return std::nullopt;
}

// Everything the cycle reads, in its order: a look for late batteries when
// one is due, whether each of several batteries is there, the charge limits,
// each battery's files (with the count of a charge left out), the adapter,
// the Power Delivery power.
MachineReadings read_machine(const MonitorInputs& inputs, MonitorState& state) {
    MachineReadings readings;
    BatteryPacks& batteries = state.batteries;
    readings.batteries_changed = rescan_battery_packs(batteries, read_awake_time());
    for (BatteryPack& pack : batteries.packs) {
        if (batteries.several() && follow_presence(pack)) {
            readings.batteries_changed = true;
        }
    }
    refresh_charge_limits(batteries, readings, state.reported);
    for (BatteryPack& pack : batteries.packs) {
        BatteryReadings& battery = readings.batteries[readings.battery_count++];
        battery = read_battery(pack, state.cycle, state.reported);
        if (batteries.several()) {
            count_charge_read(pack, battery, state.cycle);
        }
    }
    readings.adapter_online = read_adapter_online(inputs.paths, state.reported);
    readings.pd_power = read_pd_power(inputs.pd_sensor);
    return readings;
}

template <class Status>
std::optional<std::string_view> published_text(std::optional<Status> status) {
    if (status) {
        return text_of(*status);
    }
    return std::nullopt;
}

// The status files, in their order: the critical action first (only where
// a sleeping one is configured), so that a reader woken by the five finds it
// fresh.
void publish(const CycleEvaluation& evaluation, CriticalAction action, StatusLock& status_lock) {
    const int directory = follow_status_directory(status_lock);
    if (action != CriticalAction::poweroff) {
        write_critical_action(directory, action);
    }
    write_status_text(directory, StatusFile::ac_status, published_text(evaluation.statuses.adapter));
    write_status_number(directory, StatusFile::battery_percent, evaluation.estimate.percent);
    write_status_text(directory, StatusFile::battery_status, published_text(evaluation.statuses.battery));
    write_status_number(directory, StatusFile::secs_until_battery_full, evaluation.estimate.secs_until_full);
    write_status_number(directory, StatusFile::secs_until_shutdown_request, evaluation.secs_until_shutdown);
}

}  // namespace

ShutdownCompleted run_monitor_loop(const MonitorInputs& inputs) {
    MonitorState state{.batteries = inputs.batteries};
    for (;;) {
        ++state.cycle;
        const MachineReadings readings = read_machine(inputs, state);
        const CycleEvaluation evaluation = evaluate_cycle(readings, state.cycle, inputs.settings, state.memory);
        publish(evaluation, inputs.settings.critical_action, inputs.status_lock);
        inputs.history.record_cycle(readings, evaluation, state.batteries, inputs.settings.critical_action);

        if (shutdown_due(evaluation.secs_until_shutdown)) {
            inputs.notifier.acting(inputs.settings.critical_action, evaluation.estimate.percent.value_or(0));
            LowBatteryOutcome outcome = run_low_battery_action(inputs.settings, state.memory.sleep_hold);
            if (const auto* completed = std::get_if<ShutdownCompleted>(&outcome)) {
                return *completed;
            }
            state.memory.sleep_hold = std::get<SleepHold>(outcome);
            inputs.notifier.resumed();
        }
        report_charge(evaluation.estimate, state.cycle, evaluation.statuses.battery, inputs.debug_enabled,
                      state.memory.charge);
        inputs.notifier.cycle_done({
            .percent = evaluation.estimate.percent,
            .battery = evaluation.statuses.battery,
            .adapter = evaluation.statuses.adapter,
            .secs_until_shutdown = evaluation.secs_until_shutdown,
        });
        pause_for(cycle_pause);
    }
}

}  // namespace kestro
