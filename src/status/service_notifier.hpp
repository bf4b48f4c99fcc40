// Tells the service manager that the daemon is alive and how the battery
// stands, through the notification socket it names in NOTIFY_SOCKET: one
// datagram per cycle, "READY=1" with the first, then "WATCHDOG=1" and a
// "STATUS=" line that `systemctl status kestro` shows. Outside the service
// manager (no NOTIFY_SOCKET) it does nothing at all.
//
// The datagrams follow the documented protocol, sent with sendto() on a
// socket opened once at start-up: one system call per cycle, and no library
// for it. A socket that cannot be used (not a socket, a name too long, a
// server that refuses) costs one warning line,
//   "Warning: cannot notify the service manager through NOTIFY_SOCKET '<name>': <error>"
// after which the daemon runs on without notifying. A socket that is only
// full (EAGAIN) loses that cycle's datagram and nothing else.
#pragma once

#include <optional>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

#include "base/fixed_text.hpp"
#include "base/posix_io.hpp"
#include "base/status_words.hpp"

namespace kestro {

inline constexpr const char* notify_socket_variable = "NOTIFY_SOCKET";
inline constexpr const char* watchdog_usec_variable = "WATCHDOG_USEC";

// What the status line of a cycle says.
struct ServiceSummary {
    std::optional<double> percent;
    std::optional<BatteryStatus> battery;
    std::optional<AcStatus> adapter;
    std::optional<double> secs_until_shutdown;
    bool action_held = false;  // the grace after a sleeping action
    bool confirming = false;   // the low level is being confirmed
};

using ServiceStatusText = FixedText<128>;

// "Battery 57.1%, Discharging, shutdown in 3 h 12 min": the charge (or
// "charge unknown"), the battery status when known, and the time until the
// low-battery shutdown when it is finite and the adapter is not
// "Connected" ("under a minute" below 60 s). In the grace after a sleeping
// action that time is the grace left: "action held for 1 min" ("action
// held" while none is known). While the low level is being confirmed:
// "confirming the low level".
[[nodiscard]] ServiceStatusText service_status_text(const ServiceSummary& summary);

class ServiceNotifier {
public:
    // Not notifying.
    ServiceNotifier() = default;

    // The socket named by `notify_socket` (the variable's value; nullptr when
    // unset): a path, or "@" and the name of an abstract socket. Prints the
    // warning when it cannot be used. `watchdog_usec` is WATCHDOG_USEC's
    // value (nullptr when unset), the watchdog to restore after a sleeping
    // action. The caller removes both variables from the environment, so
    // that children do not notify in the daemon's name.
    static ServiceNotifier for_socket(const char* notify_socket, const char* watchdog_usec);

    // Each cycle: "READY=1" the first time, "WATCHDOG=1", and the status.
    void cycle_done(const ServiceSummary& summary);

    // The low-battery action has begun: the watchdog is switched off
    // ("WATCHDOG_USEC=0"), since the wait, poweroff or the sleep take as long
    // as they take, and the status reads "Powering off: battery at 0.4%"
    // ("Hibernating: ...").
    void acting(CriticalAction action, double percent);

    // The daemon runs on after a sleeping action: the next cycle's datagram
    // puts the watchdog back as the service manager set it
    // ("WATCHDOG_USEC=<its value>"), when it set one.
    void resumed();

    // The daemon ends before its first cycle, in order: "READY=1" (a service
    // of its type must say it started before it may stop), and `status`.
    void stopping(std::string_view status);

private:
    ServiceNotifier(UniqueFd socket, const sockaddr_un& address, socklen_t address_size, std::string_view name,
                    std::string_view watchdog_usec);
    void send(std::string_view message);

    UniqueFd socket_{-1};
    sockaddr_un address_{};
    socklen_t address_size_ = 0;
    FixedText<sizeof(sockaddr_un::sun_path)> name_;  // for the warning
    FixedText<20> watchdog_usec_;                     // digits, or empty
    bool ready_ = false;
    bool restore_watchdog_ = false;
};

}  // namespace kestro
