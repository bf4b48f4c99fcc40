#include "power/attribute_reader.hpp"

#include <cerrno>
#include <cmath>
#include <expected>

#include "base/attribute_file.hpp"
#include "base/number_format.hpp"
#include "base/number_grammar.hpp"
#include "base/output.hpp"
#include "base/posix_io.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

void report_read_failure(std::string_view path, const Error& error, ReportedPaths& reported) {
    reported.report_once(path, [&] { print_error_line({"read ", path, ": ", error.text()}); });
}

// Reads "<directory>/<name>" whole, through path and buffer, and trims it;
// reports a failure once per path.
std::optional<std::string_view> read_trimmed(std::string_view directory, std::string_view name, PathText& path,
                                             AttributeBuffer& buffer, ReportedPaths& reported) {
    if (!path.assign({directory, "/", name})) {
        // No open() takes a path this long; the report still names it whole.
        report_read_failure(attribute_path(directory, name), SystemError{ENAMETOOLONG}, reported);
        return std::nullopt;
    }
    const auto content = read_attribute_file(path.c_str(), buffer);
    if (!content) {
        report_read_failure(path.view(), content.error(), reported);
        return std::nullopt;
    }
    return trim_white_space(*content);
}

}  // namespace

std::optional<std::string> read_text_attribute(std::string_view directory, std::string_view name,
                                               ReportedPaths& reported) {
    PathText path;
    AttributeBuffer buffer;
    const auto text = read_trimmed(directory, name, path, buffer, reported);
    if (!text) {
        return std::nullopt;
    }
    return std::string(*text);
}

std::optional<double> read_number_attribute(std::string_view directory, std::string_view name,
                                            ReportedPaths& reported) {
    PathText path;
    AttributeBuffer buffer;
    const auto text = read_trimmed(directory, name, path, buffer, reported);
    if (!text) {
        return std::nullopt;
    }
    const auto number = parse_attribute_number(*text);
    if (!number) {
        print_error_line({"read ", path.view(), ": ", number.error().text()});
        return std::nullopt;
    }
    if (!std::isfinite(*number)) {
        print_error_line({"read ", path.view(), ": ", format_shortest(*number), " is not finite"});
        return std::nullopt;
    }
    return *number;
}

double read_rate_attribute(const BatteryFiles& files, RateReadCounts& counts, std::uint64_t cycle,
                           ReportedPaths& reported) {
    const std::string_view name = flow_attribute(files);
    ++counts.attempts;
    const auto reading = read_number_attribute(files.directory, name, reported);
    if (reading) {
        return files.uses_power ? *reading : std::fabs(*reading);
    }
    const bool report_due = rate_failure_report_due(counts.failures);
    ++counts.failures;
    if (report_due) {
        print_error_line({"read ", files.directory, "/", name, ": ", format_integer(counts.failures),
                          " failed out of ", format_integer(counts.attempts), " attempts, loop counter=",
                          format_integer(cycle), " (throttled message)"});
    }
    return 0.0;
}

}  // namespace kestro
