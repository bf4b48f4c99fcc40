#include "evaluate/cycle_evaluation.hpp"

#include "evaluate/combined_battery.hpp"
#include "evaluate/shutdown.hpp"

namespace kestro {

CycleEvaluation evaluate_cycle(const MachineReadings& readings, std::uint64_t cycle, const Settings& settings,
                               EvaluationMemory& memory) {
    const CombinedReadings machine = combine_batteries(readings);
    if (readings.batteries_changed || machine.counted != memory.counted) {
        memory.charge = ChargeMemory{};
    }
    memory.counted = machine.counted;
    CycleEvaluation evaluation;
    evaluation.estimate = evaluate_charge(machine.readings, readings.max_charge_level, memory.charge);
    evaluation.statuses = decide_cycle_statuses(machine.readings, evaluation.estimate, cycle, memory.adapter);
    evaluation.secs_until_shutdown =
        estimate_secs_until_shutdown(machine.readings, evaluation.estimate, evaluation.statuses.adapter, settings);
    remember_charge(memory.charge, evaluation.estimate);
    return evaluation;
}

}  // namespace kestro
