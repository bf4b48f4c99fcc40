#include "power/charge_limit.hpp"

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/temp_tree.hpp"

namespace kestro {
namespace {

using testing_support::TempTree;

// The paths reported so far, one set for the whole run as the loop keeps one.
ReportedPaths reported;

TEST(ChargeLimitFrom, ZeroMeansNoLimitAndNegativeFails) {
    EXPECT_EQ(charge_limit_from(0), 100);
    EXPECT_EQ(charge_limit_from(1), 1);
    EXPECT_EQ(charge_limit_from(80), 80);
    EXPECT_EQ(charge_limit_from(150), 150);  // refused later, when the limit is decided
    EXPECT_EQ(charge_limit_from(-1), std::nullopt);
    EXPECT_EQ(charge_limit_from(std::numeric_limits<std::int32_t>::min()), std::nullopt);
}

struct DecisionCase {
    std::optional<std::int32_t> value_read;
    std::optional<double> previous;
    double level;
};

class MaxChargeLevelDecision : public testing::TestWithParam<DecisionCase> {};

TEST_P(MaxChargeLevelDecision, KeepsThePreviousLimitUnlessANewOneIsAcceptable) {
    EXPECT_EQ(decide_max_charge_level(GetParam().value_read, GetParam().previous), GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxChargeLevelDecision,
    testing::Values(DecisionCase{80, std::nullopt, 80.0}, DecisionCase{60, 80.0, 60.0},
                    DecisionCase{100, 80.0, 100.0}, DecisionCase{1, 80.0, 1.0},
                    DecisionCase{101, std::nullopt, 100.0}, DecisionCase{150, 80.0, 80.0},
                    DecisionCase{std::nullopt, std::nullopt, 100.0}, DecisionCase{std::nullopt, 80.0, 80.0}));

TEST(ChargeLimitFile, PrefersTheDeviceFile) {
    const TempTree tree;
    tree.write("device/max_battery_charge_level", "80\n");
    tree.write("BAT0/charge_control_end_threshold", "60\n");
    const std::string device = tree.path("device/max_battery_charge_level");
    testing::internal::CaptureStdout();
    EXPECT_EQ(find_charge_limit_file(tree.path("BAT0"), device), device);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Info: Init: MaxChargeLevel feature: using '" + device + "'\n");
}

TEST(ChargeLimitFile, FallsBackToTheBatteryThreshold) {
    const TempTree tree;
    tree.link(tree.path("gone"), "device/max_battery_charge_level");  // a dangling link is missing
    tree.write("BAT0/charge_control_end_threshold", "60\n");
    const std::string threshold = tree.path("BAT0/charge_control_end_threshold");
    testing::internal::CaptureStdout();
    EXPECT_EQ(find_charge_limit_file(tree.path("BAT0"), tree.path("device/max_battery_charge_level")), threshold);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Info: Init: MaxChargeLevel feature: using '" + threshold + "'\n");
}

TEST(ChargeLimitFile, WarnsWhenThereIsNone) {
    const TempTree tree;
    testing::internal::CaptureStdout();
    EXPECT_EQ(find_charge_limit_file(tree.path("BAT0"), tree.path("device/max_battery_charge_level")),
              std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Init: MaxChargeLevel feature: Cound not find suitable file, assuming MaxChargeLevel=100%\n");
}

// The pauses a refresh asked for, and what to do at each.
std::vector<std::chrono::nanoseconds> pauses;
void (*on_pause)() = nullptr;

void recording_pause(std::chrono::nanoseconds duration) {
    pauses.push_back(duration);
    if (on_pause != nullptr) {
        on_pause();
    }
}

struct Refreshed {
    double level;
    std::string out;
    std::string err;
    std::size_t pauses;
};

Refreshed refresh(const std::optional<std::string>& file, std::optional<double> previous) {
    pauses.clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const double level = refresh_max_charge_level(file, previous, reported, recording_pause);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    for (const auto pause : pauses) {
        EXPECT_EQ(pause, std::chrono::nanoseconds(333'000'000));
    }
    return {level, std::move(out), std::move(err), pauses.size()};
}

std::string new_level_line(std::string_view value) {
    return "Info: New MaxChargeLevel value detected for battery = " + std::string(value) + "%\n";
}

TEST(RefreshMaxChargeLevel, WithoutAFileTheLimitIsAHundredAnnouncedOnce) {
    const Refreshed first = refresh(std::nullopt, std::nullopt);
    EXPECT_EQ(first.level, 100.0);
    EXPECT_EQ(first.out, new_level_line("100"));
    EXPECT_EQ(first.pauses, 0u);
    const Refreshed second = refresh(std::nullopt, 100.0);
    EXPECT_EQ(second.level, 100.0);
    EXPECT_EQ(second.out, "");
}

TEST(RefreshMaxChargeLevel, FollowsTheFileAndAnnouncesEachChange) {
    const TempTree tree;
    const std::string file = tree.path("limit");
    tree.write("limit", "80\n");
    Refreshed cycle = refresh(file, std::nullopt);
    EXPECT_EQ(cycle.level, 80.0);
    EXPECT_EQ(cycle.out, new_level_line("80"));
    cycle = refresh(file, 80.0);
    EXPECT_EQ(cycle.level, 80.0);
    EXPECT_EQ(cycle.out, "");
    tree.write("limit", "60\n");
    cycle = refresh(file, 80.0);
    EXPECT_EQ(cycle.level, 60.0);
    EXPECT_EQ(cycle.out, new_level_line("60"));
    tree.write("limit", " +0 \n");
    cycle = refresh(file, 60.0);
    EXPECT_EQ(cycle.level, 100.0);
    EXPECT_EQ(cycle.out, new_level_line("100"));
    EXPECT_EQ(cycle.err, "");
    EXPECT_EQ(cycle.pauses, 0u);
}

TEST(RefreshMaxChargeLevel, AValueAboveAHundredLeavesTheLimitInForce) {
    const TempTree tree;
    const std::string file = tree.path("limit");
    tree.write("limit", "150\n");
    Refreshed cycle = refresh(file, std::nullopt);
    EXPECT_EQ(cycle.level, 100.0);
    EXPECT_EQ(cycle.out, new_level_line("100"));
    cycle = refresh(file, 70.0);
    EXPECT_EQ(cycle.level, 70.0);
    EXPECT_EQ(cycle.out, "");
    EXPECT_EQ(cycle.err, "");
    EXPECT_EQ(cycle.pauses, 0u);  // a value above 100 is a good read, just not used
}

struct FailingCase {
    std::string name;
    void (*prepare)(const TempTree&);  // leaves "limit" failing
};

class FailingChargeLimit : public testing::TestWithParam<FailingCase> {};

// Three attempts, each followed by its pause; the error line once for the
// life of the process; the previous limit stays.
TEST_P(FailingChargeLimit, KeepsTheLimitAndReportsOnce) {
    const TempTree tree;
    GetParam().prepare(tree);
    const std::string file = tree.path("limit");
    Refreshed cycle = refresh(file, 80.0);
    EXPECT_EQ(cycle.level, 80.0);
    EXPECT_EQ(cycle.out, "");
    EXPECT_EQ(cycle.err, "read '" + file + "': could not read from file 3 times in a row\n");
    EXPECT_EQ(cycle.pauses, 3u);

    cycle = refresh(file, 80.0);
    EXPECT_EQ(cycle.err, "");
    EXPECT_EQ(cycle.pauses, 3u);

    tree.remove("limit");
    tree.write("limit", "80\n");
    cycle = refresh(file, 80.0);
    EXPECT_EQ(cycle.out, "");
    tree.write("limit", "70\n");
    cycle = refresh(file, 80.0);
    EXPECT_EQ(cycle.out, new_level_line("70"));
    tree.write("limit", "x");
    cycle = refresh(file, 70.0);
    EXPECT_EQ(cycle.level, 70.0);
    EXPECT_EQ(cycle.err, "");  // reported already
}

INSTANTIATE_TEST_SUITE_P(
    Contents, FailingChargeLimit,
    testing::Values(FailingCase{"Missing", [](const TempTree&) {}},
                    FailingCase{"Negative", [](const TempTree& tree) { tree.write("limit", "-5\n"); }},
                    FailingCase{"Decimal", [](const TempTree& tree) { tree.write("limit", "80.0\n"); }},
                    FailingCase{"Word", [](const TempTree& tree) { tree.write("limit", "full\n"); }},
                    FailingCase{"Empty", [](const TempTree& tree) { tree.write("limit", ""); }},
                    FailingCase{"NotUtf8", [](const TempTree& tree) { tree.write("limit", "8\xff"); }},
                    FailingCase{"Directory", [](const TempTree& tree) { tree.make_directory("limit"); }}),
    [](const auto& info) { return info.param.name; });

TEST(RefreshMaxChargeLevel, FailingFromTheStartMeansAHundred) {
    const TempTree tree;
    const Refreshed cycle = refresh(tree.path("limit"), std::nullopt);
    EXPECT_EQ(cycle.level, 100.0);
    EXPECT_EQ(cycle.out, new_level_line("100"));
    EXPECT_EQ(cycle.pauses, 3u);
}

const TempTree* repaired_tree = nullptr;

TEST(RefreshMaxChargeLevel, AnAttemptThatSucceedsEndsTheRetries) {
    const TempTree tree;
    repaired_tree = &tree;
    on_pause = [] { repaired_tree->write("limit", "90\n"); };  // the file comes back during the first pause
    const Refreshed cycle = refresh(tree.path("limit"), std::nullopt);
    on_pause = nullptr;
    EXPECT_EQ(cycle.level, 90.0);
    EXPECT_EQ(cycle.out, new_level_line("90"));
    EXPECT_EQ(cycle.err, "");
    EXPECT_EQ(cycle.pauses, 1u);
}

}  // namespace
}  // namespace kestro
