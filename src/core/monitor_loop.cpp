#include "core/monitor_loop.hpp"

#include "base/pause.hpp"
#include "evaluate/cycle_evaluation.hpp"
#include "evaluate/shutdown.hpp"
#include "power/machine_reader.hpp"
#include "status/status_directory.hpp"

namespace kestro {

namespace {

// What the loop carries from one cycle to the next: its own count, what
// reading keeps, the record the rules keep for themselves and the hold after
// a sleeping action.
struct MonitorState {
    std::uint64_t cycle = 0;                // the first cycle is 1
    PowerWatch power;                       // power/machine_reader.hpp
    EvaluationMemory memory{};              // evaluate/cycle_evaluation.hpp
    std::optional<SleepHold> sleep_hold{};  // act/low_battery_action.hpp
    MachineActions actions{};
};

// The cycle's decisions, the estimate held back while a sleeping action's
// hold is on.
CycleEvaluation evaluate(const MachineReadings& readings, const MonitorInputs& inputs, MonitorState& state) {
    CycleEvaluation evaluation = evaluate_cycle(readings, state.cycle, inputs.settings, state.memory);
    evaluation.secs_until_shutdown =
        apply_sleep_hold(evaluation.secs_until_shutdown, state.sleep_hold, inputs.settings, state.actions);
    evaluation.action_held = state.sleep_hold.has_value();
    return evaluation;
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

// The low-battery action when it is due; returns the end of the shutdown,
// or none when the cycles go on (after a sleeping action, under its hold).
std::optional<ShutdownCompleted> act(const CycleEvaluation& evaluation, const MonitorInputs& inputs,
                                     MonitorState& state) {
    if (!shutdown_due(evaluation.secs_until_shutdown)) {
        return std::nullopt;
    }
    inputs.notifier.acting(inputs.settings.critical_action, evaluation.estimate.percent.value_or(0));
    LowBatteryOutcome outcome = run_low_battery_action(inputs.settings, state.sleep_hold, state.actions);
    if (const auto* completed = std::get_if<ShutdownCompleted>(&outcome)) {
        return *completed;
    }
    state.sleep_hold = std::get<SleepHold>(outcome);
    inputs.notifier.resumed();
    return std::nullopt;
}

// The cycle's own lines, then the service manager's status.
void report(const CycleEvaluation& evaluation, const MonitorInputs& inputs, std::uint64_t cycle) {
    report_charge(evaluation.estimate, cycle, evaluation.statuses.battery, inputs.debug_enabled);
    inputs.notifier.cycle_done({
        .percent = evaluation.estimate.percent,
        .battery = evaluation.statuses.battery,
        .adapter = evaluation.statuses.adapter,
        .secs_until_shutdown = evaluation.secs_until_shutdown,
        .action_held = evaluation.action_held,
    });
}

}  // namespace

ShutdownCompleted run_monitor_loop(const MonitorInputs& inputs) {
    MonitorState state{.power = {.batteries = inputs.batteries}};
    for (;;) {
        ++state.cycle;
        const MachineReadings readings = read_machine(inputs.paths, inputs.pd_sensor, state.cycle, state.power);
        const CycleEvaluation evaluation = evaluate(readings, inputs, state);
        publish(evaluation, inputs.settings.critical_action, inputs.status_lock);
        if (const auto completed = act(evaluation, inputs, state)) {
            return *completed;
        }
        report(evaluation, inputs, state.cycle);
        pause_for(cycle_pause);
    }
}

}  // namespace kestro
