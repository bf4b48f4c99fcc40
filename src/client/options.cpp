#include "client/options.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "base/number_grammar.hpp"
#include "base/status_words.hpp"
#include "client/history.hpp"

namespace kestro {

namespace {

constexpr std::array<std::pair<std::string_view, OutputFormat>, 4> format_options = {{
    {"--json", OutputFormat::json},
    {"--waybar", OutputFormat::waybar},
    {"--i3blocks", OutputFormat::i3blocks},
    {"--prometheus", OutputFormat::prometheus},
}};

constexpr std::array<std::pair<std::string_view, bool Options::*>, 7> flag_options = {{
    {"--health", &Options::health},
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

const std::array<ValueOption, 9> value_options = {{
    {"--dir", "a directory"},
    {"--state-dir", "a directory"},
    {"--format", "a form of the history (svg, csv or json)"},
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

constexpr std::array<std::pair<std::string_view, HistoryFormat>, 3> history_formats = {{
    {"svg", HistoryFormat::svg},
    {"csv", HistoryFormat::csv},
    {"json", HistoryFormat::json},
}};

// The options that choose what is shown, as given; --history and --health
// each want to be the only one.
[[nodiscard]] std::optional<std::string> exclusive_conflict(const std::vector<std::string_view>& modes) {
    const auto exclusive = std::ranges::find_if(modes, [](std::string_view mode) {
        return mode == "--history" || mode == "--health";
    });
    if (exclusive == modes.end()) {
        return std::nullopt;
    }
    const auto other = std::ranges::find_if(modes, [&](std::string_view mode) { return mode != *exclusive; });
    if (other == modes.end()) {
        return std::nullopt;
    }
    const bool first = exclusive < other;
    return std::string(first ? *exclusive : *other) + " " + std::string(first ? *other : *exclusive) +
           ": not together";
}

// --history's optional duration: "=DURATION", or the next argument unless it is an option.
[[nodiscard]] std::expected<std::int64_t, std::string> history_duration(std::string_view argument,
                                                                        std::span<const char* const> arguments,
                                                                        std::size_t& index) {
    std::string_view text = "24h";
    if (argument.starts_with("--history=")) {
        text = argument.substr(argument.find('=') + 1);
    } else if (index + 1 < arguments.size() && !std::string_view(arguments[index + 1]).starts_with('-')) {
        text = arguments[++index];
    }
    if (const auto seconds = parse_history_duration(text)) {
        return *seconds;
    }
    return std::unexpected("--history " + std::string(text) +
                           ": not a duration (a whole number of m, h or d: 90m, 24h, 7d)");
}

}  // namespace

std::expected<Options, std::string> parse_options(std::span<const char* const> arguments,
                                                  const char* directory_variable) {
    Options options;
    std::string_view format_given;
    std::optional<std::string> directory;
    std::optional<std::string> state_directory_given;
    std::optional<std::string_view> history_format_given;
    std::vector<std::string_view> modes;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string_view argument = arguments[index];
        bool matched = false;
        for (const auto& [name, format] : format_options) {
            if (argument == name) {
                if (!format_given.empty()) {
                    return refused({format_given, " ", argument, ": only one format at a time"});
                }
                format_given = name;
                modes.push_back(name);
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
                if (name != "--help" && name != "-h" && name != "--version") {
                    modes.push_back(name);
                }
            }
        }
        if (argument == "--history" || argument.starts_with("--history=")) {
            const auto seconds = history_duration(argument, arguments, index);
            if (!seconds) {
                return std::unexpected(seconds.error());
            }
            options.history = *seconds;
            modes.push_back("--history");
            continue;
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
            if (name == "--format") {
                const auto* form = std::ranges::find(history_formats, value, &decltype(history_formats)::value_type::first);
                if (form == history_formats.end()) {
                    return refused({name, " ", value, ": not ", option->needs});
                }
                options.history_format = form->second;
                history_format_given = name;
            } else {
                (name == "--dir" ? directory : name == "--state-dir" ? state_directory_given : options.output) =
                    std::string(value);
            }
        } else if (const auto number = amount(value)) {
            option->place(options) = *number * option->scale;
        } else {
            return refused({name, " ", value, ": not ", option->needs, " (finite, not negative)"});
        }
    }
    if (const auto conflict = exclusive_conflict(modes)) {
        return std::unexpected(*conflict);
    }
    if (history_format_given && !options.history) {
        return refused({"--format needs --history"});
    }
    options.state_directory = state_directory_given.value_or(std::string(state_directory));
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
