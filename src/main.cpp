// kestro: watches the mains adapter and the battery, publishes their state in
// /run/kestro and powers the machine off when the battery is low.
//
// The entry point runs the start-up steps in their fixed order, owns what
// they produce for the life of the process and turns the fatal error into
// the report and exit status 101.
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>

#include "core/config.hpp"
#include "core/debug_switch.hpp"
#include "core/fatal.hpp"
#include "core/journal_stream.hpp"
#include "core/output.hpp"
#include "core/monitor_loop.hpp"
#include "power/battery_files.hpp"
#include "power/charge_limit.hpp"
#include "power/discovery.hpp"
#include "power/pd_sensor.hpp"
#include "status/status_lock.hpp"

namespace {

constexpr const char* program_name = "kestro";
constexpr const char* program_version = "1.6.0";

int run() {
    kestro::detect_journal_streams(std::getenv(kestro::journal_stream_variable));
    kestro::print_line({program_name, " version ", program_version});

    const bool debug_enabled = kestro::debug_switch_from(std::getenv(kestro::debug_variable));
    if (debug_enabled) {
        kestro::print_debug_line({"DBG: Debug mode enabled"});
    }

    const kestro::Settings settings = kestro::load_settings();

    const std::optional<kestro::PowerSupplyPaths> supplies = kestro::discover_power_supplies();
    if (!supplies) {
        kestro::print_line({"Info: Init: This system does not use batteries, stopping."});
        return 0;
    }
    // Held until run() is left, so that only one daemon writes the status
    // files; a second one stops here, before it has written anything.
    const kestro::StatusLock status_lock = kestro::lock_status_directory();
    const kestro::BatteryFiles battery_files = kestro::select_battery_files(supplies->battery_dir);
    const std::optional<std::string> charge_limit_file = kestro::find_charge_limit_file(battery_files.directory);

    // Owned here until run() is left, so that the library is released after
    // the power-off and on the way out of a fatal abort alike.
    const kestro::PdSensor pd_sensor = kestro::open_pd_sensor();
    kestro::probe_pd_sensor(pd_sensor);

    kestro::print_line({"Info: Running."});
    [[maybe_unused]] const kestro::ShutdownCompleted completed = kestro::run_monitor_loop({
        .settings = settings,
        .paths = *supplies,
        .battery_files = battery_files,
        .charge_limit_file = charge_limit_file,
        .pd_sensor = pd_sensor,
        .debug_enabled = debug_enabled,
    });
    return 0;
}

// The last words of a fatal abort. A failure to write them changes nothing.
void report_fatal(const kestro::FatalError& error) {
    std::string report(kestro::level_prefix(STDERR_FILENO, kestro::LogLevel::critical));
    report += program_name;
    report += ": fatal error: ";
    report += error.message;
    if (!error.detail.empty()) {
        report += ": ";
        report += error.detail;
    }
    report += '\n';
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, report.data(), report.size());
}

}  // namespace

int main() {
    // A closed log pipe must end the daemon through the fatal abort (a failed
    // write), not silently through SIGPIPE. Children get the default back.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run();
    } catch (const kestro::FatalError& error) {
        report_fatal(error);
        return kestro::fatal_exit_status;
    }
}
