#include "status/service_notifier.hpp"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <sys/socket.h>

#include "base/error.hpp"
#include "base/number_format.hpp"
#include "base/output.hpp"

namespace kestro {

namespace {

// A datagram: the status and a few assignments.
using Datagram = FixedText<256>;

void warn(std::string_view name, SystemError error) {
    print_warning_line({"Warning: cannot notify the service manager through NOTIFY_SOCKET '",
                        printable_log_text(name), "': ", error.text()});
}

}  // namespace

ServiceStatusText service_status_text(const ServiceSummary& summary) {
    ServiceStatusText text("Battery ");
    if (summary.percent) {
        text.append(format_fixed(*summary.percent, 1)).append("%");
    } else {
        text.append("charge unknown");
    }
    if (summary.battery) {
        text.append(", ").append(text_of(*summary.battery));
    }
    const std::optional<double> secs = summary.secs_until_shutdown;
    const bool timed = summary.adapter != AcStatus::connected && secs && std::isfinite(*secs) && *secs >= 0;
    if (summary.confirming) {
        text.append(", confirming the low level");
    } else if (summary.action_held) {
        text.append(", action held");
        if (timed && *secs > 0) {
            text.append(" for ").append(format_duration(*secs, DurationForm::countdown));
        }
    } else if (timed) {
        text.append(", shutdown in ").append(format_duration(*secs, DurationForm::countdown));
    }
    return text;
}

ServiceNotifier ServiceNotifier::for_socket(const char* notify_socket, const char* watchdog_usec) {
    if (notify_socket == nullptr) {
        return {};
    }
    const std::string_view name(notify_socket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() < 2 || (name.front() != '/' && name.front() != '@')) {
        warn(name, SystemError{EINVAL});
        return {};
    }
    // A path needs its terminating NUL; an abstract name has none.
    if (name.size() + (name.front() == '/' ? 1 : 0) > sizeof(address.sun_path)) {
        warn(name, SystemError{ENAMETOOLONG});
        return {};
    }
    name.copy(address.sun_path, name.size());
    if (name.front() == '@') {
        address.sun_path[0] = '\0';
    }
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                             (name.front() == '/' ? 1 : 0));
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.get() < 0) {
        warn(name, SystemError::last());
        return {};
    }
    std::string_view watchdog = watchdog_usec != nullptr ? watchdog_usec : "";
    if (watchdog.size() > decltype(watchdog_usec_)::capacity ||
        watchdog.find_first_not_of("0123456789") != std::string_view::npos) {
        watchdog = {};
    }
    return ServiceNotifier(std::move(socket), address, size, name, watchdog);
}

ServiceNotifier::ServiceNotifier(UniqueFd socket, const sockaddr_un& address, socklen_t address_size,
                                 std::string_view name, std::string_view watchdog_usec)
    : socket_(std::move(socket)),
      address_(address),
      address_size_(address_size),
      name_(name),
      watchdog_usec_(watchdog_usec) {}

void ServiceNotifier::cycle_done(const ServiceSummary& summary) {
    if (socket_.get() < 0) {
        return;
    }
    Datagram message(ready_ ? "" : "READY=1\n");
    if (restore_watchdog_) {
        message.append("WATCHDOG_USEC=").append(watchdog_usec_).append("\n");
        restore_watchdog_ = false;
    }
    message.append("WATCHDOG=1\nSTATUS=").append(service_status_text(summary));
    send(message);
    ready_ = true;
}

void ServiceNotifier::acting(CriticalAction action, double percent) {
    if (socket_.get() < 0) {
        return;
    }
    Datagram message("WATCHDOG_USEC=0\nSTATUS=");
    message.append(words_of(action).doing).append(": battery at ").append(format_fixed(percent, 1)).append("%");
    send(message);
}

void ServiceNotifier::resumed() { restore_watchdog_ = !watchdog_usec_.view().empty(); }

void ServiceNotifier::stopping(std::string_view status) {
    if (socket_.get() < 0) {
        return;
    }
    Datagram message("READY=1\nSTATUS=");
    message.append(status);
    send(message);
}

void ServiceNotifier::send(std::string_view message) {
    ssize_t sent = 0;
    do {
        sent = ::sendto(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address_), address_size_);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && errno != EAGAIN) {
        const SystemError error = SystemError::last();
        socket_ = UniqueFd(-1);
        warn(name_, error);
    }
}

}  // namespace kestro
