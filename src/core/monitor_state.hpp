// What the monitor loop carries from one cycle to the next, and the raw
// readings of one cycle. Plain records: reading fills them, evaluation
// decides from them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/status_words.hpp"

namespace kestro {

// Recent charge percentages, newest first.
inline constexpr std::size_t charge_history_length = 9;
// A history entry that holds no percentage.
inline constexpr double missing_charge = -1.0;
using ChargeHistory = std::array<double, charge_history_length>;

[[nodiscard]] constexpr ChargeHistory empty_charge_history() {
    ChargeHistory history{};
    history.fill(missing_charge);
    return history;
}

struct MonitorState {
    std::uint64_t cycle = 0;  // the first cycle is 1
    std::optional<double> max_charge_level;  // 0 to 100 once accepted
    ChargeHistory charge_history = empty_charge_history();
    double previous_percent = 0.0;  // meaningful only when known
    bool previous_percent_known = false;
    std::uint64_t current_now_attempts = 0;
    std::uint64_t current_now_failures = 0;
    std::uint64_t power_now_attempts = 0;
    std::uint64_t power_now_failures = 0;
    std::optional<AcStatus> previous_ac_status;   // final status of the previous cycle
    std::optional<AcStatus> reference_ac_status;  // the status before the latest change
    std::uint64_t ac_status_changed_at = 0;       // cycle of the latest change
};

// The raw values of one cycle, in the kernel's micro-units as read. An empty
// optional is a value whose read failed this cycle.
struct CycleReadings {
    std::optional<double> full_value;  // charge_full or energy_full
    std::optional<double> now_value;   // charge_now or energy_now
    double rate_reading = 0.0;         // |current_now| or power_now; 0 when the read failed
    std::optional<KernelBatteryStatus> battery_status;  // none when unreadable
    std::optional<double> voltage_min_design;
    std::optional<double> voltage_now;
    std::optional<bool> adapter_online;  // none when "online" is unreadable
    double pd_power = 0.0;               // watts; 0 when not available
};

}  // namespace kestro
