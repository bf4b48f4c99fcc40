// One writer of the status directory. The files are replaced through fixed
// temporary names, which is safe only while a single daemon writes them. So
// at start-up the daemon takes an exclusive lock on the directory itself and
// keeps it until the process ends, however it ends (the kernel drops it with
// the last descriptor). No file is added for it, and readers are not
// concerned: they never lock.
#pragma once

#include <expected>
#include <string_view>
#include <utility>

#include "core/posix_io.hpp"

namespace kestro {

// The lock, held while its owner lives: a close-on-exec descriptor of the
// directory with an exclusive flock() on it, so that a child (poweroff) does
// not inherit it. Holds nothing when the directory could not be created or
// opened.
class StatusLock {
public:
    explicit StatusLock(UniqueFd directory) : directory_(std::move(directory)) {}

    [[nodiscard]] bool held() const { return directory_.get() >= 0; }

private:
    UniqueFd directory_;
};

// Creates `directory` as the first status write would, opens it and locks it
// without waiting. Returns the held lock, or a lock that holds nothing when
// the directory cannot be created or opened (a read-only or missing parent,
// a file of that name) or the kernel refuses locks: the daemon then runs as
// before and its writes report what is wrong. Only another holder is an
// error: its error number, EWOULDBLOCK.
[[nodiscard]] std::expected<StatusLock, int> lock_status_directory_in(std::string_view directory);

// The same for /run/kestro. Another holder is the fatal error
// "another kestro holds /run/kestro", with the system's error text.
[[nodiscard]] StatusLock lock_status_directory();

}  // namespace kestro
