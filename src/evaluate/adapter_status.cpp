#include "evaluate/adapter_status.hpp"

#include <string_view>

#include "base/number_format.hpp"
#include "base/output.hpp"
#include "evaluate/charge.hpp"

namespace kestro {

namespace {

// A battery that holds its charge at this percentage or above (90 once
// rounded) is full, whatever else it says.
constexpr double steady_full_percent = 89.5;

bool is_connected(std::optional<AcStatus> status) {
    return status == AcStatus::connected || status == AcStatus::connected_slow;
}

// The slow state is carried by the previous cycle's final status.
AcStatus connected_status(std::optional<AcStatus> previous) {
    return previous == AcStatus::connected_slow ? AcStatus::connected_slow : AcStatus::connected;
}

std::optional<AcStatus> raw_adapter_status(std::optional<bool> adapter_online,
                                           std::optional<KernelBatteryStatus> battery_status,
                                           std::optional<AcStatus> previous) {
    if (adapter_online) {
        return *adapter_online ? connected_status(previous) : AcStatus::disconnected;
    }
    if (!battery_status) {
        return std::nullopt;
    }
    switch (*battery_status) {
        case KernelBatteryStatus::full:
        case KernelBatteryStatus::charging:
        case KernelBatteryStatus::not_charging: return connected_status(previous);
        case KernelBatteryStatus::discharging: return AcStatus::disconnected;
        case KernelBatteryStatus::other: return std::nullopt;
    }
    return std::nullopt;
}

// The change is registered in the cycle it is first seen, so this is never
// negative; a state that says otherwise counts as a fresh change.
std::uint64_t cycles_since_change(std::uint64_t cycle, const AdapterTracking& tracking) {
    return cycle >= tracking.changed_at ? cycle - tracking.changed_at : 0;
}

// A battery that claims to charge behind an online adapter, checked against
// the previous percentage q and the average a. NaN fails every comparison
// and ends as discharging.
BatteryStatus verified_status(double p, double q, double a) {
    if (p > q || p > a) {
        return BatteryStatus::charging;
    }
    if (p == q && p == a) {
        return BatteryStatus::not_charging;
    }
    return BatteryStatus::discharging;
}

// The percentage's own word when the battery's is not decisive.
std::optional<BatteryStatus> trend_status(const ChargeEstimate& estimate) {
    const std::optional<double> p = estimate.percent;
    const std::optional<double> q = estimate.previous_percent;
    if (p && q) {
        if (*p > *q) {
            return BatteryStatus::charging;
        }
        if (*p < *q) {
            return BatteryStatus::discharging;
        }
    }
    if (p && *p >= steady_full_percent) {
        return BatteryStatus::full;
    }
    return std::nullopt;
}

struct BatteryDecision {
    std::optional<BatteryStatus> status;
    bool discharging_warning = false;
};

BatteryDecision decide_battery(std::optional<AcStatus> raw, std::optional<KernelBatteryStatus> battery_status,
                               const ChargeEstimate& estimate, std::uint64_t cycles_settled) {
    if (battery_status == KernelBatteryStatus::discharging) {
        return {BatteryStatus::discharging};
    }
    if (battery_status == KernelBatteryStatus::full) {
        return {BatteryStatus::full};
    }
    const bool claims_charging = battery_status == KernelBatteryStatus::charging;
    const bool claims_not_charging = battery_status == KernelBatteryStatus::not_charging;
    if (!is_connected(raw) || !(claims_charging || claims_not_charging)) {
        return {trend_status(estimate)};
    }
    if (claims_not_charging && estimate.near_full) {
        return {BatteryStatus::full};
    }
    if (!estimate.percent || !estimate.previous_percent) {
        return {BatteryStatus::unknown};
    }
    const BatteryStatus verified = verified_status(*estimate.percent, *estimate.previous_percent, estimate.average);
    const bool warn = verified == BatteryStatus::discharging && cycles_settled == settle_cycles;
    return {verified, warn};
}

std::optional<AcStatus> final_adapter_status(std::optional<AcStatus> raw, std::optional<BatteryStatus> battery,
                                             std::uint64_t cycles_settled) {
    const bool settled = cycles_settled >= settle_cycles;
    if (raw == AcStatus::connected && battery == BatteryStatus::discharging && settled) {
        return AcStatus::connected_slow;
    }
    if (raw == AcStatus::connected_slow && battery == BatteryStatus::charging && settled) {
        return AcStatus::connected;
    }
    return raw;
}

// The first cycle in which a previous cycle's values are known.
constexpr std::uint64_t start_line_cycle = 2;

AdapterLine adapter_line(std::optional<AcStatus> final_status, std::uint64_t cycle,
                         const AdapterTracking& tracking) {
    if (cycle == start_line_cycle) {
        return AdapterLine::at_start;
    }
    if (cycle > start_line_cycle && cycles_since_change(cycle, tracking) == settle_cycles &&
        tracking.reference != final_status) {
        return AdapterLine::changed;
    }
    return AdapterLine::none;
}

}  // namespace

std::optional<AcStatus> register_adapter_status(std::optional<bool> adapter_online,
                                                std::optional<KernelBatteryStatus> battery_status,
                                                std::uint64_t cycle, AdapterTracking& tracking) {
    const std::optional<AcStatus> raw = raw_adapter_status(adapter_online, battery_status, tracking.previous);
    if (raw != tracking.previous) {
        tracking.changed_at = cycle;
        tracking.reference = tracking.previous ? tracking.previous : raw;
    } else if (!tracking.reference) {
        tracking.changed_at = cycle;
        tracking.reference = raw;
    }
    return raw;
}

StatusDecision decide_statuses(std::optional<AcStatus> raw_adapter_status,
                               std::optional<KernelBatteryStatus> battery_status, const ChargeEstimate& estimate,
                               std::uint64_t cycle, AdapterTracking& tracking) {
    const std::uint64_t settled = cycles_since_change(cycle, tracking);
    const BatteryDecision battery = decide_battery(raw_adapter_status, battery_status, estimate, settled);
    const std::optional<AcStatus> adapter = final_adapter_status(raw_adapter_status, battery.status, settled);
    tracking.previous = adapter;
    return {{battery.status, adapter}, battery.discharging_warning, adapter_line(adapter, cycle, tracking)};
}

Statuses evaluate_statuses(std::optional<AcStatus> raw_adapter_status,
                           std::optional<KernelBatteryStatus> battery_status, const ChargeEstimate& estimate,
                           double pd_power, std::uint64_t cycle, AdapterTracking& tracking) {
    const StatusDecision decision = decide_statuses(raw_adapter_status, battery_status, estimate, cycle, tracking);
    if (decision.discharging_warning) {
        print_warning_line({"Warning: AC Adapter connected but battery is actually discharging"});
    }
    if (decision.line == AdapterLine::none) {
        return decision.statuses;
    }
    const std::string_view adapter = text_or_none(decision.statuses.adapter);
    const std::string_view battery = text_or_none(decision.statuses.battery);
    const bool with_power = is_connected(decision.statuses.adapter) && pd_power > 0;
    const NumberText power = with_power ? format_shortest(pd_power) : NumberText{};
    const std::string_view power_before = with_power ? " at " : "";
    const std::string_view power_text = power.view();
    const std::string_view power_after = with_power ? "W" : "";
    const NumberText charge = charge_text(estimate);
    if (decision.line == AdapterLine::at_start) {
        print_line({"Info: AC Adapter status at start: '", adapter, "'", power_before, power_text, power_after,
                    ", battery ", charge, ", status: '", battery, "'"});
    } else {
        print_line({"Info: AC Adapter status changed '", text_or_none(tracking.reference), "'->'", adapter,
                    "'", power_before, power_text, power_after, ", battery ", charge, ", status: '", battery, "'"});
    }
    return decision.statuses;
}

Statuses decide_cycle_statuses(const CycleReadings& readings, const ChargeEstimate& estimate, std::uint64_t cycle,
                               AdapterTracking& tracking) {
    const std::optional<AcStatus> raw =
        register_adapter_status(readings.adapter_online, readings.battery_status, cycle, tracking);
    return evaluate_statuses(raw, readings.battery_status, estimate, readings.pd_power, cycle, tracking);
}

}  // namespace kestro
