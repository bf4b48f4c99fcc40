// The outputs of kestro-status, each a pure function of a snapshot: a line
// for people, JSON for scripts, blocks for Waybar and i3blocks, and the
// Prometheus text format for node_exporter's textfile collector.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/status_meaning.hpp"
#include "client/status_snapshot.hpp"

namespace kestro {

enum class OutputFormat { line, json, waybar, i3blocks, prometheus };

// One whole output, ending with a newline. `watching` selects the form a
// reader that stays connected expects where it differs (i3blocks reads one
// JSON object per line from a persistent block).
[[nodiscard]] std::string format_status(OutputFormat format, const StatusSnapshot& snapshot,
                                        const Thresholds& thresholds, bool watching);

// "Connected, 57.1%, Charging, full in 25 min": the known values in file
// order and the estimate that applies, the shutdown named as the configured
// action ("hibernate in 9 min", "hibernating"). A stale value is followed by
// " (stale)"; when every value is stale, the line ends with one " (stale)"
// instead. Empty when there is no value at all.
[[nodiscard]] std::string status_line(const StatusMeaning& meaning);

// "57% 25 min": the rounded percentage (or, without one, the battery or the
// adapter status) and the estimate, for narrow places; stale values marked
// as in the line, so that a bar without the stale class cannot look live.
[[nodiscard]] std::string short_status(const StatusMeaning& meaning);

// The classes a stylesheet can use: charging, discharging, full (the
// battery), slow-charger (the adapter is "Connected slow"), warning and
// critical (the shutdown is near), stale (a value shown is stale). When
// every value is stale, "stale" alone.
[[nodiscard]] std::vector<std::string_view> status_classes(const StatusMeaning& meaning);

// Every value typed (numbers as numbers, inf and NaN as null, an absent
// value as null), the configured action's name, each file's age in
// seconds and staleness (null for an absent file), and whether the whole
// status is stale.
[[nodiscard]] std::string json_status(const StatusSnapshot& snapshot);

// Waybar's custom-module protocol: text, alt, tooltip, class, percentage.
// Waybar reads text, alt and tooltip as Pango markup, so they are escaped
// (markup_text): "5% <1 min" as it is would be refused, and the bar would
// keep showing the previous text.
[[nodiscard]] std::string waybar_status(const StatusMeaning& meaning);

// i3blocks: the full text, the short text and, when it has one, the colour,
// one a line; as one JSON object when `json`, with "urgent" when critical,
// given as the string "true": i3blocks 1.4 (Debian 12) drops a JSON boolean
// from a block's line and hands on a string whose text is JSON as that
// JSON, so i3bar gets the boolean true that its "urgent" needs (a number
// it ignores).
[[nodiscard]] std::string i3blocks_status(const StatusMeaning& meaning, bool json);

// The text format: gauges for the percentage and both estimates, state sets
// with a "status" label for the adapter and the battery, one with an
// "action" label for the configured action, each file's age and the
// staleness of the whole.
[[nodiscard]] std::string prometheus_status(const StatusSnapshot& snapshot);

// The "# HELP" and "# TYPE ... gauge" lines of a gauge in the text format.
void append_gauge_header(std::string& out, std::string_view name, std::string_view help);

// One sample line: the name, its labels ("{pack=\"BAT0\"}" or none) and the value.
void append_sample(std::string& out, std::string_view name, std::string_view labels, std::string_view value);

// A gauge of one sample, or only its header when the value is absent;
// infinities as "+Inf" and "-Inf".
void append_number_gauge(std::string& out, std::string_view name, std::string_view help,
                         std::optional<double> value);

// The text as markup (Pango's, which notification servers use too) shows
// it: "&", "<" and ">" as entities, everything else as it is.
[[nodiscard]] std::string markup_text(std::string_view text);

}  // namespace kestro
