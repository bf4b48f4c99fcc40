// kestro's notices on the person's desktop: the notification plan carried
// out on the user's session bus through the freedesktop notification
// interface (org.freedesktop.Notifications), with sd-bus.
//
// Each call waits for its reply, a few seconds at most. A server that is
// missing or does not answer is waited for: the call is made again on the
// next status, or at once when a process takes the server's name (the bus
// announces it, and the watch wakes for it). A server that goes away takes
// its notifications with it: the next notice is a new one. The session bus
// going away ends the watch (failure() says so).
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/notification_plan.hpp"
#include "client/watch.hpp"

struct sd_bus;

namespace kestro {

struct SdBus;

class DesktopNotifier final : public StatusSink {
public:
    // Where the notifier says, once per outage, that the server cannot be
    // reached (a line without its newline).
    using Report = std::function<void(std::string_view)>;

    // Loads sd-bus, connects to the user's session bus
    // ($DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus) and asks to hear
    // of the server's name changing owner and of its notifications closing.
    // Fails with a description when libsystemd cannot be loaded, or there is
    // no session bus or it refuses.
    [[nodiscard]] static std::expected<std::unique_ptr<DesktopNotifier>, std::string> connect(
        const NotifyThresholds& thresholds, Report report);
    ~DesktopNotifier() override;

    [[nodiscard]] SinkResult status_changed(const StatusSnapshot& snapshot) override;
    [[nodiscard]] pollfd descriptor() const override;
    [[nodiscard]] SinkResult descriptor_ready() override;

    // Why it stopped the watch, when it did.
    [[nodiscard]] const std::optional<std::string>& failure() const { return failure_; }

private:
    enum class Outcome { done, failed, bus_gone };
    struct BusDeleter {
        const SdBus* sd;
        void operator()(sd_bus* bus) const;
    };

    DesktopNotifier(const SdBus& sd, std::unique_ptr<sd_bus, BusDeleter> bus, const NotifyThresholds& thresholds,
                    Report report);

    // Dispatches what has arrived, makes the calls the plan asks for, and
    // again while a reply brought news.
    [[nodiscard]] SinkResult settle();
    [[nodiscard]] Outcome make(const NotificationCall& call);
    // Asks the server whether it reads bodies as markup ("body-markup"),
    // once per server; a server that does not answer is asked again before
    // the next body.
    void learn_capabilities();

    // The handlers of the two signals.
    friend struct NotifierSignals;

    const SdBus& sd_;
    std::unique_ptr<sd_bus, BusDeleter> bus_;
    NotificationPlan plan_;
    Report report_;
    std::string server_;  // the unique bus name of the server that showed kestro's notification
    std::string capabilities_of_;  // the unique bus name of the server whose capabilities are known
    bool body_markup_ = false;
    bool absence_reported_ = false;
    std::optional<std::string> failure_;
};

}  // namespace kestro
