#include "power/discovery.hpp"

#include <dirent.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/fatal.hpp"
#include "base/temp_tree.hpp"

namespace kestro {
namespace {

using testing_support::TempTree;

// A supply directory and the content of its type file.
struct Supply {
    std::string name;
    std::string type;
};

void plant(const TempTree& tree, const std::vector<Supply>& supplies) {
    for (const Supply& supply : supplies) {
        tree.write(supply.name + "/type", supply.type);
    }
}

struct DiscoveryCase {
    std::string name;
    std::vector<Supply> supplies;
    std::optional<std::string> adapter;  // name under the root
    std::optional<std::string> battery;
};

class Discovery : public testing::TestWithParam<DiscoveryCase> {};

TEST_P(Discovery, FindsTheAdapterThenTheBatteryWithTheirLines) {
    const TempTree tree;
    plant(tree, GetParam().supplies);
    const std::string root = tree.root_slash();
    std::string expected_output = GetParam().adapter
        ? "Info: Init: Found AC power supply: '" + root + *GetParam().adapter + "'\n"
        : "Warning: Could not find device for AC/Mains, some functionality might be missing or not accurate.\n";
    if (GetParam().battery) {
        expected_output += "Info: Init: Found battery: '" + root + *GetParam().battery + "'\n";
    }

    testing::internal::CaptureStdout();
    const auto paths = discover_power_supplies(root);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected_output);
    ASSERT_EQ(paths.has_value(), GetParam().battery.has_value());
    if (paths) {
        EXPECT_EQ(paths->adapter_dir, GetParam().adapter ? root + *GetParam().adapter : "");
        EXPECT_EQ(paths->battery_dir, root + *GetParam().battery);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Trees, Discovery,
    testing::Values(
        DiscoveryCase{"AdapterAndBattery", {{"AC", "Mains\n"}, {"BAT0", "Battery\n"}}, "AC", "BAT0"},
        DiscoveryCase{"UsbIsNoAdapter", {{"usb", "USB\n"}, {"BAT0", "Battery\n"}}, std::nullopt, "BAT0"},
        DiscoveryCase{"NoSupplies", {}, std::nullopt, std::nullopt},
        DiscoveryCase{"MainsIsCaseSensitive", {{"AC", "mains\n"}, {"BAT0", "Battery\n"}}, std::nullopt, "BAT0"},
        DiscoveryCase{"MainsAnywhereInTheContent", {{"ADP1", "USB_Mains_x"}, {"BAT0", "Battery"}}, "ADP1", "BAT0"},
        DiscoveryCase{"SecondBatteryNumber", {{"BAT1", "Battery\n"}}, std::nullopt, "BAT1"},
        DiscoveryCase{"UpsBeforeBattery", {{"BAT0", "UPS\n"}, {"BAT1", "Battery\n"}}, std::nullopt, "BAT1"},
        DiscoveryCase{"LastBatteryNumber", {{"BAT8", "Battery\n"}}, std::nullopt, "BAT8"},
        DiscoveryCase{"BatteryNineIsNotLookedAt", {{"BAT9", "Battery\n"}}, std::nullopt, std::nullopt},
        DiscoveryCase{"OtherBatteryNamesAreNotLookedAt", {{"CMB0", "Battery\n"}}, std::nullopt, std::nullopt},
        DiscoveryCase{"LowerCaseBatteryIsNotABattery", {{"BAT0", "battery\n"}}, std::nullopt, std::nullopt},
        DiscoveryCase{"BatteryNeverTakenAsAdapter", {{"BAT0", "Battery\n"}, {"AC", "Mains\n"}}, "AC", "BAT0"}),
    [](const auto& info) { return info.param.name; });

// The names of root's entries in the order the kernel lists them.
std::vector<std::string> listing_order(const std::string& root) {
    std::vector<std::string> names;
    DIR* directory = ::opendir(root.c_str());
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(directory);
    return names;
}

TEST(AdapterSearch, TakesTheFirstMainsSupplyTheListingReturns) {
    const TempTree tree;
    plant(tree, {{"ACAD", "Mains\n"}, {"AC0", "Mains\n"}, {"ADP1", "Mains\n"}, {"AC", "Mains\n"}});
    const std::string first = listing_order(tree.root()).front();
    testing::internal::CaptureStdout();
    const auto adapter = find_adapter(tree.root_slash());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Info: Init: Found AC power supply: '" + tree.root_slash() + first + "'\n");
    EXPECT_EQ(adapter, tree.root_slash() + first);
}

TEST(AdapterSearch, SkipsSuppliesWithoutATypeFileAndFollowsLinks) {
    const TempTree tree;
    tree.make_directory("power_supply/hidden");                              // no type file
    tree.link(tree.path("gone"), "power_supply/dangling/type");              // type is a dangling link
    tree.write("devices/ac/type", "Mains\n");
    tree.link(tree.path("devices/ac"), "power_supply/AC");                   // sysfs entries are links
    const std::string root = tree.path("power_supply/");
    testing::internal::CaptureStdout();
    const auto adapter = find_adapter(root);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Info: Init: Found AC power supply: '" + root + "AC'\n");
    EXPECT_EQ(adapter, root + "AC");
}

TEST(BatterySearch, ADanglingTypeLinkIsAMissingBattery) {
    const TempTree tree;
    tree.link(tree.path("gone"), "BAT0/type");
    tree.write("BAT1/type", "Battery\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(discover_power_supplies(tree.root_slash()).value().battery_dir, tree.root_slash() + "BAT1");
    static_cast<void>(testing::internal::GetCapturedStdout());
}

// Runs fn, which must end in the fatal error; returns it.
template <typename Function>
FatalError fatal_error_of(Function&& fn) {
    testing::internal::CaptureStdout();
    try {
        fn();
    } catch (const FatalError& error) {
        static_cast<void>(testing::internal::GetCapturedStdout());
        return error;
    }
    static_cast<void>(testing::internal::GetCapturedStdout());
    ADD_FAILURE() << "no fatal error";
    return {};
}

struct UnreadableTypeCase {
    std::string name;
    std::string supply;  // the supply whose type cannot be read
    void (*prepare)(const TempTree&, const std::string& type_relative);
    std::string error;
};

class UnreadableType : public testing::TestWithParam<UnreadableTypeCase> {};

TEST_P(UnreadableType, IsFatal) {
    const TempTree tree;
    const std::string type = GetParam().supply + "/type";
    GetParam().prepare(tree, type);
    const FatalError error = fatal_error_of([&] { static_cast<void>(discover_power_supplies(tree.root_slash())); });
    EXPECT_EQ(error.message, "Cannot read path");
    EXPECT_EQ(error.detail, tree.root_slash() + type + ": " + GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnreadableType,
    testing::Values(
        UnreadableTypeCase{"AdapterTypeIsADirectory", "AC",
                           [](const TempTree& tree, const std::string& type) { tree.make_directory(type); },
                           "Is a directory (os error 21)"},
        UnreadableTypeCase{"AdapterTypeNotUtf8", "AC",
                           [](const TempTree& tree, const std::string& type) { tree.write(type, "Mains\xff\n"); },
                           "stream did not contain valid UTF-8"},
        UnreadableTypeCase{"BatteryTypeIsADirectory", "BAT3",
                           [](const TempTree& tree, const std::string& type) { tree.make_directory(type); },
                           "Is a directory (os error 21)"}),
    [](const auto& info) { return info.param.name; });

TEST(UnreadableTypeFile, WithoutReadPermissionIsFatalNotSkipped) {
    const TempTree tree;
    if (!testing_support::permissions_are_enforced(tree)) {
        GTEST_SKIP() << "this process reads files whatever their mode";
    }
    tree.write("BAT0/type", "Battery\n");
    ::chmod(tree.path("BAT0/type").c_str(), 0);
    const FatalError error = fatal_error_of([&] { static_cast<void>(discover_power_supplies(tree.root_slash())); });
    EXPECT_EQ(error.detail, tree.path("BAT0/type") + ": Permission denied (os error 13)");
}

TEST(AdapterSearch, ARootThatCannotBeListedIsFatal) {
    const TempTree tree;
    const FatalError error = fatal_error_of([&] { static_cast<void>(find_adapter(tree.path("missing/"))); });
    EXPECT_EQ(error.message, "Cannot list the power-supply directory");
    EXPECT_EQ(error.detail, tree.path("missing/") + ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace kestro
