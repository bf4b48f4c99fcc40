#include "core/monitor_loop.hpp"

#include "base/pause.hpp"
#include "evaluate/combined_battery.hpp"
#include "evaluate/cycle_evaluation.hpp"
#include "evaluate/low_battery_guard.hpp"
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
    LowBatteryGuard guard{};                // with confirm_low_battery only
};

// With confirm_low_battery: the level at the end of the cycle's estimate
// must be confirmed first.
void confirm_level(const MachineReadings& readings, CycleEvaluation& evaluation, MonitorState& state) {
    const ClockReading clocks = state.actions.read_clocks();
    const CombinedReadings machine = combine_batteries(readings);
    const std::optional<double> secs = evaluation.secs_until_shutdown;
    evaluation.secs_until_shutdown = state.guard.confirm({.awake = clocks.awake,
                                                          .asleep = clocks.asleep,
                                                          .secs = secs,
                                                          .machine = &machine.readings,
                                                          .draw = evaluation.estimate.draw,
                                                          .voltage_agrees = voltage_agrees(readings)});
    evaluation.confirming = shutdown_due(secs) && !shutdown_due(evaluation.secs_until_shutdown);
}

// The wait before the action, re-reading the adapter and the charge.
class MachineLevelWatch final : public LevelWatch {
public:
    MachineLevelWatch(const MonitorInputs& inputs, MonitorState& state) : inputs_(inputs), state_(state) {}
    std::optional<CallOff> recheck() override {
        const MachineReadings readings =
            read_machine(inputs_.paths, inputs_.pd_sensor, state_.cycle, state_.power);
        return call_off_reason(combine_batteries(readings).readings, inputs_.settings);
    }

private:
    const MonitorInputs& inputs_;
    MonitorState& state_;
};

// The cycle's decisions, the estimate held back while a sleeping action's
// hold is on.
CycleEvaluation evaluate(const MachineReadings& readings, const MonitorInputs& inputs, MonitorState& state) {
    CycleEvaluation evaluation = evaluate_cycle(readings, state.cycle, inputs.settings, state.memory);
    if (inputs.settings.confirm_low_battery) {
        confirm_level(readings, evaluation, state);
    }
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

// One status file's value this cycle, from the evaluation; an absent value
// leaves the file as it is. The default action is told by its file's absence.
void publish_file(int directory, StatusFile file, const CycleEvaluation& evaluation, CriticalAction action) {
    switch (file) {
        case StatusFile::ac_status:
            return write_status_text(directory, file, published_text(evaluation.statuses.adapter));
        case StatusFile::battery_percent: return write_status_number(directory, file, evaluation.estimate.percent);
        case StatusFile::battery_status:
            return write_status_text(directory, file, published_text(evaluation.statuses.battery));
        case StatusFile::secs_until_battery_full:
            return write_status_number(directory, file, evaluation.estimate.secs_until_full);
        case StatusFile::secs_until_shutdown_request:
            return write_status_number(directory, file, evaluation.secs_until_shutdown);
        case StatusFile::critical_action:
            if (action != CriticalAction::poweroff) {
                write_status_text(directory, file, words_of(action).name);
            }
            return;
    }
}

void publish(const CycleEvaluation& evaluation, const Settings& settings, StatusLock& status_lock) {
    const int directory = follow_status_directory(status_lock);
    const CriticalAction action = settings.critical_action;
    if (settings.confirm_low_battery) {
        write_extra_status_number(directory, confirming_temporary_name, evaluation.confirming ? 1 : 0);
    }
    for (const StatusFile file : publication_order) {
        publish_file(directory, file, evaluation, action);
    }
}

// The low-battery action when it is due; returns the end of the shutdown,
// or none when the cycles go on (after a sleeping action, under its hold, or
// when confirm_low_battery's wait called the action off).
std::optional<ShutdownCompleted> act(const CycleEvaluation& evaluation, const MonitorInputs& inputs,
                                     MonitorState& state) {
    if (!shutdown_due(evaluation.secs_until_shutdown)) {
        return std::nullopt;
    }
    inputs.notifier.acting(inputs.settings.critical_action, evaluation.estimate.percent.value_or(0));
    MachineLevelWatch watch(inputs, state);
    LowBatteryOutcome outcome = run_low_battery_action(inputs.settings, state.sleep_hold, state.actions,
                                                       inputs.settings.confirm_low_battery ? &watch : nullptr);
    if (const auto* completed = std::get_if<ShutdownCompleted>(&outcome)) {
        return *completed;
    }
    if (std::holds_alternative<CalledOff>(outcome)) {
        state.guard.restart();
    } else {
        state.sleep_hold = std::get<SleepHold>(outcome);
    }
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
        .confirming = evaluation.confirming,
    });
}

}  // namespace

ShutdownCompleted run_monitor_loop(const MonitorInputs& inputs) {
    MonitorState state{.power = {.batteries = inputs.batteries}};
    for (;;) {
        ++state.cycle;
        const MachineReadings readings = read_machine(inputs.paths, inputs.pd_sensor, state.cycle, state.power);
        const CycleEvaluation evaluation = evaluate(readings, inputs, state);
        publish(evaluation, inputs.settings, inputs.status_lock);
        inputs.history.record_cycle(readings, evaluation, state.power.batteries, inputs.settings.critical_action);
        if (const auto completed = act(evaluation, inputs, state)) {
            return *completed;
        }
        report(evaluation, inputs, state.cycle);
        pause_for(cycle_pause);
    }
}

}  // namespace kestro
