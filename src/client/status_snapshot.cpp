#include "client/status_snapshot.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <sys/stat.h>

#include "base/attribute_file.hpp"
#include "base/number_grammar.hpp"
#include "base/posix_io.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

[[nodiscard]] double seconds_of(const timespec& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

[[nodiscard]] bool same_number(const std::optional<double>& a, const std::optional<double>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || *a == *b || (std::isnan(*a) && std::isnan(*b));
}

// Sets the value and the age of one file, or leaves both absent.
template <class Value, class Parse>
void read_named(std::string_view directory, std::string_view name, double now, double max_age, Parse parse,
                std::optional<Value>& value, std::optional<FileAge>& file_age) {
    PathText path;
    struct stat metadata {};
    // The age first: should the file be replaced in between, the value read
    // is newer than its age says, never older. The daemon writes regular
    // files only: anything else (a terminal, a FIFO, a device, reached
    // through a link) is not opened, and is refused again once open.
    if (!path.assign({directory, "/", name}) || ::stat(path.c_str(), &metadata) != 0 ||
        !S_ISREG(metadata.st_mode)) {
        return;
    }
    AttributeBuffer buffer;
    const auto content = read_attribute_file(path.c_str(), buffer, FileKinds::regular_only);
    if (!content) {
        return;
    }
    value = parse(*content);
    if (value) {
        const double age = std::max(0.0, now - seconds_of(metadata.st_mtim));
        file_age = FileAge{age, age > max_age};
    }
}

template <class Value, class Parse>
void read_one(StatusFile file, std::string_view directory, double now, double max_age, Parse parse,
              std::optional<Value>& value, StatusSnapshot& snapshot) {
    read_named(directory, file_name(file), now, max_age, parse, value, snapshot.ages[static_cast<std::size_t>(file)]);
}

[[nodiscard]] std::optional<CriticalAction> parse_critical_action(std::string_view content) {
    return critical_action_from(trim_white_space(content));
}

}  // namespace

bool has_status(const StatusSnapshot& snapshot) {
    for (const auto& age : snapshot.ages) {
        if (age) {
            return true;
        }
    }
    return false;
}

bool all_stale(const StatusSnapshot& snapshot) {
    for (const auto& age : snapshot.ages) {
        if (age && !age->stale) {
            return false;
        }
    }
    return has_status(snapshot);
}

bool same_status(const StatusSnapshot& a, const StatusSnapshot& b) {
    for (const StatusFile file : all_status_files) {
        if (a.age(file).has_value() != b.age(file).has_value() || a.stale(file) != b.stale(file)) {
            return false;
        }
    }
    return a.ac_status == b.ac_status && a.battery_status == b.battery_status &&
           same_number(a.battery_percent, b.battery_percent) &&
           same_number(a.secs_until_battery_full, b.secs_until_battery_full) &&
           same_number(a.secs_until_shutdown_request, b.secs_until_shutdown_request) &&
           a.critical_action == b.critical_action;
}

std::optional<double> seconds_until_next_stale(const StatusSnapshot& snapshot, double max_age) {
    std::optional<double> soonest;
    for (const auto& age : snapshot.ages) {
        if (age && !age->stale) {
            const double left = max_age - age->seconds;
            soonest = soonest ? std::min(*soonest, left) : left;
        }
    }
    return soonest;
}

std::optional<AcStatus> parse_ac_status(std::string_view content) {
    return ac_status_from(trim_white_space(content));
}

std::optional<BatteryStatus> parse_battery_status(std::string_view content) {
    return battery_status_from(trim_white_space(content));
}

std::optional<double> parse_status_number(std::string_view content) {
    const auto number = parse_attribute_number(trim_white_space(content));
    return number ? std::optional<double>(*number) : std::nullopt;
}

StatusSnapshot read_status_snapshot(std::string_view directory, double max_age) {
    timespec now_time{};
    ::clock_gettime(CLOCK_REALTIME, &now_time);
    const double now = seconds_of(now_time);
    StatusSnapshot snapshot;
    read_one(StatusFile::ac_status, directory, now, max_age, parse_ac_status, snapshot.ac_status, snapshot);
    read_one(StatusFile::battery_percent, directory, now, max_age, parse_status_number, snapshot.battery_percent,
             snapshot);
    read_one(StatusFile::battery_status, directory, now, max_age, parse_battery_status, snapshot.battery_status,
             snapshot);
    read_one(StatusFile::secs_until_battery_full, directory, now, max_age, parse_status_number,
             snapshot.secs_until_battery_full, snapshot);
    read_one(StatusFile::secs_until_shutdown_request, directory, now, max_age, parse_status_number,
             snapshot.secs_until_shutdown_request, snapshot);
    std::optional<FileAge> action_age;
    read_named(directory, critical_action_file_name, now, max_age, parse_critical_action, snapshot.critical_action,
               action_age);
    if (action_age && action_age->stale) {
        snapshot.critical_action.reset();  // a leftover of an earlier run
    }
    return snapshot;
}

}  // namespace kestro
