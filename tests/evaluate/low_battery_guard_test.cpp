#include "evaluate/low_battery_guard.hpp"

#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace kestro {
namespace {

// A machine of 100 units with a design voltage of 1 and a draw of 36 units
// an hour: the draw explains a fall of 0.01 a second, the margin is 0.5.
// A step: awake and asleep seconds, the charge, the cycle's estimate,
// whether the voltage agrees, and the estimate expected.
struct Step {
    long awake, asleep;
    double now;
    std::optional<double> secs;
    bool volts;
    std::optional<double> expected;
};

struct GuardCase {
    const char* name;
    std::vector<Step> trace;
};

class GuardTrace : public testing::TestWithParam<GuardCase> {};

TEST_P(GuardTrace, ConfirmsOnlyWhatHolds) {
    LowBatteryGuard guard;
    int number = 0;
    for (const Step& step : GetParam().trace) {
        CycleReadings machine;
        machine.full_value = 100.0;
        machine.now_value = step.now;
        machine.voltage_min_design = 1.0;
        const std::optional<double> secs = guard.confirm({.awake = std::chrono::seconds(step.awake),
                                                          .asleep = std::chrono::seconds(step.asleep),
                                                          .secs = step.secs,
                                                          .machine = &machine,
                                                          .draw = 36.0,
                                                          .voltage_agrees = step.volts});
        EXPECT_EQ(secs, step.expected) << "step " << ++number;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Traces, GuardTrace,
    testing::Values(
        GuardCase{"SlowDischargeWithAMissedReading",
                  {{0, 0, 1, 90, false, 90}, {40, 0, 0.49, 0, false, 4}, {41, 0, 0.48, 0, false, 3},
                   {42, 0, 0.47, std::nullopt, false, std::nullopt}, {43, 0, 0.46, 0, false, 2},
                   {44, 0, 0.45, 0, false, 1}, {45, 0, 0.44, 0, false, 0}}},
        GuardCase{"CliffWithoutVoltagesHoldsAMinute",
                  {{40, 0, 20, 500, false, 500}, {41, 0, 0, 0, false, 60}, {46, 0, 0, 0, false, 55},
                   {47, 0, 0, 0, false, 54}, {100, 0, 0, 0, false, 1}, {101, 0, 0, 0, false, 0}}},
        GuardCase{"ResumeWithTheVoltage", {{40, 0, 30, 900, false, 900}, {41, 100, 0, 0, true, 4},
                                           {42, 100, 0, 0, true, 3}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestro
