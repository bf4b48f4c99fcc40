#include "evaluate/shutdown.hpp"

#include <limits>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "base/fatal.hpp"
#include "base/pause.hpp"

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

// ---------------------------------------------------------- the sequence

struct SequenceRun {
    std::string output;
    std::optional<FatalError> error;
};

// Runs the sequence with a harmless command in place of poweroff.
SequenceRun run_sequence(double percent, double timeout, const char* command) {
    Settings settings;
    settings.request_shutdown_battery_percent = percent;
    settings.force_shutdown_timeout_secs = timeout;
    SequenceRun run;
    testing::internal::CaptureStdout();
    try {
        [[maybe_unused]] const ShutdownCompleted completed = run_shutdown_sequence_with(settings, command);
    } catch (const FatalError& error) {
        run.error = error;
    }
    run.output = testing::internal::GetCapturedStdout();
    return run;
}

TEST(ShutdownSequence, AnnouncesWaitsAndRunsTheCommand) {
    const SequenceRun run = run_sequence(0.49999998, 0.0, "true");
    EXPECT_FALSE(run.error.has_value());
    EXPECT_EQ(run.output, "Reached 0.49999998% battery.\nForcing shutdown in 0 seconds.\nShutting down now.\n");
}

TEST(ShutdownSequence, FailingCommandIsFatal) {
    const SequenceRun run = run_sequence(5.0, 0.0, "false");
    ASSERT_TRUE(run.error.has_value());
    EXPECT_EQ(run.error->message, "false: exit status: 1");
    EXPECT_EQ(run.error->detail, "");
    EXPECT_EQ(run.output, "Reached 5% battery.\nForcing shutdown in 0 seconds.\nShutting down now.\n");
}

TEST(ShutdownSequence, MissingCommandIsFatal) {
    const SequenceRun run = run_sequence(5.0, 0.0, "kestro-test-no-such-command");
    ASSERT_TRUE(run.error.has_value());
    EXPECT_EQ(run.error->message, "kestro-test-no-such-command: No such file or directory (os error 2)");
}

TEST(ShutdownSequence, UnconvertibleTimeoutAbortsAfterTheAnnouncement) {
    const SequenceRun negative = run_sequence(5.0, -1.0, "false");
    ASSERT_TRUE(negative.error.has_value());
    EXPECT_EQ(negative.error->message, wait_duration_from_secs(-1.0).error().text().view());
    EXPECT_EQ(negative.output, "Reached 5% battery.\nForcing shutdown in -1 seconds.\n");

    const SequenceRun not_a_number = run_sequence(5.0, nan, "false");
    ASSERT_TRUE(not_a_number.error.has_value());
    EXPECT_EQ(not_a_number.error->message, wait_duration_from_secs(nan).error().text().view());
    EXPECT_EQ(not_a_number.output, "Reached 5% battery.\nForcing shutdown in NaN seconds.\n");
}

}  // namespace
}  // namespace kestro
