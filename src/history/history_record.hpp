// The history's text, format 1: one record a line, its fields separated by one
// space, a letter, the wall-clock time in whole Unix seconds, then the record's
// own fields, "-" for one that is not known. The files are one per UTC day,
// "YYYY-MM-DD.history", each opened by the header; kestro-history(5) is the
// reader's description. Everything here is pure and built on the stack: a
// record is made every minute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/fixed_text.hpp"
#include "base/status_words.hpp"

namespace kestro {

// The first line of every file; a reader skips every line starting with "#".
inline constexpr std::string_view history_header = "# kestro history 1\n";

// The files' total kept when a day's file is opened: about 130 days.
inline constexpr std::uint64_t history_bound_bytes = 8388608;

// One record with its newline. The longest, a pack's, is under 100 bytes.
using HistoryLine = FixedText<160>;

// The machine at a sample: energies in µWh, the power in µW, as read.
struct HistorySample {
    std::optional<double> percent;
    std::optional<double> energy_now;
    std::optional<double> energy_full;
    std::optional<double> power;
    std::optional<AcStatus> adapter;
    std::optional<BatteryStatus> battery;
};

// A pack's wear: energies in µWh; the cycle count as read.
struct PackHealth {
    std::string_view pack;  // "BAT0"
    std::optional<double> energy_full;
    std::optional<double> energy_full_design;
    std::optional<double> cycle_count;
};

// "S <t> <percent> <energy_now> <energy_full> <power> <ac> <battery>": the
// percentage with one decimal, the energies in mWh and the power in mW as
// integers, the power never negative, the statuses by their first letter
// ("S" for "Connected slow", "N" for "Not charging").
[[nodiscard]] HistoryLine sample_record(std::int64_t time, const HistorySample& sample);

// "E <t> start <version>"
[[nodiscard]] HistoryLine start_record(std::int64_t time, std::string_view version);
// "E <t> ac <C|S|D|->"
[[nodiscard]] HistoryLine adapter_record(std::int64_t time, std::optional<AcStatus> adapter);
// "E <t> sleep <asleep_seconds> <percent_before> <percent_after>", the time
// asleep in whole seconds (rounded).
[[nodiscard]] HistoryLine sleep_record(std::int64_t time, double asleep_secs, std::optional<double> before,
                                       std::optional<double> after);
// "E <t> action <name> <percent>"
[[nodiscard]] HistoryLine action_record(std::int64_t time, CriticalAction action, std::optional<double> percent);
// "E <t> gone <pack>" or "E <t> back <pack>"
[[nodiscard]] HistoryLine presence_record(std::int64_t time, std::string_view pack, bool present);
// "P <t> <pack> <energy_full> <energy_full_design> <cycle_count>", mWh as
// integers; a cycle count of 0 or less is "-" (firmware's "unknown").
[[nodiscard]] HistoryLine pack_record(std::int64_t time, const PackHealth& health);

// The name of the file that holds the records of the UTC day of `time`:
// "2026-12-07.history".
using HistoryFileName = FixedText<32>;
[[nodiscard]] HistoryFileName history_file_name(std::int64_t time);

// Whether a directory entry is a day's file (and so the bound's to remove).
[[nodiscard]] bool is_history_file_name(std::string_view name);

// How many of the oldest files go so that the rest fit the bound: given the
// files' sizes oldest first, the newest being the day's file just opened,
// the count of those from the front whose removal brings the total to the
// bound or below. The newest is never counted, whatever its size.
[[nodiscard]] std::size_t history_files_to_remove(std::span<const std::uint64_t> sizes_oldest_first,
                                                  std::uint64_t bound = history_bound_bytes);

}  // namespace kestro
