// Reads of the battery's and the adapter's attribute files for the monitor
// loop. Every read opens, reads whole and closes its file, builds its path
// anew and allocates nothing on the heap while it succeeds. No read retries,
// pauses or stops the daemon: a failure is reported on standard error and
// comes back as no value.
//
// A file that cannot be read (missing, unreadable, a directory, too large,
// not UTF-8) is reported as "read <path>: <error>" the first time only, for
// the life of the process (the ReportedPaths handed to the read). Content that is not a usable
// number is reported on every read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "power/battery_files.hpp"
#include "power/reported_paths.hpp"

namespace kestro {

// A read that keeps failing (a rate, a battery's charge among several) is
// summarised at its 1st, 61st, 121st ... failure.
inline constexpr std::uint64_t failure_report_interval = 60;

// Reads "<directory>/<name>" and returns its text without the Unicode white
// space at both ends, or none after reporting the failure.
[[nodiscard]] std::optional<std::string> read_text_attribute(std::string_view directory, std::string_view name,
                                                             ReportedPaths& reported);

// Reads "<directory>/<name>" as a finite number (number_grammar.hpp), or
// returns none. Besides the once-only report of a file that cannot be read,
// prints every time "read <path>: cannot parse float from empty string",
// "read <path>: invalid float literal" or "read <path>: <inf|-inf|NaN> is not
// finite".
[[nodiscard]] std::optional<double> read_number_attribute(std::string_view directory, std::string_view name,
                                                         ReportedPaths& reported);

// Reads "<directory>/<name>" as a finite number, for an attribute that not
// every battery has and that is read now and then (energy_full_design,
// cycle_count): none, and no report, when it cannot be read or is no number.
[[nodiscard]] std::optional<double> read_optional_number_attribute(std::string_view directory,
                                                                   std::string_view name);

// True when the failure that follows failures_before earlier ones is to be
// summarised.
[[nodiscard]] constexpr bool failure_report_due(std::uint64_t failures_before) {
    return failures_before % failure_report_interval == 0;
}

// The reads of one kind so far, kept by the monitor loop for the life of the
// process.
struct ReadCounts {
    std::uint64_t attempts = 0;
    std::uint64_t failures = 0;
};

// Counts an attempt, failed or not, in cycle `cycle`; a failure prints, when
// due, "read <directory><separator><name>: <failures> failed out of
// <attempts> attempts, loop counter=<cycle> (throttled message)".
void count_read(ReadCounts& counts, bool failed, std::uint64_t cycle, std::string_view directory,
                std::string_view separator, std::string_view name);

// Reads the battery's flow from the files' flow attribute (power_now when
// they use power, else current_now) in cycle `cycle`, counting the attempt.
// Returns the absolute current (a battery may report a discharge as
// negative) or the power as read. On failure counts it, prints, when due,
// "read <directory>/current_now: <failures> failed out of <attempts>
// attempts, loop counter=<cycle> (throttled message)" ("/power_now: " for
// the power) after the number read's own report, and returns none.
[[nodiscard]] std::optional<double> read_rate_attribute(const BatteryFiles& files, ReadCounts& counts,
                                                        std::uint64_t cycle, ReportedPaths& reported);

}  // namespace kestro
