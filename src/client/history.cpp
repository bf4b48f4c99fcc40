#include "client/history.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/error.hpp"
#include "base/number_format.hpp"
#include "base/number_grammar.hpp"
#include "base/posix_io.hpp"
#include "base/status_words.hpp"

namespace kestro {

namespace {

const std::array<RecordKind, 8> record_kinds = {{
    {"S", "", {"percent", "energy_now", "energy_full", "power", "ac", "battery"}},
    {"E", "start", {"version"}},
    {"E", "ac", {"ac"}},
    {"E", "sleep", {"asleep_seconds", "percent_before", "percent_after"}},
    {"E", "action", {"action", "percent"}},
    {"E", "gone", {"pack"}},
    {"E", "back", {"pack"}},
    {"P", "", {"pack", "energy_full", "energy_full_design", "cycle_count"}},
}};

// Every field name once, in the order of the CSV columns.
constexpr std::array<std::string_view, 14> field_names = {
    "percent", "energy_now", "energy_full", "power", "ac", "battery", "version",
    "asleep_seconds", "percent_before", "percent_after", "action", "pack", "energy_full_design", "cycle_count"};

[[nodiscard]] bool all_of_chars(std::string_view text, std::string_view allowed_punctuation) {
    return !text.empty() && std::ranges::all_of(text, [allowed_punctuation](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               allowed_punctuation.find(c) != std::string_view::npos;
    });
}

[[nodiscard]] bool is_whole(std::string_view text) {
    return !text.empty() && text.size() <= 18 && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

[[nodiscard]] bool is_decimal(std::string_view text) {
    const std::size_t point = text.find('.');
    return point == std::string_view::npos ? is_whole(text)
                                           : is_whole(text.substr(0, point)) && is_whole(text.substr(point + 1));
}

// Whether `value` has the form of the field `name`; "-" is any field unknown.
[[nodiscard]] bool field_fits(std::string_view name, std::string_view value) {
    if (value == "-") {
        return true;
    }
    if (name.starts_with("percent")) {
        return is_decimal(value);
    }
    if (name == "ac") {
        return value == "C" || value == "S" || value == "D";
    }
    if (name == "battery") {
        return value.size() == 1 && std::string_view("CDFNU").find(value[0]) != std::string_view::npos;
    }
    if (name == "action") {
        return critical_action_from(value).has_value();
    }
    if (name == "version" || name == "pack") {
        return all_of_chars(value, ".-_+");
    }
    return is_whole(value);
}

[[nodiscard]] std::string_view next_field(std::string_view& rest) {
    const std::size_t space = rest.find(' ');
    const std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    return field;
}

// The status word of an adapter or battery letter; the letters are in the
// order of the statuses.
[[nodiscard]] std::string_view status_word(std::string_view name, std::string_view letter) {
    return name == "ac" ? text_of(all_ac_statuses[std::string_view("CSD").find(letter[0])])
                        : text_of(all_battery_statuses[std::string_view("CDFNU").find(letter[0])]);
}

[[nodiscard]] std::string_view record_word(const HistoryRecord& record) {
    return record.kind->letter == "S" ? "sample" : record.kind->letter == "E" ? "event" : "pack";
}

// The UTC day of `time` as the history file names it: "2026-12-07".
[[nodiscard]] std::string utc_day(std::int64_t time) {
    const std::time_t seconds = time;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    return {text, std::strftime(text, sizeof text, "%Y-%m-%d", &parts)};
}

[[nodiscard]] std::expected<std::string, SystemError> read_whole(const std::string& path) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        return std::unexpected(SystemError::last());
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::unexpected(SystemError::last());
        }
        if (got == 0) {
            return text;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

struct DirectoryCloser {
    void operator()(DIR* listing) const { ::closedir(listing); }
};

}  // namespace

std::optional<std::string_view> HistoryRecord::field(std::string_view name) const {
    for (std::size_t index = 0; index < max_record_fields && !kind->names[index].empty(); ++index) {
        if (kind->names[index] == name) {
            return fields[index];
        }
    }
    return std::nullopt;
}

std::optional<double> HistoryRecord::number(std::string_view name) const {
    const auto text = field(name);
    if (!text || *text == "-") {
        return std::nullopt;
    }
    const auto value = parse_attribute_number(*text);
    return value ? std::optional(*value) : std::nullopt;
}

std::optional<HistoryRecord> parse_history_line(std::string_view line) {
    std::string_view rest = line;
    const std::string_view letter = next_field(rest);
    const std::string_view time = next_field(rest);
    if (!is_whole(time)) {
        return std::nullopt;
    }
    HistoryRecord record;
    record.time = *parse_decimal<std::int64_t>(time);
    const std::string_view event = letter == "E" ? next_field(rest) : std::string_view();
    for (const RecordKind& kind : record_kinds) {
        if (kind.letter == letter && kind.event == event) {
            record.kind = &kind;
        }
    }
    if (record.kind == nullptr) {
        return std::nullopt;
    }
    if (line.back() == ' ') {
        return std::nullopt;  // a blank at the end would be lost by the split
    }
    std::size_t count = 0;
    while (!rest.empty()) {
        if (count == max_record_fields) {
            return std::nullopt;
        }
        record.fields[count++] = next_field(rest);
    }
    for (std::size_t index = 0; index < max_record_fields; ++index) {
        const std::string_view name = record.kind->names[index];
        if (name.empty() != (index >= count) || (!name.empty() && !field_fits(name, record.fields[index]))) {
            return std::nullopt;
        }
    }
    return record;
}

std::expected<History, std::string> read_history(const std::string& directory, std::int64_t since) {
    const std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(directory.c_str()));
    if (!listing) {
        return std::unexpected(std::string(SystemError::last().text().view()));
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name.ends_with(".history") && name.front() != '.') {
            names.emplace_back(name);
        }
    }
    std::ranges::sort(names);
    const std::string first_day = utc_day(since);
    History history;
    bool any_file = false;
    for (const std::string& name : names) {
        if (name.size() == 18 && name.substr(0, 10) < first_day) {
            any_file = true;  // a whole day before the time asked for
            continue;
        }
        auto text = read_whole(directory + "/" + name);
        if (!text || !text->starts_with(std::string(history_header) + "\n")) {
            continue;
        }
        any_file = true;
        history.texts.push_back(std::make_unique<std::string>(std::move(*text)));
        std::string_view rest = *history.texts.back();
        for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
            const std::string_view line = rest.substr(0, end);
            rest.remove_prefix(end + 1);
            if (line.empty() || line.front() == '#') {
                continue;
            }
            if (const auto record = parse_history_line(line); record && record->time >= since) {
                history.records.push_back(*record);
            }
        }
    }
    if (!any_file) {
        return std::unexpected(names.empty() ? "no *.history file" : "no readable *.history file");
    }
    return history;
}

std::optional<std::int64_t> parse_history_duration(std::string_view text) {
    constexpr std::int64_t ten_years = 3650LL * 86400;
    if (text.size() < 2 || !is_whole(text.substr(0, text.size() - 1))) {
        return std::nullopt;
    }
    const std::string_view units = "mhd";
    const std::size_t unit = units.find(text.back());
    if (unit == std::string_view::npos) {
        return std::nullopt;
    }
    const std::int64_t count = *parse_decimal<std::int64_t>(text.substr(0, text.size() - 1));
    constexpr std::array<std::int64_t, 3> seconds = {60, 3600, 86400};
    if (count <= 0 || count > ten_years / seconds[unit]) {
        return std::nullopt;
    }
    return count * seconds[unit];
}

std::string history_csv(const std::vector<HistoryRecord>& records) {
    std::string out = "record,time,event";
    for (const std::string_view name : field_names) {
        out += ',';
        out += name;
    }
    out += '\n';
    for (const HistoryRecord& record : records) {
        out += record_word(record);
        out += ',';
        out += format_integer(record.time).view();
        out += ',';
        out += record.kind->event;
        for (const std::string_view name : field_names) {
            out += ',';
            const auto value = record.field(name);
            if (value && *value != "-") {
                out += name == "ac" || name == "battery" ? status_word(name, *value) : *value;
            }
        }
        out += '\n';
    }
    return out;
}

std::string history_json(const std::vector<HistoryRecord>& records) {
    std::string out = "[";
    for (const HistoryRecord& record : records) {
        out += out.size() == 1 ? "\n" : ",\n";
        out += "{\"record\":\"";
        out += record_word(record);
        out += "\",\"time\":";
        out += format_integer(record.time).view();
        if (!record.kind->event.empty()) {
            out += ",\"event\":\"";
            out += record.kind->event;
            out += '"';
        }
        for (std::size_t index = 0; index < max_record_fields && !record.kind->names[index].empty(); ++index) {
            const std::string_view name = record.kind->names[index];
            const std::string_view value = record.fields[index];
            out += ",\"";
            out += name;
            out += "\":";
            if (value == "-") {
                out += "null";
            } else if (name == "ac" || name == "battery" || name == "action" || name == "version" ||
                       name == "pack") {
                out += '"';
                out += name == "ac" || name == "battery" ? status_word(name, value) : value;
                out += '"';
            } else {
                out += format_shortest(*record.number(name)).view();
            }
        }
        out += '}';
    }
    out += "\n]\n";
    return out;
}

}  // namespace kestro
