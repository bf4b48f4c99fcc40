// What kestro-status reads: the status files of one directory at one
// moment, each value typed, with the age of its file. A plain record, so that
// every output (a line, JSON, a bar's block, metrics, a notification) is a
// pure function of it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "base/status_words.hpp"

namespace kestro {

// How old a file was when it was read.
struct FileAge {
    double seconds = 0.0;  // since it was last replaced; never negative
    bool stale = false;    // older than the maximum age
};

// A value is present exactly when its file could be read and held a value of
// its kind; then, and only then, its age is present too.
struct StatusSnapshot {
    std::optional<AcStatus> ac_status;
    std::optional<double> battery_percent;  // as published: may be inf or NaN
    std::optional<BatteryStatus> battery_status;
    std::optional<double> secs_until_battery_full;
    std::optional<double> secs_until_shutdown_request;
    std::array<std::optional<FileAge>, status_file_count> ages{};
    // From the daemon's critical_action file while it is fresh; none (an
    // older daemon, or the default) means poweroff.
    std::optional<CriticalAction> critical_action;
    // The daemon's low_battery_confirming file is fresh and reads 1.
    bool confirming = false;

    [[nodiscard]] const std::optional<FileAge>& age(StatusFile file) const {
        return ages[static_cast<std::size_t>(file)];
    }
    [[nodiscard]] bool stale(StatusFile file) const { return age(file) && age(file)->stale; }
    [[nodiscard]] CriticalAction action() const { return critical_action.value_or(CriticalAction::poweroff); }
};

// One file's value as a word or a number, by the file's kind: for the walks
// over every file (the comparison, JSON). None where the file is absent,
// the critical action's included.
struct StatusValue {
    std::optional<std::string_view> word;
    std::optional<double> number;
};
[[nodiscard]] StatusValue value_of(const StatusSnapshot& snapshot, StatusFile file);

// True when at least one file holds a value.
[[nodiscard]] bool has_status(const StatusSnapshot& snapshot);

// True when there are values and every one of them is stale: the daemon no
// longer runs (or no longer learns anything).
[[nodiscard]] bool all_stale(const StatusSnapshot& snapshot);

// True when both hold the same values (NaN equals NaN) and the same files
// are stale; the ages themselves are not compared.
[[nodiscard]] bool same_status(const StatusSnapshot& a, const StatusSnapshot& b);

// Seconds after the reading at which the next fresh file turns stale; none
// when no file is fresh.
[[nodiscard]] std::optional<double> seconds_until_next_stale(const StatusSnapshot& snapshot, double max_age);

// The content of a file as a value of its kind: the text trimmed of white
// space must be exactly a status word, or a number in the grammar of the
// sysfs numbers (inf and NaN included). None for anything else.
[[nodiscard]] std::optional<AcStatus> parse_ac_status(std::string_view content);
[[nodiscard]] std::optional<BatteryStatus> parse_battery_status(std::string_view content);
[[nodiscard]] std::optional<double> parse_status_number(std::string_view content);

// Reads the files of `directory`, each opened anew and read whole with
// one bounded read, and takes each file's age from its modification time. A
// file that is missing, not a regular file (a link to one is), unreadable,
// too large, not UTF-8 or malformed is an absent value. A file older than max_age seconds is stale. Never fails.
[[nodiscard]] StatusSnapshot read_status_snapshot(std::string_view directory, double max_age);

}  // namespace kestro
