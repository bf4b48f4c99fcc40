#include "history/battery_history.hpp"

#include <cmath>
#include <ctime>

#include "base/pause.hpp"
#include "evaluate/combined_battery.hpp"
#include "power/attribute_reader.hpp"
#include "power/machine_readings.hpp"

namespace kestro {

namespace {

constexpr std::int64_t seconds_per_day = 86400;

std::int64_t wall_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for this clock and a valid pointer
    return now.tv_sec;
}

// "BAT1" for "/sys/class/power_supply/BAT1".
std::string_view pack_name(const BatteryPack& pack) {
    const std::string_view directory = pack.files.directory;
    return directory.substr(directory.rfind('/') + 1);
}

// A pack's wear, its design figures read now: only here, never in the cycle.
PackHealth health_of(const BatteryPack& pack, const BatteryReadings& readings) {
    const std::string_view design = pack.files.uses_energy ? "energy_full_design" : "charge_full_design";
    return {
        .pack = pack_name(pack),
        .energy_full = energy_of(readings, readings.full_value),
        .energy_full_design =
            energy_of(readings, read_optional_number_attribute(pack.files.directory, design)),
        .cycle_count = read_optional_number_attribute(pack.files.directory, "cycle_count"),
    };
}

}  // namespace

std::string history_directory_from(const std::string& configured, const char* state_directory) {
    if (!configured.empty()) {
        return configured;
    }
    if (state_directory == nullptr) {
        return {};
    }
    const std::string_view first = std::string_view(state_directory).substr(0, std::string_view(state_directory).find(':'));
    return first.starts_with('/') ? std::string(first) : std::string();
}

BatteryHistory::BatteryHistory(std::string directory, std::string_view version)
    : files_(std::in_place, std::move(directory)), version_(version) {}

void BatteryHistory::record_cycle(const MachineReadings& readings, const CycleEvaluation& evaluation,
                                  const BatteryPacks& batteries, CriticalAction action) {
    if (!files_) {
        return;
    }
    const ClockReading clocks = read_clocks();
    const std::chrono::nanoseconds awake = clocks.awake;
    const std::optional<double> percent = evaluation.estimate.percent;
    const std::optional<AcStatus> adapter = evaluation.statuses.adapter;
    // The wall clock is read only for a record.
    std::optional<std::int64_t> wall;
    const auto now = [&wall] { return wall ? *wall : *(wall = wall_seconds()); };

    if (!started_) {
        files_->append(now(), start_record(now(), version_));
    } else {
        if (slept_between(asleep_, clocks.asleep)) {
            const double asleep = std::chrono::duration<double>(clocks.asleep - asleep_).count();
            files_->append(now(), sleep_record(now(), asleep, percent_, percent));
        }
        if (adapter != adapter_) {
            files_->append(now(), adapter_record(now(), adapter));
        }
        for (std::size_t place = 0; place < packs_ && place < readings.battery_count; ++place) {
            if (const bool present = readings.batteries[place].present; present != present_[place]) {
                files_->append(now(), presence_record(now(), pack_name(batteries.packs[place]), present));
            }
        }
    }
    const bool sample_due = !started_ || awake >= next_sample_;
    const bool new_day = sample_due && now() / seconds_per_day != packs_day_;
    if (new_day) {
        packs_day_ = now() / seconds_per_day;
    }
    for (std::size_t place = 0; place < readings.battery_count && place < batteries.packs.size(); ++place) {
        const BatteryReadings& pack = readings.batteries[place];
        const bool full = pack.present && pack.battery_status == KernelBatteryStatus::full;
        if (pack.present && (new_day || (full && !full_[place]))) {
            files_->append(now(), pack_record(now(), health_of(batteries.packs[place], pack)));
        }
        full_[place] = full;
    }
    if (sample_due) {
        const MachineEnergy energy = machine_energy(readings);
        files_->append(now(), sample_record(now(), {
                                                       .percent = percent,
                                                       .energy_now = energy.now,
                                                       .energy_full = energy.full,
                                                       .power = energy.power,
                                                       .adapter = adapter,
                                                       .battery = evaluation.statuses.battery,
                                                   }));
        next_sample_ = awake + history_sample_interval;
    }
    if (shutdown_due(evaluation.secs_until_shutdown)) {
        files_->append(now(), action_record(now(), action, percent));
        files_->flush();
    }

    started_ = true;
    asleep_ = clocks.asleep;
    percent_ = percent;
    adapter_ = adapter;
    packs_ = readings.battery_count;
    for (std::size_t place = 0; place < readings.battery_count; ++place) {
        present_[place] = readings.batteries[place].present;
    }
}

}  // namespace kestro
