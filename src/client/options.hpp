// The command line of kestro-status.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "client/notification_plan.hpp"
#include "client/status_formats.hpp"
#include "client/status_meaning.hpp"

namespace kestro {

inline constexpr const char* status_directory_variable = "KESTRO_STATUS_DIR";

// Printed, on standard error, after the reason for any bad option or value.
inline constexpr std::string_view usage_line =
    "usage: kestro-status [--json | --waybar | --i3blocks | --prometheus] [--watch] [--output FILE] "
    "[--dir DIR] [--max-age SECONDS] [--warning MINUTES] [--critical MINUTES] "
    "[--notify [--notify-before MINUTES] [--notify-critical MINUTES]] | --probe | "
    "--history [DURATION] [--format svg|csv|json] | --health [--state-dir DIR]";

// What --history gives: the picture as text or SVG, or the records.
enum class HistoryFormat { chart, svg, csv, json };

struct Options {
    OutputFormat format = OutputFormat::line;
    bool watch = false;
    std::string directory;              // --dir, else $KESTRO_STATUS_DIR when not empty, else /run/kestro
    std::optional<std::string> output;  // --output: a file replaced whole instead of standard output
    double max_age = 10.0;              // seconds
    Thresholds thresholds;
    // --notify: watch and send desktop notifications; the format is then
    // written only when a format option or --output asks for it (print).
    bool notify = false;
    NotifyThresholds notify_thresholds;
    bool print = true;
    bool help = false;
    bool version = false;
    bool probe = false;  // --probe: would kestro work here (client/support_probe.hpp)
    std::string state_directory;  // --state-dir, else /var/lib/kestro: where the history is
    // --history [DURATION]: the time drawn, in seconds back from now (24 h
    // when no duration follows); --format: in what form.
    std::optional<std::int64_t> history;
    HistoryFormat history_format = HistoryFormat::chart;
    bool health = false;  // --health: the packs' wear from the history
};

// Parses the arguments after the program name, each option given as
// "--name VALUE" or "--name=VALUE". Numbers follow the grammar of the
// status files and must be finite and not negative. Fails on an unknown
// option, a missing or bad value, a second format or an empty file name,
// with the reason naming the option ("--max-age abc: not a number of
// seconds"); the caller prints it and the usage line. --history takes a
// duration when the next argument does not begin with "-"; it and --health
// go with no format option, --watch, --notify or --probe, nor with each
// other, and --format only with --history.
[[nodiscard]] std::expected<Options, std::string> parse_options(std::span<const char* const> arguments,
                                                   const char* directory_variable);

}  // namespace kestro
