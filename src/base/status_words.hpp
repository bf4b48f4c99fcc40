// The closed sets of status words: what the kernel says about the battery,
// and what the daemon decides and publishes about the adapter and battery
// (in the files of status_files.hpp). Texts become these enumerations where
// they are read and become texts again only where they are printed or
// published.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "base/status_files.hpp"

namespace kestro {

// The battery's own "status" attribute, as far as the rules distinguish it.
enum class KernelBatteryStatus { charging, discharging, full, not_charging, other };

// The trimmed text of the battery's "status" file; exact and case-sensitive.
[[nodiscard]] KernelBatteryStatus kernel_battery_status_from(std::string_view text);

// The adapter's "online" file: online exactly when its trimmed text is "1".
[[nodiscard]] constexpr bool adapter_online_from(std::string_view text) { return text == "1"; }

enum class AcStatus { connected, connected_slow, disconnected };
enum class BatteryStatus { charging, discharging, full, not_charging, unknown };

// Every status, in the order of the enumeration.
inline constexpr std::array all_ac_statuses{AcStatus::connected, AcStatus::connected_slow, AcStatus::disconnected};
inline constexpr std::array all_battery_statuses{BatteryStatus::charging, BatteryStatus::discharging,
                                                 BatteryStatus::full, BatteryStatus::not_charging,
                                                 BatteryStatus::unknown};

// "Connected", "Connected slow", "Disconnected".
[[nodiscard]] std::string_view text_of(AcStatus status);
// "Charging", "Discharging", "Full", "Not charging", "Unknown".
[[nodiscard]] std::string_view text_of(BatteryStatus status);

// The inverses of text_of: the status whose text is exactly `text`, none for
// any other text. For readers of the published files.
[[nodiscard]] std::optional<AcStatus> ac_status_from(std::string_view text);
[[nodiscard]] std::optional<BatteryStatus> battery_status_from(std::string_view text);

// What the daemon does at the low battery level: power off (the default), or
// ask the service manager to put the machine to sleep in one of its ways.
enum class CriticalAction { poweroff, hibernate, hybrid_sleep, suspend_then_hibernate };
inline constexpr std::array all_critical_actions{CriticalAction::poweroff, CriticalAction::hibernate,
                                                 CriticalAction::hybrid_sleep,
                                                 CriticalAction::suspend_then_hibernate};

// An action in words. `name` is the configuration's value, the content of
// the critical_action status file and, for the sleeping actions, the verb of
// `systemctl`; `verb` completes "the computer will ..." and "Could not ...";
// `doing` starts "<doing> in 10 seconds." and "<doing> now.".
struct CriticalActionWords {
    std::string_view name;
    std::string_view verb;
    std::string_view doing;
};
// "poweroff"/"power off"/"Powering off", "hibernate"/"hibernate"/"Hibernating",
// "hybrid-sleep"/"enter hybrid sleep"/"Entering hybrid sleep",
// "suspend-then-hibernate"/"suspend (then hibernate)"/"Suspending (then hibernating)".
[[nodiscard]] CriticalActionWords words_of(CriticalAction action);
// The action whose name is exactly `text`; none for any other text.
[[nodiscard]] std::optional<CriticalAction> critical_action_from(std::string_view text);

// The text of a status in the log lines, where an absent one reads "None".
template <class Status>
[[nodiscard]] std::string_view text_or_none(std::optional<Status> status) {
    return status ? text_of(*status) : std::string_view("None");
}

}  // namespace kestro
