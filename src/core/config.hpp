// The configuration file: two optional numbers and the action of the
// low-battery shutdown, read once at start-up. Whatever is wrong with the file, the
// daemon reports it on one line and goes on with the built-in defaults.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "evaluate/settings.hpp"

namespace kestro {

inline constexpr const char* config_path = "/etc/kestro.toml";

// The longest file accepted. Both keys with a comment each take a few hundred
// bytes; anything near this size is not a configuration file.
inline constexpr std::size_t max_config_bytes = 64 * 1024;

// The deepest nesting accepted, counted before the document is parsed: each
// dotted-key part, array and inline table is one level, each part of a table
// header two (an array of tables and its table). The parser and the
// document's destruction recurse once per level, so this bounds their stack.
inline constexpr int max_config_nesting = 64;

// What the file sets; an absent key leaves its default.
struct Config {
    std::optional<double> request_shutdown_battery_percent;
    std::optional<double> force_shutdown_timeout_secs;
    std::optional<CriticalAction> critical_action;
    std::optional<std::string> history_directory;
    std::optional<bool> confirm_low_battery;
};

// Parses the file's bytes. The error is one printable line: the TOML
// library's report with its line and column, the reason a value is refused,
// or, for a document nested deeper than max_config_nesting (checked before
// parsing), "tables and arrays nested deeper than 64 levels at line <l>,
// column <c>". All or nothing: an error never applies either key.
[[nodiscard]] std::expected<Config, std::string> parse_config(std::string_view bytes);

// Reads the file at path, reports a failure as "read <path>: <reason>" on
// standard error, prints the two "Info: Config: " lines (a third,
// "Info: Config: critical_action: <name>", only for a sleeping action,
// "Info: Config: history_directory: <path>" only when it is set, and
// "Info: Config: confirm_low_battery: true" only when it is on) and returns the
// settings in force. Never fails, and never waits: only a regular file of at
// most max_config_bytes is read; anything else is reported with the system's
// error text ("Is a directory (os error 21)", "No such device or address
// (os error 6)" for a FIFO, socket or device, "File too large (os error 27)").
[[nodiscard]] Settings load_settings(const char* path = config_path);

}  // namespace kestro
