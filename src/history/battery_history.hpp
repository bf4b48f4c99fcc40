// The battery's story, kept when the daemon has somewhere to keep it: a
// sample of the machine a minute of awake time, the events as they happen
// (start, the adapter, a sleep with its time asleep and the charge it cost,
// the low-battery action, a pack going or coming back) and each pack's wear
// once a day and at each full charge. history/history_record.hpp has the
// format. The awake clock paces the samples and the boot clock's lead on it
// tells a sleep, so neither a clock change nor a sleep reads as a drain; the
// wall clock only dates the records.
//
// In the steady cycle the work is two clock readings (vDSO, no system call)
// and one write() a minute; nothing is allocated.
#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "evaluate/cycle_evaluation.hpp"
#include "history/history_files.hpp"
#include "power/battery_pack.hpp"

namespace kestro {

// The awake time between two samples.
inline constexpr std::chrono::nanoseconds history_sample_interval = std::chrono::minutes(1);

// The service manager's state directories (StateDirectory=).
inline constexpr const char* state_directory_variable = "STATE_DIRECTORY";

// The directory of the history: the configured one, else the first path of
// $STATE_DIRECTORY (a colon-separated list, as the service manager gives
// it) when that is absolute, else none (an empty string): no history.
[[nodiscard]] std::string history_directory_from(const std::string& configured, const char* state_directory);

class BatteryHistory {
public:
    // No history: record_cycle does nothing at all.
    BatteryHistory() = default;
    // A history in `directory` (an absolute path); `version` names the
    // daemon in its start record and lives as long as the program.
    BatteryHistory(std::string directory, std::string_view version);

    [[nodiscard]] bool on() const { return files_.has_value(); }

    // The records of one cycle, from what it read and decided: the first
    // cycle's start record, a sleep since the last cycle, a change of the
    // adapter, a pack gone or back, a pack's wear at its full charge or the
    // day's first sample, the sample when a minute of awake time has passed,
    // and, when the evaluation makes the low-battery action due, the action's
    // record, flushed to the disk before the action can power the machine off.
    void record_cycle(const MachineReadings& readings, const CycleEvaluation& evaluation,
                      const BatteryPacks& batteries, CriticalAction action);

private:
    std::optional<HistoryFiles> files_;
    std::string_view version_;
    bool started_ = false;
    std::chrono::nanoseconds next_sample_{};
    std::chrono::nanoseconds asleep_{};  // the boot clock's lead at the last cycle
    std::optional<double> percent_;
    std::optional<AcStatus> adapter_;
    std::bitset<max_batteries> present_;
    std::bitset<max_batteries> full_;
    std::size_t packs_ = 0;         // how many of the packs the bitsets follow
    std::int64_t packs_day_ = -1;   // the day (Unix days) of the last wear records
};

}  // namespace kestro
