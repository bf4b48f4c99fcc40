#include "evaluate/charge.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "evaluate/combined_battery.hpp"

namespace kestro {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int32_t int32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32_min = std::numeric_limits<std::int32_t>::min();

CycleReadings capacity(std::optional<double> full, std::optional<double> now) {
    CycleReadings readings;
    readings.full_value = full;
    readings.now_value = now;
    return readings;
}

CycleReadings with_power(std::optional<double> full, std::optional<double> now, double rate,
                         std::optional<double> voltage_min_design, std::optional<double> voltage_now) {
    CycleReadings readings = capacity(full, now);
    readings.rate_reading = rate;
    readings.voltage_min_design = voltage_min_design;
    readings.voltage_now = voltage_now;
    return readings;
}

ChargeHistory history_of(double value) {
    ChargeHistory history;
    history.fill(value);
    return history;
}

// --- rounding ---------------------------------------------------------------

struct RoundCase {
    double percent;
    std::int32_t rounded;
};

class RoundPercent : public testing::TestWithParam<RoundCase> {};

TEST_P(RoundPercent, HalvesAwayFromZeroSaturating) {
    EXPECT_EQ(round_percent(GetParam().percent), GetParam().rounded) << GetParam().percent;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundPercent,
    testing::Values(RoundCase{20.5, 21}, RoundCase{24.5, 25}, RoundCase{24.4, 24}, RoundCase{24.6, 25},
                    RoundCase{-0.5, -1}, RoundCase{0.49999999999999994, 0}, RoundCase{100.0, 100},
                    RoundCase{nan, 0}, RoundCase{inf, int32_max}, RoundCase{-inf, int32_min},
                    RoundCase{1e300, int32_max}, RoundCase{-1e300, int32_min},
                    RoundCase{2147483647.5, int32_max}, RoundCase{-2147483648.4, int32_min}));

// --- progress line decision -------------------------------------------------

struct ProgressCase {
    std::int32_t previous;
    std::int32_t current;
    std::optional<ChargeTrend> trend;  // none: no line
};

class ProgressReportRule : public testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressReportRule, ReportsStepsOfFiveAndEveryStepAtOrBelowTwenty) {
    const ProgressCase& c = GetParam();
    const auto report = progress_report(c.current, c.previous);
    ASSERT_EQ(report.has_value(), c.trend.has_value()) << c.previous << " -> " << c.current;
    if (report) {
        EXPECT_EQ(report->current, c.current);
        EXPECT_EQ(report->trend, *c.trend);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProgressReportRule,
    testing::Values(ProgressCase{24, 25, ChargeTrend::rising}, ProgressCase{26, 24, std::nullopt},
                    ProgressCase{21, 20, ChargeTrend::falling}, ProgressCase{6, 5, ChargeTrend::falling},
                    ProgressCase{100, 95, ChargeTrend::falling}, ProgressCase{19, 20, ChargeTrend::rising},
                    ProgressCase{0, 1, ChargeTrend::rising}, ProgressCase{22, 23, std::nullopt},
                    ProgressCase{25, 25, std::nullopt}, ProgressCase{-1, 50, std::nullopt},
                    ProgressCase{50, -1, std::nullopt}, ProgressCase{101, 100, ChargeTrend::falling},
                    ProgressCase{99, 101, std::nullopt}));

// --- evaluation -------------------------------------------------------------

TEST(EvaluateCharge, PercentIsTheQuotientTimesHundredUnclamped) {
    ChargeMemory memory;
    EXPECT_EQ(evaluate_charge(capacity(90000, 45000), 100, memory).percent, 50.0);

    memory = ChargeMemory{};
    EXPECT_EQ(evaluate_charge(capacity(90000, 91000), 100, memory).percent, 91000.0 / 90000.0 * 100);

    // The two orders differ for 1 of 7; the quotient comes first.
    ASSERT_NE(1.0 / 7.0 * 100, 1.0 * 100 / 7.0);
    memory = ChargeMemory{};
    const ChargeEstimate estimate = evaluate_charge(capacity(7, 1), 100, memory);
    EXPECT_TRUE(estimate.percent.has_value());
    EXPECT_EQ(estimate.percent, 1.0 / 7.0 * 100);
}

struct UnknownCase {
    const char* label;
    std::optional<double> full;
    std::optional<double> now;
};

class UnknownPercent : public testing::TestWithParam<UnknownCase> {};

// A failed capacity read, and a full capacity of 0 (an infinite or NaN
// quotient), say nothing about the charge.
TEST_P(UnknownPercent, LeavesHistoryAndEstimateEmpty) {
    CycleReadings readings = with_power(GetParam().full, GetParam().now, 1.5e6, 11.4e6, 12.1e6);
    ChargeMemory memory;
    memory.history[0] = 30.0;
    const ChargeHistory before = memory.history;

    ChargeEstimate estimate = evaluate_charge(readings, 100, memory);
    EXPECT_FALSE(estimate.percent.has_value());
    EXPECT_FALSE(estimate.near_full);
    EXPECT_EQ(memory.history, before);
    EXPECT_DOUBLE_EQ(estimate.average, (30.0 - 8) / 9);  // the -1.0 entries count as they are

    estimate_secs_until_full(estimate, readings, 100);
    EXPECT_EQ(estimate.secs_until_full, std::nullopt);
    EXPECT_EQ(charge_text(estimate).view(), "unknown");
}

INSTANTIATE_TEST_SUITE_P(
    Readings, UnknownPercent,
    testing::Values(UnknownCase{"FullUnread", std::nullopt, 45000.0}, UnknownCase{"NowUnread", 90000.0, std::nullopt},
                    UnknownCase{"FullZero", 0.0, 45000.0}, UnknownCase{"FullAndNowZero", 0.0, 0.0}),
    [](const auto& info) { return info.param.label; });

TEST(EvaluateCharge, FirstKnownCycleFillsTheHistory) {
    ChargeMemory memory;
    const ChargeEstimate estimate = evaluate_charge(capacity(70000, 40000), 100, memory);
    EXPECT_DOUBLE_EQ(estimate.average, *estimate.percent);
    remember_charge(memory, estimate);
    EXPECT_EQ(memory.history, history_of(*estimate.percent));
}

TEST(EvaluateCharge, UnknownCycleDoesNotLowerTheAverageLater) {
    ChargeMemory memory;
    ChargeEstimate estimate = evaluate_charge(capacity(100, 50), 100, memory);
    remember_charge(memory, estimate);
    estimate = evaluate_charge(capacity(std::nullopt, 50), 100, memory);
    remember_charge(memory, estimate);
    ASSERT_EQ(memory.history[0], missing_charge);

    estimate = evaluate_charge(capacity(100, 41), 100, memory);
    EXPECT_DOUBLE_EQ(estimate.average, (41.0 + 8 * 50.0) / 9);
}

TEST(EvaluateCharge, AverageAddsNewestToOldest) {
    // Unknown percentage, so the entries are used as they are. Newest first:
    // 7 + 1e16 rounds to 1e16 + 8, minus 1e16 leaves 8; oldest first gives 7.
    ChargeMemory memory{{1, 1, 1, 1, 1, 1, 1, 1e16, -1e16}, std::nullopt};
    const ChargeEstimate estimate = evaluate_charge(capacity(std::nullopt, std::nullopt), 100, memory);
    EXPECT_EQ(estimate.average, 8.0 / 9);
}

struct NearFullCase {
    double now;  // of a full capacity of 10
    double max_charge_level;
    bool near_full;
};

class NearFull : public testing::TestWithParam<NearFullCase> {};

TEST_P(NearFull, StrictlyAboveNineTenthsOfTheCap) {
    ChargeMemory memory;
    const ChargeEstimate estimate = evaluate_charge(capacity(10, GetParam().now), GetParam().max_charge_level, memory);
    EXPECT_EQ(estimate.near_full, GetParam().near_full) << estimate.percent.value_or(nan);
}

INSTANTIATE_TEST_SUITE_P(Cases, NearFull,
                         testing::Values(NearFullCase{9, 100, false},  // exactly 90 = 100 × 0.9
                                         NearFullCase{std::nextafter(9.0, 10.0), 100, true},
                                         NearFullCase{7.2, 80, false}, NearFullCase{7.3, 80, true},
                                         NearFullCase{11, 100, true}, NearFullCase{0, 0, false}));

TEST(EvaluateCharge, DrawNeedsVoltageNow) {
    ChargeMemory memory;
    EXPECT_EQ(evaluate_charge(with_power(90000, 45000, 1.5e6, 11.4e6, 12.1e6), 100, memory).draw, 1.5e6 * 12.1e6);
    EXPECT_EQ(evaluate_charge(with_power(90000, 45000, 1.5e6, 11.4e6, std::nullopt), 100, memory).draw, std::nullopt);
}

// --- seconds until full -----------------------------------------------------

struct SecsCase {
    const char* label;
    CycleReadings readings;
    double max_charge_level;
    std::optional<double> secs;
};

class SecsUntilFull : public testing::TestWithParam<SecsCase> {};

TEST_P(SecsUntilFull, EstimatesInTheFixedOrder) {
    const SecsCase& c = GetParam();
    ChargeMemory memory;
    ChargeEstimate estimate = evaluate_charge(c.readings, c.max_charge_level, memory);
    estimate_secs_until_full(estimate, c.readings, c.max_charge_level);
    EXPECT_EQ(estimate.secs_until_full, c.secs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecsUntilFull,
    testing::Values(
        // target 0.8 × 51234; every other order of the operations gives a different last digit
        SecsCase{"ToGo", with_power(51234, 1234, 1.5e6, 11.4e6, 8.3e6), 80, 131.0418737349398},
        SecsCase{"AtTarget", with_power(90000, 90000, 1.5e6, 11.4e6, 12.1e6), 100, 0.0},
        SecsCase{"AboveCappedTarget", with_power(90000, 80000, 1.5e6, 11.4e6, 12.1e6), 80, 0.0},
        SecsCase{"AtTargetWithoutDraw", with_power(90000, 90000, 0, 11.4e6, 12.1e6), 100, 0.0},
        SecsCase{"NoDraw", with_power(90000, 45000, 0, 11.4e6, 12.1e6), 100, inf},
        SecsCase{"NoVoltageNow", with_power(90000, 45000, 1.5e6, 11.4e6, std::nullopt), 100, std::nullopt},
        SecsCase{"NoVoltageMinDesign", with_power(90000, 45000, 1.5e6, std::nullopt, 12.1e6), 100, std::nullopt},
        SecsCase{"FullZero", with_power(0, 45000, 1.5e6, 11.4e6, 12.1e6), 100, std::nullopt}),
    [](const auto& info) { return info.param.label; });

// --- report -----------------------------------------------------------------

TEST(PushChargeHistory, NewestFirstOldestDropped) {
    ChargeHistory history = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    ChargeEstimate estimate;
    estimate.percent = 10;
    push_charge_history(history, estimate);
    EXPECT_EQ(history, (ChargeHistory{10, 9, 8, 7, 6, 5, 4, 3, 2}));
    estimate.percent.reset();
    push_charge_history(history, estimate);
    EXPECT_EQ(history, (ChargeHistory{-1, 10, 9, 8, 7, 6, 5, 4, 3}));
}

struct DebugCase {
    bool debug_enabled;
    std::uint64_t cycle;
    std::optional<BatteryStatus> status;
    bool due;
};

class DebugLineDue : public testing::TestWithParam<DebugCase> {};

TEST_P(DebugLineDue, EveryTenthCycleWhileNotCharging) {
    const DebugCase& c = GetParam();
    EXPECT_EQ(charge_debug_line_due(c.debug_enabled, c.cycle, c.status), c.due);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DebugLineDue,
    testing::Values(DebugCase{true, 10, BatteryStatus::discharging, true},
                    DebugCase{true, 20, BatteryStatus::not_charging, true},
                    DebugCase{false, 10, BatteryStatus::discharging, false},
                    DebugCase{true, 15, BatteryStatus::discharging, false},
                    DebugCase{true, 1, BatteryStatus::discharging, false},
                    DebugCase{true, 10, BatteryStatus::charging, false},
                    DebugCase{true, 10, BatteryStatus::full, false},
                    DebugCase{true, 10, BatteryStatus::unknown, false},
                    DebugCase{true, 10, std::nullopt, false}));

struct ReportCase {
    const char* label;
    std::optional<double> previous;  // none: unknown in the previous cycle
    std::optional<double> current;
    std::uint64_t cycle;
    std::string output;
};

class ReportCharge : public testing::TestWithParam<ReportCase> {};

TEST_P(ReportCharge, PrintsTheLines) {
    const ReportCase& c = GetParam();
    ChargeEstimate estimate;
    estimate.percent = c.current;
    estimate.previous_percent = c.previous;
    estimate.average = 57.2;

    testing::internal::CaptureStdout();
    report_charge(estimate, c.cycle, BatteryStatus::discharging, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReportCharge,
    testing::Values(ReportCase{"RisingToAStep", 24.4, 24.6, 1, "Info: Battery charge: 25% (+)\n"},
                    ReportCase{"FallingBackIsQuiet", 24.6, 24.4, 1, ""},
                    ReportCase{"SingleDigitPadded", 6.0, 5.0, 1, "Info: Battery charge:  5% (-)\n"},
                    ReportCase{"ThreeDigits", 99.0, 100.0, 1, "Info: Battery charge: 100% (+)\n"},
                    ReportCase{"PreviousUnknown", std::nullopt, 20.0, 1, ""},
                    ReportCase{"CurrentUnknown", 20.0, std::nullopt, 1, ""},
                    ReportCase{"DebugLine", 400.0 / 7, 400.0 / 7, 10,
                               "DBG: battery charge: cur=57.143% avg=57.200%\n"},
                    ReportCase{"DebugLineUnknown", 57.0, std::nullopt, 20,
                               "DBG: battery charge: cur=-1.000% avg=57.200%\n"},
                    ReportCase{"BothLines", 21.0, 20.0, 30,
                               "Info: Battery charge: 20% (-)\nDBG: battery charge: cur=20.000% avg=57.200%\n"}),
    [](const auto& info) { return info.param.label; });

// A full capacity of 0 after a known cycle: no line, a gap in the history.
TEST(ReportChargeAfterZeroFull, CountsAsUnknown) {
    ChargeMemory memory{history_of(50.0), 50.0};
    const ChargeEstimate estimate = evaluate_charge(capacity(0, 0), 100, memory);

    testing::internal::CaptureStdout();
    report_charge(estimate, 5, BatteryStatus::discharging, true);
    remember_charge(memory, estimate);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(memory.history[0], missing_charge);
}

// --- display form -----------------------------------------------------------

struct TextCase {
    double percent;
    bool known;
    const char* text;
};

class ChargeText : public testing::TestWithParam<TextCase> {};

TEST_P(ChargeText, TwoDecimalsOrUnknown) {
    ChargeEstimate estimate;
    if (GetParam().known) {
        estimate.percent = GetParam().percent;
    }
    EXPECT_EQ(charge_text(estimate).view(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, ChargeText,
                         testing::Values(TextCase{400.0 / 7, true, "57.14%"}, TextCase{0, true, "0.00%"},
                                         TextCase{101.111, true, "101.11%"}, TextCase{57, false, "unknown"},
                                         TextCase{-0.5, true, "unknown"}, TextCase{nan, true, "unknown"}));

// --- several batteries --------------------------------------------------------

using Kernel = KernelBatteryStatus;

// A battery in charge and current units at 10 V design, 12 V now, or, with
// energy, in energy and power units.
// Beside it, its own charge limit.
struct Pack {
    BatteryReadings readings;
    double limit;
};

Pack pack(std::optional<double> full, std::optional<double> now, std::optional<double> rate,
          std::optional<Kernel> status, double limit = 100, bool energy = false, double design = 10e6) {
    return {{.uses_energy = energy, .uses_power = energy, .full_value = full, .now_value = now,
             .rate_reading = rate, .battery_status = status, .voltage_min_design = design, .voltage_now = 12e6},
            limit};
}

Pack without_voltages(Pack battery, bool keep_voltage_now) {
    battery.readings.voltage_min_design.reset();
    if (!keep_voltage_now) {
        battery.readings.voltage_now.reset();
    }
    return battery;
}

Pack absent(Pack battery) {
    battery.readings.present = false;
    return battery;
}

struct CombineCase {
    const char* label;
    std::vector<Pack> batteries;
    // Expected: full, now (µWh with several), rate, voltages known, status,
    // and the limit of several made of their own.
    std::optional<double> full;
    std::optional<double> now;
    double rate;
    bool voltages;
    std::optional<Kernel> status;
    double limit;
};

class CombineBatteries : public testing::TestWithParam<CombineCase> {};

TEST_P(CombineBatteries, SumsEnergyAndPowerOfThePresentBatteries) {
    const CombineCase& c = GetParam();
    MachineReadings machine;
    std::vector<double> levels;
    for (const Pack& battery : c.batteries) {
        machine.batteries[machine.battery_count++] = battery.readings;
        levels.push_back(battery.limit);
    }
    const CombinedReadings combined = combine_batteries(machine);
    EXPECT_EQ(combined.readings.full_value, c.full);
    EXPECT_EQ(combined.readings.now_value, c.now);
    EXPECT_EQ(combined.readings.rate_reading, c.rate);
    if (c.batteries.size() > 1) {
        EXPECT_EQ(combined.readings.voltage_now, c.voltages ? std::optional(1.0) : std::nullopt);
        EXPECT_EQ(combined.readings.voltage_min_design, combined.readings.voltage_now);
    }
    EXPECT_EQ(combined.readings.battery_status, c.status);
    if (c.batteries.size() > 1) {
        EXPECT_EQ(combined_limit(machine, levels), c.limit);
    }
}

const Kernel charging = Kernel::charging;
const Kernel discharging = Kernel::discharging;
const Kernel full = Kernel::full;
const Kernel resting = Kernel::not_charging;
const Kernel other = Kernel::other;

INSTANTIATE_TEST_SUITE_P(
    Rules, CombineBatteries,
    testing::Values(
        // One battery is the machine's as read, in its own units.
        CombineCase{"OneAsRead", {pack(5e6, 2.5e6, 1e6, discharging, 80)}, 5e6, 2.5e6, 1e6, true, discharging, 80},
        // 5 Ah at 10 V is 50 Wh, 1 A at 12 V is 12 W; energy and power as read.
        CombineCase{"ChargeAtDesignVoltageWithEnergy",
                    {pack(5e6, 1e6, 1e6, discharging), pack(40e6, 30e6, 5e6, other, 100, true)},
                    90e6, 40e6, 17e6, true, discharging, 100},
        CombineCase{"VoltageNowWithoutDesignVoltage",
                    {without_voltages(pack(5e6, 1e6, 1e6, charging), true), pack(5e6, 5e6, 0, full)},
                    110e6, 62e6, 12e6, true, charging, 100},
        CombineCase{"ChargingWinsOverDischarging",
                    {pack(1e6, 1e6, 0, discharging), pack(1e6, 1e6, 0, charging)}, 20e6, 20e6, 0, true,
                    charging, 100},
        CombineCase{"FullOnlyWhenAllAre", {pack(1e6, 1e6, 0, full), pack(1e6, 1e6, 0, full)}, 20e6, 20e6, 0,
                    true, full, 100},
        CombineCase{"FullAndIdleRest", {pack(1e6, 1e6, 0, full), pack(1e6, 1e6, 0, resting)}, 20e6, 20e6, 0,
                    true, resting, 100},
        CombineCase{"FullAndUnreadable", {pack(1e6, 1e6, 0, full), pack(1e6, 1e6, 0, {})}, 20e6, 20e6, 0, true,
                    other, 100},
        // 80 % of 60 Wh and 100 % of 40 Wh: 88 % of the machine's 100 Wh.
        CombineCase{"LimitWeightedByFullEnergy",
                    {pack(6e6, 1e6, 0, discharging, 80), pack(4e6, 1e6, 0, discharging)}, 100e6, 20e6, 0,
                    true, discharging, 88},
        // A capacity that cannot be had is left out; a power leaves the flow unknown.
        CombineCase{"UnknownCapacityLeftOut", {pack(1e6, {}, 1e6, discharging), pack(1e6, 1e6, 1e6, discharging)},
                    10e6, 10e6, 24e6, true, discharging, 100},
        // A gauge below 0 or above full counts as empty or full.
        CombineCase{"RemainingEnergyHeldWithinFull",
                    {pack(5e6, -32768000, 0, discharging), pack(5e6, 2.5e6, 0, discharging), pack(1e6, 2e6, 0, full)},
                    110e6, 35e6, 0, true, discharging, 100},
        // 1 V or less is no design voltage: voltage_now's 12 V.
        CombineCase{"DesignVoltageOfOneVoltIsNone",
                    {pack(1e6, 1e6, 0, full, 100, false, 1e6), pack(1e6, 1e6, 0, full, 100, false, 0)}, 24e6,
                    24e6, 0, true, full, 100},
        CombineCase{"UnknownPowerAndEnergy",
                    {without_voltages(pack(1e6, 1e6, 1e6, discharging, 50), false),
                     without_voltages(pack(1e6, 1e6, 1e6, full), false)},
                    {}, {}, 0, false, discharging, 75},
        // A battery that is out counts nowhere: the worn-out internal pack
        // near 0 % gone, the external one alone; then none at all.
        CombineCase{"GoneCountsNowhere",
                    {absent(pack(5e6, 0, 0, discharging, 60)), pack(5e6, 4e6, 1e6, charging)}, 50e6, 40e6,
                    12e6, true, charging, 100},
        CombineCase{"AllGone", {absent(pack(5e6, 0, 0, full)), absent(pack(5e6, 4e6, 1e6, full))}, {}, {}, 0,
                    false, {}, 100}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace kestro
