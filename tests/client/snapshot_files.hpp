// Snapshots for the tests of what kestro-status makes of them, built from
// the five values.
#pragma once

#include <optional>

#include "client/status_snapshot.hpp"

namespace kestro {

// The five values of a snapshot, each file 1 s old unless marked stale.
struct Files {
    std::optional<AcStatus> ac;
    std::optional<double> percent;
    std::optional<BatteryStatus> battery;
    std::optional<double> full;
    std::optional<double> shutdown;
    unsigned stale = 0;  // bits by StatusFile
    std::optional<CriticalAction> action = std::nullopt;
    bool confirming = false;
};
constexpr unsigned all_files_stale = 0x1f;
constexpr unsigned stale_bit(StatusFile file) { return 1U << static_cast<unsigned>(file); }

inline StatusSnapshot snapshot_of(const Files& files) {
    StatusSnapshot snapshot;
    snapshot.ac_status = files.ac;
    snapshot.battery_percent = files.percent;
    snapshot.battery_status = files.battery;
    snapshot.secs_until_battery_full = files.full;
    snapshot.secs_until_shutdown_request = files.shutdown;
    snapshot.critical_action = files.action;
    snapshot.confirming = files.confirming;
    const bool present[] = {files.ac.has_value(), files.percent.has_value(), files.battery.has_value(),
                            files.full.has_value(), files.shutdown.has_value()};
    for (const StatusFile file : all_status_files) {
        const bool stale = (files.stale & stale_bit(file)) != 0;
        if (present[static_cast<std::size_t>(file)]) {
            snapshot.ages[static_cast<std::size_t>(file)] = FileAge{stale ? 20.0 : 1.0, stale};
        }
    }
    return snapshot;
}

}  // namespace kestro
