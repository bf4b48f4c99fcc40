#include "client/status_formats.hpp"

#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "client/snapshot_files.hpp"

namespace kestro {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::string joined(const std::vector<std::string_view>& words) {
    std::string text;
    for (const std::string_view word : words) {
        text += text.empty() ? "" : " ";
        text += word;
    }
    return text;
}

using enum AcStatus;
using enum BatteryStatus;

struct MeaningCase {
    const char* label;
    Files files;
    const char* line;
    const char* short_text;
    const char* classes;
};

const MeaningCase meaning_cases[] = {
    {"charging", {connected, 57.142857142857146, charging, 1500.4, 33071.9},
     "Connected, 57.1%, Charging, full in 25 min", "57% 25 min", "charging"},
    {"discharging", {disconnected, 43.21, discharging, 12000, 7500},
     "Disconnected, 43.2%, Discharging, shutdown in 2 h 5 min", "43% 2 h 5 min", "discharging"},
    {"slow charger", {connected_slow, 43.21, discharging, 12000, 7500},
     "Connected slow, 43.2%, Discharging, shutdown in 2 h 5 min", "43% 2 h 5 min", "discharging slow-charger"},
    {"shutdown within the warning time", {disconnected, 20, discharging, {}, 1800},
     "Disconnected, 20.0%, Discharging, shutdown in 30 min", "20% 30 min", "discharging warning"},
    {"shutdown within the critical time", {disconnected, 8, discharging, {}, 600},
     "Disconnected, 8.0%, Discharging, shutdown in 10 min", "8% 10 min", "discharging critical"},
    {"shutdown started", {disconnected, 0.4, discharging, {}, 0},
     "Disconnected, 0.4%, Discharging, shutting down", "0% shutdown", "discharging critical"},
    {"hibernating", {disconnected, 0.4, discharging, {}, 0, 0, CriticalAction::hibernate},
     "Disconnected, 0.4%, Discharging, hibernating", "0% hibernate", "discharging critical"},
    {"hybrid sleep near", {disconnected, 9, discharging, {}, 11520, 0, CriticalAction::hybrid_sleep},
     "Disconnected, 9.0%, Discharging, hybrid sleep in 3 h 12 min", "9% 3 h 12 min", "discharging"},
    {"under half a minute", {disconnected, 1, discharging, {}, 29.9},
     "Disconnected, 1.0%, Discharging, shutdown in <1 min", "1% <1 min", "discharging critical"},
    {"half a minute rounds up", {connected, 99, charging, 30, {}},
     "Connected, 99.0%, Charging, full in 1 min", "99% 1 min", "charging"},
    {"99 hours shown", {connected, 1, charging, 356400, {}},
     "Connected, 1.0%, Charging, full in 99 h", "1% 99 h", "charging"},
    {"beyond 99 hours", {connected, 1, charging, 356430, {}},
     "Connected, 1.0%, Charging, full in >99 h", "1% >99 h", "charging"},
    {"huge estimate", {disconnected, 50, discharging, {}, 1e21},
     "Disconnected, 50.0%, Discharging, shutdown in >99 h", "50% >99 h", "discharging"},
    {"full", {connected, 100, full, 0, 1}, "Connected, 100.0%, Full", "100%", "full"},
    {"charge target reached while charging", {connected, 80, charging, 0, {}}, "Connected, 80.0%, Charging",
     "80%", "charging"},
    {"not charging on the adapter", {connected, 80, not_charging, 0, 49730}, "Connected, 80.0%, Not charging",
     "80%", ""},
    {"connected adapter holds the shutdown off", {connected, 52, discharging, {}, 7500},
     "Connected, 52.0%, Discharging", "52%", "discharging"},
    {"infinite estimates", {connected, 57.1, charging, inf, inf}, "Connected, 57.1%, Charging", "57%", "charging"},
    {"negative estimate", {disconnected, 43.21, discharging, {}, -30}, "Disconnected, 43.2%, Discharging", "43%",
     "discharging"},
    {"percentage not a number", {connected, nan, charging, 1500, {}}, "Connected, Charging, full in 25 min",
     "Charging 25 min", "charging"},
    {"negative percentage", {disconnected, -3, unknown, {}, {}}, "Disconnected, Unknown", "Unknown", ""},
    {"absurd percentage", {disconnected, 1e300, {}, {}, {}}, "Disconnected", "Disconnected", ""},
    {"stale percentage and estimate", {connected, 98, charging, 200, {}, stale_bit(StatusFile::battery_percent) |
                                                                          stale_bit(StatusFile::secs_until_battery_full)},
     "Connected, 98.0% (stale), Charging, full in 3 min (stale)", "98% (stale) 3 min (stale)",
     "charging stale"},
    {"stale estimate is no alarm", {disconnected, 8, discharging, {}, 300,
                                    stale_bit(StatusFile::secs_until_shutdown_request)},
     "Disconnected, 8.0%, Discharging, shutdown in 5 min (stale)", "8% 5 min (stale)", "discharging stale"},
    {"everything stale: the daemon stopped", {disconnected, 8, discharging, {}, 300, all_files_stale},
     "Disconnected, 8.0%, Discharging, shutdown in 5 min (stale)", "8% 5 min (stale)", "stale"},
    {"no status at all", {}, "", "", ""},
};

TEST(StatusMeaning, LineShortTextAndClasses) {
    for (const MeaningCase& c : meaning_cases) {
        const StatusMeaning meaning = interpret(snapshot_of(c.files), Thresholds{});
        EXPECT_EQ(status_line(meaning), c.line) << c.label;
        EXPECT_EQ(short_status(meaning), c.short_text) << c.label;
        EXPECT_EQ(joined(status_classes(meaning)), c.classes) << c.label;
    }
}

TEST(StatusMeaning, ThresholdsComeFromTheOptions) {
    const StatusSnapshot snapshot = snapshot_of({disconnected, 20, discharging, {}, 1800});
    EXPECT_EQ(interpret(snapshot, Thresholds{.warning_seconds = 3600, .critical_seconds = 1800}).urgency,
              Urgency::critical);
    EXPECT_EQ(interpret(snapshot, Thresholds{.warning_seconds = 600, .critical_seconds = 300}).urgency,
              Urgency::normal);
}

TEST(StatusFormats, JsonTypesEveryValue) {
    const StatusSnapshot snapshot =
        snapshot_of({connected_slow, nan, discharging, inf, {}, stale_bit(StatusFile::battery_status),
                     CriticalAction::suspend_then_hibernate});
    EXPECT_EQ(format_status(OutputFormat::json, snapshot, {}, false),
              "{\"ac_status\":\"Connected slow\",\"battery_percent\":null,\"battery_status\":\"Discharging\","
              "\"secs_until_battery_full\":null,\"secs_until_shutdown_request\":null,"
              "\"critical_action\":\"suspend-then-hibernate\","
              "\"files\":{\"ac_status\":{\"age\":1.000,\"stale\":false},"
              "\"battery_percent\":{\"age\":1.000,\"stale\":false},"
              "\"battery_status\":{\"age\":20.000,\"stale\":true},"
              "\"secs_until_battery_full\":{\"age\":1.000,\"stale\":false},"
              "\"secs_until_shutdown_request\":null},\"stale\":false}\n");
}

TEST(StatusFormats, PrometheusSamples) {
    const std::string text =
        format_status(OutputFormat::prometheus, snapshot_of({{}, nan, full, inf, 1e21}), {}, false);
    for (const char* line : {"kestro_battery_percent NaN\n", "kestro_until_battery_full_seconds +Inf\n",
                             "kestro_until_shutdown_request_seconds 1000000000000000000000\n",
                             "kestro_ac_status{status=\"Connected slow\"} 0\n",
                             "kestro_battery_status{status=\"Full\"} 1\n",
                             "kestro_battery_status{status=\"Not charging\"} 0\n",
                             "kestro_status_file_age_seconds{file=\"battery_status\"} 1.000\n",
                             "kestro_status_stale 0\n", "kestro_critical_action{action=\"poweroff\"} 1\n",
                             "kestro_critical_action{action=\"hibernate\"} 0\n", "# TYPE kestro_ac_status gauge\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(text.find("{file=\"ac_status\"}"), std::string::npos) << "no age for an absent file";
    EXPECT_EQ(text.find("status=\"Connected\"} 1"), std::string::npos);
}

TEST(StatusFormats, BarBlocks) {
    const StatusSnapshot critical =
        snapshot_of({disconnected, 4.47, discharging, {}, 300, 0, CriticalAction::hibernate});
    EXPECT_EQ(format_status(OutputFormat::waybar, critical, {}, false),
              "{\"text\":\"4% 5 min\",\"alt\":\"discharging\","
              "\"tooltip\":\"Disconnected, 4.5%, Discharging, hibernate in 5 min\","
              "\"class\":[\"discharging\",\"critical\"],\"percentage\":4}\n");
    EXPECT_EQ(format_status(OutputFormat::i3blocks, critical, {}, false),
              "Disconnected, 4.5%, Discharging, hibernate in 5 min\n4% 5 min\n#FF0000\n");
    EXPECT_EQ(format_status(OutputFormat::i3blocks, critical, {}, true),
              "{\"full_text\":\"Disconnected, 4.5%, Discharging, hibernate in 5 min\",\"short_text\":\"4% 5 min\","
              "\"color\":\"#FF0000\",\"urgent\":\"true\"}\n");
    const StatusSnapshot nothing;
    EXPECT_EQ(format_status(OutputFormat::waybar, nothing, {}, false),
              "{\"text\":\"\",\"alt\":\"\",\"tooltip\":\"\",\"class\":[]}\n");
    EXPECT_EQ(format_status(OutputFormat::i3blocks, nothing, {}, false), "\n\n");
    EXPECT_EQ(format_status(OutputFormat::line, nothing, {}, true), "\n");
}

TEST(StatusFormats, MarkupTextEscapesWhatMarkupReads) {
    EXPECT_EQ(markup_text("<1 min & >99 h, &lt; \"x\" 'y'"), "&lt;1 min &amp; &gt;99 h, &amp;lt; \"x\" 'y'");
}

}  // namespace
}  // namespace kestro
