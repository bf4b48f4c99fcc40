#include "client/status_snapshot.hpp"

#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "status/status_directory.hpp"

namespace kestro {
namespace {

namespace fs = std::filesystem;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct NumberCase {
    const char* content;
    std::optional<double> expected;
};

TEST(StatusNumber, TheDaemonsFormsAndNothingElse) {
    const NumberCase cases[] = {
        {"57.142857142857146\n", 57.142857142857146},
        {"50\n", 50.0},
        {"1000000000000000000000\n", 1e21},
        {"-30\n", -30.0},
        {"inf\n", inf},
        {"  12.5 \n", 12.5},
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"57,1\n", std::nullopt},
        {"5 0\n", std::nullopt},
        {"0x10\n", std::nullopt},
        {"Connected\n", std::nullopt},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(parse_status_number(c.content), c.expected) << c.content;
    }
    const auto not_a_number = parse_status_number("NaN\n");
    ASSERT_TRUE(not_a_number.has_value());
    EXPECT_TRUE(std::isnan(*not_a_number));
}

TEST(StatusWords, EachWordExactlyAsPublished) {
    for (const AcStatus status : {AcStatus::connected, AcStatus::connected_slow, AcStatus::disconnected}) {
        EXPECT_EQ(parse_ac_status(std::string(text_of(status)) + "\n"), status);
        EXPECT_EQ(parse_battery_status(text_of(status)), std::nullopt);
    }
    for (const BatteryStatus status : {BatteryStatus::charging, BatteryStatus::discharging, BatteryStatus::full,
                                       BatteryStatus::not_charging, BatteryStatus::unknown}) {
        EXPECT_EQ(parse_battery_status(std::string(text_of(status)) + "\n"), status);
        EXPECT_EQ(parse_ac_status(text_of(status)), std::nullopt);
    }
    for (const char* other : {"connected", "Connected  slow", "None", "", "Connected\nDisconnected"}) {
        EXPECT_EQ(parse_ac_status(other), std::nullopt) << other;
    }
}

TEST(StatusFiles, TheActionFirstAndTheShutdownEstimateLast) {
    using enum StatusFile;
    EXPECT_EQ(publication_order, (std::array{critical_action, ac_status, battery_percent, battery_status,
                                             secs_until_battery_full, secs_until_shutdown_request}));
    EXPECT_EQ(cycle_end_file, secs_until_shutdown_request);
    EXPECT_EQ(status_file_named("critical_action"), critical_action);
    EXPECT_EQ(status_file_named(".critical_action"), std::nullopt);
}

class StatusRead : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestro-client-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
    }
    void TearDown() override { fs::remove_all(directory); }

    void write_raw(const char* name, const std::string& content) const {
        std::ofstream(fs::path(directory) / name, std::ios::binary) << content;
    }
    void age_by(const char* name, int seconds) const {
        const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (fs::path(directory) / name).c_str(), times, 0), 0);
    }

    std::string directory;
};

TEST_F(StatusRead, WhatTheDaemonPublishesReadsBackExactly) {
    write_status_text_in(directory, "ac_status", "Connected slow");
    write_status_number_in(directory, "battery_percent", 57.142857142857146);
    write_status_text_in(directory, "battery_status", "Not charging");
    write_status_number_in(directory, "secs_until_battery_full", inf);
    write_status_number_in(directory, "secs_until_shutdown_request", 1e21);
    const StatusSnapshot snapshot = read_status_snapshot(directory, 10);
    EXPECT_EQ(snapshot.ac_status, AcStatus::connected_slow);
    EXPECT_EQ(snapshot.battery_percent, 57.142857142857146);
    EXPECT_EQ(snapshot.battery_status, BatteryStatus::not_charging);
    EXPECT_EQ(snapshot.secs_until_battery_full, inf);
    EXPECT_EQ(snapshot.secs_until_shutdown_request, 1e21);
    for (const StatusFile file : all_status_files) {
        ASSERT_TRUE(snapshot.age(file).has_value()) << file_name(file);
        EXPECT_LT(snapshot.age(file)->seconds, 5.0);
        EXPECT_FALSE(snapshot.age(file)->stale);
    }
    EXPECT_TRUE(has_status(snapshot));
    EXPECT_FALSE(all_stale(snapshot));
}

TEST_F(StatusRead, AnythingButAValueIsAbsent) {
    write_raw("good", "Connected\n");
    fs::create_symlink("good", fs::path(directory) / "ac_status");  // the one good file, through a link
    write_raw("battery_percent", std::string(10000, '5'));          // larger than any status file
    write_raw("battery_status", "Charging\xff\n");                  // not UTF-8
    ASSERT_EQ(::mkfifo((directory + "/fifo").c_str(), 0600), 0);  // with data, through a link: never read
    const int fifo = ::open((directory + "/fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_EQ(::write(fifo, "50\n", 3), 3);
    fs::create_symlink("fifo", fs::path(directory) / "secs_until_battery_full");
    fs::create_directory(fs::path(directory) / "secs_until_shutdown_request");
    const StatusSnapshot snapshot = read_status_snapshot(directory, 10);
    char left[8];
    EXPECT_EQ(::read(fifo, left, sizeof left), 3) << "the FIFO's data is still there";
    ::close(fifo);
    EXPECT_EQ(snapshot.ac_status, AcStatus::connected);
    EXPECT_EQ(snapshot.battery_percent, std::nullopt);
    EXPECT_EQ(snapshot.battery_status, std::nullopt);
    EXPECT_EQ(snapshot.secs_until_battery_full, std::nullopt);
    EXPECT_EQ(snapshot.secs_until_shutdown_request, std::nullopt);
    for (const StatusFile file : all_status_files) {
        EXPECT_EQ(snapshot.age(file).has_value(), file == StatusFile::ac_status) << file_name(file);
    }
    const StatusSnapshot missing = read_status_snapshot(directory + "/missing", 10);
    EXPECT_FALSE(has_status(missing));
    EXPECT_FALSE(all_stale(missing)) << "no value is not a stale value";
}

TEST_F(StatusRead, StalenessIsPerFile) {
    write_raw("ac_status", "Disconnected\n");
    write_raw("battery_percent", "43.21\n");
    write_raw("critical_action", "hibernate\n");
    age_by("battery_percent", 15);
    const StatusSnapshot snapshot = read_status_snapshot(directory, 10);
    EXPECT_EQ(snapshot.critical_action, CriticalAction::hibernate);
    EXPECT_FALSE(snapshot.stale(StatusFile::ac_status));
    EXPECT_TRUE(snapshot.stale(StatusFile::battery_percent));
    EXPECT_NEAR(snapshot.age(StatusFile::battery_percent)->seconds, 15.0, 2.0);
    EXPECT_FALSE(all_stale(snapshot));
    const auto next = seconds_until_next_stale(snapshot, 10);
    ASSERT_TRUE(next.has_value()) << "the fresh adapter status turns stale in about 10 s";
    EXPECT_NEAR(*next, 10.0, 2.0);

    age_by("ac_status", 11);
    age_by("critical_action", 11);
    const StatusSnapshot stopped = read_status_snapshot(directory, 10);
    EXPECT_EQ(stopped.critical_action, std::nullopt) << "a stale one is a leftover: poweroff";
    EXPECT_TRUE(all_stale(stopped));
    EXPECT_EQ(seconds_until_next_stale(stopped, 10), std::nullopt) << "nothing to wait for";
    EXPECT_FALSE(same_status(snapshot, stopped));
    EXPECT_TRUE(same_status(stopped, read_status_snapshot(directory, 10))) << "ages alone change nothing";
}

TEST(SameStatus, ComparesValuesWithNaNAsItself) {
    StatusSnapshot a;
    a.battery_percent = nan;
    a.ages[static_cast<std::size_t>(StatusFile::battery_percent)] = FileAge{1.0, false};
    StatusSnapshot b = a;
    b.ages[static_cast<std::size_t>(StatusFile::battery_percent)] = FileAge{3.0, false};
    EXPECT_TRUE(same_status(a, b));
    b.battery_percent = 50.0;
    EXPECT_FALSE(same_status(a, b));
}

}  // namespace
}  // namespace kestro
