#include "client/notification_plan.hpp"

#include "base/number_format.hpp"
#include "client/status_meaning.hpp"

namespace kestro {

namespace {

// A value from a file that is there and fresh; none otherwise.
template <class Value>
[[nodiscard]] std::optional<Value> fresh(const std::optional<Value>& value, const StatusSnapshot& snapshot,
                                         StatusFile file) {
    return snapshot.stale(file) ? std::nullopt : value;
}

// "57%": the fresh percentage, rounded, as the notices show it.
[[nodiscard]] std::optional<std::string> percent_text(const StatusMeaning& meaning) {
    if (!meaning.percent || meaning.percent->stale) {
        return std::nullopt;
    }
    return std::string(format_fixed(meaning.percent->value, 0).view()) + "%";
}

// Whether the adapter status, or else the battery status, says the machine
// runs on its battery; stale values count (they are the last known).
[[nodiscard]] bool on_battery(const StatusSnapshot& snapshot) {
    return snapshot.ac_status ? *snapshot.ac_status != AcStatus::connected
                              : snapshot.battery_status == BatteryStatus::discharging;
}

[[nodiscard]] Notice slow_charger_notice(const StatusMeaning& meaning, const std::optional<Estimate>& shutdown) {
    std::string body;
    if (const auto percent = percent_text(meaning)) {
        body = "Battery at " + *percent;
    }
    if (shutdown) {
        body += body.empty() ? "Shutdown in " : ", shutdown in ";
        body += format_duration(shutdown->seconds).view();
    }
    return {NoticeKind::slow_charger, NoticeUrgency::normal,
            "Charger too weak: the battery is discharging although the charger is connected", body, "ac-adapter"};
}

[[nodiscard]] Notice battery_low_notice(const StatusMeaning& meaning, const CriticalActionWords& action,
                                        double seconds, bool critical, bool confirming) {
    std::string summary = std::string(confirming ? "Battery low, being confirmed" : "Battery low") +
                          ": the computer will " + std::string(action.verb) + " in " +
                          std::string(format_duration(seconds).view());
    if (const auto percent = percent_text(meaning)) {
        summary += " at " + *percent;
    }
    return {critical ? NoticeKind::battery_critical : NoticeKind::battery_low,
            critical ? NoticeUrgency::critical : NoticeUrgency::normal, summary, "",
            critical ? "battery-caution" : "battery-low"};
}

[[nodiscard]] Notice powering_off_notice(const StatusMeaning& meaning, const CriticalActionWords& action) {
    std::string summary = std::string(action.doing) + " now";
    if (const auto percent = percent_text(meaning)) {
        summary += ": battery at " + *percent;
    }
    return {NoticeKind::powering_off, NoticeUrgency::critical, summary, "", "battery-caution"};
}

}  // namespace

void NotificationPlan::status_changed(const StatusSnapshot& snapshot) {
    blocked_ = false;
    const StatusMeaning meaning = interpret(snapshot, Thresholds{});
    const auto ac = fresh(snapshot.ac_status, snapshot, StatusFile::ac_status);
    const auto battery = fresh(snapshot.battery_status, snapshot, StatusFile::battery_status);
    const auto until_shutdown = fresh(snapshot.secs_until_shutdown_request, snapshot,
                                      StatusFile::secs_until_shutdown_request);
    std::optional<Estimate> shutdown;
    if (meaning.estimate && !meaning.estimate->stale && meaning.estimate->kind == EstimateKind::shutdown_in &&
        battery == BatteryStatus::discharging) {
        shutdown = meaning.estimate;
    }

    // The ends first, so that a notice begun by the same status replaces
    // the one shown instead of following its withdrawal.
    if (ac && *ac != AcStatus::connected_slow) {
        slow_ = false;
        end(NoticeKind::slow_charger);
    }
    if ((battery && *battery != BatteryStatus::discharging) || ac == AcStatus::connected) {
        low_ = Level::none;
        end(NoticeKind::battery_low);
        end(NoticeKind::battery_critical);
    }
    if ((until_shutdown && *until_shutdown != 0) || ac == AcStatus::connected) {
        powering_off_ = false;
        end(NoticeKind::powering_off);
    }
    // The confirmation beginning, or ending without the action, replaces
    // the warning: one that still applies is shown again as it now reads.
    if (confirming_ != snapshot.confirming && until_shutdown != 0.0) {
        low_ = Level::none;
        end(NoticeKind::battery_low);
        end(NoticeKind::battery_critical);
    }
    confirming_ = snapshot.confirming;
    if (has_status(snapshot) && !all_stale(snapshot) && stopped_) {
        stopped_ = false;
        end(NoticeKind::monitor_stopped);
        low_ = Level::none;  // the warning that applies now is shown again
    }

    // Then the beginnings, the least important first: of several begun by
    // one status, the last one begun is shown.
    if (shutdown) {
        const Level level = shutdown->seconds < thresholds_.critical_seconds ? Level::critical
                            : shutdown->seconds < thresholds_.before_seconds ? Level::low
                                                                             : Level::none;
        if (level > low_) {
            low_ = level;
            begin(battery_low_notice(meaning, words_of(snapshot.action()), shutdown->seconds,
                                     level == Level::critical, snapshot.confirming));
        }
    }
    if (ac == AcStatus::connected_slow && !slow_) {
        slow_ = true;
        begin(slow_charger_notice(meaning, shutdown));
    }
    if (all_stale(snapshot) && on_battery(snapshot) && !powering_off_ && !stopped_) {
        stopped_ = true;
        begin({NoticeKind::monitor_stopped, battery_low(snapshot) ? NoticeUrgency::critical : NoticeUrgency::normal,
               "Battery monitor not running: no low-battery protection", "", "dialog-warning"});
    }
    if (until_shutdown == 0.0 && snapshot.ac_status != AcStatus::connected && !powering_off_) {
        powering_off_ = true;
        // After a sleeping action the warnings may be due again.
        low_ = Level::none;
        begin(powering_off_notice(meaning, words_of(snapshot.action())));
    }
}

std::optional<NotificationCall> NotificationPlan::next_call() const {
    if (blocked_) {
        return std::nullopt;
    }
    for (const Slot* slot : {&battery_, &monitor_}) {
        if (slot->wanted && !slot->shown) {
            return ShowCall{slot->id, *slot->wanted};
        }
        if (!slot->wanted && slot->id != 0) {
            return WithdrawCall{slot->id};
        }
    }
    return std::nullopt;
}

void NotificationPlan::call_done(const NotificationCall& call, std::uint32_t id) {
    if (const auto* show = std::get_if<ShowCall>(&call)) {
        Slot& slot = slot_of(show->notice.kind);
        slot.shown = slot.wanted == show->notice;
        slot.id = id;
    } else {
        notification_closed(std::get<WithdrawCall>(call).id);
    }
}

void NotificationPlan::call_failed() { blocked_ = true; }

void NotificationPlan::server_changed() {
    battery_.id = monitor_.id = 0;
    blocked_ = false;
}

void NotificationPlan::notification_closed(std::uint32_t id) {
    for (Slot* slot : {&battery_, &monitor_}) {
        if (id == slot->id) {
            slot->id = 0;
        }
    }
}

void NotificationPlan::begin(Notice notice) {
    Slot& slot = slot_of(notice.kind);
    slot.wanted = std::move(notice);
    slot.shown = false;
}

void NotificationPlan::end(NoticeKind kind) {
    Slot& slot = slot_of(kind);
    if (slot.wanted && slot.wanted->kind == kind) {
        slot.wanted.reset();
        slot.shown = false;
    }
}

NotificationPlan::Slot& NotificationPlan::slot_of(NoticeKind kind) {
    return kind == NoticeKind::monitor_stopped ? monitor_ : battery_;
}

// A warning under way, or the last figures read below the first threshold
// (when the daemon had already stopped before the watch began).
bool NotificationPlan::battery_low(const StatusSnapshot& snapshot) const {
    return low_ != Level::none ||
           (snapshot.battery_status == BatteryStatus::discharging &&
            snapshot.secs_until_shutdown_request.value_or(thresholds_.before_seconds) < thresholds_.before_seconds);
}

}  // namespace kestro
