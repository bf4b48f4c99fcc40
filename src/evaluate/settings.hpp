// The two settings of the low-battery shutdown, fixed for the life of the
// process: the configuration decides them (core/config.hpp), the shutdown
// applies them (evaluate/shutdown.hpp).
#pragma once

namespace kestro {

struct Settings {
    // Battery charge, in percent, at which the machine is powered off.
    double request_shutdown_battery_percent = 0.49999998;
    // Seconds between the shutdown announcement and the power-off.
    double force_shutdown_timeout_secs = 10.0;
};

}  // namespace kestro
