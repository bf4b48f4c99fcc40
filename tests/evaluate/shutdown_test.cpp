#include "evaluate/shutdown.hpp"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <ostream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/fatal.hpp"

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
    double draw = 1.2e13;
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
    estimate.percent_known = c.percent_known;
    estimate.percent = c.now_value / 50000000.0 * 100.0;
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
                     .secs = std::nullopt},
        EstimateCase{.name = "NoDesignVoltageAbove", .now_value = 2500001.0, .voltage_min_design = std::nullopt,
                     .secs = std::nullopt},
        EstimateCase{.name = "NoVoltageNowAtLevel", .voltage_now = std::nullopt, .secs = 0.0, .due = true},
        EstimateCase{.name = "NoDesignVoltageBelow", .now_value = 0.0, .voltage_min_design = std::nullopt,
                     .secs = 0.0, .due = true},
        EstimateCase{.name = "NoVoltagesConnected", .adapter = AcStatus::connected, .voltage_min_design = std::nullopt,
                     .voltage_now = std::nullopt, .secs = 1.0}),
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

// --------------------------------------------------------------- conversion

constexpr std::string_view negative_message = "cannot convert float seconds to Duration: value is negative";
constexpr std::string_view oversized_message =
    "cannot convert float seconds to Duration: value is either too big or NaN";

struct WaitCase {
    double secs;
    std::uint64_t seconds;
    std::uint32_t nanoseconds;
};

class WaitFromSecs : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitFromSecs, RoundsToTheNearestNanosecond) {
    const auto wait = wait_duration_from_secs(GetParam().secs);
    ASSERT_TRUE(wait.has_value()) << wait.error();
    EXPECT_EQ(wait->seconds, GetParam().seconds);
    EXPECT_EQ(wait->nanoseconds, GetParam().nanoseconds);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitFromSecs,
    testing::Values(WaitCase{0.0, 0, 0}, WaitCase{-0.0, 0, 0}, WaitCase{10.0, 10, 0},
                    WaitCase{1.5, 1, 500000000}, WaitCase{0.1, 0, 100000000},
                    WaitCase{2.000000001, 2, 1}, WaitCase{1e-10, 0, 0}, WaitCase{6e-10, 0, 1},
                    // Exact halves go to the even neighbour: 976562.5 and 2929687.5 ns.
                    WaitCase{0x1p-10, 0, 976562}, WaitCase{0x3p-10, 0, 2929688},
                    // Rounding up into the next second.
                    WaitCase{1.0 - 0x1p-53, 1, 0}, WaitCase{0x1p52 - 0.5, 4503599627370495, 500000000},
                    WaitCase{std::numeric_limits<double>::denorm_min(), 0, 0},
                    WaitCase{0x1p63, 9223372036854775808u, 0},
                    // The largest double below 2^64.
                    WaitCase{0x1p64 - 2048.0, 18446744073709549568u, 0}));

TEST(WaitFromSecsErrors, NegativeTooBigAndNaN) {
    for (const double secs : {-1.0, -1e-300, -inf}) {
        const auto wait = wait_duration_from_secs(secs);
        ASSERT_FALSE(wait.has_value()) << secs;
        EXPECT_EQ(wait.error(), negative_message) << secs;
    }
    for (const double secs : {0x1p64, 1e300, inf, nan, -nan}) {
        const auto wait = wait_duration_from_secs(secs);
        ASSERT_FALSE(wait.has_value()) << secs;
        EXPECT_EQ(wait.error(), oversized_message) << secs;
    }
}

// ------------------------------------------------------------ child status

TEST(SignalName, StandardSignals) {
    EXPECT_EQ(signal_name(SIGTERM), "SIGTERM");
    EXPECT_EQ(signal_name(SIGKILL), "SIGKILL");
    EXPECT_EQ(signal_name(SIGSEGV), "SIGSEGV");
    EXPECT_EQ(signal_name(SIGHUP), "SIGHUP");
    EXPECT_EQ(signal_name(SIGSYS), "SIGSYS");
    EXPECT_EQ(signal_name(0), std::nullopt);
    EXPECT_EQ(signal_name(SIGRTMIN + 6), std::nullopt);
    // Every standard Linux signal has its own name.
    std::set<std::string_view> names;
    for (int number = 1; number < 32; ++number) {
        const auto name = signal_name(number);
        ASSERT_TRUE(name.has_value()) << number;
        EXPECT_TRUE(name->starts_with("SIG")) << *name;
        names.insert(*name);
    }
    EXPECT_EQ(names.size(), 31u);
}

struct WaitStatusCase {
    int wait_status;
    std::string text;
};

class WaitStatusText : public testing::TestWithParam<WaitStatusCase> {};

TEST_P(WaitStatusText, DescribesHowTheChildEnded) {
    EXPECT_EQ(wait_status_text(GetParam().wait_status), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, WaitStatusText,
                         testing::Values(WaitStatusCase{W_EXITCODE(1, 0), "exit status: 1"},
                                         WaitStatusCase{W_EXITCODE(255, 0), "exit status: 255"},
                                         WaitStatusCase{W_EXITCODE(0, SIGTERM), "signal: 15 (SIGTERM)"},
                                         WaitStatusCase{W_EXITCODE(0, SIGKILL), "signal: 9 (SIGKILL)"},
                                         WaitStatusCase{W_EXITCODE(0, SIGSEGV) | WCOREFLAG,
                                                        "signal: 11 (SIGSEGV) (core dumped)"},
                                         WaitStatusCase{W_EXITCODE(0, 40), "signal: 40"}));

// ---------------------------------------------------------- running a command

// A private directory for small shell scripts, removed with its content.
class ScriptDirectory {
public:
    ScriptDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestro-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScriptDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScriptDirectory(const ScriptDirectory&) = delete;
    ScriptDirectory& operator=(const ScriptDirectory&) = delete;

    // Writes an executable (or not) script and returns its path.
    std::string script(const std::string& name, const std::string& body, bool executable = true) {
        const std::string file = (path_ / name).string();
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, executable ? 0700 : 0600);
        EXPECT_GE(fd, 0) << file;
        const std::string text = "#!/bin/sh\n" + body + "\n";
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        return file;
    }

private:
    std::filesystem::path path_;
};

// Ignores SIGPIPE for the test's lifetime, as the daemon does.
class SigpipeIgnored {
public:
    SigpipeIgnored() : previous_(std::signal(SIGPIPE, SIG_IGN)) {}
    ~SigpipeIgnored() { std::signal(SIGPIPE, previous_); }
    SigpipeIgnored(const SigpipeIgnored&) = delete;
    SigpipeIgnored& operator=(const SigpipeIgnored&) = delete;

private:
    void (*previous_)(int);
};

TEST(RunCommand, SucceedsThroughPath) { EXPECT_TRUE(run_command("true").has_value()); }

TEST(RunCommand, ReportsHowItFailed) {
    ScriptDirectory scripts;
    struct Case {
        std::string program;
        std::string error;
    };
    const Case cases[] = {
        {"false", "exit status: 1"},
        {scripts.script("exit-3", "exit 3"), "exit status: 3"},
        {scripts.script("terminated", "kill -TERM $$"), "signal: 15 (SIGTERM)"},
        {"kestro-test-no-such-command", "No such file or directory (os error 2)"},
        {scripts.script("not-executable", "exit 0", false), "Permission denied (os error 13)"},
    };
    for (const Case& c : cases) {
        const auto ran = run_command(c.program.c_str());
        ASSERT_FALSE(ran.has_value()) << c.program;
        EXPECT_EQ(ran.error(), c.error) << c.program;
    }
}

// A shell cannot undo an ignored signal it inherits, so the script dies of
// SIGPIPE only when the daemon's SIG_IGN was not passed on.
TEST(RunCommand, ChildGetsSigpipeAtItsDefault) {
    const SigpipeIgnored ignored;
    ScriptDirectory scripts;
    const auto ran = run_command(scripts.script("pipe", "kill -PIPE $$").c_str());
    ASSERT_FALSE(ran.has_value());
    EXPECT_EQ(ran.error(), "signal: 13 (SIGPIPE)");
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
    EXPECT_EQ(negative.error->message, negative_message);
    EXPECT_EQ(negative.output, "Reached 5% battery.\nForcing shutdown in -1 seconds.\n");

    const SequenceRun not_a_number = run_sequence(5.0, nan, "false");
    ASSERT_TRUE(not_a_number.error.has_value());
    EXPECT_EQ(not_a_number.error->message, oversized_message);
    EXPECT_EQ(not_a_number.output, "Reached 5% battery.\nForcing shutdown in NaN seconds.\n");
}

}  // namespace
}  // namespace kestro
