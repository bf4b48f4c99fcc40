#include "status/service_notifier.hpp"

#include <gtest/gtest.h>

namespace kestro {
namespace {

TEST(ServiceStatusText, SaysChargeStatusAndTimeLeft) {
    const std::pair<ServiceSummary, std::string_view> rows[] = {
        {{57.142857, BatteryStatus::discharging, AcStatus::disconnected, 11520.5},
         "Battery 57.1%, Discharging, shutdown in 3 h 12 min"},
        {{6, BatteryStatus::discharging, AcStatus::connected_slow, 59.9},
         "Battery 6.0%, Discharging, shutdown in under a minute"},
        // In the grace after a sleeping action, and at its start.
        {{3, BatteryStatus::discharging, AcStatus::disconnected, 90, true},
         "Battery 3.0%, Discharging, action held for 1 min"},
        {{3, BatteryStatus::discharging, AcStatus::disconnected, 0, true}, "Battery 3.0%, Discharging, action held"},
        {{0.2, BatteryStatus::discharging, AcStatus::disconnected, 4, false, true},
         "Battery 0.2%, Discharging, confirming the low level"},
        // Plugged in, or nothing known: no time.
        {{0.4, BatteryStatus::charging, AcStatus::connected, 1}, "Battery 0.4%, Charging"},
        {{std::nullopt, std::nullopt, AcStatus::disconnected, std::nullopt}, "Battery charge unknown"},
    };
    for (const auto& [summary, text] : rows) {
        EXPECT_EQ(service_status_text(summary).view(), text);
    }
}

}  // namespace
}  // namespace kestro
