#include "power/attribute_reader.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "base/temp_tree.hpp"

namespace kestro {
namespace {

using testing_support::TempTree;

// The paths reported so far, one set for the whole run as the loop keeps one.
ReportedPaths reported;

// Runs one read with standard error captured; returns what it printed there.
template <typename Read>
std::string stderr_of(Read&& read) {
    testing::internal::CaptureStderr();
    read();
    return testing::internal::GetCapturedStderr();
}

struct NumberReadCase {
    std::string name;
    std::string content;
    std::optional<double> value;
    std::string reason;  // after "read <path>: "; empty when nothing is printed
};

class NumberRead : public testing::TestWithParam<NumberReadCase> {};

// Contents that are read fine but may not parse; their report comes every time.
TEST_P(NumberRead, ReturnsTheValueOrReportsOnEveryRead) {
    const TempTree tree;
    tree.write("charge_now", GetParam().content);
    const std::string expected_report =
        GetParam().reason.empty() ? "" : "read " + tree.path("charge_now") + ": " + GetParam().reason + "\n";
    for (int read = 0; read < 2; ++read) {
        std::optional<double> value;
        EXPECT_EQ(stderr_of([&] { value = read_number_attribute(tree.root(), "charge_now", reported); }),
                  expected_report);
        EXPECT_EQ(value, GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, NumberRead,
    testing::Values(NumberReadCase{"KernelLine", "3900000\n", 3900000.0, ""},
                    NumberReadCase{"Blanks", " \t3900000 \r\n", 3900000.0, ""},
                    NumberReadCase{"UnicodeBlanks", "\xc2\xa0" "3900000" "\xe3\x80\x80\n", 3900000.0, ""},
                    NumberReadCase{"Exponent", "1e3\n", 1000.0, ""},
                    NumberReadCase{"Negative", "-1250000\n", -1250000.0, ""},
                    NumberReadCase{"Empty", "", std::nullopt, "cannot parse float from empty string"},
                    NumberReadCase{"OnlyNewline", "\n", std::nullopt, "cannot parse float from empty string"},
                    NumberReadCase{"Unit", "12 mA\n", std::nullopt, "invalid float literal"},
                    NumberReadCase{"Hexadecimal", "0x10\n", std::nullopt, "invalid float literal"},
                    NumberReadCase{"Binary", std::string("\x01\x02\0\x03", 4), std::nullopt, "invalid float literal"},
                    NumberReadCase{"Nan", "nan\n", std::nullopt, "NaN is not finite"},
                    NumberReadCase{"Overflow", "1e999\n", std::nullopt, "inf is not finite"},
                    NumberReadCase{"MinusInf", "-inf\n", std::nullopt, "-inf is not finite"}),
    [](const auto& info) { return info.param.name; });

struct UnreadableCase {
    std::string name;
    void (*prepare)(const TempTree&);  // leaves "voltage_now" unreadable
    std::string error;
};

class UnreadableAttribute : public testing::TestWithParam<UnreadableCase> {};

// A file that cannot be read is reported the first time only, even after it
// has come back and gone again.
TEST_P(UnreadableAttribute, IsReportedOnceForTheLifeOfTheProcess) {
    const TempTree tree;
    GetParam().prepare(tree);
    const std::string report = "read " + tree.path("voltage_now") + ": " + GetParam().error + "\n";
    std::optional<double> value = 1.0;
    EXPECT_EQ(stderr_of([&] { value = read_number_attribute(tree.root(), "voltage_now", reported); }), report);
    EXPECT_EQ(value, std::nullopt);
    EXPECT_EQ(stderr_of([&] { value = read_number_attribute(tree.root(), "voltage_now", reported); }), "");

    tree.remove("voltage_now");
    tree.write("voltage_now", "7600000\n");
    EXPECT_EQ(read_number_attribute(tree.root(), "voltage_now", reported), 7600000.0);
    tree.remove("voltage_now");
    EXPECT_EQ(stderr_of([&] { value = read_number_attribute(tree.root(), "voltage_now", reported); }), "");
    EXPECT_EQ(value, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnreadableAttribute,
    testing::Values(UnreadableCase{"Missing", [](const TempTree&) {}, "No such file or directory (os error 2)"},
                    UnreadableCase{"Directory", [](const TempTree& tree) { tree.make_directory("voltage_now"); },
                                   "Is a directory (os error 21)"},
                    UnreadableCase{"NotUtf8", [](const TempTree& tree) { tree.write("voltage_now", "76\xc0\n"); },
                                   "stream did not contain valid UTF-8"},
                    UnreadableCase{"Huge",
                                   [](const TempTree& tree) { tree.write("voltage_now", std::string(100000, '7')); },
                                   "File too large (os error 27)"}),
    [](const auto& info) { return info.param.name; });

TEST(TextRead, ReturnsTheTrimmedText) {
    const TempTree tree;
    tree.write("status", "Not charging\n");
    EXPECT_EQ(read_text_attribute(tree.root(), "status", reported), "Not charging");
}

TEST(TextRead, ReportsAMissingFileOnceAndReturnsNone) {
    const TempTree tree;
    const std::string report = "read " + tree.path("online") + ": No such file or directory (os error 2)\n";
    std::optional<std::string> text;
    EXPECT_EQ(stderr_of([&] { text = read_text_attribute(tree.root(), "online", reported); }), report);
    EXPECT_EQ(text, std::nullopt);
    EXPECT_EQ(stderr_of([&] { text = read_text_attribute(tree.root(), "online", reported); }), "");
}

TEST(TextRead, ReturnsEvenTextThatIsNoNumber) {
    const TempTree tree;
    tree.write("status", "");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(read_text_attribute(tree.root(), "status", reported), ""); }), "");
}

TEST(NumberRead, APathTooLongForTheSystemIsReportedWhole) {
    const std::string directory = "/" + std::string(5000, 'd');
    std::optional<double> value = 1.0;
    EXPECT_EQ(stderr_of([&] { value = read_number_attribute(directory, "voltage_now", reported); }),
              "read " + directory + "/voltage_now: File name too long (os error 36)\n");
    EXPECT_EQ(value, std::nullopt);
    EXPECT_EQ(stderr_of([&] { value = read_number_attribute(directory, "voltage_now", reported); }), "");
}

TEST(TextRead, AnEmptyDirectoryReadsFromTheRoot) {
    // With no adapter the daemon reads "/online"; it never exists on a real system.
    std::optional<std::string> text;
    const std::string printed =
        stderr_of([&] { text = read_text_attribute("", "kestro-test-no-such-attribute", reported); });
    EXPECT_EQ(printed, "read /kestro-test-no-such-attribute: No such file or directory (os error 2)\n");
    EXPECT_EQ(text, std::nullopt);
}

TEST(RateRead, CurrentCountsByItsMagnitudeAndPowerAsRead) {
    const TempTree tree;
    tree.write("current_now", "-1250000\n");
    tree.write("power_now", "-1250000\n");
    ReadCounts counts;
    EXPECT_EQ(read_rate_attribute({.directory = tree.root()}, counts, 1, reported), 1250000.0);
    EXPECT_EQ(read_rate_attribute({.directory = tree.root(), .uses_power = true}, counts, 2, reported), -1250000.0);
    EXPECT_EQ(counts.attempts, 2u);
    EXPECT_EQ(counts.failures, 0u);
}

class RateFailureReportDue : public testing::TestWithParam<std::pair<std::uint64_t, bool>> {};

TEST_P(RateFailureReportDue, AtTheFirstAndEverySixtiethFailureAfter) {
    EXPECT_EQ(failure_report_due(GetParam().first), GetParam().second) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(FailuresBefore, RateFailureReportDue,
                         testing::Values(std::pair{0u, true}, std::pair{1u, false}, std::pair{59u, false},
                                         std::pair{60u, true}, std::pair{61u, false}, std::pair{119u, false},
                                         std::pair{120u, true}, std::pair{180u, true}, std::pair{200u, false}));

std::string throttled_line(const TempTree& tree, std::string_view name, std::uint64_t failures,
                           std::uint64_t attempts, std::uint64_t cycle) {
    return "read " + tree.root() + "/" + std::string(name) + ": " + std::to_string(failures) + " failed out of " +
           std::to_string(attempts) + " attempts, loop counter=" + std::to_string(cycle) + " (throttled message)\n";
}

TEST(RateRead, AFileThatNeverReadsIsSummarisedAtTheFirstSixtyFirstAndHundredTwentyFirstFailure) {
    const TempTree tree;
    ReadCounts counts;
    std::string printed;
    for (std::uint64_t cycle = 1; cycle <= 121; ++cycle) {
        printed += stderr_of(
            [&] { EXPECT_EQ(read_rate_attribute({.directory = tree.root()}, counts, cycle, reported), std::nullopt); });
    }
    EXPECT_EQ(printed, "read " + tree.path("current_now") + ": No such file or directory (os error 2)\n" +
                           throttled_line(tree, "current_now", 1, 1, 1) +
                           throttled_line(tree, "current_now", 61, 61, 61) +
                           throttled_line(tree, "current_now", 121, 121, 121));
    EXPECT_EQ(counts.attempts, 121u);
    EXPECT_EQ(counts.failures, 121u);
}

TEST(RateRead, FailuresSpreadOutAreCountedAcrossSuccesses) {
    const TempTree tree;
    const BatteryFiles files{.directory = tree.root(), .uses_power = true};
    ReadCounts counts;
    std::string printed;
    for (std::uint64_t cycle = 1; cycle <= 122; ++cycle) {
        // Fails in every even cycle, with content that is reported on every read.
        tree.write("power_now", cycle % 2 == 0 ? "12 W\n" : "9000000\n");
        printed += stderr_of([&] { static_cast<void>(read_rate_attribute(files, counts, cycle, reported)); });
    }
    // Every failure is reported; the 1st and the 61st are summarised too.
    const std::string parse_line = "read " + tree.path("power_now") + ": invalid float literal\n";
    std::string expected = parse_line + throttled_line(tree, "power_now", 1, 2, 2);
    for (int failure = 2; failure <= 61; ++failure) {
        expected += parse_line;
    }
    EXPECT_EQ(printed, expected + throttled_line(tree, "power_now", 61, 122, 122));
}

}  // namespace
}  // namespace kestro
