// The adapter's Power Delivery voltage and current, read through the
// hardware-monitoring sensor library (libsensors 5). On the Marlith handheld a
// hwmon chip ("marlith_hwmon", or "corvale" on some boards) publishes them;
// on every other machine nothing is found and the power is 0 on every cycle.
//
// The library is process-wide state: it is initialised once at start-up and
// released once, by the PdSensor that owns it, when main's run() is left
// (after the power-off, or on the way out of a fatal abort).
#pragma once

#include <cstdio>
#include <optional>

#include <sensors/sensors.h>

namespace kestro {

// The few library calls the daemon makes. The daemon always uses
// real_sensors_library; tests substitute fakes to reach failures that a real
// sysfs cannot produce on demand (a value read that fails, say).
struct SensorsLibrary {
    int (*init)(std::FILE* config);
    void (*cleanup)();
    const sensors_chip_name* (*detected_chips)(const sensors_chip_name* match, int* counter);
    const sensors_feature* (*features)(const sensors_chip_name* chip, int* counter);
    const sensors_subfeature* (*subfeature)(const sensors_chip_name* chip,
                                            const sensors_feature* feature,
                                            sensors_subfeature_type type);
    int (*value)(const sensors_chip_name* chip, int subfeature_number, double* value);
};

inline constexpr SensorsLibrary real_sensors_library{
    &sensors_init,          &sensors_cleanup,        &sensors_get_detected_chips,
    &sensors_get_features,  &sensors_get_subfeature, &sensors_get_value,
};

// The open sensor library with the chosen chip and its two inputs. Move-only
// owner of the library: when `initialised`, its destruction calls
// sensors_cleanup() exactly once; a moved-from record owns nothing.
// The library is global, so there is no move assignment: a second owner
// would release the library under the first.
struct PdSensor {
    std::optional<int> voltage_input;  // sub-feature number of the voltage input
    std::optional<int> current_input;  // sub-feature number of the current input
    // The chosen chip, or nullptr for none. The library owns the record; it
    // stays valid until the library is released.
    const sensors_chip_name* chip = nullptr;
    bool initialised = false;  // sensors_init succeeded and is not yet undone
    const SensorsLibrary* library = &real_sensors_library;

    PdSensor() = default;
    explicit PdSensor(const SensorsLibrary& calls) : library(&calls) {}
    PdSensor(const PdSensor&) = delete;
    PdSensor& operator=(const PdSensor&) = delete;
    PdSensor(PdSensor&& other) noexcept;
    PdSensor& operator=(PdSensor&&) = delete;
    ~PdSensor();
};

// Initialises the library with its default configuration and chooses the
// chip: the first "marlith_hwmon" among all detected chips, else the first
// "corvale" (exact, case-sensitive match of the chip's prefix). Then the
// input sub-feature of the chip's first voltage feature and of its first
// current feature, each when present.
// Prints at most one line: "Info: Init: Using sensor: <prefix>", or
// "Warning: Init: Failed to find sensor" when neither chip is there; nothing
// when the library cannot be initialised. Never fails: a problem leaves a
// record without chip or inputs. The library itself reports a flawed
// configuration file on standard error ("Error: File <file>, line <n>:
// <error>"); when standard error is the journal, open_pd_sensor() prints
// those reports as failure reports instead, with their level.
[[nodiscard]] PdSensor open_pd_sensor();
[[nodiscard]] PdSensor open_pd_sensor(const SensorsLibrary& calls);

// The start-up check whether the Power Delivery values can be read: a chip,
// a voltage input that reads, a current input that reads, tested in that
// order up to the first failure. Prints exactly one line:
// "Info: Init: Marlith sensors: Can read Power Delivery values for the AC Adapter"
// or the same with "Cannot read" and " (not a Marlith)". Stores nothing.
void probe_pd_sensor(const PdSensor& sensor);

// The adapter's power this cycle in watts: current (A) × voltage (V) as the
// library reports them, sign included; 0 when there is no chip, an input is
// missing or a read fails. Reads the current first, then the voltage whenever
// its input exists. Prints nothing.
[[nodiscard]] double read_pd_power(const PdSensor& sensor);

}  // namespace kestro
