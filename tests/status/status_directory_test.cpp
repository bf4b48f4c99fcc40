#include "status/status_directory.hpp"
#include "status/status_lock.hpp"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kestro {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> read_file(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A private scratch directory; the status directory is "kestro" inside it and
// does not exist at the start of a test.
class StatusDirectoryTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestro-status-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
        directory = (scratch / "kestro").string();
    }
    void TearDown() override { fs::remove_all(scratch); }

    // Runs the write and returns what it printed on standard error.
    template <class Write>
    std::string stderr_of(Write write) {
        testing::internal::CaptureStderr();
        write();
        return testing::internal::GetCapturedStderr();
    }

    fs::path file(const std::string& name) const { return fs::path(directory) / name; }

    fs::path scratch;
    std::string directory;
};

struct ContentCase {
    const char* label;
    std::optional<double> number;  // written as a number when set
    const char* text;              // written as text otherwise
    const char* content;
};

class StatusContent : public StatusDirectoryTest, public testing::WithParamInterface<ContentCase> {};

TEST_P(StatusContent, PublishesTheValueAndANewline) {
    const ContentCase& c = GetParam();
    const std::string errors = stderr_of([&] {
        if (c.number) {
            write_status_number_in(directory, "battery_percent", c.number);
        } else {
            write_status_text_in(directory, "battery_percent", c.text);
        }
    });
    EXPECT_EQ(errors, "");
    EXPECT_EQ(read_file(file("battery_percent")), c.content);
    EXPECT_FALSE(fs::exists(file(".battery_percent"))) << "the temporary file is renamed";
}

INSTANTIATE_TEST_SUITE_P(
    Values, StatusContent,
    testing::Values(ContentCase{"Fifty", 45000.0 / 90000.0 * 100, "", "50\n"},
                    ContentCase{"Fraction", 400.0 / 7.0, "", "57.142857142857146\n"},
                    ContentCase{"OneNotOnePointZero", 1.0, "", "1\n"},
                    ContentCase{"Half", 57.5, "", "57.5\n"},
                    ContentCase{"Infinite", std::numeric_limits<double>::infinity(), "", "inf\n"},
                    ContentCase{"Text", std::nullopt, "Connected slow", "Connected slow\n"}),
    [](const auto& info) { return info.param.label; });

TEST_F(StatusDirectoryTest, AbsentValueTouchesNothing) {
    const std::string errors = stderr_of([&] {
        write_status_text_in(directory, "ac_status", std::nullopt);
        write_status_number_in(directory, "battery_percent", std::nullopt);
    });
    EXPECT_EQ(errors, "");
    EXPECT_FALSE(fs::exists(directory));

    write_status_number_in(directory, "battery_percent", 50.0);
    write_status_number_in(directory, "battery_percent", std::nullopt);
    EXPECT_EQ(read_file(file("battery_percent")), "50\n");
}

TEST_F(StatusDirectoryTest, RecreatesADeletedDirectory) {
    write_status_number_in(directory, "secs_until_battery_full", 10.5);
    fs::remove_all(directory);
    const std::string errors = stderr_of([&] { write_status_number_in(directory, "secs_until_battery_full", 9.5); });
    EXPECT_EQ(errors, "");
    EXPECT_EQ(read_file(file("secs_until_battery_full")), "9.5\n");
}

// The cycle's route: through the locked directory's descriptor, wherever
// that directory is now, with no path.
TEST_F(StatusDirectoryTest, TheLockedDirectoryIsWrittenThroughItsDescriptor) {
    const auto lock = lock_status_directory_in(directory);
    ASSERT_TRUE(lock && lock->held());
    fs::rename(directory, scratch / "moved");
    write_status_number(lock->directory(), StatusFile::battery_percent, 57.5);
    write_status_text(lock->directory(), StatusFile::critical_action, "hibernate");
    EXPECT_EQ(read_file(scratch / "moved" / "battery_percent"), "57.5\n");
    EXPECT_EQ(read_file(scratch / "moved" / "critical_action"), "hibernate\n");
}

TEST_F(StatusDirectoryTest, NewFilesTakeModes0777And0666UnderTheUmask) {
    const mode_t saved = ::umask(022);
    write_status_text_in(directory, "battery_status", "Full");
    ::umask(saved);
    EXPECT_EQ(fs::status(directory).permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(file("battery_status")).permissions(), fs::perms(0644));
}

TEST_F(StatusDirectoryTest, RegularFileInPlaceOfTheDirectory) {
    write_file(directory, "not a directory\n");
    const std::string errors = stderr_of([&] {
        write_status_text_in(directory, "ac_status", "Connected");
        write_status_number_in(directory, "battery_percent", 50.0);
    });
    EXPECT_EQ(errors, "write " + directory + "/.ac_status: Not a directory (os error 20)\n" +
                          "write " + directory + "/.battery_percent: Not a directory (os error 20)\n");
    EXPECT_EQ(read_file(directory), "not a directory\n");
}

TEST_F(StatusDirectoryTest, DirectoryThatCannotBeCreated) {
    directory = (scratch / "missing" / "kestro").string();
    const std::string errors = stderr_of([&] { write_status_text_in(directory, "ac_status", "Connected"); });
    EXPECT_EQ(errors, "mkdir " + directory + ": No such file or directory (os error 2)\n");
    EXPECT_FALSE(fs::exists(scratch / "missing"));
}

TEST_F(StatusDirectoryTest, PathTooLongIsReportedLikeTheSystemWould) {
    directory = (scratch / std::string(PATH_MAX, 'k')).string();
    const std::string errors = stderr_of([&] { write_status_text_in(directory, "ac_status", "Connected"); });
    EXPECT_EQ(errors, "mkdir " + directory + ": File name too long (os error 36)\n");
}

// Whatever is found at the temporary name loses that name, and the value is
// published in the same call, through a new file of the daemon's own.
struct PlantedCase {
    const char* label;
    std::function<void(const fs::path& temporary, const fs::path& precious, const fs::path& absent)> plant;
};

class PlantedAtTheTemporaryName : public StatusDirectoryTest, public testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedAtTheTemporaryName, IsReplacedAndNeverWrittenThrough) {
    write_status_text_in(directory, "ac_status", "Disconnected");
    const fs::path precious = scratch / "precious";
    const fs::path absent = scratch / "absent";
    write_file(precious, "keep me\n");
    GetParam().plant(file(".ac_status"), precious, absent);

    const std::string errors = stderr_of([&] { write_status_text_in(directory, "ac_status", "Connected"); });
    EXPECT_EQ(errors, "");
    EXPECT_EQ(read_file(file("ac_status")), "Connected\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(file(".ac_status"))));
    EXPECT_EQ(read_file(precious), "keep me\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(absent))) << "a dangling link's target was created";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlantedAtTheTemporaryName,
    testing::Values(
        PlantedCase{"LeftoverOfAFailedRename",
                    [](const fs::path& temporary, const fs::path&, const fs::path&) {
                        write_file(temporary, "a much longer leftover of a failed rename\n");
                    }},
        PlantedCase{"LeftoverWithoutPermissions",
                    [](const fs::path& temporary, const fs::path&, const fs::path&) {
                        write_file(temporary, "x");
                        fs::permissions(temporary, fs::perms::none);
                    }},
        PlantedCase{"SymbolicLinkToAFile",
                    [](const fs::path& temporary, const fs::path& precious, const fs::path&) {
                        fs::create_symlink(precious, temporary);
                    }},
        PlantedCase{"DanglingSymbolicLink",
                    [](const fs::path& temporary, const fs::path&, const fs::path& absent) {
                        fs::create_symlink(absent, temporary);
                    }},
        PlantedCase{"HardLink",
                    [](const fs::path& temporary, const fs::path& precious, const fs::path&) {
                        fs::create_hard_link(precious, temporary);
                    }},
        PlantedCase{"Fifo",
                    [](const fs::path& temporary, const fs::path&, const fs::path&) {
                        ASSERT_EQ(::mkfifo(temporary.c_str(), 0666), 0);
                    }}),
    [](const auto& info) { return info.param.label; });

TEST_F(StatusDirectoryTest, DirectoryAtTheTemporaryNameIsReportedAndKept) {
    fs::create_directories(file(".ac_status"));
    const std::string errors = stderr_of([&] { write_status_text_in(directory, "ac_status", "Connected"); });
    EXPECT_EQ(errors, "write " + directory + "/.ac_status: Is a directory (os error 21)\n");
    EXPECT_TRUE(fs::is_directory(file(".ac_status")));
    EXPECT_FALSE(fs::exists(file("ac_status")));
}

TEST_F(StatusDirectoryTest, RenameFailureKeepsTheNewContentInTheTemporaryFile) {
    fs::create_directories(file("ac_status"));
    write_file(file("ac_status") / "occupant", "x");

    const std::string errors = stderr_of([&] { write_status_text_in(directory, "ac_status", "Connected"); });
    EXPECT_EQ(errors, "rename " + directory + "/.ac_status -> " + directory +
                          "/ac_status: Is a directory (os error 21)\n");
    EXPECT_EQ(read_file(file(".ac_status")), "Connected\n");
    EXPECT_TRUE(fs::is_directory(file("ac_status")));
}

}  // namespace
}  // namespace kestro
