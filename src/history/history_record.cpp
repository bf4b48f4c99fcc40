#include "history/history_record.hpp"

#include <chrono>
#include <cmath>

#include "base/number_format.hpp"

namespace kestro {

namespace {

// µWh and µW in mWh and mW.
constexpr double micro_per_milli = 1000.0;

// A record is built field by field with one space before each.
class RecordText {
public:
    RecordText(char letter, std::int64_t time) {
        line_.append(std::string_view(&letter, 1));
        field(format_integer(time));
    }
    RecordText& field(std::string_view text) {
        line_.append(" ").append(text);
        return *this;
    }
    RecordText& percent(std::optional<double> value) {
        return value && std::isfinite(*value) ? field(format_fixed(*value, 1)) : unknown();
    }
    // A figure rounded to a whole number.
    RecordText& whole(double value) { return field(format_integer(static_cast<std::int64_t>(std::llround(value)))); }
    // A figure in µ-units as a whole number of milli-units.
    RecordText& milli(std::optional<double> micro) {
        return micro && std::isfinite(*micro) ? whole(*micro / micro_per_milli) : unknown();
    }
    RecordText& unknown() { return field("-"); }
    HistoryLine end() {
        line_.append("\n");
        return line_;
    }

private:
    HistoryLine line_;
};

std::string_view letter_of(std::optional<AcStatus> adapter) {
    if (!adapter) {
        return "-";
    }
    switch (*adapter) {
        case AcStatus::connected: return "C";
        case AcStatus::connected_slow: return "S";
        case AcStatus::disconnected: return "D";
    }
    return "-";
}

std::string_view letter_of(std::optional<BatteryStatus> battery) {
    if (!battery) {
        return "-";
    }
    switch (*battery) {
        case BatteryStatus::charging: return "C";
        case BatteryStatus::discharging: return "D";
        case BatteryStatus::full: return "F";
        case BatteryStatus::not_charging: return "N";
        case BatteryStatus::unknown: return "U";
    }
    return "-";
}

// A flow read as negative (some gauges sign a discharge) is the same flow.
std::optional<double> magnitude(std::optional<double> value) {
    return value ? std::optional(std::fabs(*value)) : std::nullopt;
}

}  // namespace

HistoryLine sample_record(std::int64_t time, const HistorySample& sample) {
    return RecordText('S', time)
        .percent(sample.percent)
        .milli(sample.energy_now)
        .milli(sample.energy_full)
        .milli(magnitude(sample.power))
        .field(letter_of(sample.adapter))
        .field(letter_of(sample.battery))
        .end();
}

HistoryLine start_record(std::int64_t time, std::string_view version) {
    return RecordText('E', time).field("start").field(version).end();
}

HistoryLine adapter_record(std::int64_t time, std::optional<AcStatus> adapter) {
    return RecordText('E', time).field("ac").field(letter_of(adapter)).end();
}

HistoryLine sleep_record(std::int64_t time, double asleep_secs, std::optional<double> before,
                         std::optional<double> after) {
    return RecordText('E', time)
        .field("sleep")
        .whole(asleep_secs)
        .percent(before)
        .percent(after)
        .end();
}

HistoryLine action_record(std::int64_t time, CriticalAction action, std::optional<double> percent) {
    return RecordText('E', time).field("action").field(words_of(action).name).percent(percent).end();
}

HistoryLine presence_record(std::int64_t time, std::string_view pack, bool present) {
    return RecordText('E', time).field(present ? "back" : "gone").field(pack).end();
}

HistoryLine pack_record(std::int64_t time, const PackHealth& health) {
    RecordText record('P', time);
    record.field(health.pack).milli(health.energy_full).milli(health.energy_full_design);
    if (health.cycle_count && *health.cycle_count > 0 && *health.cycle_count < 1e15) {
        record.whole(*health.cycle_count);
    } else {
        record.unknown();
    }
    return record.end();
}

HistoryFileName history_file_name(std::int64_t time) {
    using namespace std::chrono;
    const year_month_day day{floor<days>(sys_seconds(seconds(time)))};
    char text[] = "0000-00-00.history";
    const auto put = [&](std::size_t at, unsigned value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) {
            text[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
        }
    };
    put(0, static_cast<unsigned>(static_cast<int>(day.year())), 4);
    put(5, static_cast<unsigned>(day.month()), 2);
    put(8, static_cast<unsigned>(day.day()), 2);
    return HistoryFileName(text);
}

bool is_history_file_name(std::string_view name) {
    constexpr std::string_view form = "0000-00-00.history";
    if (name.size() != form.size()) {
        return false;
    }
    for (std::size_t i = 0; i < form.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (form[i] == '0' ? !digit : name[i] != form[i]) {
            return false;
        }
    }
    return true;
}

std::size_t history_files_to_remove(std::span<const std::uint64_t> sizes_oldest_first, std::uint64_t bound) {
    std::uint64_t total = 0;
    for (const std::uint64_t size : sizes_oldest_first) {
        total += size;
    }
    std::size_t removed = 0;
    while (total > bound && removed + 1 < sizes_oldest_first.size()) {
        total -= sizes_oldest_first[removed++];
    }
    return removed;
}

}  // namespace kestro
