// kestro's history as kestro-status reads it: the daemon's record files
// (format 1, described in kestro-status(1)) read back into records, and the
// records given to scripts as CSV or JSON.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// Where the daemon keeps its history under the shipped unit.
inline constexpr std::string_view state_directory = "/var/lib/kestro";

// The first line of every history file.
inline constexpr std::string_view history_header = "# kestro history 1";

// The most fields a record has after its time (a sample's six).
inline constexpr std::size_t max_record_fields = 6;

// One kind of record: its letter, its event word for an "E" record, and the
// names of its fields after the time (and after the event word). The names
// are the CSV columns and the JSON keys.
struct RecordKind {
    std::string_view letter;  // "S", "E" or "P"
    std::string_view event;   // "start", "ac", "sleep", "action", "gone", "back"; empty for S and P
    std::array<std::string_view, max_record_fields> names;
};

// One record: its kind, its wall-clock time in Unix seconds, and its fields
// as written ("-" for unknown), viewing the text of the History that holds it.
struct HistoryRecord {
    const RecordKind* kind = nullptr;
    std::int64_t time = 0;
    std::array<std::string_view, max_record_fields> fields;

    // The field of that name, none when the record has no such field.
    [[nodiscard]] std::optional<std::string_view> field(std::string_view name) const;
    // The field as a number; none when absent or unknown ("-").
    [[nodiscard]] std::optional<double> number(std::string_view name) const;
    [[nodiscard]] bool is(std::string_view letter, std::string_view event = {}) const {
        return kind->letter == letter && kind->event == event;
    }
};

// The records read, in file and line order, with the text they view.
struct History {
    std::vector<std::unique_ptr<std::string>> texts;
    std::vector<HistoryRecord> records;
};

// Parses one line (without its newline) into a record; none for a "#" line,
// an unknown kind or event, a missing or extra field, or a field outside its
// form: a time is a whole number; a percent a decimal; energies, powers,
// seconds and cycles whole numbers; the adapter C, S or D; the battery C, D,
// F, N or U; an action one of the four actions; a version or pack name
// letters, digits and ".-_+". Any field but a time or an event word may be
// "-". The record views `line`.
[[nodiscard]] std::optional<HistoryRecord> parse_history_line(std::string_view line);

// Reads every "*.history" file of `directory` in name order, keeping the
// records at or after `since` (Unix seconds). A file is skipped when it
// cannot be read or does not begin with the header; a line when it does not
// end in a newline (torn by a kill) or does not parse. Files named for a
// UTC day before the day of `since` are not opened. Fails, with the reason
// for the line "no history in <directory>: <reason>", when the directory
// cannot be read or holds no readable history file.
[[nodiscard]] std::expected<History, std::string> read_history(const std::string& directory, std::int64_t since);

// A duration as people write it for --history: a whole number and a unit,
// "90m", "24h", "7d" (minutes, hours, days), more than zero and at most
// 10 years; in seconds.
[[nodiscard]] std::optional<std::int64_t> parse_history_duration(std::string_view text);

// One CSV row per record after a header naming every field of every kind
// (history_csv_header); a field a record does not have, or does not know,
// is an empty cell; the adapter and battery in the status words.
[[nodiscard]] std::string history_csv(const std::vector<HistoryRecord>& records);

// A JSON array with one object a line per record: "record" ("sample",
// "event", "pack"), "time", "event" for an event, and each field by name,
// numbers as numbers, words as strings, unknown as null.
[[nodiscard]] std::string history_json(const std::vector<HistoryRecord>& records);

}  // namespace kestro
