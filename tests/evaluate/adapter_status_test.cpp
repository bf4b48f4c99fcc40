#include "evaluate/adapter_status.hpp"
#include "evaluate/charge.hpp"

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace kestro {
namespace {

using enum AcStatus;
using Kernel = KernelBatteryStatus;
using Battery = BatteryStatus;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::optional<AcStatus> no_adapter = std::nullopt;
constexpr std::optional<Battery> no_battery = std::nullopt;

// ---------------------------------------------------------------- first stage

struct RegisterCase {
    const char* name;
    std::optional<bool> online;
    std::optional<Kernel> kernel;
    std::optional<AcStatus> previous;
    std::optional<AcStatus> reference_before;
    std::uint64_t changed_at_before;
    std::optional<AcStatus> raw;
    std::optional<AcStatus> reference_after;
    std::uint64_t changed_at_after;
};

void PrintTo(const RegisterCase& c, std::ostream* out) { *out << c.name; }

class RegisterAdapterStatus : public testing::TestWithParam<RegisterCase> {};

TEST_P(RegisterAdapterStatus, DecidesRawStatusAndTracksChanges) {
    const RegisterCase& c = GetParam();
    AdapterTracking tracking{c.previous, c.reference_before, c.changed_at_before};
    EXPECT_EQ(register_adapter_status(c.online, c.kernel, 40, tracking), c.raw);
    EXPECT_EQ(tracking.reference, c.reference_after);
    EXPECT_EQ(tracking.changed_at, c.changed_at_after);
    EXPECT_EQ(tracking.previous, c.previous) << "the second stage keeps the previous status";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterAdapterStatus,
    testing::Values(
        // The online file decides whatever the battery says.
        RegisterCase{"OnlineIsConnected", true, Kernel::discharging, connected, connected, 3, connected, connected, 3},
        RegisterCase{"OfflineIsDisconnected", false, Kernel::charging, disconnected, connected, 3, disconnected,
                     connected, 3},
        // The slow state lives in the previous final status, and only there.
        RegisterCase{"SlowStatePersists", true, std::nullopt, connected_slow, connected, 3, connected_slow,
                     connected, 3},
        RegisterCase{"SwitchBackIsNoChange", true, std::nullopt, connected, connected, 3, connected, connected, 3},
        RegisterCase{"SlowNotRememberedThroughUnplug", true, std::nullopt, disconnected, connected_slow, 3,
                     connected, disconnected, 40},
        RegisterCase{"UnplugWhileSlow", false, std::nullopt, connected_slow, connected, 3, disconnected,
                     connected_slow, 40},
        // Without the online file the battery's word stands in.
        RegisterCase{"NoOnlineFull", std::nullopt, Kernel::full, connected, connected, 3, connected, connected, 3},
        RegisterCase{"NoOnlineCharging", std::nullopt, Kernel::charging, connected, connected, 3, connected,
                     connected, 3},
        RegisterCase{"NoOnlineNotChargingSlow", std::nullopt, Kernel::not_charging, connected_slow, connected, 3,
                     connected_slow, connected, 3},
        RegisterCase{"NoOnlineDischarging", std::nullopt, Kernel::discharging, connected, connected, 3,
                     disconnected, connected, 40},
        RegisterCase{"NoOnlineOtherText", std::nullopt, Kernel::other, connected, connected, 3, no_adapter,
                     connected, 40},
        RegisterCase{"NothingReadable", std::nullopt, std::nullopt, disconnected, connected, 3, no_adapter,
                     disconnected, 40},
        // The first status ever seen is registered against itself.
        RegisterCase{"FirstStatus", true, std::nullopt, no_adapter, no_adapter, 0, connected, connected, 40},
        // Coming back from none, the reference is the new status.
        RegisterCase{"BackFromNone", false, std::nullopt, no_adapter, connected, 3, disconnected, disconnected,
                     40},
        // None equals none: without a reference the count restarts every cycle.
        RegisterCase{"NoneWithoutReference", std::nullopt, std::nullopt, no_adapter, no_adapter, 7, no_adapter,
                     no_adapter, 40},
        RegisterCase{"NoneWithReference", std::nullopt, Kernel::other, no_adapter, connected, 7, no_adapter,
                     connected, 7},
        // A status equal to the previous one but without reference is registered.
        RegisterCase{"EqualWithoutReference", true, std::nullopt, connected, no_adapter, 7, connected, connected,
                     40}),
    [](const auto& info) { return std::string(info.param.name); });

// --------------------------------------------------------------- second stage

// One cycle's inputs of the second stage. By default a settled, unchanged
// adapter (latest change long ago), a steady 50 % and no line due.
struct DecideCase {
    const char* name;
    std::optional<AcStatus> raw = connected;
    std::optional<Kernel> kernel = Kernel::charging;
    std::optional<double> percent = 50.0;
    std::optional<double> previous = 50.0;
    double average = 50.0;
    bool near_full = false;
    std::uint64_t cycle = 20;
    std::uint64_t changed_at = 1;
    std::optional<AcStatus> reference = connected;
    // Expected.
    std::optional<Battery> battery;
    std::optional<AcStatus> adapter;
    bool warning = false;
    AdapterLine line = AdapterLine::none;
};

ChargeEstimate estimate_for(const DecideCase& c) {
    ChargeEstimate estimate;
    estimate.percent = c.percent;
    estimate.previous_percent = c.previous;
    estimate.average = c.average;
    estimate.near_full = c.near_full;
    return estimate;
}

void PrintTo(const DecideCase& c, std::ostream* out) { *out << c.name; }

class DecideStatuses : public testing::TestWithParam<DecideCase> {};

TEST_P(DecideStatuses, FollowsTheRulesInOrder) {
    const DecideCase& c = GetParam();
    AdapterTracking tracking{std::nullopt, c.reference, c.changed_at};
    const StatusDecision decision = decide_statuses(c.raw, c.kernel, estimate_for(c), c.cycle, tracking);
    EXPECT_EQ(decision.statuses.battery, c.battery);
    EXPECT_EQ(decision.statuses.adapter, c.adapter);
    EXPECT_EQ(decision.discharging_warning, c.warning);
    EXPECT_EQ(decision.line, c.line);
}

INSTANTIATE_TEST_SUITE_P(
    BatteryRules, DecideStatuses,
    testing::Values(
        // The kernel's "Discharging" and "Full" come first, trend or not.
        DecideCase{.name = "DischargingTrusted", .kernel = Kernel::discharging, .percent = 60.0, .battery = Battery::discharging,
                   .adapter = connected_slow},
        DecideCase{.name = "FullTrustedWhileFalling", .kernel = Kernel::full, .percent = 40.0,
                   .battery = Battery::full, .adapter = connected},
        // "Charging" behind a connected adapter needs both percentages.
        DecideCase{.name = "ChargingWithoutPercent", .percent = std::nullopt, .battery = Battery::unknown,
                   .adapter = connected},
        DecideCase{.name = "ChargingInFirstCycle", .previous = std::nullopt, .cycle = 1, .changed_at = 1,
                   .battery = Battery::unknown, .adapter = connected},
        DecideCase{.name = "ChargingVerifiedRising", .raw = connected_slow, .percent = 51.0,
                   .battery = Battery::charging, .adapter = connected},
        DecideCase{.name = "ChargingAboveAverage", .percent = 49.0, .average = 48.0, .battery = Battery::charging,
                   .adapter = connected},
        DecideCase{.name = "ChargingButSteady", .battery = Battery::not_charging, .adapter = connected},
        DecideCase{.name = "ChargingButFalling", .percent = 49.0, .average = 50.0,
                   .battery = Battery::discharging, .adapter = connected_slow},
        DecideCase{.name = "ChargingButBelowAverage", .average = 51.0, .battery = Battery::discharging,
                   .adapter = connected_slow},
        DecideCase{.name = "ChargingNaNPercent", .percent = nan, .battery = Battery::discharging,
                   .adapter = connected_slow},
        // "Not charging": near full is full, even in the first cycle.
        DecideCase{.name = "NotChargingNearFullWithoutPrevious", .kernel = Kernel::not_charging, .percent = 95.0,
                   .previous = std::nullopt, .average = 95.0, .near_full = true, .battery = Battery::full,
                   .adapter = connected},
        DecideCase{.name = "NotChargingFirstCycle", .kernel = Kernel::not_charging, .previous = std::nullopt,
                   .battery = Battery::unknown, .adapter = connected},
        DecideCase{.name = "NotChargingVerified", .kernel = Kernel::not_charging, .battery = Battery::not_charging,
                   .adapter = connected},
        DecideCase{.name = "NotChargingRising", .raw = connected_slow, .kernel = Kernel::not_charging,
                   .percent = 50.5, .battery = Battery::charging, .adapter = connected},
        // Everything else follows the trend.
        DecideCase{.name = "DisconnectedClaimsCharging", .raw = disconnected, .percent = 49.0,
                   .battery = Battery::discharging, .adapter = disconnected},
        DecideCase{.name = "NoAdapterRising", .raw = no_adapter, .percent = 51.0, .battery = Battery::charging,
                   .adapter = no_adapter},
        DecideCase{.name = "DisconnectedNotCharging", .raw = disconnected, .kernel = Kernel::not_charging,
                   .battery = no_battery, .adapter = disconnected},
        DecideCase{.name = "UnknownTextSteady95", .kernel = Kernel::other, .percent = 95.0, .previous = 95.0,
                   .battery = Battery::full, .adapter = connected},
        DecideCase{.name = "UnknownTextSteady50", .kernel = Kernel::other, .battery = no_battery,
                   .adapter = connected},
        DecideCase{.name = "UnreadableSteadyAtFloor", .kernel = std::nullopt, .percent = 89.5, .previous = 89.5,
                   .battery = Battery::full, .adapter = connected},
        DecideCase{.name = "UnreadableSteadyBelowFloor", .kernel = std::nullopt, .percent = 89.49,
                   .previous = 89.49, .battery = no_battery, .adapter = connected},
        DecideCase{.name = "TrendWithoutPrevious", .kernel = Kernel::other, .percent = 92.0,
                   .previous = std::nullopt, .battery = Battery::full, .adapter = connected},
        DecideCase{.name = "TrendWithoutPercent", .kernel = Kernel::other, .percent = std::nullopt,
                   .previous = 95.0, .battery = no_battery, .adapter = connected},
        DecideCase{.name = "TrendNaN", .kernel = Kernel::other, .percent = nan, .battery = no_battery,
                   .adapter = connected},
        DecideCase{.name = "TrendFalling", .kernel = Kernel::other, .percent = 49.0,
                   .battery = Battery::discharging, .adapter = connected_slow}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    AdapterRules, DecideStatuses,
    testing::Values(
        // The switch into the slow state waits until the latest change is five cycles old.
        DecideCase{.name = "SlowNotBeforeFiveCycles", .kernel = Kernel::discharging, .cycle = 14,
                   .changed_at = 10, .battery = Battery::discharging, .adapter = connected},
        DecideCase{.name = "SlowAtFiveCycles", .kernel = Kernel::discharging, .cycle = 15, .changed_at = 10,
                   .reference = connected_slow, .battery = Battery::discharging, .adapter = connected_slow},
        DecideCase{.name = "ConnectedStaysWhileCharging", .percent = 51.0, .battery = Battery::charging,
                   .adapter = connected},
        DecideCase{.name = "ConnectedStaysWhenFull", .kernel = Kernel::full, .battery = Battery::full,
                   .adapter = connected},
        // And so does the way back.
        DecideCase{.name = "BackNotBeforeFiveCycles", .raw = connected_slow, .percent = 51.0, .cycle = 14,
                   .changed_at = 10, .battery = Battery::charging, .adapter = connected_slow},
        DecideCase{.name = "BackAtFiveCycles", .raw = connected_slow, .percent = 51.0, .cycle = 15,
                   .changed_at = 10, .battery = Battery::charging, .adapter = connected},
        DecideCase{.name = "SlowStaysWhenSteady", .raw = connected_slow, .battery = Battery::not_charging,
                   .adapter = connected_slow},
        DecideCase{.name = "SlowStaysWhenFull", .raw = connected_slow, .kernel = Kernel::full,
                   .battery = Battery::full, .adapter = connected_slow},
        DecideCase{.name = "DisconnectedStays", .raw = disconnected, .kernel = Kernel::discharging,
                   .battery = Battery::discharging, .adapter = disconnected},
        DecideCase{.name = "NoneStays", .raw = no_adapter, .kernel = Kernel::discharging,
                   .battery = Battery::discharging, .adapter = no_adapter}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    WarningAndLines, DecideStatuses,
    testing::Values(
        // The verification warns only in the fifth cycle after a change.
        DecideCase{.name = "WarningAtFive", .percent = 49.0, .cycle = 15, .changed_at = 10,
                   .battery = Battery::discharging, .adapter = connected_slow, .warning = true,
                   .line = AdapterLine::changed},
        DecideCase{.name = "NoWarningAtFour", .percent = 49.0, .cycle = 14, .changed_at = 10,
                   .battery = Battery::discharging, .adapter = connected},
        DecideCase{.name = "NoWarningAtSix", .percent = 49.0, .cycle = 16, .changed_at = 10,
                   .battery = Battery::discharging, .adapter = connected_slow},
        DecideCase{.name = "NoWarningFromKernelWord", .kernel = Kernel::discharging, .cycle = 15,
                   .changed_at = 10, .battery = Battery::discharging, .adapter = connected_slow,
                   .line = AdapterLine::changed},
        DecideCase{.name = "NoWarningWhenDisconnected", .raw = disconnected, .percent = 49.0, .cycle = 15,
                   .changed_at = 10, .reference = disconnected, .battery = Battery::discharging,
                   .adapter = disconnected},
        // Lines: none in cycle 1, the start in cycle 2, changes five cycles on.
        DecideCase{.name = "NothingInCycleOne", .kernel = Kernel::full, .cycle = 1, .changed_at = 1,
                   .battery = Battery::full, .adapter = connected},
        DecideCase{.name = "StartInCycleTwo", .kernel = Kernel::full, .cycle = 2, .changed_at = 1,
                   .battery = Battery::full, .adapter = connected, .line = AdapterLine::at_start},
        DecideCase{.name = "ChangeThatHolds", .raw = disconnected, .kernel = Kernel::discharging, .cycle = 105,
                   .changed_at = 100, .battery = Battery::discharging, .adapter = disconnected,
                   .line = AdapterLine::changed},
        DecideCase{.name = "ChangeNotYet", .raw = disconnected, .kernel = Kernel::discharging, .cycle = 104,
                   .changed_at = 100, .battery = Battery::discharging, .adapter = disconnected},
        DecideCase{.name = "ChangeUndone", .kernel = Kernel::full, .cycle = 105, .changed_at = 100,
                   .battery = Battery::full, .adapter = connected},
        DecideCase{.name = "ChangeToNone", .raw = no_adapter, .kernel = Kernel::full, .cycle = 105,
                   .changed_at = 100, .battery = Battery::full, .adapter = no_adapter,
                   .line = AdapterLine::changed},
        DecideCase{.name = "NoneToNone", .raw = no_adapter, .kernel = Kernel::full, .cycle = 105,
                   .changed_at = 100, .reference = no_adapter, .battery = Battery::full, .adapter = no_adapter}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- several cycles

// One cycle as the hardware shows it.
struct Hardware {
    std::optional<bool> online;
    std::optional<Kernel> kernel;
    double percent;
};

struct Outcome {
    std::uint64_t cycle;
    StatusDecision decision;
    std::optional<AcStatus> reference;
};

// Runs the two stages and the charge evaluation in the monitor loop's order,
// on a battery of 100 whose charge is the percentage.
class LoopDriver {
public:
    Outcome run_cycle(const Hardware& hardware) {
        ++cycle_;
        const auto raw = register_adapter_status(hardware.online, hardware.kernel, cycle_, tracking_);
        CycleReadings readings;
        readings.full_value = 100.0;
        readings.now_value = hardware.percent;
        const ChargeEstimate estimate = evaluate_charge(readings, 100.0, charge_);
        const StatusDecision decision = decide_statuses(raw, hardware.kernel, estimate, cycle_, tracking_);
        remember_charge(charge_, estimate);
        return {cycle_, decision, tracking_.reference};
    }

    const AdapterTracking& tracking() const { return tracking_; }

private:
    std::uint64_t cycle_ = 0;
    AdapterTracking tracking_;
    ChargeMemory charge_;
};

// A laptop whose battery charges while the adapter is plugged in and
// discharges while it is not.
class Laptop {
public:
    // Runs cycles up to and including last, the adapter plugged in or not.
    void run_until(std::uint64_t last, bool plugged) {
        while (outcomes_.size() < last) {
            percent_ += plugged ? step : -step;
            outcomes_.push_back(driver_.run_cycle(
                {plugged, plugged ? Kernel::charging : Kernel::discharging, percent_}));
        }
    }

    // The cycles that printed a status line, with the kind of line.
    std::vector<std::pair<std::uint64_t, AdapterLine>> lines() const {
        std::vector<std::pair<std::uint64_t, AdapterLine>> found;
        for (const Outcome& outcome : outcomes_) {
            if (outcome.decision.line != AdapterLine::none) {
                found.emplace_back(outcome.cycle, outcome.decision.line);
            }
        }
        return found;
    }

    const Outcome& cycle(std::uint64_t number) const { return outcomes_.at(number - 1); }

private:
    static constexpr double step = 0.1;
    double percent_ = 40.0;
    LoopDriver driver_;
    std::vector<Outcome> outcomes_;
};

using Lines = std::vector<std::pair<std::uint64_t, AdapterLine>>;

TEST(AdapterChanges, UnplugLeftUnpluggedIsAnnouncedFiveCyclesLater) {
    Laptop laptop;
    laptop.run_until(99, true);
    laptop.run_until(110, false);
    EXPECT_EQ(laptop.lines(), (Lines{{2, AdapterLine::at_start}, {105, AdapterLine::changed}}));
    const Outcome& announced = laptop.cycle(105);
    EXPECT_EQ(announced.reference, connected);
    EXPECT_EQ(announced.decision.statuses.adapter, disconnected);
    EXPECT_EQ(announced.decision.statuses.battery, Battery::discharging);
    EXPECT_EQ(laptop.cycle(100).decision.statuses.adapter, disconnected) << "published at once";
}

TEST(AdapterChanges, ReplugRestartsTheCount) {
    Laptop laptop;
    laptop.run_until(99, true);
    laptop.run_until(100, false);
    laptop.run_until(110, true);
    EXPECT_EQ(laptop.lines(), (Lines{{2, AdapterLine::at_start}, {106, AdapterLine::changed}}));
    const Outcome& announced = laptop.cycle(106);
    EXPECT_EQ(announced.reference, disconnected);
    EXPECT_EQ(announced.decision.statuses.adapter, connected);
    EXPECT_EQ(announced.decision.statuses.battery, Battery::charging);
}

TEST(AdapterChanges, UnplugNeverAnnouncedWhenReplugFollows) {
    Laptop laptop;
    laptop.run_until(99, true);
    laptop.run_until(102, false);
    laptop.run_until(112, true);
    EXPECT_EQ(laptop.lines(), (Lines{{2, AdapterLine::at_start}, {108, AdapterLine::changed}}));
    EXPECT_EQ(laptop.cycle(108).reference, disconnected);
    EXPECT_EQ(laptop.cycle(108).decision.statuses.adapter, connected);
}

TEST(SlowAdapter, FallingChargeBehindOnlineAdapterTurnsSlowInCycleSix) {
    LoopDriver driver;
    for (std::uint64_t cycle = 1; cycle <= 10; ++cycle) {
        const double percent = 80.0 - static_cast<double>(cycle);
        const Outcome outcome = driver.run_cycle({true, Kernel::charging, percent});
        const Statuses& statuses = outcome.decision.statuses;
        SCOPED_TRACE(cycle);
        EXPECT_EQ(statuses.battery, cycle == 1 ? Battery::unknown : Battery::discharging);
        EXPECT_EQ(statuses.adapter, cycle < 6 ? connected : connected_slow);
        EXPECT_EQ(outcome.decision.discharging_warning, cycle == 6);
        const AdapterLine line = cycle == 2 ? AdapterLine::at_start
                                 : cycle == 6 ? AdapterLine::changed
                                              : AdapterLine::none;
        EXPECT_EQ(outcome.decision.line, line);
        EXPECT_EQ(outcome.reference, connected);
    }
}

// The slow state holds for as long as the battery discharges and ends when
// it charges, without flapping and without counting as adapter changes.
TEST(SlowAdapter, PersistsThroughALongDischargeAndEndsWhenCharging) {
    LoopDriver driver;
    double percent = 70.0;
    for (std::uint64_t cycle = 1; cycle <= 45; ++cycle) {
        const bool discharging = cycle <= 30;
        percent += discharging ? -0.2 : 0.2;
        const Outcome outcome =
            driver.run_cycle({true, discharging ? Kernel::discharging : Kernel::charging, percent});
        SCOPED_TRACE(cycle);
        const std::optional<AcStatus> expected = cycle < 6 || cycle > 30 ? connected : connected_slow;
        EXPECT_EQ(outcome.decision.statuses.adapter, expected);
        EXPECT_EQ(outcome.decision.statuses.battery, discharging ? Battery::discharging : Battery::charging);
        EXPECT_FALSE(outcome.decision.discharging_warning);
        const AdapterLine line = cycle == 2 ? AdapterLine::at_start
                                 : cycle == 6 ? AdapterLine::changed
                                              : AdapterLine::none;
        EXPECT_EQ(outcome.decision.line, line);
        EXPECT_EQ(driver.tracking().changed_at, 1u) << "switches are not changes";
        EXPECT_EQ(driver.tracking().reference, connected);
    }
}

// ------------------------------------------------------------------- printing

TEST(ChargeTextLimits, LargestPercentFits) {
    ChargeEstimate estimate;
    estimate.percent = std::numeric_limits<double>::max();
    const std::string text(charge_text(estimate).view());
    EXPECT_EQ(text.size(), 309u + 3u + 1u);
    EXPECT_EQ(text.substr(text.size() - 4), ".00%");
}

// What evaluate_statuses prints for one cycle.
std::string printed_by(std::optional<AcStatus> raw, std::optional<Kernel> kernel, const ChargeEstimate& estimate,
                       double pd_power, std::uint64_t cycle, AdapterTracking tracking, Statuses& statuses) {
    testing::internal::CaptureStdout();
    statuses = evaluate_statuses(raw, kernel, estimate, pd_power, cycle, tracking);
    return testing::internal::GetCapturedStdout();
}

struct StartLineCase {
    std::optional<AcStatus> raw;
    std::optional<Kernel> kernel;
    std::optional<double> percent;
    double pd_power;
    std::string line;
};

class StartLine : public testing::TestWithParam<StartLineCase> {};

TEST_P(StartLine, ReportsTheStatusInCycleTwo) {
    const StartLineCase& c = GetParam();
    ChargeEstimate estimate;
    estimate.percent = c.percent;
    estimate.previous_percent = 50.0;
    estimate.average = 50.0;
    Statuses statuses;
    EXPECT_EQ(printed_by(c.raw, c.kernel, estimate, c.pd_power, 2, {std::nullopt, c.raw, 1}, statuses),
              c.line + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartLine,
    testing::Values(
        StartLineCase{connected, Kernel::charging, 400.0 / 7.0, 45.0,
                      "Info: AC Adapter status at start: 'Connected' at 45W, battery 57.14%, status: 'Charging'"},
        StartLineCase{connected_slow, Kernel::full, 50.0, 27.5,
                      "Info: AC Adapter status at start: 'Connected slow' at 27.5W, battery 50.00%, status: 'Full'"},
        StartLineCase{connected, Kernel::charging, 400.0 / 7.0, 0.0,
                      "Info: AC Adapter status at start: 'Connected', battery 57.14%, status: 'Charging'"},
        StartLineCase{connected, Kernel::charging, 400.0 / 7.0, nan,
                      "Info: AC Adapter status at start: 'Connected', battery 57.14%, status: 'Charging'"},
        StartLineCase{disconnected, Kernel::discharging, 40.0, 45.0,
                      "Info: AC Adapter status at start: 'Disconnected', battery 40.00%, status: 'Discharging'"},
        StartLineCase{std::nullopt, Kernel::other, std::nullopt, 45.0,
                      "Info: AC Adapter status at start: 'None', battery unknown, status: 'None'"},
        StartLineCase{std::nullopt, std::nullopt, -3.0, 0.0,
                      "Info: AC Adapter status at start: 'None', battery unknown, status: 'Discharging'"}));

TEST(StatusLines, WarningComesBeforeTheChangeLine) {
    ChargeEstimate estimate;
    estimate.percent = 49.0;
    estimate.previous_percent = 50.0;
    estimate.average = 50.0;
    Statuses statuses;
    EXPECT_EQ(printed_by(connected, Kernel::charging, estimate, 20.0, 6, {std::nullopt, connected, 1},
                         statuses),
              "Warning: AC Adapter connected but battery is actually discharging\n"
              "Info: AC Adapter status changed 'Connected'->'Connected slow' at 20W, battery 49.00%, "
              "status: 'Discharging'\n");
    EXPECT_EQ(statuses.adapter, connected_slow);
    EXPECT_EQ(statuses.battery, Battery::discharging);
}

TEST(StatusLines, ChangeLineWithoutPowerWhenDisconnected) {
    ChargeEstimate estimate;
    estimate.percent = 49.5;
    estimate.previous_percent = 50.0;
    estimate.average = 50.0;
    Statuses statuses;
    EXPECT_EQ(printed_by(disconnected, Kernel::discharging, estimate, 45.0, 105,
                         {std::nullopt, connected, 100}, statuses),
              "Info: AC Adapter status changed 'Connected'->'Disconnected', battery 49.50%, "
              "status: 'Discharging'\n");
}

TEST(StatusLines, QuietCyclePrintsNothing) {
    ChargeEstimate estimate;
    Statuses statuses;
    EXPECT_EQ(printed_by(connected, Kernel::full, estimate, 45.0, 50, {std::nullopt, connected, 1},
                         statuses),
              "");
    EXPECT_EQ(statuses.battery, Battery::full);
    EXPECT_EQ(statuses.adapter, connected);
}

}  // namespace
}  // namespace kestro
