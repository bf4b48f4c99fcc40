#include "client/status_formats.hpp"

#include <cmath>
#include <optional>

#include "base/number_format.hpp"

namespace kestro {

namespace {

// Separates the fields of a line or the members of a JSON object.
class Joiner {
public:
    Joiner(std::string& out, std::string_view separator) : out_(out), separator_(separator) {}
    std::string& next() {
        if (!first_) {
            out_ += separator_;
        }
        first_ = false;
        return out_;
    }

private:
    std::string& out_;
    std::string_view separator_;
    bool first_ = true;
};

void append_stale_mark(std::string& out, bool stale) {
    if (stale) {
        out += " (stale)";
    }
}

// Every text here is a status word, a number or a duration; the escaping
// keeps the output valid JSON whatever a future text holds.
void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            constexpr std::string_view hex = "0123456789abcdef";
            out += "\\u00";
            out += hex[static_cast<unsigned char>(c) >> 4];
            out += hex[static_cast<unsigned char>(c) & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_json_member(Joiner& members, std::string_view key) {
    std::string& out = members.next();
    append_json_string(out, key);
    out += ':';
}

void append_json_number(std::string& out, std::optional<double> value) {
    out += value && std::isfinite(*value) ? format_shortest(*value).view() : std::string_view("null");
}

void append_json_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

// The action's configured name ("poweroff", "hibernate"), as the machine
// formats carry it.
[[nodiscard]] std::string_view text_of(CriticalAction action) { return words_of(action).name; }

// A file's value by its kind, null when absent; but the action is always
// named, poweroff without its file.
void append_json_value(std::string& out, const StatusSnapshot& snapshot, const StatusFileEntry& entry) {
    const StatusValue value = value_of(snapshot, entry.file);
    if (entry.kind == StatusFileKind::number) {
        append_json_number(out, value.number);
    } else if (entry.file == StatusFile::critical_action) {
        append_json_string(out, text_of(snapshot.action()));
    } else if (value.word) {
        append_json_string(out, *value.word);
    } else {
        out += "null";
    }
}

[[nodiscard]] std::string age_text(const FileAge& age) { return std::string(format_fixed(age.seconds, 3).view()); }

// The configured action as the outputs name it: "shutdown in 9 min",
// "shutting down"; a hibernating laptop must not read "shutdown".
struct ActionNames {
    std::string_view noun;
    std::string_view doing;
};

[[nodiscard]] ActionNames names_of(CriticalAction action) {
    switch (action) {
        case CriticalAction::poweroff: return {"shutdown", "shutting down"};
        case CriticalAction::hibernate: return {"hibernate", "hibernating"};
        case CriticalAction::hybrid_sleep: return {"hybrid sleep", "entering hybrid sleep"};
        case CriticalAction::suspend_then_hibernate:
            return {"suspend (then hibernate)", "suspending (then hibernating)"};
    }
    return {"shutdown", "shutting down"};
}

// The estimate as the line shows it.
[[nodiscard]] std::string estimate_words(const Estimate& estimate, CriticalAction action) {
    const ActionNames names = names_of(action);
    switch (estimate.kind) {
        case EstimateKind::full_in: return "full in " + std::string(format_duration(estimate.seconds).view());
        case EstimateKind::shutdown_in:
            return std::string(names.noun) + " in " + std::string(format_duration(estimate.seconds).view());
        case EstimateKind::shutting_down: return std::string(names.doing);
    }
    return "";
}

[[nodiscard]] std::string short_estimate(const Estimate& estimate, CriticalAction action) {
    return std::string(estimate.kind == EstimateKind::shutting_down ? names_of(action).noun
                                                                     : format_duration(estimate.seconds).view());
}

// A fresh "Connected slow": a charger too weak to charge.
[[nodiscard]] bool slow_charger(const StatusMeaning& meaning) {
    return meaning.adapter && !meaning.adapter->stale && meaning.adapter->value == AcStatus::connected_slow;
}

// Waybar's alt, for icons by state.
[[nodiscard]] std::string_view state_word(const StatusMeaning& meaning) {
    if (meaning.all_stale) {
        return "stale";
    }
    if (slow_charger(meaning)) {
        return "slow-charger";
    }
    if (!meaning.battery) {
        return "";
    }
    switch (meaning.battery->value) {
        case BatteryStatus::charging: return "charging";
        case BatteryStatus::discharging: return "discharging";
        case BatteryStatus::full: return "full";
        case BatteryStatus::not_charging: return "not-charging";
        case BatteryStatus::unknown: return "unknown";
    }
    return "";
}

// i3blocks' colour: none when all is well.
[[nodiscard]] std::string_view colour(const StatusMeaning& meaning) {
    if (meaning.all_stale) {
        return "#808080";
    }
    if (meaning.urgency == Urgency::critical) {
        return "#FF0000";
    }
    if (meaning.urgency == Urgency::warning) {
        return "#FFA500";
    }
    if (slow_charger(meaning)) {
        return "#FFFF00";
    }
    return "";
}

[[nodiscard]] bool some_value_stale(const StatusMeaning& meaning) {
    return (meaning.adapter && meaning.adapter->stale) || (meaning.percent && meaning.percent->stale) ||
           (meaning.battery && meaning.battery->stale) || (meaning.estimate && meaning.estimate->stale);
}

// A state set: one sample per status, 1 for the present one.
template <class Status, std::size_t count>
void append_state_set(std::string& out, std::string_view name, std::string_view help,
                      const std::array<Status, count>& states, std::optional<Status> present,
                      std::string_view label = "status") {
    append_gauge_header(out, name, help);
    for (const Status state : states) {
        std::string labels = "{";
        labels += label;
        labels += "=\"";
        labels += text_of(state);
        labels += "\"}";
        append_sample(out, name, labels, state == present ? "1" : "0");
    }
}

// A file's metric: a gauge of a number, a state set of a word.
void append_file_metric(std::string& out, const StatusSnapshot& snapshot, StatusFile file) {
    switch (file) {
        case StatusFile::battery_percent:
            return append_number_gauge(out, "kestro_battery_percent",
                                       "Battery charge in percent of its full capacity.", snapshot.battery_percent);
        case StatusFile::secs_until_battery_full:
            return append_number_gauge(out, "kestro_until_battery_full_seconds",
                                       "Time until the charge reaches its target at the present draw.",
                                       snapshot.secs_until_battery_full);
        case StatusFile::secs_until_shutdown_request:
            return append_number_gauge(out, "kestro_until_shutdown_request_seconds",
                                       "Time until the charge falls to the shutdown level at the present draw.",
                                       snapshot.secs_until_shutdown_request);
        case StatusFile::ac_status:
            return append_state_set(out, "kestro_ac_status",
                                    "Adapter status: 1 for the present one, all 0 while it is unknown.",
                                    all_ac_statuses, snapshot.ac_status);
        case StatusFile::battery_status:
            return append_state_set(out, "kestro_battery_status",
                                    "Battery status: 1 for the present one, all 0 while it is unknown.",
                                    all_battery_statuses, snapshot.battery_status);
        case StatusFile::critical_action:
            return append_state_set(out, "kestro_critical_action",
                                    "What kestro does at the shutdown level: 1 for the configured action.",
                                    all_critical_actions, std::optional(snapshot.action()), "action");
    }
}

// One field of the line and whether its value is stale.
struct LineField {
    std::string text;
    bool stale = false;
};

// A file's field in the line, none where it shows nothing: the estimate
// stands where its file does, and the action only names the estimate.
[[nodiscard]] std::optional<LineField> line_field(const StatusMeaning& meaning, StatusFile file) {
    const auto estimate_from = [&](bool full_in) -> std::optional<LineField> {
        if (!meaning.estimate || (meaning.estimate->kind == EstimateKind::full_in) != full_in) {
            return std::nullopt;
        }
        return LineField{estimate_words(*meaning.estimate, meaning.action), meaning.estimate->stale};
    };
    switch (file) {
        case StatusFile::ac_status:
            if (meaning.adapter) {
                return LineField{std::string(text_of(meaning.adapter->value)), meaning.adapter->stale};
            }
            return std::nullopt;
        case StatusFile::battery_percent:
            if (meaning.percent) {
                return LineField{std::string(format_fixed(meaning.percent->value, 1).view()) + '%',
                                 meaning.percent->stale};
            }
            return std::nullopt;
        case StatusFile::battery_status:
            if (meaning.battery) {
                return LineField{std::string(text_of(meaning.battery->value)), meaning.battery->stale};
            }
            return std::nullopt;
        case StatusFile::secs_until_battery_full: return estimate_from(true);
        case StatusFile::secs_until_shutdown_request: return estimate_from(false);
        case StatusFile::critical_action: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

void append_gauge_header(std::string& out, std::string_view name, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += " gauge\n";
}

void append_sample(std::string& out, std::string_view name, std::string_view labels, std::string_view value) {
    out += name;
    out += labels;
    out += ' ';
    out += value;
    out += '\n';
}

// A gauge of one sample, or none when the value is absent. The format's own
// words for the special values.
void append_number_gauge(std::string& out, std::string_view name, std::string_view help,
                         std::optional<double> value) {
    append_gauge_header(out, name, help);
    if (!value) {
        return;
    }
    if (std::isinf(*value)) {
        append_sample(out, name, "", *value > 0 ? "+Inf" : "-Inf");
    } else {
        append_sample(out, name, "", format_shortest(*value).view());  // NaN is "NaN" in both
    }
}

std::string status_line(const StatusMeaning& meaning) {
    std::string line;
    Joiner fields(line, ", ");
    // Marks per value only where some values are current.
    const bool marks = !meaning.all_stale;
    for (const StatusFileEntry& entry : status_files) {
        if (const auto field = line_field(meaning, entry.file)) {
            fields.next() += field->text;
            append_stale_mark(line, marks && field->stale);
        }
    }
    append_stale_mark(line, meaning.all_stale);
    return line;
}

std::string short_status(const StatusMeaning& meaning) {
    std::string text;
    Joiner fields(text, " ");
    const bool marks = !meaning.all_stale;
    if (meaning.percent) {
        fields.next() += format_fixed(meaning.percent->value, 0).view();
        text += '%';
        append_stale_mark(text, marks && meaning.percent->stale);
    } else if (meaning.battery) {
        fields.next() += text_of(meaning.battery->value);
        append_stale_mark(text, marks && meaning.battery->stale);
    } else if (meaning.adapter) {
        fields.next() += text_of(meaning.adapter->value);
        append_stale_mark(text, marks && meaning.adapter->stale);
    }
    if (meaning.estimate) {
        fields.next() += short_estimate(*meaning.estimate, meaning.action);
        append_stale_mark(text, marks && meaning.estimate->stale);
    }
    append_stale_mark(text, meaning.all_stale);
    return text;
}

std::vector<std::string_view> status_classes(const StatusMeaning& meaning) {
    if (meaning.all_stale) {
        return {"stale"};
    }
    std::vector<std::string_view> classes;
    if (meaning.battery && !meaning.battery->stale) {
        switch (meaning.battery->value) {
            case BatteryStatus::charging: classes.emplace_back("charging"); break;
            case BatteryStatus::discharging: classes.emplace_back("discharging"); break;
            case BatteryStatus::full: classes.emplace_back("full"); break;
            case BatteryStatus::not_charging:
            case BatteryStatus::unknown: break;
        }
    }
    if (slow_charger(meaning)) {
        classes.emplace_back("slow-charger");
    }
    if (meaning.urgency == Urgency::warning) {
        classes.emplace_back("warning");
    } else if (meaning.urgency == Urgency::critical) {
        classes.emplace_back("critical");
    }
    if (some_value_stale(meaning)) {
        classes.emplace_back("stale");
    }
    return classes;
}

std::string json_status(const StatusSnapshot& snapshot) {
    std::string out = "{";
    Joiner members(out, ",");
    for (const StatusFileEntry& entry : status_files) {
        append_json_member(members, entry.name());
        append_json_value(out, snapshot, entry);
    }
    append_json_member(members, "files");
    out += '{';
    Joiner files(out, ",");
    for (const StatusFile file : all_status_files) {
        append_json_member(files, file_name(file));
        const auto& age = snapshot.age(file);
        if (!age) {
            out += "null";
            continue;
        }
        out += "{\"age\":";
        out += age_text(*age);
        out += ",\"stale\":";
        append_json_bool(out, age->stale);
        out += '}';
    }
    out += '}';
    append_json_member(members, "stale");
    append_json_bool(out, all_stale(snapshot));
    out += "}\n";
    return out;
}

std::string waybar_status(const StatusMeaning& meaning) {
    std::string out = "{";
    Joiner members(out, ",");
    append_json_member(members, "text");
    append_json_string(out, markup_text(short_status(meaning)));
    append_json_member(members, "alt");
    append_json_string(out, markup_text(state_word(meaning)));
    append_json_member(members, "tooltip");
    append_json_string(out, markup_text(status_line(meaning)));
    append_json_member(members, "class");
    out += '[';
    Joiner classes(out, ",");
    for (const std::string_view name : status_classes(meaning)) {
        append_json_string(classes.next(), name);
    }
    out += ']';
    if (meaning.percent) {
        append_json_member(members, "percentage");
        out += format_fixed(meaning.percent->value, 0).view();
    }
    out += "}\n";
    return out;
}

std::string i3blocks_status(const StatusMeaning& meaning, bool json) {
    const std::string_view colour_text = colour(meaning);
    std::string out;
    if (!json) {
        out = status_line(meaning) + '\n' + short_status(meaning) + '\n';
        if (!colour_text.empty()) {
            out += colour_text;
            out += '\n';
        }
        return out;
    }
    out = "{";
    Joiner members(out, ",");
    append_json_member(members, "full_text");
    append_json_string(out, status_line(meaning));
    append_json_member(members, "short_text");
    append_json_string(out, short_status(meaning));
    if (!colour_text.empty()) {
        append_json_member(members, "color");
        append_json_string(out, colour_text);
    }
    if (meaning.urgency == Urgency::critical) {
        append_json_member(members, "urgent");
        append_json_string(out, "true");
    }
    out += "}\n";
    return out;
}

std::string prometheus_status(const StatusSnapshot& snapshot) {
    std::string out;
    // The gauges first, then the state sets.
    for (const StatusFileKind kind : {StatusFileKind::number, StatusFileKind::text}) {
        for (const StatusFileEntry& entry : status_files) {
            if (entry.kind == kind) {
                append_file_metric(out, snapshot, entry.file);
            }
        }
    }
    append_gauge_header(out, "kestro_status_file_age_seconds",
                        "Time since kestro last replaced the status file, when it was read.");
    for (const StatusFile file : all_status_files) {
        if (const auto& age = snapshot.age(file)) {
            std::string labels = "{file=\"";
            labels += file_name(file);
            labels += "\"}";
            append_sample(out, "kestro_status_file_age_seconds", labels, age_text(*age));
        }
    }
    append_gauge_header(out, "kestro_status_stale", "1 when every status file is stale: kestro has stopped.");
    append_sample(out, "kestro_status_stale", "", all_stale(snapshot) ? "1" : "0");
    return out;
}

std::string markup_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string format_status(OutputFormat format, const StatusSnapshot& snapshot, const Thresholds& thresholds,
                          bool watching) {
    switch (format) {
        case OutputFormat::line: return status_line(interpret(snapshot, thresholds)) + '\n';
        case OutputFormat::json: return json_status(snapshot);
        case OutputFormat::waybar: return waybar_status(interpret(snapshot, thresholds));
        case OutputFormat::i3blocks: return i3blocks_status(interpret(snapshot, thresholds), watching);
        case OutputFormat::prometheus: return prometheus_status(snapshot);
    }
    return "";
}

}  // namespace kestro
