// How the packs wear, from the history: what each pack holds when full
// against its design, its cycles, how fast its capacity falls, and how much
// charge the machine loses while asleep.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/history.hpp"

namespace kestro {

// A trend needs this much time between a pack's first and last record: a
// day's wobble of the pack's own estimate is no wear.
inline constexpr std::int64_t least_trend_seconds = 3 * 86400;

// A month, for the rate of wear: thirty days.
inline constexpr double month_seconds = 30 * 86400.0;

struct PackHealth {
    std::string pack;
    std::optional<double> full_wh;         // the newest record's
    std::optional<double> design_wh;
    std::optional<double> full_percent;    // full against design, newest record
    std::optional<std::int64_t> cycles;    // none where the pack does not count them
    // The fall of full against design in percentage points a month: the
    // slope of a least-squares line through the pack's records; none with
    // less than least_trend_seconds between the first and the last.
    std::optional<double> loss_per_month;
};

struct BatteryHealth {
    std::vector<PackHealth> packs;  // in the order they first appear
    // The charge lost in every sleep over the time asleep, in percent an
    // hour; none without a sleep whose charges before and after are known.
    std::optional<double> sleep_drain_per_hour;
    int sleeps = 0;
    double asleep_seconds = 0;
};

[[nodiscard]] BatteryHealth battery_health(const std::vector<HistoryRecord>& records);

// One line a pack, "BAT0: full 92.1% of design (73.7 of 80.0 Wh), 312
// cycles, loses 0.40% a month", "unknown" for each figure not known, then
// "Asleep: loses 0.34% an hour (2 sleeps, 10 h)".
[[nodiscard]] std::string health_text(const BatteryHealth& health);

// The figures for node_exporter: kestro_battery_health_percent,
// kestro_battery_cycle_count and kestro_battery_health_loss_percent_per_month
// with a "pack" label, and kestro_sleep_drain_percent_per_hour; a gauge's
// header always, its samples where known.
[[nodiscard]] std::string health_prometheus(const BatteryHealth& health);

}  // namespace kestro
