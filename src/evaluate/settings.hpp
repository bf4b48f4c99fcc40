// The settings of the low-battery shutdown, fixed for the life of the
// process: the configuration decides them (core/config.hpp), the shutdown
// applies them (act/low_battery_action.hpp).
#pragma once

#include <string>

#include "base/status_words.hpp"

namespace kestro {

struct Settings {
    // Battery charge, in percent, at which the machine is powered off.
    double request_shutdown_battery_percent = 0.49999998;
    // Seconds between the shutdown announcement and the power-off.
    double force_shutdown_timeout_secs = 10.0;
    // What is done then: poweroff, or a sleep that keeps the session.
    CriticalAction critical_action = CriticalAction::poweroff;
    // Where the battery's history is kept (an absolute path); empty: where
    // the service manager's state directory is, if anywhere.
    std::string history_directory;
    // The low level acts only once confirmed (evaluate/low_battery_guard.hpp),
    // and the wait before the action re-reads the adapter and the charge.
    bool confirm_low_battery = false;
};

}  // namespace kestro
