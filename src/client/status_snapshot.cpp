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

// Where and when the files are read.
struct Reading {
    std::string_view directory;
    double now = 0.0;
    double max_age = 0.0;
};

// Sets the value and the age of one file, or leaves both absent.
template <class Value, class Parse>
void read_named(const Reading& reading, std::string_view name, Parse parse, std::optional<Value>& value,
                std::optional<FileAge>& file_age) {
    PathText path;
    struct stat metadata {};
    // The age first: should the file be replaced in between, the value read
    // is newer than its age says, never older. The daemon writes regular
    // files only: anything else (a terminal, a FIFO, a device, reached
    // through a link) is not opened, and is refused again once open.
    if (!path.assign({reading.directory, "/", name}) || ::stat(path.c_str(), &metadata) != 0 ||
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
        const double age = std::max(0.0, reading.now - seconds_of(metadata.st_mtim));
        file_age = FileAge{age, age > reading.max_age};
    }
}

template <class Value, class Parse>
void read_one(StatusFile file, const Reading& reading, Parse parse, std::optional<Value>& value,
              StatusSnapshot& snapshot) {
    read_named(reading, file_name(file), parse, value, snapshot.ages[static_cast<std::size_t>(file)]);
}

[[nodiscard]] std::optional<CriticalAction> parse_critical_action(std::string_view content) {
    return critical_action_from(trim_white_space(content));
}

// One file into its place in the snapshot.
void read_file(StatusFile file, const Reading& reading, StatusSnapshot& snapshot) {
    switch (file) {
        case StatusFile::ac_status: return read_one(file, reading, parse_ac_status, snapshot.ac_status, snapshot);
        case StatusFile::battery_percent:
            return read_one(file, reading, parse_status_number, snapshot.battery_percent, snapshot);
        case StatusFile::battery_status:
            return read_one(file, reading, parse_battery_status, snapshot.battery_status, snapshot);
        case StatusFile::secs_until_battery_full:
            return read_one(file, reading, parse_status_number, snapshot.secs_until_battery_full, snapshot);
        case StatusFile::secs_until_shutdown_request:
            return read_one(file, reading, parse_status_number, snapshot.secs_until_shutdown_request, snapshot);
        case StatusFile::critical_action: {
            std::optional<FileAge> age;
            read_named(reading, file_name(file), parse_critical_action, snapshot.critical_action, age);
            if (age && age->stale) {
                snapshot.critical_action.reset();  // a leftover of an earlier run
            }
            return;
        }
    }
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
    for (const StatusFileEntry& entry : status_files) {
        const StatusValue x = value_of(a, entry.file);
        const StatusValue y = value_of(b, entry.file);
        if (x.word != y.word || !same_number(x.number, y.number)) {
            return false;
        }
    }
    return a.confirming == b.confirming;
}

StatusValue value_of(const StatusSnapshot& snapshot, StatusFile file) {
    const auto word = [](const auto& status) {
        return status ? std::optional(text_of(*status)) : std::nullopt;
    };
    switch (file) {
        case StatusFile::ac_status: return {word(snapshot.ac_status), std::nullopt};
        case StatusFile::battery_percent: return {std::nullopt, snapshot.battery_percent};
        case StatusFile::battery_status: return {word(snapshot.battery_status), std::nullopt};
        case StatusFile::secs_until_battery_full: return {std::nullopt, snapshot.secs_until_battery_full};
        case StatusFile::secs_until_shutdown_request: return {std::nullopt, snapshot.secs_until_shutdown_request};
        case StatusFile::critical_action:
            if (snapshot.critical_action) {
                return {words_of(*snapshot.critical_action).name, std::nullopt};
            }
            return {};
    }
    return {};
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
    const Reading reading{directory, seconds_of(now_time), max_age};
    StatusSnapshot snapshot;
    for (const StatusFileEntry& entry : status_files) {
        read_file(entry.file, reading, snapshot);
    }
    std::optional<double> confirming;
    std::optional<FileAge> age;
    read_named(reading, confirming_file_name, parse_status_number, confirming, age);
    snapshot.confirming = confirming == 1.0 && !age->stale;
    return snapshot;
}

}  // namespace kestro
