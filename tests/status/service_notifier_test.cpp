#include "status/service_notifier.hpp"

#include <limits>
#include <string_view>

#include <gtest/gtest.h>

namespace kestro {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

TEST(ServiceStatusText, SaysChargeStatusAndTimeLeft) {
    struct Row {
        ServiceSummary summary;
        std::string_view text;
    };
    const Row rows[] = {
        {{57.142857, BatteryStatus::discharging, AcStatus::disconnected, 11520.5},
         "Battery 57.1%, Discharging, shutdown in 3 h 12 min"},
        {{6, BatteryStatus::discharging, AcStatus::connected_slow, 59.9}, "Battery 6.0%, Discharging, shutdown in under a minute"},
        {{6, BatteryStatus::discharging, std::nullopt, 3600}, "Battery 6.0%, Discharging, shutdown in 1 h 0 min"},
        // Plugged in, no draw, or nothing known: no time.
        {{0.4, BatteryStatus::charging, AcStatus::connected, 1}, "Battery 0.4%, Charging"},
        {{80, BatteryStatus::full, AcStatus::disconnected, infinity}, "Battery 80.0%, Full"},
        {{std::nullopt, std::nullopt, AcStatus::disconnected, std::nullopt}, "Battery charge unknown"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(service_status_text(row.summary).view(), row.text);
    }
}

}  // namespace
}  // namespace kestro
