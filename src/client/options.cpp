#include "client/options.hpp"

#include <algorithm>
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

constexpr std::array<std::pair<std::string_view, bool Options::*>, 6> flag_options = {{
    {"--watch", &Options::watch},
    {"--notify", &Options::notify},
    {"--probe", &Options::probe},
    {"--help", &Options::help},
    {"-h", &Options::help},
    {"--version", &Options::version},
}};

// Whether `name` is an option without a value.
[[nodiscard]] bool is_flag(std::string_view name) {
    const auto named = [name](const auto& option) { return option.first == name; };
    return std::ranges::any_of(flag_options, named) || std::ranges::any_of(format_options, named);
}

// An option with a value: what it needs, and for a number where it goes and
// by what it is multiplied (minutes are kept as seconds); no place for a name.
struct ValueOption {
    std::string_view name;
    std::string_view needs;
    double& (*place)(Options&) = nullptr;
    double scale = 1;
};

const std::array<ValueOption, 7> value_options = {{
    {"--dir", "a directory"},
    {"--output", "a file name"},
    {"--max-age", "a number of seconds", [](Options& o) -> double& { return o.max_age; }},
    {"--warning", "a number of minutes", [](Options& o) -> double& { return o.thresholds.warning_seconds; }, 60},
    {"--critical", "a number of minutes", [](Options& o) -> double& { return o.thresholds.critical_seconds; }, 60},
    {"--notify-before", "a number of minutes",
     [](Options& o) -> double& { return o.notify_thresholds.before_seconds; }, 60},
    {"--notify-critical", "a number of minutes",
     [](Options& o) -> double& { return o.notify_thresholds.critical_seconds; }, 60},
}};

// A finite number, not negative.
[[nodiscard]] std::optional<double> amount(std::string_view text) {
    const auto number = parse_attribute_number(text);
    if (!number || !std::isfinite(*number) || *number < 0) {
        return std::nullopt;
    }
    return *number;
}

[[nodiscard]] std::unexpected<std::string> refused(std::initializer_list<std::string_view> parts) {
    std::string reason;
    for (const std::string_view part : parts) {
        reason += part;
    }
    return std::unexpected(std::move(reason));
}

}  // namespace

std::expected<Options, std::string> parse_options(std::span<const char* const> arguments,
                                                  const char* directory_variable) {
    Options options;
    std::string_view format_given;
    std::optional<std::string> directory;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string_view argument = arguments[index];
        bool matched = false;
        for (const auto& [name, format] : format_options) {
            if (argument == name) {
                if (!format_given.empty()) {
                    return refused({format_given, " ", argument, ": only one format at a time"});
                }
                format_given = name;
                matched = true;
                options.format = format;
            }
        }
        if (matched) {
            continue;
        }
        for (const auto& [name, flag] : flag_options) {
            if (argument == name) {
                options.*flag = matched = true;
            }
        }
        if (matched) {
            continue;
        }
        // The options with a value, as "--name=VALUE" or "--name VALUE".
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        const auto* option = std::ranges::find(value_options, name, &ValueOption::name);
        if (option == value_options.end()) {
            if (is_flag(name)) {
                return refused({name, " takes no value"});
            }
            return refused({argument.starts_with('-') ? "unknown option " : "unexpected argument ", argument});
        }
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
        } else if (index + 1 < arguments.size()) {
            value = arguments[++index];
        } else {
            return refused({name, " needs ", option->needs});
        }
        if (option->place == nullptr) {
            if (value.empty()) {
                return refused({name, " needs ", option->needs, ", not an empty one"});
            }
            (name == "--dir" ? directory : options.output) = std::string(value);
        } else if (const auto number = amount(value)) {
            option->place(options) = *number * option->scale;
        } else {
            return refused({name, " ", value, ": not ", option->needs, " (finite, not negative)"});
        }
    }
    options.print = !options.notify || !format_given.empty() || options.output;
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
