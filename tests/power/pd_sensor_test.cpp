// The sensor rules against a fake library: the cases a real sysfs cannot
// produce on demand (a failing sensors_init or value read, the order of the
// reads, the number of cleanups). The end-to-end tests cover the real library.
#include "power/pd_sensor.hpp"

#include <gtest/gtest.h>
#include <sensors/sensors.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestro {
namespace {

struct FakeFeature {
    sensors_feature_type type;
    std::optional<int> input;  // the input sub-feature's number, if it has one
};

struct FakeChip {
    std::string prefix;
    std::vector<FakeFeature> features;
};

// What the fake library holds and what was asked of it. The library's
// records are built from the chips before the first call, so that their
// addresses stay put as the real ones do.
struct FakeSensors {
    int init_result = 0;
    std::vector<FakeChip> chips;
    std::map<int, std::optional<double>> values;  // by sub-feature number; none fails
    std::vector<std::string> calls;               // "init", "cleanup", "value <number>"

    std::vector<sensors_chip_name> names;
    std::vector<std::vector<sensors_feature>> features;
    std::vector<std::vector<sensors_subfeature>> inputs;

    void build() {
        names.clear();
        features.clear();
        inputs.clear();
        for (FakeChip& chip : chips) {
            names.push_back(sensors_chip_name{chip.prefix.data(), {}, 0, nullptr});
            auto& chip_features = features.emplace_back();
            auto& chip_inputs = inputs.emplace_back();
            for (const FakeFeature& feature : chip.features) {
                chip_features.push_back(sensors_feature{
                    nullptr, static_cast<int>(chip_features.size()), feature.type, 0, 0});
                chip_inputs.push_back(sensors_subfeature{nullptr, feature.input.value_or(-1),
                                                         SENSORS_SUBFEATURE_UNKNOWN, 0, 0});
            }
        }
    }

    [[nodiscard]] std::size_t chip_index(const sensors_chip_name* chip) const {
        return static_cast<std::size_t>(chip - names.data());
    }

    [[nodiscard]] int cleanups() const { return static_cast<int>(std::ranges::count(calls, "cleanup")); }
};

FakeSensors* fake = nullptr;

const SensorsLibrary fake_library{
    [](std::FILE* config) {
        EXPECT_EQ(config, nullptr);
        fake->calls.emplace_back("init");
        return fake->init_result;
    },
    [] { fake->calls.emplace_back("cleanup"); },
    [](const sensors_chip_name* match, int* counter) -> const sensors_chip_name* {
        EXPECT_EQ(match, nullptr);
        const auto next = static_cast<std::size_t>((*counter)++);
        return next < fake->names.size() ? &fake->names[next] : nullptr;
    },
    [](const sensors_chip_name* chip, int* counter) -> const sensors_feature* {
        const auto& features = fake->features[fake->chip_index(chip)];
        const auto next = static_cast<std::size_t>((*counter)++);
        return next < features.size() ? &features[next] : nullptr;
    },
    [](const sensors_chip_name* chip, const sensors_feature* feature,
       int type) -> const sensors_subfeature* {
        const std::size_t index = fake->chip_index(chip);
        const auto which = static_cast<std::size_t>(feature->number);
        const FakeFeature& wanted = fake->chips[index].features[which];
        const bool matches = (wanted.type == SENSORS_FEATURE_IN && type == SENSORS_SUBFEATURE_IN_INPUT) ||
                             (wanted.type == SENSORS_FEATURE_CURR && type == SENSORS_SUBFEATURE_CURR_INPUT);
        return matches && wanted.input.has_value() ? &fake->inputs[index][which] : nullptr;
    },
    [](const sensors_chip_name*, int number, double* value) {
        fake->calls.push_back("value " + std::to_string(number));
        const auto found = fake->values.find(number);
        if (found == fake->values.end() || !found->second.has_value()) {
            return -1;
        }
        *value = *found->second;
        return 0;
    },
};

constexpr int voltage_number = 10;
constexpr int current_number = 20;

const FakeChip marlith{"marlith_hwmon",
                       {{SENSORS_FEATURE_IN, voltage_number}, {SENSORS_FEATURE_CURR, current_number}}};

constexpr std::string_view can_read =
    "Info: Init: Marlith sensors: Can read Power Delivery values for the AC Adapter\n";
constexpr std::string_view cannot_read =
    "Info: Init: Marlith sensors: Cannot read Power Delivery values for the AC Adapter (not a "
    "Marlith)\n";

class PdSensorTest : public testing::Test {
protected:
    void SetUp() override { fake = &sensors; }
    void TearDown() override { fake = nullptr; }

    // Opens the fake library and returns the sensor with what it printed.
    std::pair<PdSensor, std::string> open() {
        sensors.build();
        testing::internal::CaptureStdout();
        PdSensor sensor = open_pd_sensor(fake_library);
        return {std::move(sensor), testing::internal::GetCapturedStdout()};
    }

    std::string probe(const PdSensor& sensor) {
        testing::internal::CaptureStdout();
        probe_pd_sensor(sensor);
        return testing::internal::GetCapturedStdout();
    }

    FakeSensors sensors;
};

struct ChipChoice {
    const char* name;
    std::vector<std::string> prefixes;
    std::optional<std::size_t> chosen;  // index into prefixes
    std::string line;
};

void PrintTo(const ChipChoice& param, std::ostream* out) { *out << param.name; }

class ChipChoiceTest : public PdSensorTest, public testing::WithParamInterface<ChipChoice> {};

TEST_P(ChipChoiceTest, ChoosesByExactPrefix) {
    for (const std::string& prefix : GetParam().prefixes) {
        sensors.chips.push_back(FakeChip{prefix, marlith.features});
    }
    auto [sensor, output] = open();
    EXPECT_EQ(output, GetParam().line);
    EXPECT_TRUE(sensor.initialised);
    if (GetParam().chosen.has_value()) {
        EXPECT_EQ(sensor.chip, &sensors.names[*GetParam().chosen]);
        EXPECT_EQ(sensor.voltage_input, voltage_number);
        EXPECT_EQ(sensor.current_input, current_number);
    } else {
        EXPECT_EQ(sensor.chip, nullptr);
        EXPECT_EQ(sensor.voltage_input, std::nullopt);
        EXPECT_EQ(sensor.current_input, std::nullopt);
    }
}

const std::string using_marlith = "Info: Init: Using sensor: marlith_hwmon\n";
const std::string using_corvale = "Info: Init: Using sensor: corvale\n";
const std::string not_found = "Warning: Init: Failed to find sensor\n";

INSTANTIATE_TEST_SUITE_P(
    PdSensor, ChipChoiceTest,
    testing::Values(
        ChipChoice{"MarlithAfterCorvale", {"acpitz", "corvale", "marlith_hwmon"}, 2, using_marlith},
        ChipChoice{"MarlithBeforeCorvale", {"marlith_hwmon", "corvale"}, 0, using_marlith},
        ChipChoice{"FirstOfTwoMarlith", {"marlith_hwmon", "marlith_hwmon"}, 0, using_marlith},
        ChipChoice{"CorvaleAlone", {"nvme", "corvale"}, 1, using_corvale},
        ChipChoice{"PrefixOnlyBeginsWithMarlith", {"marlith_hwmon2", "marlith"}, std::nullopt, not_found},
        ChipChoice{"MarlithPrefixBeforeCorvale", {"marlith_hwmon_x", "corvale"}, 1, using_corvale},
        ChipChoice{"CorvaleInOtherCase", {"Corvale", "MARLITH_HWMON"}, std::nullopt, not_found},
        ChipChoice{"NoChips", {}, std::nullopt, not_found}),
    [](const auto& info) { return info.param.name; });

struct InputChoice {
    const char* name;
    std::vector<FakeFeature> features;
    std::optional<int> voltage;
    std::optional<int> current;
};

void PrintTo(const InputChoice& param, std::ostream* out) { *out << param.name; }

class InputChoiceTest : public PdSensorTest, public testing::WithParamInterface<InputChoice> {};

TEST_P(InputChoiceTest, AsksOnlyTheFirstFeatureOfEachType) {
    sensors.chips.push_back(FakeChip{"marlith_hwmon", GetParam().features});
    auto [sensor, output] = open();
    EXPECT_EQ(sensor.voltage_input, GetParam().voltage);
    EXPECT_EQ(sensor.current_input, GetParam().current);
}

INSTANTIATE_TEST_SUITE_P(
    PdSensor, InputChoiceTest,
    testing::Values(
        InputChoice{"Both", {{SENSORS_FEATURE_CURR, 3}, {SENSORS_FEATURE_IN, 1}}, 1, 3},
        InputChoice{"FirstVoltageWithoutInput",
                    {{SENSORS_FEATURE_IN, std::nullopt}, {SENSORS_FEATURE_IN, 1}, {SENSORS_FEATURE_CURR, 3}},
                    std::nullopt, 3},
        InputChoice{"FirstCurrentWithoutInput",
                    {{SENSORS_FEATURE_IN, 1}, {SENSORS_FEATURE_CURR, std::nullopt}, {SENSORS_FEATURE_CURR, 4}},
                    1, std::nullopt},
        InputChoice{"LaterFeaturesIgnored",
                    {{SENSORS_FEATURE_TEMP, 7}, {SENSORS_FEATURE_IN, 1}, {SENSORS_FEATURE_IN, 2},
                     {SENSORS_FEATURE_CURR, 3}, {SENSORS_FEATURE_CURR, 4}},
                    1, 3},
        InputChoice{"NoFeatures", {}, std::nullopt, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST_F(PdSensorTest, FailedInitPrintsOnlyCannotReadAndNeverCleansUp) {
    sensors.init_result = -1;
    sensors.chips.push_back(marlith);
    sensors.values = {{voltage_number, 20.0}, {current_number, 1.5}};
    {
        auto [sensor, output] = open();
        EXPECT_EQ(output, "");
        EXPECT_FALSE(sensor.initialised);
        EXPECT_EQ(sensor.chip, nullptr);
        EXPECT_EQ(probe(sensor), cannot_read);
        EXPECT_EQ(read_pd_power(sensor), 0.0);
    }
    EXPECT_EQ(sensors.calls, std::vector<std::string>{"init"});
}

TEST_F(PdSensorTest, CleansUpOnceAndNotForAMovedFromRecord) {
    sensors.chips.push_back(marlith);
    {
        auto [sensor, output] = open();
        {
            PdSensor moved = std::move(sensor);
            EXPECT_TRUE(moved.initialised);
            EXPECT_FALSE(sensor.initialised);
            EXPECT_EQ(sensor.chip, nullptr);
            EXPECT_EQ(sensors.cleanups(), 0);
        }
        EXPECT_EQ(sensors.cleanups(), 1);
    }
    EXPECT_EQ(sensors.cleanups(), 1);
}

TEST_F(PdSensorTest, CleansUpWithoutAChipToo) {
    { auto [sensor, output] = open(); }
    EXPECT_EQ(sensors.calls, (std::vector<std::string>{"init", "cleanup"}));
}

struct ProbeCase {
    const char* name;
    std::vector<FakeFeature> features;
    std::map<int, std::optional<double>> values;
    std::vector<std::string> reads;
    bool readable;
};

void PrintTo(const ProbeCase& param, std::ostream* out) { *out << param.name; }

class ProbeTest : public PdSensorTest, public testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, ReadsVoltageThenCurrentUpToTheFirstFailure) {
    sensors.chips.push_back(FakeChip{"corvale", GetParam().features});
    sensors.values = GetParam().values;
    auto [sensor, output] = open();
    sensors.calls.clear();
    EXPECT_EQ(probe(sensor), GetParam().readable ? can_read : cannot_read);
    EXPECT_EQ(sensors.calls, GetParam().reads);
}

const std::vector<FakeFeature> both_inputs = marlith.features;

INSTANTIATE_TEST_SUITE_P(
    PdSensor, ProbeTest,
    testing::Values(
        ProbeCase{"BothRead", both_inputs, {{voltage_number, 20.0}, {current_number, 0.0}},
                  {"value 10", "value 20"}, true},
        ProbeCase{"VoltageFails", both_inputs, {{current_number, 1.5}}, {"value 10"}, false},
        ProbeCase{"CurrentFails", both_inputs, {{voltage_number, 20.0}}, {"value 10", "value 20"}, false},
        ProbeCase{"NoVoltageInput", {{SENSORS_FEATURE_CURR, current_number}},
                  {{current_number, 1.5}}, {}, false},
        ProbeCase{"NoCurrentInput", {{SENSORS_FEATURE_IN, voltage_number}},
                  {{voltage_number, 20.0}}, {"value 10"}, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(PdSensorTest, ProbeWithoutAChipReadsNothing) {
    auto [sensor, output] = open();
    sensors.calls.clear();
    EXPECT_EQ(probe(sensor), cannot_read);
    EXPECT_TRUE(sensors.calls.empty());
}

struct PowerCase {
    const char* name;
    std::vector<FakeFeature> features;
    std::map<int, std::optional<double>> values;
    std::vector<std::string> reads;
    double watts;
};

void PrintTo(const PowerCase& param, std::ostream* out) { *out << param.name; }

class PowerTest : public PdSensorTest, public testing::WithParamInterface<PowerCase> {};

TEST_P(PowerTest, ReadsCurrentThenAlwaysTheVoltage) {
    sensors.chips.push_back(FakeChip{"marlith_hwmon", GetParam().features});
    sensors.values = GetParam().values;
    auto [sensor, output] = open();
    sensors.calls.clear();
    testing::internal::CaptureStdout();
    const double watts = read_pd_power(sensor);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(watts, GetParam().watts);
    EXPECT_EQ(sensors.calls, GetParam().reads);
}

const std::vector<std::string> current_then_voltage{"value 20", "value 10"};

INSTANTIATE_TEST_SUITE_P(
    PdSensor, PowerTest,
    testing::Values(
        PowerCase{"Product", both_inputs, {{voltage_number, 20.0}, {current_number, 1.5}},
                  current_then_voltage, 30.0},
        PowerCase{"NegativeProductPassedOn", both_inputs, {{voltage_number, 20.0}, {current_number, -0.25}},
                  current_then_voltage, -5.0},
        PowerCase{"ZeroCurrent", both_inputs, {{voltage_number, 20.0}, {current_number, 0.0}},
                  current_then_voltage, 0.0},
        PowerCase{"CurrentFailsVoltageStillRead", both_inputs, {{voltage_number, 20.0}},
                  current_then_voltage, 0.0},
        PowerCase{"VoltageFails", both_inputs, {{current_number, 1.5}}, current_then_voltage, 0.0},
        PowerCase{"NoCurrentInputVoltageStillRead", {{SENSORS_FEATURE_IN, voltage_number}},
                  {{voltage_number, 20.0}}, {"value 10"}, 0.0},
        PowerCase{"NoVoltageInput", {{SENSORS_FEATURE_CURR, current_number}}, {{current_number, 1.5}},
                  {"value 20"}, 0.0}),
    [](const auto& info) { return info.param.name; });

TEST_F(PdSensorTest, PowerWithoutAChipReadsNothing) {
    sensors.chips.push_back(FakeChip{"Corvale", both_inputs});
    sensors.values = {{voltage_number, 20.0}, {current_number, 1.5}};
    auto [sensor, output] = open();
    sensors.calls.clear();
    EXPECT_EQ(read_pd_power(sensor), 0.0);
    EXPECT_TRUE(sensors.calls.empty());
}

}  // namespace
}  // namespace kestro
