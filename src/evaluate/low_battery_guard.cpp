#include "evaluate/low_battery_guard.hpp"

#include <algorithm>
#include <cmath>

#include "base/pause.hpp"
#include "base/units.hpp"
#include "evaluate/shutdown.hpp"

namespace kestro {

namespace {


double seconds_of(std::chrono::nanoseconds span) { return std::chrono::duration<double>(span).count(); }

}  // namespace

bool voltage_agrees(const MachineReadings& readings) {
    for (std::size_t i = 0; i < readings.battery_count; ++i) {
        const BatteryReadings& battery = readings.batteries[i];
        if (battery.present && battery.voltage_now && battery.voltage_min_design &&
            *battery.voltage_now <= *battery.voltage_min_design) {
            return true;
        }
    }
    return false;
}

std::optional<CallOff> call_off_reason(const CycleReadings& machine, const Settings& settings) {
    if (machine.adapter_online == true && machine.battery_status != KernelBatteryStatus::discharging) {
        return CallOff::adapter_connected;
    }
    if (machine.full_value && machine.now_value &&
        *machine.now_value > *machine.full_value * (settings.request_shutdown_battery_percent / full_charge_percent)) {
        return CallOff::charge_above_level;
    }
    return std::nullopt;
}

// The draw removes draw × hours ÷ voltage_min_design of the charge, in the
// units of the shutdown estimate; without a draw it explains no fall.
void LowBatteryGuard::watch_fall(const GuardReading& reading) {
    const CycleReadings& machine = *reading.machine;
    if (!machine.now_value || !machine.full_value) {
        return;
    }
    if (last_now_) {
        double explained = 0.0;
        if (reading.draw && machine.voltage_min_design && *machine.voltage_min_design > 0) {
            explained = *reading.draw * seconds_of(reading.awake - last_awake_) / seconds_per_hour /
                        *machine.voltage_min_design;
        }
        const double fall = *last_now_ - *machine.now_value;
        if (fall > suspect_factor * explained + suspect_margin * *machine.full_value && !suspect_since_) {
            suspect_since_ = reading.awake;
        }
    }
    last_now_ = machine.now_value;
    last_awake_ = reading.awake;
}

std::optional<double> LowBatteryGuard::confirm(const GuardReading& reading) {
    if (!settled_at_ || slept_between(asleep_, reading.asleep)) {
        // Start-up or a resume: a fall across the sleep says nothing of the draw.
        settled_at_ = reading.awake;
        asleep_ = reading.asleep;
        confirmed_ = 0;
        suspect_since_.reset();
        last_now_.reset();
    }
    watch_fall(reading);
    if (!reading.secs) {
        return reading.secs;
    }
    if (*reading.secs != shutdown_now) {
        confirmed_ = 0;
        suspect_since_.reset();
        return reading.secs;
    }
    confirmed_ = std::min(confirmed_ + 1, confirm_cycles);
    double hold_left = 0.0;
    if (!reading.voltage_agrees) {
        hold_left = seconds_of(*settled_at_ + settle_secs - reading.awake);
        if (suspect_since_) {
            hold_left = std::max(hold_left, seconds_of(*suspect_since_ + suspect_secs - reading.awake));
        }
    }
    const int cycles_left = confirm_cycles - confirmed_;
    if (cycles_left == 0 && hold_left <= 0) {
        return shutdown_now;
    }
    return std::max({static_cast<double>(cycles_left), std::ceil(hold_left), 1.0});
}

}  // namespace kestro
