#include "client/options.hpp"

#include <vector>

#include <gtest/gtest.h>

namespace kestro {
namespace {

std::expected<Options, std::string> parse(std::vector<const char*> arguments, const char* variable = nullptr) {
    return parse_options(arguments, variable);
}

TEST(Options, Defaults) {
    const auto options = parse({});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->format, OutputFormat::line);
    EXPECT_FALSE(options->watch);
    EXPECT_EQ(options->directory, "/run/kestro");
    EXPECT_EQ(options->output, std::nullopt);
    EXPECT_EQ(options->max_age, 10.0);
    EXPECT_EQ(options->thresholds.warning_seconds, 1800.0);
    EXPECT_EQ(options->thresholds.critical_seconds, 600.0);
    EXPECT_EQ(options->state_directory, "/var/lib/kestro");
    EXPECT_EQ(options->history, std::nullopt);
}

TEST(Options, HistoryWithOrWithoutADuration) {
    struct Case {
        std::vector<const char*> arguments;
        std::optional<std::int64_t> history;
        HistoryFormat format;
        bool health;
    };
    const Case cases[] = {
        {{"--history"}, 86400, HistoryFormat::chart, false},
        {{"--history", "90m", "--format", "svg"}, 5400, HistoryFormat::svg, false},
        {{"--format=csv", "--history=7d"}, 604800, HistoryFormat::csv, false},
        {{"--history", "--format", "json"}, 86400, HistoryFormat::json, false},
        {{"--health", "--state-dir", "/tmp/h"}, std::nullopt, HistoryFormat::chart, true},
    };
    for (const Case& c : cases) {
        const auto options = parse(c.arguments);
        ASSERT_TRUE(options.has_value()) << options.error();
        EXPECT_EQ(options->history, c.history) << c.arguments.front();
        EXPECT_EQ(options->history_format, c.format) << c.arguments.front();
        EXPECT_EQ(options->health, c.health) << c.arguments.front();
    }
    EXPECT_EQ(parse({"--health", "--state-dir=/tmp/h"})->state_directory, "/tmp/h");
}

TEST(Options, ValuesInBothSpellings) {
    const auto options = parse({"--watch", "--prometheus", "--output", "/tmp/k.prom", "--dir=/tmp/st",
                                "--max-age", "2.5", "--warning=60", "--critical", "0"},
                               "/ignored");
    ASSERT_TRUE(options.has_value());
    EXPECT_TRUE(options->watch);
    EXPECT_EQ(options->format, OutputFormat::prometheus);
    EXPECT_EQ(options->output, "/tmp/k.prom");
    EXPECT_EQ(options->directory, "/tmp/st");
    EXPECT_EQ(options->max_age, 2.5);
    EXPECT_EQ(options->thresholds.warning_seconds, 3600.0);
    EXPECT_EQ(options->thresholds.critical_seconds, 0.0);
}

TEST(Options, DirectoryFromTheEnvironmentUnlessEmpty) {
    EXPECT_EQ(parse({}, "/tmp/st")->directory, "/tmp/st");
    EXPECT_EQ(parse({}, "")->directory, "/run/kestro");
}

TEST(Options, EachFormat) {
    const std::pair<const char*, OutputFormat> formats[] = {{"--json", OutputFormat::json},
                                                            {"--waybar", OutputFormat::waybar},
                                                            {"--i3blocks", OutputFormat::i3blocks},
                                                            {"--prometheus", OutputFormat::prometheus}};
    for (const auto& [argument, format] : formats) {
        EXPECT_EQ(parse({argument})->format, format) << argument;
    }
}

TEST(Options, NotifyPrintsOnlyTheOutputAskedFor) {
    struct Case {
        std::vector<const char*> arguments;
        bool notify;
        bool print;
        double before_seconds;
        double critical_seconds;
    };
    const Case cases[] = {
        {{"--watch"}, false, true, 600, 180},
        {{"--notify"}, true, false, 600, 180},
        {{"--notify", "--waybar"}, true, true, 600, 180},
        {{"--notify", "--output", "/tmp/k"}, true, true, 600, 180},
        {{"--notify-before=20", "--notify-critical", "5", "--notify"}, true, false, 1200, 300},
    };
    for (const Case& c : cases) {
        const auto options = parse(c.arguments);
        ASSERT_TRUE(options.has_value()) << c.arguments.front();
        EXPECT_EQ(options->notify, c.notify) << c.arguments.front();
        EXPECT_EQ(options->print, c.print) << c.arguments.front();
        EXPECT_EQ(options->notify_thresholds.before_seconds, c.before_seconds);
        EXPECT_EQ(options->notify_thresholds.critical_seconds, c.critical_seconds);
    }
}

TEST(Options, RefusesWhatItCannotUseSayingWhy) {
    const std::pair<std::vector<const char*>, const char*> refused[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"-j"}, "unknown option -j"},
        {{"/run/kestro"}, "unexpected argument /run/kestro"},
        {{"--waybar", "--json"}, "--waybar --json: only one format at a time"},
        {{"--json", "--json"}, "--json --json: only one format at a time"},
        {{"--dir"}, "--dir needs a directory"},
        {{"--dir="}, "--dir needs a directory, not an empty one"},
        {{"--output", ""}, "--output needs a file name, not an empty one"},
        {{"--max-age", "abc"}, "--max-age abc: not a number of seconds (finite, not negative)"},
        {{"--max-age", "-1"}, "--max-age -1: not a number of seconds (finite, not negative)"},
        {{"--max-age", "inf"}, "--max-age inf: not a number of seconds (finite, not negative)"},
        {{"--max-age", "NaN"}, "--max-age NaN: not a number of seconds (finite, not negative)"},
        {{"--warning", "5 m"}, "--warning 5 m: not a number of minutes (finite, not negative)"},
        {{"--critical=1e999"}, "--critical 1e999: not a number of minutes (finite, not negative)"},
        {{"--watch=yes"}, "--watch takes no value"},
        {{"--max-age", "10", "extra"}, "unexpected argument extra"},
        {{"--notify=yes"}, "--notify takes no value"},
        {{"--notify-before", "-3"}, "--notify-before -3: not a number of minutes (finite, not negative)"},
        {{"--history", "1w"}, "--history 1w: not a duration (a whole number of m, h or d: 90m, 24h, 7d)"},
        {{"--history=0d"}, "--history 0d: not a duration (a whole number of m, h or d: 90m, 24h, 7d)"},
        {{"--history", "--format", "png"}, "--format png: not a form of the history (svg, csv or json)"},
        {{"--format", "svg"}, "--format needs --history"},
        {{"--state-dir="}, "--state-dir needs a directory, not an empty one"},
        {{"--json", "--history"}, "--json --history: not together"},
        {{"--health", "--watch"}, "--health --watch: not together"},
        {{"--history", "--health"}, "--history --health: not together"},
        {{"--health=yes"}, "--health takes no value"},
    };
    for (const auto& [arguments, reason] : refused) {
        EXPECT_EQ(parse(arguments), std::unexpected(std::string(reason))) << arguments.front();
    }
}

}  // namespace
}  // namespace kestro
