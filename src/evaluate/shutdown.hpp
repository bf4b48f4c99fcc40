// The low-battery decision: the estimate of the seconds until the charge
// falls to the configured level, and whether the act is due
// (act/low_battery_action.hpp acts).
#pragma once

#include <optional>

#include "evaluate/settings.hpp"
#include "base/status_words.hpp"
#include "evaluate/charge_estimate.hpp"
#include "evaluate/cycle_readings.hpp"

namespace kestro {

// The only estimate that starts the shutdown.
inline constexpr double shutdown_now = 0.0;

// The seconds until the charge reaches settings.request_shutdown_battery_percent
// of the full value, at the present draw. None when the percentage is unknown.
//
// Above the threshold: voltage_min_design × (now − threshold) ÷ draw × 3600,
// computed in that order (infinite with a draw of 0); none when the draw or
// voltage_min_design is not known. At or below it, whether or not the voltages were read: 0, or
// 1 while the adapter is exactly "Connected", which holds the shutdown off.
// Above the threshold the result is never 0: where the formula gives 0 (a
// design voltage of 0) there is no estimate, since a 0 means "shut down now".
[[nodiscard]] std::optional<double> estimate_secs_until_shutdown(const CycleReadings& readings,
                                                                 const ChargeEstimate& estimate,
                                                                 std::optional<AcStatus> adapter_status,
                                                                 const Settings& settings);

// True when the estimate is known and exactly 0.
[[nodiscard]] bool shutdown_due(std::optional<double> secs);

}  // namespace kestro
