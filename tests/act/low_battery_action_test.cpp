#include "act/low_battery_action.hpp"

#include <limits>
#include <optional>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "base/fatal.hpp"

namespace kestro {
namespace {

using namespace std::chrono_literals;

// Clocks that read 100 s awake and 5 s asleep, and a record of every wait
// and command in place of them.
class RecordingSystem final : public ActionSystem {
public:
    ClockReading clocks{100s, 5s};
    std::expected<void, Error> poweroff_result{}, systemctl_result{};
    std::string calls;

    ClockReading read_clocks() override { return clocks; }
    void pause(WaitDuration duration) override { calls += "pause " + std::to_string(duration.seconds) + "; "; }
    std::expected<void, Error> run_command(const char* program) override {
        calls += std::string(program) + "; ";
        return poweroff_result;
    }
    std::expected<void, Error> run_bounded_command(const char* program, const char* argument,
                                                            std::chrono::seconds limit) override {
        calls += std::string(program) + " " + argument + " " + std::to_string(limit.count()) + "s; ";
        return systemctl_result;
    }
};

const std::unexpected<Error> exit_1{Error::reason_text("exit status: 1")};
const std::string hibernating = "Reached 5% battery.\nHibernating in 10 seconds.\nHibernating now.\n";
const std::string held_off = "Info: systemctl hibernate succeeded; held off for 60 seconds awake, or until "
                             "connected or charged above the level.\n";

struct ActCase {
    const char* name;
    CriticalAction action = CriticalAction::hibernate;
    double timeout = 10.0;
    std::optional<SleepHold> hold{};
    bool fails = false;  // the command: systemctl for a sleeping action, else poweroff
    // Expected: the lines, the waits and commands, the new hold or the fatal error.
    std::string output;
    std::string calls;
    std::optional<SleepHold> new_hold{};
    std::string fatal{};
};

void PrintTo(const ActCase& c, std::ostream* out) { *out << c.name; }

class LowBatteryAction : public testing::TestWithParam<ActCase> {};

TEST_P(LowBatteryAction, AnnouncesWaitsAndRuns) {
    const ActCase& c = GetParam();
    const Settings settings{5.0, c.timeout, c.action, {}};
    RecordingSystem system;
    (c.action == CriticalAction::poweroff ? system.poweroff_result : system.systemctl_result) =
        c.fails ? exit_1 : std::expected<void, Error>{};
    std::optional<SleepHold> new_hold;
    std::string fatal;
    testing::internal::CaptureStdout();
    try {
        const LowBatteryOutcome outcome = run_low_battery_action(settings, c.hold, system);
        if (const auto* hold = std::get_if<SleepHold>(&outcome)) {
            new_hold = *hold;
        }
    } catch (const FatalError& error) {
        fatal = error.message;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(system.calls, c.calls);
    EXPECT_EQ(fatal, c.fatal);
    ASSERT_EQ(new_hold.has_value(), c.new_hold.has_value());
    if (new_hold) {
        EXPECT_EQ(std::pair(new_hold->requested_at, new_hold->asleep_before),
                  std::pair(c.new_hold->requested_at, c.new_hold->asleep_before));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LowBatteryAction,
    testing::Values(
        ActCase{.name = "Poweroff", .action = CriticalAction::poweroff, .timeout = 0.0,
                .output = "Reached 5% battery.\nForcing shutdown in 0 seconds.\nShutting down now.\n",
                .calls = "pause 0; poweroff; "},
        ActCase{.name = "FailingPoweroffIsFatal", .action = CriticalAction::poweroff, .fails = true,
                .output = "Reached 5% battery.\nForcing shutdown in 10 seconds.\nShutting down now.\n",
                .calls = "pause 10; poweroff; ", .fatal = "poweroff: exit status: 1"},
        ActCase{.name = "UnconvertibleTimeoutAbortsAfterTheAnnouncement", .action = CriticalAction::poweroff,
                .timeout = std::numeric_limits<double>::quiet_NaN(),
                .output = "Reached 5% battery.\nForcing shutdown in NaN seconds.\n", .calls = "",
                .fatal = "cannot convert float seconds to Duration: value is either too big or NaN"},
        ActCase{.name = "SleepHoldsFromTheRequest", .output = hibernating + held_off,
                .calls = "pause 10; systemctl hibernate 30s; ", .new_hold = SleepHold{100s, 5s}},
        ActCase{.name = "FailedSleepPowersOffAtOnce", .fails = true,
                .output = hibernating + "Could not hibernate: systemctl hibernate: exit status: 1; powering off.\n"
                                        "Shutting down now.\n",
                .calls = "pause 10; systemctl hibernate 30s; poweroff; "},
        // Asleep 4 s at the request and 5 s now: it slept, and may sleep again.
        ActCase{.name = "SleptSinceTheHold", .hold = SleepHold{50s, 4s}, .output = hibernating + held_off,
                .calls = "pause 10; systemctl hibernate 30s; ", .new_hold = SleepHold{100s, 5s}},
        ActCase{.name = "NotAsleepSinceTheHold", .hold = SleepHold{50s, 4'000'000'001ns},
                .output = "Reached 5% battery.\nThe computer did not hibernate after the last request; powering "
                          "off.\nForcing shutdown in 10 seconds.\nShutting down now.\n",
                .calls = "pause 10; poweroff; "}),
    [](const auto& info) { return std::string(info.param.name); });

struct HoldCase {
    const char* name;
    std::optional<double> secs;
    std::chrono::nanoseconds awake;  // since the request
    double timeout;
    // Expected: the estimate, whether the hold stays, the line.
    std::optional<double> held;
    bool stays;
    const char* output;
};

void PrintTo(const HoldCase& c, std::ostream* out) { *out << c.name; }

class SleepHoldRules : public testing::TestWithParam<HoldCase> {};

TEST_P(SleepHoldRules, HoldsOrEnds) {
    const HoldCase& c = GetParam();
    RecordingSystem system;
    system.clocks.awake = 1000s + c.awake;
    std::optional<SleepHold> hold = SleepHold{1000s, 0s};
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_sleep_hold(c.secs, hold, Settings{5.0, c.timeout, CriticalAction::hybrid_sleep, {}}, system), c.held);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(hold.has_value(), c.stays);
}

constexpr const char* armed = "Info: Armed again: at the low level the computer will enter hybrid sleep.\n";
INSTANTIATE_TEST_SUITE_P(
    Cases, SleepHoldRules,
    testing::Values(  // at the level, the grace left of at least a minute awake; above it or "Connected", armed
        HoldCase{"GraceLeft", 0.0, 10s, 10.0, 50.0, true, ""},
        HoldCase{"GraceOfALongerTimeout", 0.0, 30s, 90.0, 60.0, true, ""},
        HoldCase{"GraceOver", 0.0, 60s, 10.0, 0.0, true, ""},
        HoldCase{"NoEstimateStaysNone", std::nullopt, 10s, 10.0, std::nullopt, true, ""},
        HoldCase{"ConnectedEndsIt", 1.0, 10s, 10.0, 1.0, false, armed},
        HoldCase{"ChargedAboveEndsIt", 5000.0, 1s, 10.0, 5000.0, false, armed}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro
