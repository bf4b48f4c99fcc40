#include "history/history_record.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "history/battery_history.hpp"

namespace kestro {
namespace {

// 2026-12-07 09:46:40 UTC.
constexpr std::int64_t when = 1796636800;

struct RecordCase {
    std::string name;
    HistoryLine record;
    std::string expected;
};

class HistoryRecords : public testing::TestWithParam<RecordCase> {};

TEST_P(HistoryRecords, ReadAsDocumented) { EXPECT_EQ(GetParam().record.view(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Records, HistoryRecords,
    testing::Values(
        RecordCase{"Sample",
                   sample_record(when, {57.14, 42'100'400.0, 73'700'000.0, 8'200'600.0, AcStatus::disconnected,
                                     BatteryStatus::discharging}),
                   "S 1796636800 57.1 42100 73700 8201 D D\n"},
        // A gauge that signs its discharge: the flow's direction is the status's.
        RecordCase{"NegativePowerSlowCharger",
                   sample_record(when, {99.96, 1.0, 2.0, -15'300'000.0, AcStatus::connected_slow,
                                     BatteryStatus::not_charging}),
                   "S 1796636800 100.0 0 0 15300 S N\n"},
        RecordCase{"UnknownSample", sample_record(when, {}), "S 1796636800 - - - - - -\n"},
        RecordCase{"FullAndUnknownStatus",
                   sample_record(when, {100.0, 5.0e7, 5.0e7, 0.0, AcStatus::connected, BatteryStatus::full}),
                   "S 1796636800 100.0 50000 50000 0 C F\n"},
        RecordCase{"Start", start_record(when, "1.6.0"), "E 1796636800 start 1.6.0\n"},
        RecordCase{"Adapter", adapter_record(when, AcStatus::connected), "E 1796636800 ac C\n"},
        RecordCase{"AdapterUnknown", adapter_record(when, std::nullopt), "E 1796636800 ac -\n"},
        RecordCase{"Sleep", sleep_record(when, 28799.6, 57.94, 55.2), "E 1796636800 sleep 28800 57.9 55.2\n"},
        RecordCase{"SleepUnknownCharge", sleep_record(when, 60, std::nullopt, 3.0), "E 1796636800 sleep 60 - 3.0\n"},
        RecordCase{"Action", action_record(when, CriticalAction::suspend_then_hibernate, 4.95),
                   "E 1796636800 action suspend-then-hibernate 5.0\n"},
        RecordCase{"Gone", presence_record(when, "BAT1", false), "E 1796636800 gone BAT1\n"},
        RecordCase{"Back", presence_record(when, "BAT1", true), "E 1796636800 back BAT1\n"},
        RecordCase{"Pack", pack_record(when, {"BAT0", 73'700'000.0, 80'000'000.0, 312.0}),
                   "P 1796636800 BAT0 73700 80000 312\n"},
        // 0 cycles is firmware's "unknown", never a new pack.
        RecordCase{"PackWithoutCycles", pack_record(when, {"BAT0", 73'700'000.0, std::nullopt, 0.0}),
                   "P 1796636800 BAT0 73700 - -\n"}),
    [](const auto& info) { return info.param.name; });

TEST(HistoryFileNames, OnePerUtcDay) {
    EXPECT_EQ(history_file_name(when).view(), "2026-12-07.history");
    EXPECT_EQ(history_file_name(1796601599).view(), "2026-12-06.history");  // 23:59:59
    EXPECT_EQ(history_file_name(1796601600).view(), "2026-12-07.history");
    EXPECT_EQ(history_file_name(0).view(), "1970-01-01.history");
    EXPECT_TRUE(is_history_file_name("2026-12-07.history"));
    for (const char* other : {"2026-12-07.history~", ".2026-12-07.history", "2026-1a-07.history", "notes"}) {
        EXPECT_FALSE(is_history_file_name(other)) << other;
    }
}

struct RemovalCase {
    std::string name;
    std::vector<std::uint64_t> sizes;  // oldest first; the last is the day's file
    std::size_t removed;
};

class HistoryBound : public testing::TestWithParam<RemovalCase> {};

TEST_P(HistoryBound, RemovesTheOldestWholeFiles) {
    EXPECT_EQ(history_files_to_remove(GetParam().sizes, 100), GetParam().removed);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HistoryBound,
                         testing::Values(RemovalCase{"Within", {40, 40, 20}, 0},
                                         RemovalCase{"OneOver", {40, 40, 21}, 1},
                                         RemovalCase{"SeveralOver", {90, 90, 10, 5}, 2},
                                         RemovalCase{"TheDaysFileStays", {50, 150}, 1},
                                         RemovalCase{"None", {}, 0}),
                         [](const auto& info) { return info.param.name; });

TEST(HistoryDirectory, TheConfiguredOneElseTheFirstStateDirectory) {
    EXPECT_EQ(history_directory_from("/srv/h", "/var/lib/kestro"), "/srv/h");
    EXPECT_EQ(history_directory_from("", "/var/lib/kestro:/var/lib/other"), "/var/lib/kestro");
    EXPECT_EQ(history_directory_from("", "relative"), "");
    EXPECT_EQ(history_directory_from("", nullptr), "");
}

}  // namespace
}  // namespace kestro
