#include "status/status_lock.hpp"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace kestro {
namespace {

namespace fs = std::filesystem;

// A private scratch directory for each case.
class StatusLockTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestro-lock-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
    }
    void TearDown() override { fs::remove_all(scratch); }

    fs::path scratch;
};

// What is at the directory's path before the lock is taken.
enum class Before { nothing, directory, file };

struct LockCase {
    const char* label;
    const char* directory;  // inside the scratch directory
    Before before;
    bool held;
};

class StatusLockPlaces : public StatusLockTest, public testing::WithParamInterface<LockCase> {};

// Without another holder the lock is never refused: it is held, or the
// daemon runs on without it. Either way nothing is added to the directory.
TEST_P(StatusLockPlaces, HeldOrNoneButNeverRefused) {
    const LockCase& c = GetParam();
    const fs::path directory = scratch / c.directory;
    if (c.before == Before::directory) {
        fs::create_directory(directory);
    } else if (c.before == Before::file) {
        std::ofstream(directory) << "not a directory\n";
    }
    const auto lock = lock_status_directory_in(directory.string());
    ASSERT_TRUE(lock.has_value()) << lock.error();
    EXPECT_EQ(lock->held(), c.held);
    if (c.before == Before::file) {
        EXPECT_EQ(fs::file_size(directory), 16u) << "the file is untouched";
    } else if (c.held) {
        EXPECT_TRUE(fs::is_empty(directory)) << "no lock file";
    } else {
        EXPECT_FALSE(fs::exists(directory));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Places, StatusLockPlaces,
    testing::Values(LockCase{"MissingDirectoryIsCreated", "kestro", Before::nothing, true},
                    LockCase{"ExistingDirectory", "kestro", Before::directory, true},
                    LockCase{"ParentMissing", "missing/kestro", Before::nothing, false},
                    LockCase{"RegularFileThere", "kestro", Before::file, false}),
    [](const auto& info) { return info.param.label; });

TEST_F(StatusLockTest, SecondHolderIsRefusedUntilTheFirstIsGone) {
    const std::string directory = (scratch / "kestro").string();
    {
        const auto first = lock_status_directory_in(directory);
        ASSERT_TRUE(first.has_value() && first->held());
        const auto second = lock_status_directory_in(directory);
        ASSERT_FALSE(second.has_value());
        EXPECT_EQ(second.error(), EWOULDBLOCK);
    }
    const auto after = lock_status_directory_in(directory);
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(after->held());
}

}  // namespace
}  // namespace kestro
