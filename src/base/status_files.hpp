// The status files, each once: its name, its kind and its place. The daemon
// writes them, kestro-status reads them, and every format and --watch walk
// this table; each of them keeps its own rule per file in a switch without a
// default, so that a new entry is a compile error (-Wswitch) wherever its
// rule is still missing.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kestro {

// Where the daemon publishes its status.
inline constexpr std::string_view status_directory = "/run/kestro";

// Written only with confirm_low_battery, outside the table so that no
// format shows it: "1" while the low level is being confirmed, else "0",
// every cycle before the others.
// Its temporary name, the name after a dot, as the table's.
inline constexpr std::string_view confirming_temporary_name = ".low_battery_confirming";
inline constexpr std::string_view confirming_file_name = confirming_temporary_name.substr(1);

// The files, in the order they are shown: the five of every cycle, indexing
// the snapshot's ages, then the optional ones.
enum class StatusFile : std::size_t {
    ac_status,
    battery_percent,
    battery_status,
    secs_until_battery_full,
    secs_until_shutdown_request,
    critical_action,
};

// A status word, or a number as format_shortest writes it.
enum class StatusFileKind { text, number };

// When the daemon writes a file.
enum class StatusFileWriting {
    every_cycle,
    // Only while a sleeping action is configured, and before the others, so
    // that a reader woken by them finds it fresh; rewritten every cycle, so
    // that its age tells it from a leftover of an earlier run. Absent or
    // stale, it is the default; it has no age of its own in the outputs.
    first_with_sleeping_action,
};

struct StatusFileEntry {
    StatusFile file;
    // ".ac_status": the published name is its tail, so that neither name is
    // ever joined and both can be handed to the system as they are.
    std::string_view temporary_name;
    StatusFileKind kind;
    StatusFileWriting writing;

    [[nodiscard]] constexpr std::string_view name() const { return temporary_name.substr(1); }
    [[nodiscard]] constexpr bool every_cycle() const { return writing == StatusFileWriting::every_cycle; }
};

// Every status file, in the order of StatusFile.
inline constexpr std::array<StatusFileEntry, 6> status_files{{
    {StatusFile::ac_status, ".ac_status", StatusFileKind::text, StatusFileWriting::every_cycle},
    {StatusFile::battery_percent, ".battery_percent", StatusFileKind::number, StatusFileWriting::every_cycle},
    {StatusFile::battery_status, ".battery_status", StatusFileKind::text, StatusFileWriting::every_cycle},
    {StatusFile::secs_until_battery_full, ".secs_until_battery_full", StatusFileKind::number,
     StatusFileWriting::every_cycle},
    {StatusFile::secs_until_shutdown_request, ".secs_until_shutdown_request", StatusFileKind::number,
     StatusFileWriting::every_cycle},
    {StatusFile::critical_action, ".critical_action", StatusFileKind::text,
     StatusFileWriting::first_with_sleeping_action},
}};

[[nodiscard]] constexpr const StatusFileEntry& entry_of(StatusFile file) {
    return status_files[static_cast<std::size_t>(file)];
}
// The file's temporary name in the status directory (".ac_status").
[[nodiscard]] constexpr std::string_view temporary_name(StatusFile file) { return entry_of(file).temporary_name; }
// The file's name in the status directory ("ac_status").
[[nodiscard]] constexpr std::string_view file_name(StatusFile file) { return entry_of(file).name(); }

// The files every cycle writes, each with an age in the snapshot (indexed
// by StatusFile) and in the machine formats: the table's first entries.
inline constexpr std::size_t status_file_count = [] {
    std::size_t count = 0;
    while (count < status_files.size() && status_files[count].every_cycle()) {
        ++count;
    }
    return count;
}();
inline constexpr std::array all_status_files = [] {
    std::array<StatusFile, status_file_count> files{};
    for (std::size_t at = 0; at < files.size(); ++at) {
        files[at] = status_files[at].file;
    }
    return files;
}();

// Every file in the order the daemon writes them each cycle: those written
// first, then the others, each in the table's order.
inline constexpr std::array publication_order = [] {
    std::array<StatusFile, status_files.size()> order{};
    std::size_t at = 0;
    for (const bool first : {true, false}) {
        for (const StatusFileEntry& entry : status_files) {
            if (entry.every_cycle() != first) {
                order[at++] = entry.file;
            }
        }
    }
    return order;
}();

// The file whose replacement ends a cycle: the last one written. A reader
// woken by it has the whole cycle.
inline constexpr StatusFile cycle_end_file = publication_order.back();

// The file of that name; none for any other name (a hidden temporary one).
[[nodiscard]] constexpr std::optional<StatusFile> status_file_named(std::string_view name) {
    for (const StatusFileEntry& entry : status_files) {
        if (entry.name() == name) {
            return entry.file;
        }
    }
    return std::nullopt;
}

// The table's promises, for those who walk it.
static_assert([] {
    for (std::size_t at = 0; at < status_files.size(); ++at) {
        if (static_cast<std::size_t>(status_files[at].file) != at || status_files[at].temporary_name[0] != '.') {
            return false;
        }
    }
    for (std::size_t at = status_file_count; at < status_files.size(); ++at) {
        if (status_files[at].every_cycle()) {
            return false;  // the snapshot's ages are indexed by StatusFile
        }
    }
    return true;
}());

}  // namespace kestro
