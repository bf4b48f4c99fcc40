#include "client/notification_plan.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/snapshot_files.hpp"

namespace kestro {
namespace {

using enum AcStatus;
using enum BatteryStatus;

constexpr const char* slow = "Charger too weak: the battery is discharging although the charger is connected";

// A server as the desktop's: ids from 1, a replaced notification keeps its id.
class Server {
public:
    // Makes every call the plan asks for; describes them as
    // "show 0->1 critical battery_critical" and "close 1", joined by "; ".
    std::string serve(NotificationPlan& plan, bool reachable = true) {
        std::string made;
        while (const auto call = plan.next_call()) {
            made += made.empty() ? "" : "; ";
            if (!reachable) {
                plan.call_failed();
                made += "failed";
            } else if (const auto* show = std::get_if<ShowCall>(&*call)) {
                const std::uint32_t id = show->replaces_id != 0 ? show->replaces_id : next_id_++;
                made += "show " + std::to_string(show->replaces_id) + "->" + std::to_string(id) +
                        (show->notice.urgency == NoticeUrgency::critical ? " critical " : " normal ") +
                        kinds[static_cast<int>(show->notice.kind)];
                plan.call_done(*call, id);
            } else {
                made += "close " + std::to_string(std::get<WithdrawCall>(*call).id);
                plan.call_done(*call, 0);
            }
        }
        return made;
    }

private:
    static constexpr const char* kinds[] = {"slow", "low", "critical", "off", "stopped"};
    std::uint32_t next_id_ = 1;
};

struct NoticeCase {
    const char* label;
    Files files;
    const char* summary;  // nullptr: nothing is notified
    const char* body;
    NoticeUrgency urgency;
};

const NoticeCase notice_cases[] = {
    {"slow charger", {connected_slow, 61.2, discharging, {}, 17640}, slow, "Battery at 61%, shutdown in 4 h 54 min",
     NoticeUrgency::normal},
    {"slow charger, estimate stale", {connected_slow, 61.2, discharging, {}, 17640,
                                      stale_bit(StatusFile::secs_until_shutdown_request)},
     slow, "Battery at 61%", NoticeUrgency::normal},
    {"slow charger, nothing else known", {connected_slow, {}, {}, {}, {}}, slow, "", NoticeUrgency::normal},
    {"low", {disconnected, 12.4, discharging, {}, 590},
     "Battery low: the computer will power off in 10 min at 12%", "", NoticeUrgency::normal},
    {"critical", {disconnected, 6.6, discharging, {}, 170},
     "Battery low: the computer will power off in 3 min at 7%", "", NoticeUrgency::critical},
    {"under a minute", {disconnected, 5.1, discharging, {}, 20},
     "Battery low: the computer will power off in <1 min at 5%", "", NoticeUrgency::critical},
    {"confirming", {disconnected, 0.1, discharging, {}, 4, 0, {}, true},
     "Battery low, being confirmed: the computer will power off in <1 min at 0%", "", NoticeUrgency::critical},
    {"low, percentage unknown", {disconnected, {}, discharging, {}, 300},
     "Battery low: the computer will power off in 5 min", "", NoticeUrgency::normal},
    {"shutdown started", {disconnected, 4.47, discharging, {}, 0}, "Powering off now: battery at 4%", "",
     NoticeUrgency::critical},
    {"shutdown started on a slow charger", {connected_slow, 0.4, discharging, {}, 0},
     "Powering off now: battery at 0%", "", NoticeUrgency::critical},
    {"hibernate, critical", {disconnected, 6.6, discharging, {}, 170, 0, CriticalAction::hibernate},
     "Battery low: the computer will hibernate in 3 min at 7%", "", NoticeUrgency::critical},
    {"hybrid sleep started", {disconnected, 4.47, discharging, {}, 0, 0, CriticalAction::hybrid_sleep},
     "Entering hybrid sleep now: battery at 4%", "", NoticeUrgency::critical},
    {"daemon stopped on battery", {disconnected, 50, discharging, {}, 9000, all_files_stale},
     "Battery monitor not running: no low-battery protection", "", NoticeUrgency::normal},
    {"daemon stopped with the battery low", {disconnected, 7, discharging, {}, 170, all_files_stale},
     "Battery monitor not running: no low-battery protection", "", NoticeUrgency::critical},
    {"daemon stopped, adapter unknown, discharging", {{}, 50, discharging, {}, {}, all_files_stale},
     "Battery monitor not running: no low-battery protection", "", NoticeUrgency::normal},
    {"daemon stopped on the charger", {connected, 50, charging, 900, {}, all_files_stale}, nullptr, "", {}},
    {"no status at all", {}, nullptr, "", {}},
    {"charging", {connected, 50, charging, 900, 40000}, nullptr, "", {}},
    {"at the level on the charger", {connected, 0.4, not_charging, {}, 1}, nullptr, "", {}},
    {"shutdown far", {disconnected, 50, discharging, {}, 600}, nullptr, "", {}},
    {"estimate stale", {disconnected, 5, discharging, {}, 100, stale_bit(StatusFile::secs_until_shutdown_request)},
     nullptr, "", {}},
    {"battery status stale", {disconnected, 5, discharging, {}, 100, stale_bit(StatusFile::battery_status)},
     nullptr, "", {}},
    {"zero seconds, stale", {disconnected, 5, discharging, {}, 0, stale_bit(StatusFile::secs_until_shutdown_request)},
     nullptr, "", {}},
};

TEST(NotificationPlan, WhichNoticeWithWhichTextAndUrgency) {
    for (const NoticeCase& c : notice_cases) {
        SCOPED_TRACE(c.label);
        NotificationPlan plan({});
        plan.status_changed(snapshot_of(c.files));
        const auto call = plan.next_call();
        if (c.summary == nullptr) {
            EXPECT_FALSE(call.has_value());
            continue;
        }
        ASSERT_TRUE(call && std::holds_alternative<ShowCall>(*call));
        const ShowCall& show = std::get<ShowCall>(*call);
        EXPECT_EQ(show.replaces_id, 0U);
        EXPECT_EQ(show.notice.summary, c.summary);
        EXPECT_EQ(show.notice.body, c.body);
        EXPECT_EQ(show.notice.urgency, c.urgency);
    }
}

// A status, or what happens to the server before it.
struct Step {
    Files files;
    const char* calls;  // as Server::serve describes them
    enum { status, unreachable, server_changed, closed_by_server } event = status;
};

struct StoryCase {
    const char* label;
    std::vector<Step> steps;
};

const Files slow_charger{connected_slow, 60, discharging, {}, 17000};
const Files on_battery{disconnected, 50, discharging, {}, 9000};
const Files low{disconnected, 12, discharging, {}, 590};
const Files critical{disconnected, 7, discharging, {}, 170};
const Files shutting_down{disconnected, 4, discharging, {}, 0};
const Files charging_again{connected, 8, charging, 3000, 200};

const StoryCase story_cases[] = {
    {"low, critical, shutdown: one notification updated",
     {{on_battery, ""}, {low, "show 0->1 normal low"}, {critical, "show 1->1 critical critical"},
      {shutting_down, "show 1->1 critical off"}}},
    {"once per discharge, however the estimate moves",
     {{low, "show 0->1 normal low"}, {on_battery, ""}, {low, ""}, {critical, "show 1->1 critical critical"},
      {low, ""}, {critical, ""}}},
    {"a confirmation that fails withdraws its warning",
     {{on_battery, ""}, {{disconnected, 0, discharging, {}, 4, 0, {}, true}, "show 0->1 critical critical"},
      {on_battery, "close 1"}}},
    {"straight to critical", {{critical, "show 0->1 critical critical"}, {low, ""}}},
    {"slow charger withdrawn when unplugged", {{slow_charger, "show 0->1 normal slow"}, {on_battery, "close 1"}}},
    {"slow charger withdrawn when it charges",
     {{slow_charger, "show 0->1 normal slow"}, {{connected, 61, charging, 3000, 17000}, "close 1"}}},
    {"slow charger replaced by the low battery on unplugging",
     {{slow_charger, "show 0->1 normal slow"}, {low, "show 1->1 normal low"}}},
    {"charging ends the low battery, a new discharge begins again",
     {{low, "show 0->1 normal low"}, {charging_again, "close 1"}, {critical, "show 0->2 critical critical"}}},
    {"the slow charger shown over a low battery it comes with",
     {{{connected_slow, 7, discharging, {}, 170}, "show 0->1 normal slow"}}},
    {"daemon stopped, then back", {{{on_battery.ac, 50, discharging, {}, 9000, all_files_stale},
                                    "show 0->1 normal stopped"},
                                   {{on_battery.ac, 50, discharging, {}, 9000, all_files_stale}, ""},
                                   {on_battery, "close 1"}}},
    {"a critical warning outlasts the daemon's absence and is shown again when it is back",
     {{critical, "show 0->1 critical critical"},
      {{disconnected, 7, discharging, {}, 170, all_files_stale}, "show 0->2 critical stopped"},
      {critical, "show 1->1 critical critical; close 2"}}},
    {"after a sleeping action, the grace left is critical again",
     {{shutting_down, "show 0->1 critical off"},
      {{disconnected, 4, discharging, {}, 59}, "show 1->1 critical critical"}}},
    {"no stopped daemon after the shutdown began",
     {{shutting_down, "show 0->1 critical off"}, {{disconnected, 4, discharging, {}, 0, all_files_stale}, ""}}},
    {"a missing server: tried again with the next status",
     {{low, "failed", Step::unreachable}, {low, "show 0->1 normal low"}}},
    {"a missing server: only the latest notice once it is there",
     {{low, "failed", Step::unreachable}, {critical, "failed", Step::unreachable},
      {critical, "show 0->1 critical critical"}}},
    {"a missing server: nothing left to withdraw",
     {{slow_charger, "failed", Step::unreachable}, {on_battery, ""}}},
    {"a new server: its own notification",
     {{low, "show 0->1 normal low"}, {{}, "", Step::server_changed}, {critical, "show 0->2 critical critical"}}},
    {"closed by the person: a new one next",
     {{low, "show 0->1 normal low"}, {{}, "", Step::closed_by_server}, {critical, "show 0->2 critical critical"}}},
};

TEST(NotificationPlan, WhenNoticesAreShownUpdatedAndWithdrawn) {
    for (const StoryCase& c : story_cases) {
        SCOPED_TRACE(c.label);
        NotificationPlan plan({});
        Server server;
        for (std::size_t index = 0; index < c.steps.size(); ++index) {
            SCOPED_TRACE(index);
            const Step& step = c.steps[index];
            if (step.event == Step::server_changed) {
                plan.server_changed();
            } else if (step.event == Step::closed_by_server) {
                plan.notification_closed(2);  // another program's
                plan.notification_closed(1);
            } else {
                plan.status_changed(snapshot_of(step.files));
            }
            EXPECT_EQ(server.serve(plan, step.event != Step::unreachable), step.calls);
        }
    }
}

TEST(NotificationPlan, ThresholdsComeFromTheOptions) {
    NotificationPlan plan({.before_seconds = 30 * 60, .critical_seconds = 20 * 60});
    Server server;
    plan.status_changed(snapshot_of({disconnected, 20, discharging, {}, 1500}));
    EXPECT_EQ(server.serve(plan), "show 0->1 normal low");
    plan.status_changed(snapshot_of({disconnected, 19, discharging, {}, 1100}));
    EXPECT_EQ(server.serve(plan), "show 1->1 critical critical");
}

}  // namespace
}  // namespace kestro
