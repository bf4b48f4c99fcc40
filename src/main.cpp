// kestro: watches the mains adapter and the battery, publishes their state in
// /run/kestro and powers the machine off when the battery is low.
//
// The entry point runs the start-up steps in their fixed order, owns what
// they produce for the life of the process and turns the fatal error, and
// any exception that escapes, into the report and exit status 101.
#include <csignal>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include "base/fatal.hpp"
#include "base/journal_stream.hpp"
#include "base/output.hpp"
#include "core/config.hpp"
#include "core/debug_switch.hpp"
#include "core/monitor_loop.hpp"
#include "history/battery_history.hpp"
#include "power/battery_pack.hpp"
#include "power/discovery.hpp"
#include "power/pd_sensor.hpp"
#include "status/service_notifier.hpp"
#include "status/status_lock.hpp"

namespace {

constexpr const char* program_name = "kestro";
// From the build, which names the version once for the binaries and the package.
constexpr const char* program_version = KESTRO_VERSION;

int run() {
    kestro::set_up_log_streams(std::getenv(kestro::journal_stream_variable));
    kestro::print_line({program_name, " version ", program_version});

    const bool debug_enabled = kestro::debug_switch_from(std::getenv(kestro::debug_variable));
    if (debug_enabled) {
        kestro::print_debug_line({"DBG: Debug mode enabled"});
    }

    kestro::ServiceNotifier notifier = kestro::ServiceNotifier::for_socket(
        std::getenv(kestro::notify_socket_variable), std::getenv(kestro::watchdog_usec_variable));
    // The service manager's words for this process only: poweroff must not
    // notify or feed the watchdog in its name.
    for (const char* variable : {kestro::notify_socket_variable, kestro::watchdog_usec_variable, "WATCHDOG_PID"}) {
        ::unsetenv(variable);
    }

    const kestro::Settings settings = kestro::load_settings();

    const std::optional<kestro::PowerSupplyPaths> supplies = kestro::discover_power_supplies();
    if (!supplies) {
        kestro::print_line({"Info: Init: This system does not use batteries, stopping."});
        notifier.stopping("No battery: stopping");
        return 0;
    }
    // Held until run() is left, so that only one daemon writes the status
    // files; a second one stops here, before it has written anything. The
    // loop keeps it on the directory it writes into.
    kestro::StatusLock status_lock = kestro::lock_status_directory();
    const kestro::BatteryPacks batteries = kestro::set_up_battery_packs(*supplies);

    // Owned here until run() is left, so that the library is released after
    // the power-off and on the way out of a fatal abort alike.
    const kestro::PdSensor pd_sensor = kestro::open_pd_sensor();
    kestro::probe_pd_sensor(pd_sensor);

    kestro::BatteryHistory history;
    if (std::string directory = kestro::history_directory_from(settings.history_directory,
                                                               std::getenv(kestro::state_directory_variable));
        !directory.empty()) {
        history = kestro::BatteryHistory(std::move(directory), program_version);
    }

    kestro::print_line({"Info: Running."});
    [[maybe_unused]] const kestro::ShutdownCompleted completed = kestro::run_monitor_loop({
        .settings = settings,
        .paths = *supplies,
        .batteries = batteries,
        .pd_sensor = pd_sensor,
        .debug_enabled = debug_enabled,
        .status_lock = status_lock,
        .notifier = notifier,
        .history = history,
    });
    return 0;
}

// The last words of a fatal abort, written without allocating (the abort
// may be for want of memory), and not at all into a full log: the exit
// must not wait for a reader. A failure to write them changes nothing.
void report_fatal(std::string_view message, std::string_view detail) {
    const std::string_view parts[] = {program_name, ": fatal error: ", message, detail.empty() ? "" : ": ", detail};
    [[maybe_unused]] const bool written = kestro::write_log_now(STDERR_FILENO, kestro::LogLevel::critical, parts);
}

}  // namespace

int main() {
    // A closed log pipe must end the daemon through the fatal abort (a failed
    // write), not silently through SIGPIPE. Children get the default back.
    std::signal(SIGPIPE, SIG_IGN);
    // An ignored SIGCHLD, inherited from the parent, would let the kernel reap
    // poweroff before the daemon can wait for it and learn how it ended.
    std::signal(SIGCHLD, SIG_DFL);
    // Leaving run() by an exception unwinds it, so that whatever it holds
    // (the sensor library above all) is released before the report.
    try {
        return run();
    } catch (const kestro::FatalError& error) {
        report_fatal(error.message, error.detail);
    } catch (const std::exception& error) {
        report_fatal(error.what(), "");
    } catch (...) {
        report_fatal("unknown exception", "");
    }
    return kestro::fatal_exit_status;
}
