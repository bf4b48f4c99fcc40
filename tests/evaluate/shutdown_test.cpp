#include "evaluate/shutdown.hpp"

#include <limits>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace kestro {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// ------------------------------------------------------------------ estimate

// A battery of 50,000,000 µAh at 12 V drawing 1 A: a draw of 1.2e13.
struct EstimateCase {
    const char* name;
    double percent_setting = 5.0;
    double now_value = 2500000.0;
    std::optional<AcStatus> adapter = AcStatus::disconnected;
    bool percent_known = true;
    std::optional<double> voltage_min_design = 10000000.0;
    std::optional<double> voltage_now = 12000000.0;
    std::optional<double> draw = 1.2e13;  // none without voltage_now
    // Expected.
    std::optional<double> secs;
    bool due = false;
};

void PrintTo(const EstimateCase& c, std::ostream* out) { *out << c.name; }

class EstimateSecsUntilShutdown : public testing::TestWithParam<EstimateCase> {};

TEST_P(EstimateSecsUntilShutdown, EstimatesAndDecides) {
    const EstimateCase& c = GetParam();
    CycleReadings readings;
    readings.full_value = 50000000.0;
    readings.now_value = c.now_value;
    readings.voltage_min_design = c.voltage_min_design;
    readings.voltage_now = c.voltage_now;
    ChargeEstimate estimate;
    if (c.percent_known) {
        estimate.percent = c.now_value / 50000000.0 * 100.0;
    }
    estimate.draw = c.draw;
    Settings settings;
    settings.request_shutdown_battery_percent = c.percent_setting;
    const std::optional<double> secs = estimate_secs_until_shutdown(readings, estimate, c.adapter, settings);
    ASSERT_EQ(secs.has_value(), c.secs.has_value());
    if (secs) {
        EXPECT_DOUBLE_EQ(*secs, *c.secs);
    }
    EXPECT_EQ(shutdown_due(secs), c.due);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EstimateSecsUntilShutdown,
    testing::Values(
        // Exactly at the level: 50,000,000 × 5 % is 2,500,000.
        EstimateCase{.name = "AtLevel", .secs = 0.0, .due = true},
        EstimateCase{.name = "OneAboveLevel", .now_value = 2500001.0, .secs = 0.003},
        EstimateCase{.name = "BelowLevel", .now_value = 1000.0, .secs = 0.0, .due = true},
        // 1e7 × 5e6 ÷ 1e10 × 3600.
        EstimateCase{.name = "WellAbove", .now_value = 7500000.0, .draw = 1e10, .secs = 18000000.0},
        // Only exactly "Connected" holds the shutdown off.
        EstimateCase{.name = "ConnectedHolds", .adapter = AcStatus::connected, .secs = 1.0},
        EstimateCase{.name = "SlowDoesNotHold", .adapter = AcStatus::connected_slow, .secs = 0.0, .due = true},
        EstimateCase{.name = "NoAdapterDoesNotHold", .adapter = std::nullopt, .secs = 0.0, .due = true},
        // Thresholds beyond any charge, and below any.
        EstimateCase{.name = "AboveFull", .percent_setting = 150.0, .now_value = 50000000.0, .secs = 0.0,
                     .due = true},
        EstimateCase{.name = "AboveFullConnected", .percent_setting = 150.0, .now_value = 50000000.0,
                     .adapter = AcStatus::connected, .secs = 1.0},
        EstimateCase{.name = "NegativeLevelEmpty", .percent_setting = -1.0, .now_value = 0.0, .draw = 1e10,
                     .secs = 1800000.0},
        EstimateCase{.name = "NaNLevel", .percent_setting = nan, .now_value = 50000000.0, .secs = 0.0,
                     .due = true},
        // No draw: never, not now.
        EstimateCase{.name = "NoDraw", .now_value = 3000000.0, .draw = 0.0, .secs = inf},
        // A design voltage of 0 must not read as "shut down now" at a full charge.
        EstimateCase{.name = "ZeroDesignVoltage", .now_value = 50000000.0, .voltage_min_design = 0.0,
                     .secs = std::nullopt},
        EstimateCase{.name = "ZeroDesignVoltageAtLevel", .voltage_min_design = 0.0, .secs = 0.0, .due = true},
        // Nothing to go on: no estimate and no shutdown, even at the level.
        EstimateCase{.name = "PercentUnknown", .percent_known = false, .secs = std::nullopt},
        // Without a voltage there is no time to go above the level, yet the
        // level itself is known from the charge alone.
        EstimateCase{.name = "NoVoltageNowAbove", .now_value = 2500001.0, .voltage_now = std::nullopt,
                     .draw = std::nullopt, .secs = std::nullopt},
        EstimateCase{.name = "NoDesignVoltageAbove", .now_value = 2500001.0, .voltage_min_design = std::nullopt,
                     .secs = std::nullopt},
        EstimateCase{.name = "NoVoltageNowAtLevel", .voltage_now = std::nullopt, .draw = std::nullopt, .secs = 0.0,
                     .due = true},
        EstimateCase{.name = "NoDesignVoltageBelow", .now_value = 0.0, .voltage_min_design = std::nullopt,
                     .secs = 0.0, .due = true},
        EstimateCase{.name = "NoVoltagesConnected", .adapter = AcStatus::connected, .voltage_min_design = std::nullopt,
                     .voltage_now = std::nullopt, .draw = std::nullopt, .secs = 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShutdownDue, OnlyAnExactZero) {
    EXPECT_TRUE(shutdown_due(0.0));
    EXPECT_TRUE(shutdown_due(-0.0));
    for (const std::optional<double> secs : {std::optional<double>{}, std::optional<double>{1.0},
                                             std::optional<double>{nan}, std::optional<double>{inf},
                                             std::optional<double>{std::numeric_limits<double>::denorm_min()},
                                             std::optional<double>{-1.0}}) {
        EXPECT_FALSE(shutdown_due(secs)) << secs.value_or(-99);
    }
}

}  // namespace
}  // namespace kestro
