#include "power/charge_limit.hpp"

#include "base/attribute_file.hpp"
#include "base/number_format.hpp"
#include "base/number_grammar.hpp"
#include "base/output.hpp"
#include "base/pause.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

constexpr auto unlimited_charge_percent = static_cast<std::int32_t>(unlimited_charge_level);

// A limit file that fails is tried this many times per cycle, with a pause
// after every failed attempt.
constexpr int charge_limit_attempts = 3;
constexpr std::chrono::milliseconds charge_limit_retry_pause{333};

// One attempt: the whole file, trimmed, as a limit.
std::optional<std::int32_t> read_charge_limit_once(const std::string& path) {
    AttributeBuffer buffer;
    const auto content = read_attribute_file(path.c_str(), buffer);
    if (!content) {
        return std::nullopt;
    }
    const auto integer = parse_decimal<std::int32_t>(trim_white_space(*content));
    if (!integer) {
        return std::nullopt;
    }
    return charge_limit_from(*integer);
}

std::optional<std::int32_t> read_charge_limit(const std::string& path, PauseFunction pause,
                                              ReportedPaths& reported) {
    for (int attempt = 0; attempt < charge_limit_attempts; ++attempt) {
        if (const auto limit = read_charge_limit_once(path)) {
            return limit;
        }
        pause(charge_limit_retry_pause);
    }
    reported.report_once(path,
                         [&] { print_error_line({"read '", path, "': could not read from file 3 times in a row"}); });
    return std::nullopt;
}

// The limit in force this cycle, with its line when it is new; the line names
// the battery when there is one to name.
double refresh_limit(const std::optional<std::string>& charge_limit_file, std::string_view battery_dir,
                     std::optional<double> previous, ReportedPaths& reported, PauseFunction pause) {
    const double level = charge_limit_file
                             ? decide_max_charge_level(read_charge_limit(*charge_limit_file, pause, reported), previous)
                             : unlimited_charge_level;
    if (!previous || *previous != level) {
        const std::string_view open = battery_dir.empty() ? "" : "'";
        const std::string_view close = battery_dir.empty() ? "" : "' ";
        print_line({"Info: New MaxChargeLevel value detected for battery ", open, battery_dir, close, "= ",
                    format_shortest(level), "%"});
    }
    return level;
}

}  // namespace

std::optional<std::string> find_charge_limit_file(std::string_view battery_dir, std::string_view device_path) {
    for (std::string candidate : {std::string(device_path), attribute_path(battery_dir, charge_limit_attribute)}) {
        if (path_exists(candidate.c_str())) {
            print_line({"Info: Init: MaxChargeLevel feature: using '", candidate, "'"});
            return candidate;
        }
    }
    print_warning_line(
        {"Warning: Init: MaxChargeLevel feature: Cound not find suitable file, assuming MaxChargeLevel=100%"});
    return std::nullopt;
}

std::optional<std::int32_t> charge_limit_from(std::int32_t integer) {
    if (integer < 0) {
        return std::nullopt;
    }
    return integer == 0 ? unlimited_charge_percent : integer;
}

double decide_max_charge_level(std::optional<std::int32_t> value_read, std::optional<double> previous) {
    if (value_read && *value_read <= unlimited_charge_percent) {
        return *value_read;
    }
    return previous.value_or(unlimited_charge_level);
}

double refresh_max_charge_level(const std::optional<std::string>& charge_limit_file, std::optional<double> previous,
                                ReportedPaths& reported, PauseFunction pause) {
    return refresh_limit(charge_limit_file, {}, previous, reported, pause);
}

double refresh_battery_max_charge_level(const std::string& charge_limit_file, std::string_view battery_dir,
                                        std::optional<double> previous, ReportedPaths& reported) {
    return refresh_limit(charge_limit_file, battery_dir, previous, reported, pause_for);
}

}  // namespace kestro
