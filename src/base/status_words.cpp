#include "base/status_words.hpp"

namespace kestro {

KernelBatteryStatus kernel_battery_status_from(std::string_view text) {
    if (text == "Charging") return KernelBatteryStatus::charging;
    if (text == "Discharging") return KernelBatteryStatus::discharging;
    if (text == "Full") return KernelBatteryStatus::full;
    if (text == "Not charging") return KernelBatteryStatus::not_charging;
    return KernelBatteryStatus::other;
}

std::string_view text_of(AcStatus status) {
    switch (status) {
        case AcStatus::connected: return "Connected";
        case AcStatus::connected_slow: return "Connected slow";
        case AcStatus::disconnected: return "Disconnected";
    }
    return "None";
}

std::string_view text_of(BatteryStatus status) {
    switch (status) {
        case BatteryStatus::charging: return "Charging";
        case BatteryStatus::discharging: return "Discharging";
        case BatteryStatus::full: return "Full";
        case BatteryStatus::not_charging: return "Not charging";
        case BatteryStatus::unknown: return "Unknown";
    }
    return "None";
}

std::optional<AcStatus> ac_status_from(std::string_view text) {
    for (const AcStatus status : all_ac_statuses) {
        if (text == text_of(status)) {
            return status;
        }
    }
    return std::nullopt;
}

std::optional<BatteryStatus> battery_status_from(std::string_view text) {
    for (const BatteryStatus status : all_battery_statuses) {
        if (text == text_of(status)) {
            return status;
        }
    }
    return std::nullopt;
}

CriticalActionWords words_of(CriticalAction action) {
    switch (action) {
        case CriticalAction::poweroff: return {"poweroff", "power off", "Powering off"};
        case CriticalAction::hibernate: return {"hibernate", "hibernate", "Hibernating"};
        case CriticalAction::hybrid_sleep: return {"hybrid-sleep", "enter hybrid sleep", "Entering hybrid sleep"};
        case CriticalAction::suspend_then_hibernate:
            return {"suspend-then-hibernate", "suspend (then hibernate)", "Suspending (then hibernating)"};
    }
    return {"poweroff", "power off", "Powering off"};
}

std::optional<CriticalAction> critical_action_from(std::string_view text) {
    for (const CriticalAction action : all_critical_actions) {
        if (text == words_of(action).name) {
            return action;
        }
    }
    return std::nullopt;
}

}  // namespace kestro
