#include "status/status_lock.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kestro {
namespace {

namespace fs = std::filesystem;

TEST(StatusLock, SecondHolderIsRefusedUntilTheFirstIsGone) {
    const fs::path directory = fs::temp_directory_path() / ("kestro-lock-" + std::to_string(::getpid()));
    {
        const auto first = lock_status_directory_in(directory.string());
        ASSERT_TRUE(first.has_value() && first->held());
        EXPECT_TRUE(fs::is_empty(directory)) << "created, and no lock file in it";
        const auto second = lock_status_directory_in(directory.string());
        ASSERT_FALSE(second.has_value());
        EXPECT_EQ(second.error(), SystemError{EWOULDBLOCK});
    }
    const auto after = lock_status_directory_in(directory.string());
    EXPECT_TRUE(after.has_value() && after->held());
    fs::remove(directory);
}

// The lock follows the directory to whatever the path names next; a second
// holder is then refused there, and a first one found there is the error.
TEST(StatusLock, FollowsAReplacedDirectory) {
    const fs::path base = fs::temp_directory_path() / ("kestro-follow-" + std::to_string(::getpid()));
    const fs::path directory = base / "kestro";
    const std::vector<std::pair<std::string, std::function<void()>>> replacements = {
        {"removed", [&] { fs::remove(directory); }},
        {"moved away", [&] { fs::rename(directory, base / "old"); }},
        {"a link to a new one", [&] {
             fs::rename(directory, base / "old");
             fs::create_directory(base / "new");
             fs::create_directory_symlink("new", directory);
         }},
        {"a file, then a directory", [&] {
             fs::rename(directory, base / "old");
             std::ofstream(directory) << "x";
         }},
    };
    for (const auto& [name, replace] : replacements) {
        SCOPED_TRACE(name);
        fs::create_directories(directory);
        auto first = lock_status_directory_in(directory.string());
        ASSERT_TRUE(first.has_value());
        replace();
        if (fs::is_regular_file(directory)) {
            ASSERT_TRUE(follow_status_directory_in(directory.string(), *first).has_value());
            EXPECT_FALSE(first->held());
            fs::remove(directory);
            fs::create_directory(directory);
        }
        ASSERT_TRUE(follow_status_directory_in(directory.string(), *first).has_value());
        EXPECT_TRUE(first->held());
        EXPECT_EQ(lock_status_directory_in(directory.string()).error(), SystemError{EWOULDBLOCK});

        // Another daemon that locked the next directory first keeps it.
        fs::remove(directory);
        const auto other = lock_status_directory_in(directory.string());
        EXPECT_EQ(follow_status_directory_in(directory.string(), *first).error(), SystemError{EWOULDBLOCK});
        fs::remove_all(base);
    }
}

TEST(StatusLock, ADirectoryThatCannotBeMadeMeansNoLockNotARefusal) {
    const auto lock = lock_status_directory_in("/nonexistent/kestro");
    ASSERT_TRUE(lock.has_value());
    EXPECT_FALSE(lock->held());
}

}  // namespace
}  // namespace kestro
