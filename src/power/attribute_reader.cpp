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

// Reads "<directory>/<name>" whole into a buffer on the stack and hands its
// trimmed text, with the path for reports, to `use`; a failure is reported
// once per path and gives none.
template <class Use>
auto with_trimmed_attribute(std::string_view directory, std::string_view name, ReportedPaths& reported, Use use)
    -> decltype(use(std::string_view(), std::string_view())) {
    PathText path;
    if (!path.assign({directory, "/", name})) {
        // No open() takes a path this long; the report still names it whole.
        report_read_failure(attribute_path(directory, name), SystemError{ENAMETOOLONG}, reported);
        return std::nullopt;
    }
    AttributeBuffer buffer;
    const auto content = read_attribute_file(path.c_str(), buffer);
    if (!content) {
        report_read_failure(path.view(), content.error(), reported);
        return std::nullopt;
    }
    return use(trim_white_space(*content), path.view());
}

}  // namespace

std::optional<std::string> read_text_attribute(std::string_view directory, std::string_view name,
                                               ReportedPaths& reported) {
    return with_trimmed_attribute(directory, name, reported, [](std::string_view text, std::string_view) {
        return std::optional<std::string>(text);
    });
}

std::optional<double> read_number_attribute(std::string_view directory, std::string_view name,
                                            ReportedPaths& reported) {
    return with_trimmed_attribute(
        directory, name, reported, [](std::string_view text, std::string_view path) -> std::optional<double> {
            const auto number = parse_attribute_number(text);
            if (!number) {
                print_error_line({"read ", path, ": ", number.error().text()});
                return std::nullopt;
            }
            if (!std::isfinite(*number)) {
                print_error_line({"read ", path, ": ", format_shortest(*number), " is not finite"});
                return std::nullopt;
            }
            return *number;
        });
}

std::optional<double> read_optional_number_attribute(std::string_view directory, std::string_view name) {
    PathText path;
    AttributeBuffer buffer;
    if (!path.assign({directory, "/", name})) {
        return std::nullopt;
    }
    const auto content = read_attribute_file(path.c_str(), buffer);
    if (!content) {
        return std::nullopt;
    }
    const auto number = parse_attribute_number(trim_white_space(*content));
    return number && std::isfinite(*number) ? std::optional(*number) : std::nullopt;
}

void count_read(ReadCounts& counts, bool failed, std::uint64_t cycle, std::string_view directory,
                std::string_view separator, std::string_view name) {
    ++counts.attempts;
    if (!failed) {
        return;
    }
    const bool report_due = failure_report_due(counts.failures);
    ++counts.failures;
    if (report_due) {
        print_error_line({"read ", directory, separator, name, ": ", format_integer(counts.failures),
                          " failed out of ", format_integer(counts.attempts), " attempts, loop counter=",
                          format_integer(cycle), " (throttled message)"});
    }
}

std::optional<double> read_rate_attribute(const BatteryFiles& files, ReadCounts& counts, std::uint64_t cycle,
                                          ReportedPaths& reported) {
    const std::string_view name = flow_attribute(files);
    std::optional<double> reading = read_number_attribute(files.directory, name, reported);
    count_read(counts, !reading, cycle, files.directory, "/", name);
    if (reading && !files.uses_power) {
        *reading = std::fabs(*reading);
    }
    return reading;
}

}  // namespace kestro
