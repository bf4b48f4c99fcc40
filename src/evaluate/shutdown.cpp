#include "evaluate/shutdown.hpp"

#include "base/units.hpp"

namespace kestro {

namespace {

// Published instead while the adapter is "Connected": not yet, but soon.
constexpr double held_off_by_adapter = 1.0;

}  // namespace

std::optional<double> estimate_secs_until_shutdown(const CycleReadings& readings, const ChargeEstimate& estimate,
                                                   std::optional<AcStatus> adapter_status,
                                                   const Settings& settings) {
    if (!estimate.percent || !readings.full_value || !readings.now_value) {
        return std::nullopt;
    }
    const double threshold = *readings.full_value * (settings.request_shutdown_battery_percent / full_charge_percent);
    const double now = *readings.now_value;
    if (now > threshold) {
        // The time to go needs the voltages (the draw is made of voltage_now);
        // the shutdown at the level below does not.
        if (!estimate.draw || !readings.voltage_min_design) {
            return std::nullopt;
        }
        const double secs = *readings.voltage_min_design * (now - threshold) / *estimate.draw * seconds_per_hour;
        // The charge is above the level, so this must not read as "now".
        if (secs == shutdown_now) {
            return std::nullopt;
        }
        return secs;
    }
    return adapter_status == AcStatus::connected ? held_off_by_adapter : shutdown_now;
}

bool shutdown_due(std::optional<double> secs) { return secs && *secs == shutdown_now; }

}  // namespace kestro
