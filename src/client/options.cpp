#include "client/options.hpp"

#include <array>
#include <cmath>
#include <utility>

#include "base/number_grammar.hpp"
#include "base/status_words.hpp"

namespace kestro {

namespace {

constexpr std::array<std::pair<std::string_view, OutputFormat>, 4> format_options = {{
    {"--json", OutputFormat::json},
    {"--waybar", OutputFormat::waybar},
    {"--i3blocks", OutputFormat::i3blocks},
    {"--prometheus", OutputFormat::prometheus},
}};

// A finite number, not negative.
[[nodiscard]] std::optional<double> amount(std::string_view text) {
    const auto number = parse_attribute_number(text);
    if (!number || !std::isfinite(*number) || *number < 0) {
        return std::nullopt;
    }
    return *number;
}

}  // namespace

std::optional<Options> parse_options(std::span<const char* const> arguments, const char* directory_variable) {
    Options options;
    bool format_given = false;
    std::optional<std::string> directory;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::string_view argument = arguments[index];
        bool matched = false;
        for (const auto& [name, format] : format_options) {
            if (argument == name) {
                if (format_given) {
                    return std::nullopt;
                }
                format_given = matched = true;
                options.format = format;
            }
        }
        if (matched) {
            continue;
        }
        if (argument == "--watch") {
            options.watch = true;
            continue;
        }
        if (argument == "--notify") {
            options.notify = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        if (argument == "--probe") {
            options.probe = true;
            continue;
        }

        // The options with a value, as "--name=VALUE" or "--name VALUE".
        std::string_view value;
        if (const std::size_t equals = argument.find('='); equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
        } else if (argument.starts_with("--") && index + 1 < arguments.size()) {
            value = arguments[++index];
        } else {
            return std::nullopt;
        }
        if (argument == "--dir" && !value.empty()) {
            directory = std::string(value);
        } else if (argument == "--output" && !value.empty()) {
            options.output = std::string(value);
        } else if (argument == "--max-age" && amount(value)) {
            options.max_age = *amount(value);
        } else if (argument == "--warning" && amount(value)) {
            options.thresholds.warning_seconds = *amount(value) * 60;
        } else if (argument == "--critical" && amount(value)) {
            options.thresholds.critical_seconds = *amount(value) * 60;
        } else if (argument == "--notify-before" && amount(value)) {
            options.notify_thresholds.before_seconds = *amount(value) * 60;
        } else if (argument == "--notify-critical" && amount(value)) {
            options.notify_thresholds.critical_seconds = *amount(value) * 60;
        } else {
            return std::nullopt;
        }
    }
    options.print = !options.notify || format_given || options.output;
    if (directory) {
        options.directory = std::move(*directory);
    } else if (directory_variable != nullptr && *directory_variable != '\0') {
        options.directory = directory_variable;
    } else {
        options.directory = status_directory;
    }
    return options;
}

}  // namespace kestro
