#include "client/desktop_notifier.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "base/error.hpp"
#include "client/sd_bus_library.hpp"
#include "client/status_formats.hpp"

namespace kestro {

namespace {

constexpr const char* server_name = "org.freedesktop.Notifications";
constexpr const char* server_path = "/org/freedesktop/Notifications";
constexpr const char* app_name = "kestro";
constexpr std::uint64_t call_timeout_usec = 5'000'000;
constexpr std::int32_t server_default_expiry = -1;

constexpr const char* owner_match =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.freedesktop.Notifications'";
constexpr const char* closed_match =
    "type='signal',path='/org/freedesktop/Notifications',interface='org.freedesktop.Notifications',"
    "member='NotificationClosed'";

struct MessageDeleter {
    const SdBus* sd;
    void operator()(sd_bus_message* message) const { sd->message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// Frees the error's texts when it goes.
struct BusError {
    const SdBus& sd;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    explicit BusError(const SdBus& library) : sd(library) {}
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd.error_free(&error); }

    // The bus's message when there is one, else the system's text.
    [[nodiscard]] std::string text(int result) const {
        return error.message != nullptr ? std::string(error.message) : std::string(SystemError{-result}.text());
    }
};

// The method call, built; a negative errno when it cannot be. The body as
// markup when the server reads it so.
[[nodiscard]] int build(const SdBus& sd, sd_bus* bus, const NotificationCall& call, bool body_markup, Message& out) {
    sd_bus_message* raw = nullptr;
    const auto* show = std::get_if<ShowCall>(&call);
    int result = sd.message_new_method_call(bus, &raw, server_name, server_path, server_name,
                                            show != nullptr ? "Notify" : "CloseNotification");
    out.reset(raw);
    if (result < 0) {
        return result;
    }
    if (show == nullptr) {
        return sd.message_append(raw, "u", std::get<WithdrawCall>(call).id);
    }
    const Notice& notice = show->notice;
    const std::string icon(notice.icon);
    const std::string body = body_markup ? markup_text(notice.body) : notice.body;
    result = sd.message_append(raw, "susssas", app_name, show->replaces_id, icon.c_str(), notice.summary.c_str(),
                               body.c_str(), 0);
    if (result >= 0) {
        result = sd.message_append(raw, "a{sv}", 1, "urgency", "y", static_cast<std::uint8_t>(notice.urgency));
    }
    if (result >= 0) {
        result = sd.message_append(raw, "i", server_default_expiry);
    }
    return result;
}

}  // namespace

struct NotifierSignals {
    // NameOwnerChanged for the server's name: a new owner, or none.
    static int owner_changed(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto& self = *static_cast<DesktopNotifier*>(userdata);
        const char* name = nullptr;
        const char* old_owner = nullptr;
        const char* new_owner = nullptr;
        if (self.sd_.message_read(message, "sss", &name, &old_owner, &new_owner) < 0) {
            return 0;
        }
        if (self.capabilities_of_ != new_owner) {
            self.capabilities_of_.clear();
        }
        if (self.server_ != new_owner) {
            // Not the server that has just answered (one started by the call itself).
            self.plan_.server_changed();
            self.server_.clear();
        }
        return 0;
    }

    static int closed(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto& self = *static_cast<DesktopNotifier*>(userdata);
        const char* sender = self.sd_.message_get_sender(message);
        std::uint32_t id = 0;
        std::uint32_t reason = 0;
        if (sender != nullptr && self.server_ == sender && self.sd_.message_read(message, "uu", &id, &reason) >= 0) {
            self.plan_.notification_closed(id);
        }
        return 0;
    }
};

void DesktopNotifier::BusDeleter::operator()(sd_bus* bus) const { sd->flush_close_unref(bus); }

DesktopNotifier::DesktopNotifier(const SdBus& sd, std::unique_ptr<sd_bus, BusDeleter> bus,
                                 const NotifyThresholds& thresholds, Report report)
    : sd_(sd), bus_(std::move(bus)), plan_(thresholds), report_(std::move(report)) {}

DesktopNotifier::~DesktopNotifier() = default;

std::expected<std::unique_ptr<DesktopNotifier>, std::string> DesktopNotifier::connect(
    const NotifyThresholds& thresholds, Report report) {
    const auto sd = load_sd_bus();
    if (!sd) {
        return std::unexpected("cannot load sd-bus: " + sd.error());
    }
    sd_bus* raw = nullptr;
    int result = (*sd)->open_user(&raw);
    std::unique_ptr<sd_bus, BusDeleter> bus(raw, BusDeleter{*sd});
    if (result == -ENOMEDIUM) {
        return std::unexpected("no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set");
    }
    if (result < 0) {
        return std::unexpected("cannot connect to the session bus: " + std::string(SystemError{-result}.text()));
    }
    std::unique_ptr<DesktopNotifier> notifier(
        new DesktopNotifier(**sd, std::move(bus), thresholds, std::move(report)));
    // Floating slots: they live as long as the bus, which the notifier owns.
    for (const auto& [match, handler] : {std::pair{owner_match, &NotifierSignals::owner_changed},
                                         std::pair{closed_match, &NotifierSignals::closed}}) {
        result = (*sd)->add_match(notifier->bus_.get(), nullptr, match, handler, notifier.get());
        if (result < 0) {
            return std::unexpected("session bus: " + std::string(SystemError{-result}.text()));
        }
    }
    return notifier;
}

SinkResult DesktopNotifier::status_changed(const StatusSnapshot& snapshot) {
    plan_.status_changed(snapshot);
    return settle();
}

pollfd DesktopNotifier::descriptor() const {
    const int events = sd_.get_events(bus_.get());
    return {sd_.get_fd(bus_.get()), static_cast<short>(events > 0 ? events : POLLIN), 0};
}

SinkResult DesktopNotifier::descriptor_ready() { return settle(); }

SinkResult DesktopNotifier::settle() {
    for (;;) {
        int processed = 0;
        do {
            processed = sd_.process(bus_.get(), nullptr);
        } while (processed > 0);
        if (processed < 0 || sd_.is_open(bus_.get()) <= 0) {
            failure_ = "the session bus went away";
            return SinkResult::stop;
        }
        const auto call = plan_.next_call();
        if (!call) {
            return SinkResult::keep_watching;
        }
        if (make(*call) == Outcome::bus_gone) {
            failure_ = "the session bus went away";
            return SinkResult::stop;
        }
    }
}

DesktopNotifier::Outcome DesktopNotifier::make(const NotificationCall& call) {
    Message message(nullptr, MessageDeleter{&sd_});
    BusError error(sd_);
    sd_bus_message* reply_raw = nullptr;
    const auto* show = std::get_if<ShowCall>(&call);
    if (show != nullptr && !show->notice.body.empty() && capabilities_of_.empty()) {
        learn_capabilities();
    }
    int result = build(sd_, bus_.get(), call, body_markup_, message);
    if (result >= 0) {
        result = sd_.call(bus_.get(), message.get(), call_timeout_usec, &error.error, &reply_raw);
    }
    const Message reply(reply_raw, MessageDeleter{&sd_});
    if (result < 0 && sd_.is_open(bus_.get()) <= 0) {
        return Outcome::bus_gone;
    }
    if (show == nullptr) {
        // Withdrawn, refused or gone with its server: no longer shown either way.
        plan_.call_done(call, 0);
        return Outcome::done;
    }
    std::uint32_t id = 0;
    if (result >= 0) {
        result = sd_.message_read(reply.get(), "u", &id);
    }
    if (result < 0) {
        if (!absence_reported_) {
            report_("no notification server on the session bus (" + error.text(result) + "); waiting for one");
            absence_reported_ = true;
        }
        plan_.call_failed();
        return Outcome::failed;
    }
    absence_reported_ = false;
    const char* sender = sd_.message_get_sender(reply.get());
    server_ = sender != nullptr ? sender : "";
    plan_.call_done(call, id);
    return Outcome::done;
}

void DesktopNotifier::learn_capabilities() {
    Message message(nullptr, MessageDeleter{&sd_});
    BusError error(sd_);
    sd_bus_message* raw = nullptr;
    int result =
        sd_.message_new_method_call(bus_.get(), &raw, server_name, server_path, server_name, "GetCapabilities");
    message.reset(raw);
    sd_bus_message* reply_raw = nullptr;
    if (result >= 0) {
        result = sd_.call(bus_.get(), message.get(), call_timeout_usec, &error.error, &reply_raw);
    }
    const Message reply(reply_raw, MessageDeleter{&sd_});
    char** names = nullptr;
    body_markup_ = false;
    if (result < 0 || sd_.message_read_strv(reply.get(), &names) < 0) {
        return;
    }
    for (char** name = names; *name != nullptr; ++name) {
        body_markup_ |= std::string_view(*name) == "body-markup";
        std::free(*name);
    }
    std::free(names);
    const char* sender = sd_.message_get_sender(reply.get());
    capabilities_of_ = sender != nullptr ? sender : "";
}

}  // namespace kestro
