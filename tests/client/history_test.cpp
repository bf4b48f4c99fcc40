#include "client/history.hpp"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "base/temp_tree.hpp"
#include "client/battery_health.hpp"
#include "client/history_chart.hpp"

namespace kestro {
namespace {

// Six hours of 7 December 2026 (UTC), a pack record ten days before, a
// torn last line and a line that does not parse.
constexpr std::string_view day_file =
    "# kestro history 1\n"
    "E 1796601600 start 1.6.0\n"
    "S 1796601600 80.0 59000 73700 12000 D D\n"
    "S 1796605200 70.0 51600 73700 10000 D D\n"
    "S 1796608800 60.0 44200 73700 8000 D D\n"
    "E 1796616000 sleep 7200 60.0 58.0\n"
    "S 1796616000 58.0 42700 73700 8000 D D\n"
    "E 1796617800 ac C\n"
    "S 1796619600 75.0 55300 73700 30000 C C\n"
    "P 1796621400 BAT0 73700 80000 312\n"
    "E 1796622000 ac D\n"
    "E 1796622060 action hibernate 4.5\n"
    "S 1796623200 90.0 66300 73700 25000 D D\n"
    "S 1796623300 bad line\n"
    "S 1796623260 90.0 66300";

class HistoryFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        tree.write("2026-11-27.history", "# kestro history 1\nP 1795737600 BAT0 75000 80000 300\n");
        tree.write("2026-12-07.history", day_file);
        tree.write("2026-12-08.history", "# kestro history 2\nS 1796688000 1.0 1 1 1 D D\n");
    }
    testing_support::TempTree tree;
};

TEST_F(HistoryFixture, ReadsWholeValidLinesOfTheFilesOfTheTimeAsked) {
    const auto all = read_history(tree.root(), 0);
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->records.size(), 13U);
    const auto day = read_history(tree.root(), 1796605200);
    ASSERT_TRUE(day.has_value());
    EXPECT_EQ(day->records.size(), 10U);
    EXPECT_EQ(day->records.front().number("percent"), 70.0);
    EXPECT_EQ(read_history(tree.path("missing"), 0).error(), "No such file or directory (os error 2)");
    EXPECT_EQ(read_history(tree.path("2026-11-27.history") + "/..", 0).error(), "Not a directory (os error 20)");
    tree.make_directory("empty");
    EXPECT_EQ(read_history(tree.path("empty"), 0).error(), "no *.history file");
    tree.write("empty/2026-12-08.history", "# kestro history 2\n");
    EXPECT_EQ(read_history(tree.path("empty"), 0).error(), "no readable *.history file");
}

TEST_F(HistoryFixture, DrawsTheChargeThePowerAndTheMarks) {
    const auto history = read_history(tree.root(), 0);
    EXPECT_EQ(history_text_chart(history->records, {1796601600, 1796623200}, 40),
              "Charge and power from 2026-12-07 00:00 to 2026-12-07 06:00 UTC\n"
              " 100%|\n"
              "     |                                 *\n"
              "     |*\n"
              "     |     *                      *\n"
              "     |           *          *\n"
              "  50%|\n"
              "     |\n"
              "     |\n"
              "     |\n"
              "     |\n"
              "   0%|\n"
              "     |           zzzzzzzzzzzz  +      !\n"
              " 30 W|                            =    #\n"
              "     |                            =    #\n"
              "     |#    #     #          #     =    #\n"
              "     |#    #     #          #     =    #\n"
              "     ++----------+----------+----------+\n"
              "      00:00      02:00      04:00  06:00\n"
              "* charge  # draw  = charging  + plug  - unplug  z asleep  ! low-battery action\n"
              "Asleep 07 Dec 02:00 to 04:00, 2 h: 60.0% to 58.0% (1.00% an hour)\n"
              "Low-battery action hibernate 07 Dec 05:41 at 4.5%\n");
}

TEST_F(HistoryFixture, HealthFromThePackAndSleepRecords) {
    const auto history = read_history(tree.root(), 0);
    const BatteryHealth health = battery_health(history->records);
    EXPECT_EQ(health_text(health),
              "BAT0: full 92.1% of design (73.7 of 80.0 Wh), 312 cycles, loses 4.77% a month\n"
              "Asleep: loses 1.00% an hour (1 sleep, 2 h)\n");
    EXPECT_EQ(health_text(battery_health({*parse_history_line("P 1 BAT1 - 80000 -")})),
              "BAT1: full unknown of design, unknown cycles, loses unknown a month\n"
              "Asleep: loses unknown an hour\n");
    EXPECT_EQ(health_prometheus(health),
              "# HELP kestro_battery_health_percent What the pack holds when full, in percent of its design "
              "capacity (newest history record).\n"
              "# TYPE kestro_battery_health_percent gauge\n"
              "kestro_battery_health_percent{pack=\"BAT0\"} 92.125\n"
              "# HELP kestro_battery_cycle_count Charge cycles, where the pack counts them.\n"
              "# TYPE kestro_battery_cycle_count gauge\n"
              "kestro_battery_cycle_count{pack=\"BAT0\"} 312\n"
              "# HELP kestro_battery_health_loss_percent_per_month The fall of the health percentage in percentage "
              "points a month, from the history.\n"
              "# TYPE kestro_battery_health_loss_percent_per_month gauge\n"
              "kestro_battery_health_loss_percent_per_month{pack=\"BAT0\"} 4.765784114052953\n"
              "# HELP kestro_sleep_drain_percent_per_hour The charge lost while asleep in percent an hour, over "
              "every sleep in the history.\n"
              "# TYPE kestro_sleep_drain_percent_per_hour gauge\n"
              "kestro_sleep_drain_percent_per_hour 1\n");
}

TEST(HistoryLine, TakesOnlyRecordsOfTheirForm) {
    const std::pair<const char*, bool> lines[] = {
        {"S 1796601600 57.1 42100 73700 8200 D D", true},
        {"S 1796601600 - - - - - -", true},
        {"E 1796601600 action hibernate 4.5", true},
        {"E 1796601600 gone BAT1", true},
        {"P 1796601600 BAT0 73700 80000 -", true},
        {"S 1796601600 57.1 42100 73700 8200 D", false},
        {"S 1796601600 57.1 42100 73700 8200 D D ", false},
        {"S 1796601600 57.1 42100 73700 8200 D D x", false},
        {"S 1796601600 57.1  42100 73700 8200 D D", false},
        {"S 1796601600 5e1 42100 73700 8200 D D", false},
        {"S 1796601600 57.1 42100 73700 -8200 D D", false},
        {"S 1796601600 57.1 42100 73700 8200 X D", false},
        {"S - 57.1 42100 73700 8200 D D", false},
        {"E 1796601600 action shutdown 4.5", false},
        {"E 1796601600 nap 60", false},
        {"P 1796601600 BAT<0> 73700 80000 1", false},
        {"X 1796601600", false},
    };
    for (const auto& [line, valid] : lines) {
        EXPECT_EQ(parse_history_line(line).has_value(), valid) << line;
    }
}

TEST(HistoryDuration, MinutesHoursDays) {
    const std::pair<const char*, std::optional<std::int64_t>> durations[] = {
        {"90m", 5400}, {"24h", 86400}, {"7d", 604800}, {"3650d", 315360000},
        {"3651d", {}}, {"0h", {}},     {"1.5h", {}},   {"h", {}}, {"24", {}}, {"-1d", {}}, {"2w", {}},
    };
    for (const auto& [text, seconds] : durations) {
        EXPECT_EQ(parse_history_duration(text), seconds) << text;
    }
}

TEST(HistoryExport, CsvAndJsonNameEveryField) {
    const std::vector<HistoryRecord> records = {*parse_history_line("S 10 57.1 42100 - 8200 S F"),
                                                *parse_history_line("E 20 sleep 60 57.1 57.0")};
    EXPECT_EQ(history_csv(records),
              "record,time,event,percent,energy_now,energy_full,power,ac,battery,version,asleep_seconds,"
              "percent_before,percent_after,action,pack,energy_full_design,cycle_count\n"
              "sample,10,,57.1,42100,,8200,Connected slow,Full,,,,,,,,\n"
              "event,20,sleep,,,,,,,,60,57.1,57.0,,,,\n");
    EXPECT_EQ(history_json(records),
              "[\n{\"record\":\"sample\",\"time\":10,\"percent\":57.1,\"energy_now\":42100,\"energy_full\":null,"
              "\"power\":8200,\"ac\":\"Connected slow\",\"battery\":\"Full\"},\n"
              "{\"record\":\"event\",\"time\":20,\"event\":\"sleep\",\"asleep_seconds\":60,\"percent_before\":57.1,"
              "\"percent_after\":57}\n]\n");
}

}  // namespace
}  // namespace kestro
