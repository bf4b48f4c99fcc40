#include "power/attribute_reader.hpp"

#include <cmath>
#include <expected>

#include "core/number_format.hpp"
#include "core/output.hpp"
#include "core/utf8.hpp"
#include "power/attribute_file.hpp"
#include "power/attribute_path.hpp"
#include "power/number_grammar.hpp"
#include "power/reported_paths.hpp"

namespace kestro {

namespace {

// Reads the file whole and trims it; reports a failure once per path.
std::optional<std::string_view> read_trimmed(const AttributePath& path, AttributeBuffer& buffer) {
    const auto content = read_attribute_file(path.c_str(), buffer);
    if (!content) {
        report_once(path.view(), [&] { print_error_line({"read ", path.view(), ": ", describe(content.error())}); });
        return std::nullopt;
    }
    return trim_white_space(*content);
}

}  // namespace

std::optional<std::string> read_text_attribute(std::string_view directory, std::string_view name) {
    const AttributePath path(directory, name);
    AttributeBuffer buffer;
    const auto text = read_trimmed(path, buffer);
    if (!text) {
        return std::nullopt;
    }
    return std::string(*text);
}

std::optional<double> read_number_attribute(std::string_view directory, std::string_view name) {
    const AttributePath path(directory, name);
    AttributeBuffer buffer;
    const auto text = read_trimmed(path, buffer);
    if (!text) {
        return std::nullopt;
    }
    const auto number = parse_attribute_number(*text);
    if (!number) {
        print_error_line({"read ", path.view(), ": ", reason_text(number.error())});
        return std::nullopt;
    }
    if (!std::isfinite(*number)) {
        print_error_line({"read ", path.view(), ": ", format_shortest(*number), " is not finite"});
        return std::nullopt;
    }
    return *number;
}

double read_rate_attribute(std::string_view battery_dir, bool uses_power, std::uint64_t& attempts,
                           std::uint64_t& failures, std::uint64_t cycle) {
    const std::string_view name = uses_power ? power_attribute : current_attribute;
    ++attempts;
    const auto reading = read_number_attribute(battery_dir, name);
    if (reading) {
        return uses_power ? *reading : std::fabs(*reading);
    }
    const bool report_due = rate_failure_report_due(failures);
    ++failures;
    if (report_due) {
        print_error_line({"read ", battery_dir, "/", name, ": ", format_integer(failures), " failed out of ",
                          format_integer(attempts), " attempts, loop counter=", format_integer(cycle),
                          " (throttled message)"});
    }
    return 0.0;
}

}  // namespace kestro
