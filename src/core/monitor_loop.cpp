#include "core/monitor_loop.hpp"

#include "base/pause.hpp"
#include "evaluate/adapter_status.hpp"
#include "evaluate/charge.hpp"
#include "evaluate/cycle_readings.hpp"
#include "power/attribute_reader.hpp"
#include "power/charge_limit.hpp"
#include "status/status_directory.hpp"

namespace kestro {

namespace {

// The adapter's one attribute.
constexpr std::string_view online_attribute = "online";

// What the loop carries from one cycle to the next: its own count and the
// charge limit in force, and the record each rule keeps for itself.
struct MonitorState {
    std::uint64_t cycle = 0;                 // the first cycle is 1
    std::optional<double> max_charge_level;  // 0 to 100 once accepted
    RateReadCounts rate_reads;               // power/attribute_reader.hpp
    AdapterTracking adapter;                 // evaluate/adapter_status.hpp
    ChargeMemory charge;                     // evaluate/charge.hpp
    std::optional<SleepHold> sleep_hold;     // evaluate/shutdown.hpp
};

// The raw values of one cycle, in the order the cycle reads them.
CycleReadings read_battery(const BatteryFiles& files, MonitorState& state) {
    const std::string& battery = files.directory;
    CycleReadings readings;
    readings.full_value = read_number_attribute(battery, full_attribute(files));
    readings.now_value = read_number_attribute(battery, now_attribute(files));
    readings.rate_reading = read_rate_attribute(files, state.rate_reads, state.cycle);
    if (const auto status = read_text_attribute(battery, status_attribute)) {
        readings.battery_status = kernel_battery_status_from(*status);
    }
    readings.voltage_min_design = read_number_attribute(battery, voltage_min_design_attribute);
    readings.voltage_now = read_number_attribute(battery, voltage_now_attribute);
    return readings;
}

std::optional<bool> read_adapter_online(const PowerSupplyPaths& paths) {
    if (const auto online = read_text_attribute(paths.adapter_dir, online_attribute)) {
        return adapter_online_from(*online);
    }
    return std::nullopt;
}

template <class Status>
std::optional<std::string_view> published_text(std::optional<Status> status) {
    if (status) {
        return text_of(*status);
    }
    return std::nullopt;
}

}  // namespace

ShutdownCompleted run_monitor_loop(const MonitorInputs& inputs) {
    MonitorState state;
    for (;;) {
        ++state.cycle;
        state.max_charge_level = refresh_max_charge_level(inputs.charge_limit_file, state.max_charge_level);
        const double max_charge_level = *state.max_charge_level;

        CycleReadings readings = read_battery(inputs.battery_files, state);
        readings.adapter_online = read_adapter_online(inputs.paths);
        const std::optional<AcStatus> raw_adapter_status =
            register_adapter_status(readings.adapter_online, readings.battery_status, state.cycle, state.adapter);
        readings.pd_power = read_pd_power(inputs.pd_sensor);

        ChargeEstimate estimate = evaluate_charge(readings, max_charge_level, state.charge);
        const Statuses statuses = evaluate_statuses(raw_adapter_status, readings.battery_status, estimate,
                                                    readings.pd_power, state.cycle, state.adapter);
        estimate_secs_until_full(estimate, readings, max_charge_level);
        const std::optional<double> secs_until_shutdown = apply_sleep_hold(
            estimate_secs_until_shutdown(readings, estimate, statuses.adapter, inputs.settings), state.sleep_hold,
            inputs.settings);

        follow_status_directory(inputs.status_lock);
        // First, so that a reader woken by the five finds it fresh.
        if (inputs.settings.critical_action != CriticalAction::poweroff) {
            write_status_text_in(status_directory, critical_action_file_name,
                                 words_of(inputs.settings.critical_action).name);
        }
        write_status_text(StatusFile::ac_status, published_text(statuses.adapter));
        write_status_number(StatusFile::battery_percent, estimate.percent);
        write_status_text(StatusFile::battery_status, published_text(statuses.battery));
        write_status_number(StatusFile::secs_until_battery_full, estimate.secs_until_full);
        write_status_number(StatusFile::secs_until_shutdown_request, secs_until_shutdown);

        if (shutdown_due(secs_until_shutdown)) {
            inputs.notifier.acting(inputs.settings.critical_action, estimate.percent.value_or(0));
            LowBatteryOutcome outcome = run_low_battery_action(inputs.settings, state.sleep_hold);
            if (const auto* completed = std::get_if<ShutdownCompleted>(&outcome)) {
                return *completed;
            }
            state.sleep_hold = std::get<SleepHold>(outcome);
            inputs.notifier.resumed();
        }
        report_charge(estimate, state.cycle, statuses.battery, inputs.debug_enabled, state.charge);
        inputs.notifier.cycle_done({
            .percent = estimate.percent,
            .battery = statuses.battery,
            .adapter = statuses.adapter,
            .secs_until_shutdown = secs_until_shutdown,
        });
        pause_for(cycle_pause);
    }
}

}  // namespace kestro
