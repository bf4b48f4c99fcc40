// Which desktop notifications kestro's status calls for, and which calls to
// the notification server show, update and withdraw them. Pure: it is told
// each new status and how each call went, and answers with the next call, so
// that the bus only carries the calls out.
//
// Each condition is notified once per occurrence, when it begins:
// - the adapter is "Connected slow" (a charger too weak to charge);
// - while the battery discharges, the time until the shutdown request falls
//   below the first threshold, then below the second;
// - the shutdown has started (0 seconds left, off a "Connected" adapter);
// While the daemon confirms the low level (confirm_low_battery) the
// low-battery notice says so ("Battery low, being confirmed: ..."), and it
// is withdrawn when the confirmation ends without the action.
// - every status file is stale (the daemon has stopped) while on battery,
//   unless the shutdown had started.
// An occurrence ends when a fresh value says so: the adapter is no longer
// "Connected slow"; the battery no longer discharges or the adapter is
// "Connected"; the seconds until the shutdown are no longer 0; some file is
// fresh again. A value that is absent or stale neither begins nor ends one.
//
// kestro keeps two notifications: the battery's (the slow charger, the low
// battery, the shutdown), where each new notice replaces the one shown
// (replaces_id), and the monitor's. A notification is withdrawn when the
// condition of the notice it shows ends. The monitor's notice never takes
// the place of a low-battery warning: a watchdog restart would otherwise
// leave the screen empty minutes before the shutdown. It is critical while
// the battery is low, and when the daemon is back the warning that then
// applies is shown again (the server may have dropped it meanwhile).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "client/status_snapshot.hpp"

namespace kestro {

enum class NoticeKind { slow_charger, battery_low, battery_critical, powering_off, monitor_stopped };

// The "urgency" hint of the notification protocol, sent as its byte.
enum class NoticeUrgency : std::uint8_t { normal = 1, critical = 2 };

struct Notice {
    NoticeKind kind = NoticeKind::slow_charger;
    NoticeUrgency urgency = NoticeUrgency::normal;
    std::string summary;
    std::string body;       // may be empty
    std::string_view icon;  // a name of the freedesktop icon theme

    bool operator==(const Notice&) const = default;
};

// In seconds until the shutdown request: below `before` the low battery is
// notified, below `critical` again as critical.
struct NotifyThresholds {
    double before_seconds = 10 * 60;
    double critical_seconds = 3 * 60;
};

// org.freedesktop.Notifications.Notify: show the notice, replacing the
// notification of that id (0: a new one).
struct ShowCall {
    std::uint32_t replaces_id = 0;
    Notice notice;
    bool operator==(const ShowCall&) const = default;
};
// org.freedesktop.Notifications.CloseNotification.
struct WithdrawCall {
    std::uint32_t id = 0;
    bool operator==(const WithdrawCall&) const = default;
};
using NotificationCall = std::variant<ShowCall, WithdrawCall>;

class NotificationPlan {
public:
    explicit NotificationPlan(const NotifyThresholds& thresholds) : thresholds_(thresholds) {}

    // A new status: begins and ends occurrences, and lets a failed call be
    // tried again.
    void status_changed(const StatusSnapshot& snapshot);

    // The call to make now: the latest notice not yet shown, else the
    // withdrawal of a notification whose condition has ended. None when the
    // server shows what it should, or after a failure until the next status
    // or server.
    [[nodiscard]] std::optional<NotificationCall> next_call() const;

    // The server answered a call that next_call gave: for a ShowCall, with
    // the id of the notification.
    void call_done(const NotificationCall& call, std::uint32_t id);
    // The server could not be reached: the call waits for the next status
    // or a new server.
    void call_failed();
    // Another process owns the server's name now, or none does: what the
    // previous owner showed is gone with it.
    void server_changed();
    // The server closed a notification (expired, dismissed by the person).
    void notification_closed(std::uint32_t id);

private:
    enum class Level { none, low, critical };

    // A notification of kestro's: the notice that should be on the screen,
    // whether it has been shown, and the server's id (0: none shown).
    struct Slot {
        std::optional<Notice> wanted;
        bool shown = false;
        std::uint32_t id = 0;
    };

    void begin(Notice notice);
    void end(NoticeKind kind);
    [[nodiscard]] Slot& slot_of(NoticeKind kind);
    [[nodiscard]] bool battery_low(const StatusSnapshot& snapshot) const;

    NotifyThresholds thresholds_;
    // The occurrences under way.
    bool slow_ = false;
    Level low_ = Level::none;
    bool powering_off_ = false;
    bool confirming_ = false;  // the daemon was confirming the low level
    bool stopped_ = false;
    Slot battery_;
    Slot monitor_;
    bool blocked_ = false;
};

}  // namespace kestro
