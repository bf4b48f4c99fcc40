#include "status/status_lock.hpp"

#include <cerrno>
#include <filesystem>
#include <string>
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

TEST(StatusLock, ADirectoryThatCannotBeMadeMeansNoLockNotARefusal) {
    const auto lock = lock_status_directory_in("/nonexistent/kestro");
    ASSERT_TRUE(lock.has_value());
    EXPECT_FALSE(lock->held());
}

}  // namespace
}  // namespace kestro
