#include "power/pd_sensor.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

#include <sensors/error.h>
#include <sensors/sensors.h>

#include "base/fatal.hpp"
#include "base/number_format.hpp"
#include "base/output.hpp"

namespace kestro {

namespace {

// The chips that publish the adapter's Power Delivery values, in order of
// preference.
constexpr std::string_view marlith_chip = "marlith_hwmon";
constexpr std::string_view corvale_chip = "corvale";

// The first detected chip whose prefix is exactly `prefix`, or nullptr.
const sensors_chip_name* find_chip(const SensorsLibrary& calls, std::string_view prefix) {
    int counter = 0;
    while (const sensors_chip_name* chip = calls.detected_chips(nullptr, &counter)) {
        if (chip->prefix != nullptr && std::string_view(chip->prefix) == prefix) {
            return chip;
        }
    }
    return nullptr;
}

// The sub-feature number of the input of the chip's first feature of
// `feature_type`. Later features of that type are never asked, even when the
// first has no input.
std::optional<int> first_input(const SensorsLibrary& calls, const sensors_chip_name* chip,
                               sensors_feature_type feature_type,
                               sensors_subfeature_type input_type) {
    int counter = 0;
    while (const sensors_feature* feature = calls.features(chip, &counter)) {
        if (feature->type == feature_type) {
            const sensors_subfeature* input = calls.subfeature(chip, feature, input_type);
            if (input == nullptr) {
                return std::nullopt;
            }
            return input->number;
        }
    }
    return std::nullopt;
}

// One value of the chosen chip, or none when the library cannot read it.
std::optional<double> read_input(const PdSensor& sensor, int input) {
    double value = 0.0;
    if (sensor.library->value(sensor.chip, input, &value) != 0) {
        return std::nullopt;
    }
    return value;
}

// The library reports a flawed configuration file on standard error itself.
// When that is the journal, this takes its place and gives the report the
// level of a failure, in the library's own words. A failed write is dropped,
// as the library drops it: no exception may cross the library's C frames.
void report_parse_error(const char* error, const char* file, int line) {
    const NumberText number = format_integer(std::int64_t{line});
    const std::string_view line_text = line != 0 ? number.view() : std::string_view();
    try {
        if (file != nullptr) {
            print_error_line({"Error: File ", file, line != 0 ? ", line " : "", line_text, ": ", error});
        } else {
            print_error_line({"Error: ", line != 0 ? "Line " : "", line_text, line != 0 ? ": " : "", error});
        }
    } catch (const FatalError&) {
    }
}

}  // namespace

const SensorsLibrary real_sensors_library{
    &sensors_init,
    &sensors_cleanup,
    &sensors_get_detected_chips,
    &sensors_get_features,
    [](const sensors_chip_name* chip, const sensors_feature* feature, int type) {
        return sensors_get_subfeature(chip, feature, static_cast<sensors_subfeature_type>(type));
    },
    &sensors_get_value,
};

PdSensor::PdSensor(PdSensor&& other) noexcept
    : voltage_input(std::exchange(other.voltage_input, std::nullopt)),
      current_input(std::exchange(other.current_input, std::nullopt)),
      chip(std::exchange(other.chip, nullptr)),
      initialised(std::exchange(other.initialised, false)),
      library(other.library) {}

PdSensor::~PdSensor() {
    if (initialised) {
        library->cleanup();
    }
}

PdSensor open_pd_sensor() {
    if (is_journal_fd(2)) {
        sensors_parse_error_wfn = &report_parse_error;
    }
    return open_pd_sensor(real_sensors_library);
}

PdSensor open_pd_sensor(const SensorsLibrary& calls) {
    PdSensor sensor(calls);
    // No configuration stream: the library reads its default configuration.
    if (calls.init(nullptr) != 0) {
        return sensor;
    }
    sensor.initialised = true;

    // Every chip is searched for the Marlith one before any Corvale one counts.
    for (const std::string_view prefix : {marlith_chip, corvale_chip}) {
        sensor.chip = find_chip(calls, prefix);
        if (sensor.chip != nullptr) {
            print_line({"Info: Init: Using sensor: ", prefix});
            break;
        }
    }
    if (sensor.chip == nullptr) {
        // Most laptops have no such chip: at notice priority, so that every
        // start does not show among the journal's warnings.
        print_notice_line({"Warning: Init: Failed to find sensor"});
        return sensor;
    }

    sensor.voltage_input =
        first_input(calls, sensor.chip, SENSORS_FEATURE_IN, SENSORS_SUBFEATURE_IN_INPUT);
    sensor.current_input =
        first_input(calls, sensor.chip, SENSORS_FEATURE_CURR, SENSORS_SUBFEATURE_CURR_INPUT);
    return sensor;
}

void probe_pd_sensor(const PdSensor& sensor) {
    // Voltage first; the first failure ends the test.
    const bool readable = sensor.chip != nullptr && sensor.voltage_input.has_value() &&
                          read_input(sensor, *sensor.voltage_input).has_value() &&
                          sensor.current_input.has_value() &&
                          read_input(sensor, *sensor.current_input).has_value();
    if (readable) {
        print_line({"Info: Init: Marlith sensors: Can read Power Delivery values for the AC Adapter"});
    } else {
        print_line({"Info: Init: Marlith sensors: Cannot read Power Delivery values for the AC "
                    "Adapter (not a Marlith)"});
    }
}

double read_pd_power(const PdSensor& sensor) {
    if (sensor.chip == nullptr) {
        return 0.0;
    }
    // Current first; the voltage is read whenever its input exists, even
    // after a failed or impossible current read.
    std::optional<double> current;
    if (sensor.current_input.has_value()) {
        current = read_input(sensor, *sensor.current_input);
    }
    if (!sensor.voltage_input.has_value()) {
        return 0.0;
    }
    const std::optional<double> voltage = read_input(sensor, *sensor.voltage_input);
    if (!current.has_value() || !voltage.has_value()) {
        return 0.0;
    }
    // Sign and size as the library reports them.
    return *current * *voltage;
}

}  // namespace kestro
