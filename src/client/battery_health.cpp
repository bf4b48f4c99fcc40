#include "client/battery_health.hpp"

#include <algorithm>

#include "base/number_format.hpp"
#include "client/status_formats.hpp"

namespace kestro {

namespace {

struct Point {
    double time;
    double percent;
};

// The slope of the least-squares line through the points, per second.
[[nodiscard]] std::optional<double> slope(const std::vector<Point>& points) {
    if (points.size() < 2 || points.back().time - points.front().time < least_trend_seconds) {
        return std::nullopt;
    }
    double time_mean = 0;
    double percent_mean = 0;
    for (const Point& point : points) {
        time_mean += point.time / static_cast<double>(points.size());
        percent_mean += point.percent / static_cast<double>(points.size());
    }
    double covariance = 0;
    double variance = 0;
    for (const Point& point : points) {
        covariance += (point.time - time_mean) * (point.percent - percent_mean);
        variance += (point.time - time_mean) * (point.time - time_mean);
    }
    return covariance / variance;
}

[[nodiscard]] std::string figure(std::optional<double> value, int decimals, std::string_view unit) {
    return value ? std::string(format_fixed(*value, decimals).view()) + std::string(unit) : "unknown";
}

void append_pack_sample(std::string& out, std::string_view name, const PackHealth& pack, std::optional<double> value) {
    if (value) {
        append_sample(out, name, "{pack=\"" + pack.pack + "\"}", format_shortest(*value).view());
    }
}

}  // namespace

BatteryHealth battery_health(const std::vector<HistoryRecord>& records) {
    BatteryHealth health;
    std::vector<std::vector<Point>> trends;
    double lost = 0;
    for (const HistoryRecord& record : records) {
        if (record.is("E", "sleep")) {
            const auto asleep = record.number("asleep_seconds");
            const auto before = record.number("percent_before");
            const auto after = record.number("percent_after");
            if (asleep && before && after && *asleep > 0) {
                ++health.sleeps;
                health.asleep_seconds += *asleep;
                lost += *before - *after;
            }
            continue;
        }
        if (!record.is("P")) {
            continue;
        }
        const std::string_view name = *record.field("pack");
        auto pack = std::ranges::find(health.packs, name, &PackHealth::pack);
        if (pack == health.packs.end()) {
            health.packs.emplace_back().pack = name;
            trends.emplace_back();
            pack = health.packs.end() - 1;
        }
        const auto full = record.number("energy_full");
        const auto design = record.number("energy_full_design");
        pack->full_wh = full ? std::optional(*full / 1000) : std::nullopt;
        pack->design_wh = design ? std::optional(*design / 1000) : std::nullopt;
        pack->full_percent = full && design && *design > 0 ? std::optional(*full / *design * 100) : std::nullopt;
        const auto cycles = record.number("cycle_count");
        pack->cycles = cycles && *cycles > 0 ? std::optional(static_cast<std::int64_t>(*cycles)) : std::nullopt;
        if (pack->full_percent) {
            trends[static_cast<std::size_t>(pack - health.packs.begin())].push_back(
                {static_cast<double>(record.time), *pack->full_percent});
        }
    }
    for (std::size_t index = 0; index < trends.size(); ++index) {
        if (const auto per_second = slope(trends[index])) {
            health.packs[index].loss_per_month = -*per_second * month_seconds;
        }
    }
    if (health.sleeps > 0) {
        health.sleep_drain_per_hour = lost / health.asleep_seconds * 3600;
    }
    return health;
}

std::string health_text(const BatteryHealth& health) {
    std::string out;
    for (const PackHealth& pack : health.packs) {
        out += pack.pack + ": full " + figure(pack.full_percent, 1, "%") + " of design";
        if (pack.full_wh && pack.design_wh) {
            out += " (" + figure(pack.full_wh, 1, "") + " of " + figure(pack.design_wh, 1, " Wh") + ")";
        }
        out += ", " + (pack.cycles ? std::string(format_integer(*pack.cycles).view()) : "unknown") + " cycles";
        out += ", loses " + figure(pack.loss_per_month, 2, "%") + " a month\n";
    }
    if (health.packs.empty()) {
        out += "Packs: unknown (no pack record in the history yet)\n";
    }
    out += "Asleep: loses " + figure(health.sleep_drain_per_hour, 2, "%") + " an hour";
    if (health.sleeps > 0) {
        out += " (" + std::string(format_integer(std::int64_t{health.sleeps}).view()) +
               (health.sleeps == 1 ? " sleep, " : " sleeps, ") +
               std::string(format_duration(health.asleep_seconds).view()) + ")";
    }
    out += '\n';
    return out;
}

std::string health_prometheus(const BatteryHealth& health) {
    std::string out;
    append_gauge_header(out, "kestro_battery_health_percent",
                        "What the pack holds when full, in percent of its design capacity (newest history record).");
    for (const PackHealth& pack : health.packs) {
        append_pack_sample(out, "kestro_battery_health_percent", pack, pack.full_percent);
    }
    append_gauge_header(out, "kestro_battery_cycle_count", "Charge cycles, where the pack counts them.");
    for (const PackHealth& pack : health.packs) {
        append_pack_sample(out, "kestro_battery_cycle_count", pack,
                           pack.cycles ? std::optional(static_cast<double>(*pack.cycles)) : std::nullopt);
    }
    append_gauge_header(out, "kestro_battery_health_loss_percent_per_month",
                        "The fall of the health percentage in percentage points a month, from the history.");
    for (const PackHealth& pack : health.packs) {
        append_pack_sample(out, "kestro_battery_health_loss_percent_per_month", pack, pack.loss_per_month);
    }
    append_number_gauge(out, "kestro_sleep_drain_percent_per_hour",
                        "The charge lost while asleep in percent an hour, over every sleep in the history.",
                        health.sleep_drain_per_hour);
    return out;
}

}  // namespace kestro
