#include "power/battery_files.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/temp_tree.hpp"

namespace kestro {
namespace {

using testing_support::TempTree;

const std::vector<std::string> complete = {"status",     "voltage_min_design", "voltage_now",
                                           "charge_full", "charge_now",         "current_now"};

std::vector<std::string> without(std::vector<std::string> names, const std::vector<std::string>& missing) {
    std::erase_if(names, [&](const std::string& name) { return std::ranges::find(missing, name) != missing.end(); });
    return names;
}

std::vector<std::string> with(std::vector<std::string> names, const std::vector<std::string>& extra) {
    names.insert(names.end(), extra.begin(), extra.end());
    return names;
}

struct SelectionCase {
    std::string name;
    std::vector<std::string> files;
    std::vector<std::string> lines;  // "@" stands for the battery directory
    bool uses_energy;
    bool uses_power;
};

class Selection : public testing::TestWithParam<SelectionCase> {};

TEST_P(Selection, PrintsItsLinesInOrderAndChooses) {
    const TempTree tree;
    tree.make_directory("BAT0");
    for (const std::string& file : GetParam().files) {
        tree.write("BAT0/" + file, "1\n");
    }
    const std::string directory = tree.path("BAT0");
    std::string expected;
    for (const std::string& line : GetParam().lines) {
        for (const char c : line) {
            expected += c == '@' ? directory : std::string(1, c);
        }
        expected += '\n';
    }
    testing::internal::CaptureStdout();
    const BatteryFiles files = select_battery_files(directory);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(files.directory, directory);
    EXPECT_EQ(files.uses_energy, GetParam().uses_energy);
    EXPECT_EQ(files.uses_power, GetParam().uses_power);
}

INSTANTIATE_TEST_SUITE_P(
    Directories, Selection,
    testing::Values(
        SelectionCase{"Complete", complete, {}, false, false},
        SelectionCase{"EnergyFull",
                      with(without(complete, {"charge_full"}), {"energy_full"}),
                      {"Info: Init: Using '@/energy_full' (instead of 'charge_full')"}, true, false},
        SelectionCase{"EnergyNow",
                      with(without(complete, {"charge_now"}), {"energy_now"}),
                      {"Info: Init: Using '@/energy_now' (instead of 'charge_now')"}, true, false},
        SelectionCase{"EnergyPair",
                      with(without(complete, {"charge_full", "charge_now"}), {"energy_full", "energy_now"}),
                      {"Info: Init: Using '@/energy_full' (instead of 'charge_full')",
                       "Info: Init: Using '@/energy_now' (instead of 'charge_now')"},
                      true, false},
        SelectionCase{"NoCapacityFiles",
                      without(complete, {"charge_full", "charge_now"}),
                      {"Warning: Init: Missing expected files: '@/charge_full' or '@/energy_full'",
                       "Warning: Init: Missing expected files: '@/charge_now' or '@/energy_now'"},
                      true, false},
        SelectionCase{"PowerNow",
                      with(without(complete, {"current_now"}), {"power_now"}),
                      {"Info: Init: Using '@/power_now' (instead of 'current_now')"}, false, true},
        SelectionCase{"NoFlowFile",
                      without(complete, {"current_now"}),
                      {"Warning: Init: Missing expected files: '@/current_now' or '@/power_now'"}, false, true},
        SelectionCase{"StatusMissing", without(complete, {"status"}),
                      {"Warning: Init: Missing expected file: '@/status'"}, false, false},
        SelectionCase{"EmptyDirectory",
                      {},
                      {"Warning: Init: Missing expected file: '@/status'",
                       "Warning: Init: Missing expected file: '@/voltage_min_design'",
                       "Warning: Init: Missing expected file: '@/voltage_now'",
                       "Warning: Init: Missing expected files: '@/charge_full' or '@/energy_full'",
                       "Warning: Init: Missing expected files: '@/charge_now' or '@/energy_now'",
                       "Warning: Init: Missing expected files: '@/current_now' or '@/power_now'"},
                      true, true}),
    [](const auto& info) { return info.param.name; });

TEST(Selection, ADanglingLinkIsMissingAndAnUnreadableFileIsPresent) {
    const TempTree tree;
    for (const std::string& file : without(complete, {"status", "voltage_now"})) {
        tree.write("BAT0/" + file, "1\n");
    }
    tree.link(tree.path("gone"), "BAT0/status");
    tree.write("BAT0/voltage_now", "1\n");
    ::chmod(tree.path("BAT0/voltage_now").c_str(), 0);
    testing::internal::CaptureStdout();
    static_cast<void>(select_battery_files(tree.path("BAT0")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Init: Missing expected file: '" + tree.path("BAT0/status") + "'\n");
}

TEST(CapacityAttributes, FollowTheEnergyFlag) {
    EXPECT_EQ(full_attribute({"d", false, false}), "charge_full");
    EXPECT_EQ(now_attribute({"d", false, false}), "charge_now");
    EXPECT_EQ(full_attribute({"d", true, false}), "energy_full");
    EXPECT_EQ(now_attribute({"d", true, false}), "energy_now");
}

}  // namespace
}  // namespace kestro
