// The spine of the running daemon: one cycle a second, for good. Each cycle
// reads the batteries, the adapter and the Power Delivery sensors afresh,
// lets the evaluation decide, publishes the five status files, acts on the
// low-battery shutdown when it is due, prints its periodic lines and pauses.
#pragma once

#include "act/low_battery_action.hpp"
#include "evaluate/settings.hpp"
#include "history/battery_history.hpp"
#include "power/battery_pack.hpp"
#include "power/discovery.hpp"
#include "power/pd_sensor.hpp"
#include "status/service_notifier.hpp"
#include "status/status_lock.hpp"

namespace kestro {

// What start-up found, handed over unchanged and used in every cycle.
struct MonitorInputs {
    const Settings& settings;
    const PowerSupplyPaths& paths;
    // The batteries found at start-up with their limit files; the loop
    // follows them, and those that come later, from there.
    const BatteryPacks& batteries;
    const PdSensor& pd_sensor;
    bool debug_enabled;
    // Kept on the status directory that the cycles write into.
    StatusLock& status_lock;
    // Told of every cycle and of the shutdown.
    ServiceNotifier& notifier;
    // Told of every cycle; keeps nothing when it has nowhere to.
    BatteryHistory& history;
};

// Runs cycles until the low-battery shutdown has run `poweroff`
// successfully; that is the only way it returns. A failed `poweroff` is a
// fatal error. After a sleeping action the cycles go on.
[[nodiscard]] ShutdownCompleted run_monitor_loop(const MonitorInputs& inputs);

}  // namespace kestro
