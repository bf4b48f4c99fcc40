// The battery's charge limit (MaxChargeLevel): a percentage from 0 to 100
// that some machines let the user set. The daemon only reads it, to aim its
// time-until-full estimate at the limit rather than at 100 %.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/pause.hpp"
#include "base/units.hpp"
#include "power/reported_paths.hpp"

namespace kestro {

// Where the handheld's embedded controller exposes its limit.
inline constexpr std::string_view device_charge_limit_path =
    "/sys/devices/pci0000:00/0000:00:14.3/PNP0C09:00/QXM0100:00/marlith-hwmon/hwmon/hwmon3/"
    "max_battery_charge_level";
// The battery attribute that holds the limit elsewhere.
inline constexpr std::string_view charge_limit_attribute = "charge_control_end_threshold";

// The limit in force when there is none to read, or none yet accepted; also
// what a limit of 0 stands for, and the highest limit accepted.
inline constexpr double unlimited_charge_level = full_charge_percent;

// Returns the first of device_path and "<battery_dir>/charge_control_end_threshold"
// that exists (following links; readability is not tested), after printing
// "Info: Init: MaxChargeLevel feature: using '<path>'". When neither exists
// prints "Warning: Init: MaxChargeLevel feature: Cound not find suitable
// file, assuming MaxChargeLevel=100%" and returns none.
[[nodiscard]] std::optional<std::string> find_charge_limit_file(
    std::string_view battery_dir, std::string_view device_path = device_charge_limit_path);

// A limit file and the limit last accepted from it: the memory each file
// needs, since a failed read keeps the limit before it.
struct ChargeLimit {
    std::optional<std::string> file;
    std::optional<double> level;
};

// What one successful read means: 0 is "no limit" (100); a positive value is
// itself, even above 100; a negative one is a failed read (none).
[[nodiscard]] std::optional<std::int32_t> charge_limit_from(std::int32_t integer);

// The limit in force this cycle: the value read when there is one and it is
// at most 100, else the previous one, else 100.
[[nodiscard]] double decide_max_charge_level(std::optional<std::int32_t> value_read, std::optional<double> previous);

using PauseFunction = void (*)(std::chrono::nanoseconds);

// Decides the limit in force this cycle and returns it (always 0 to 100).
// With no file the limit is 100. Otherwise reads the file, up to
// 3 times with a pause of 333 ms (through pause) after each failed
// attempt; when all fail, prints once for the life of the
// process "read '<path>': could not read from file 3 times in a row" on
// standard error. Prints "Info: New MaxChargeLevel value detected for battery
// = <value>%" when the result differs from previous or previous is none.
[[nodiscard]] double refresh_max_charge_level(const std::optional<std::string>& charge_limit_file,
                                              std::optional<double> previous, ReportedPaths& reported,
                                              PauseFunction pause = pause_for);

// The same for the limit of one battery among several, the line naming it:
// "Info: New MaxChargeLevel value detected for battery '<battery_dir>' = <value>%".
[[nodiscard]] double refresh_battery_max_charge_level(const std::string& charge_limit_file,
                                                      std::string_view battery_dir, std::optional<double> previous,
                                                      ReportedPaths& reported);

}  // namespace kestro
