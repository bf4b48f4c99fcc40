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

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The machine of a test: clocks that stand still, and a record of every wait
// and command in place of them.
class RecordingSystem final : public ActionSystem {
public:
    ClockReading clocks{};
    std::expected<void, CommandFailure> poweroff_result{};
    std::expected<void, CommandFailure> systemctl_result{};
    std::string calls;

    ClockReading read_clocks() override { return clocks; }
    void pause(WaitDuration duration) override { calls += "pause " + std::to_string(duration.seconds) + "; "; }
    std::expected<void, CommandFailure> run_command(const char* program) override {
        calls += std::string(program) + "; ";
        return poweroff_result;
    }
    std::expected<void, CommandFailure> run_bounded_command(const char* program, const char* argument,
                                                            std::chrono::seconds awake_limit) override {
        calls += std::string(program) + " " + argument + " " + std::to_string(awake_limit.count()) + "s; ";
        return systemctl_result;
    }
};

const std::unexpected<CommandFailure> exit_1{CommandFailure{"exit status: 1"}};

// ------------------------------------------------------------- the act

struct ActCase {
    const char* name;
    CriticalAction action = CriticalAction::hibernate;
    double timeout = 10.0;
    std::optional<SleepHold> hold{};  // the machine's clocks read 100 s awake, 5 s asleep
    bool systemctl_fails = false;
    bool poweroff_fails = false;
    // Expected.
    const char* output;
    const char* calls;
    std::optional<SleepHold> new_hold{};
    const char* fatal = nullptr;
};

void PrintTo(const ActCase& c, std::ostream* out) { *out << c.name; }

class LowBatteryAction : public testing::TestWithParam<ActCase> {};

TEST_P(LowBatteryAction, AnnouncesWaitsAndRuns) {
    const ActCase& c = GetParam();
    Settings settings{.request_shutdown_battery_percent = 5.0, .force_shutdown_timeout_secs = c.timeout,
                      .critical_action = c.action};
    RecordingSystem system;
    system.clocks = {100s, 5s};
    if (c.systemctl_fails) {
        system.systemctl_result = exit_1;
    }
    if (c.poweroff_fails) {
        system.poweroff_result = exit_1;
    }
    std::optional<LowBatteryOutcome> outcome;
    std::optional<FatalError> error;
    testing::internal::CaptureStdout();
    try {
        outcome = run_low_battery_action(settings, c.hold, system);
    } catch (const FatalError& fatal) {
        error = fatal;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(system.calls, c.calls);
    if (c.fatal) {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message, c.fatal);
        return;
    }
    ASSERT_TRUE(outcome);
    const auto* hold = std::get_if<SleepHold>(&*outcome);
    ASSERT_EQ(hold != nullptr, c.new_hold.has_value());
    if (hold) {
        EXPECT_EQ(hold->requested_at, c.new_hold->requested_at);
        EXPECT_EQ(hold->asleep_before, c.new_hold->asleep_before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LowBatteryAction,
    testing::Values(
        ActCase{.name = "Poweroff", .action = CriticalAction::poweroff,
                .output = "Reached 5% battery.\nForcing shutdown in 10 seconds.\nShutting down now.\n",
                .calls = "pause 10; poweroff; "},
        ActCase{.name = "FailingPoweroffIsFatal", .action = CriticalAction::poweroff, .timeout = 0.0,
                .poweroff_fails = true,
                .output = "Reached 5% battery.\nForcing shutdown in 0 seconds.\nShutting down now.\n",
                .calls = "pause 0; poweroff; ", .fatal = "poweroff: exit status: 1"},
        ActCase{.name = "UnconvertibleTimeoutAbortsAfterTheAnnouncement", .action = CriticalAction::poweroff,
                .timeout = nan, .output = "Reached 5% battery.\nForcing shutdown in NaN seconds.\n", .calls = "",
                .fatal = "cannot convert float seconds to Duration: value is either too big or NaN"},
        ActCase{.name = "SleepingActionHoldsFromTheRequest",
                .output = "Reached 5% battery.\nHibernating in 10 seconds.\nHibernating now.\n"
                          "Info: systemctl hibernate succeeded; held off for 60 seconds awake, or until connected "
                          "or charged above the level.\n",
                .calls = "pause 10; systemctl hibernate 30s; ", .new_hold = SleepHold{100s, 5s}},
        ActCase{.name = "FailedSleepPowersOffAtOnce", .systemctl_fails = true,
                .output = "Reached 5% battery.\nHibernating in 10 seconds.\nHibernating now.\n"
                          "Could not hibernate: systemctl hibernate: exit status: 1; powering off.\n"
                          "Shutting down now.\n",
                .calls = "pause 10; systemctl hibernate 30s; poweroff; "},
        // Asleep 4 s before and 5 s now: it slept, so it may sleep again.
        ActCase{.name = "SleptSinceTheHold", .hold = SleepHold{50s, 4s},
                .output = "Reached 5% battery.\nHibernating in 10 seconds.\nHibernating now.\n"
                          "Info: systemctl hibernate succeeded; held off for 60 seconds awake, or until connected "
                          "or charged above the level.\n",
                .calls = "pause 10; systemctl hibernate 30s; ", .new_hold = SleepHold{100s, 5s}},
        ActCase{.name = "NotAsleepSinceTheHold", .hold = SleepHold{50s, 4'000'000'001ns},
                .output = "Reached 5% battery.\nThe computer did not hibernate after the last request; powering "
                          "off.\nForcing shutdown in 10 seconds.\nShutting down now.\n",
                .calls = "pause 10; poweroff; "}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- the hold

struct HoldCase {
    const char* name;
    std::optional<double> secs;
    std::chrono::nanoseconds awake;  // since the request
    double timeout = 10.0;
    // Expected.
    std::optional<double> held;
    bool hold_stays = true;
    const char* output = "";
};

void PrintTo(const HoldCase& c, std::ostream* out) { *out << c.name; }

class SleepHoldRules : public testing::TestWithParam<HoldCase> {};

TEST_P(SleepHoldRules, HoldsOrEnds) {
    const HoldCase& c = GetParam();
    Settings settings{.force_shutdown_timeout_secs = c.timeout, .critical_action = CriticalAction::hybrid_sleep};
    RecordingSystem system;
    system.clocks = {1000s + c.awake, 0s};
    std::optional<SleepHold> hold = SleepHold{1000s, 0s};
    testing::internal::CaptureStdout();
    const std::optional<double> held = apply_sleep_hold(c.secs, hold, settings, system);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(held, c.held);
    EXPECT_EQ(hold.has_value(), c.hold_stays);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SleepHoldRules,
    testing::Values(
        // At the level: the grace left of at least a minute awake.
        HoldCase{.name = "GraceLeft", .secs = 0.0, .awake = 10s, .held = 50.0},
        HoldCase{.name = "GraceOfTheLongerTimeout", .secs = 0.0, .awake = 30s, .timeout = 90.0, .held = 60.0},
        HoldCase{.name = "GraceOver", .secs = 0.0, .awake = 60s, .held = 0.0},
        HoldCase{.name = "NoEstimateStaysNone", .secs = std::nullopt, .awake = 10s, .held = std::nullopt},
        // Above the level, or held off by "Connected": armed again.
        HoldCase{.name = "ConnectedEndsIt", .secs = 1.0, .awake = 10s, .held = 1.0, .hold_stays = false,
                 .output = "Info: Armed again: at the low level the computer will enter hybrid sleep.\n"},
        HoldCase{.name = "ChargedAboveEndsIt", .secs = 5000.0, .awake = 1s, .held = 5000.0, .hold_stays = false,
                 .output = "Info: Armed again: at the low level the computer will enter hybrid sleep.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SleepHold, WithoutAHoldTheEstimateStands) {
    std::optional<SleepHold> hold;
    RecordingSystem system;
    EXPECT_EQ(apply_sleep_hold(0.0, hold, Settings{}, system), 0.0);
    EXPECT_FALSE(hold.has_value());
}

}  // namespace
}  // namespace kestro
