// The configuration file: two optional numbers about the low-battery
// shutdown, read once at start-up. Whatever is wrong with the file, the
// daemon reports it on one line and goes on with the built-in defaults.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

inline constexpr const char* config_path = "/etc/kestro.toml";

// The effective values, fixed for the life of the process.
struct Settings {
    // Battery charge, in percent, at which the machine is powered off.
    double request_shutdown_battery_percent = 0.49999998;
    // Seconds between the shutdown announcement and the power-off.
    double force_shutdown_timeout_secs = 10.0;
};

// What the file sets; an absent key leaves its default.
struct Config {
    std::optional<double> request_shutdown_battery_percent;
    std::optional<double> force_shutdown_timeout_secs;
};

// Parses the file's bytes. The error is one printable line: the TOML
// library's report with its line and column, or the reason a value is
// refused. All or nothing: an error never applies either key.
[[nodiscard]] std::expected<Config, std::string> parse_config(std::string_view bytes);

// Reads the file at path, reports a failure as "read <path>: <reason>" on
// standard error, prints the two "Info: Config: " lines and returns the
// settings in force. Never fails.
[[nodiscard]] Settings load_settings(const char* path = config_path);

}  // namespace kestro
