// One writer of the status directory. The files are replaced through fixed
// temporary names, which is safe only while a single daemon writes them. So
// the daemon takes an exclusive lock on the directory itself and keeps it
// until the process ends, however it ends (the kernel drops it with the last
// descriptor). No file is added for it, and readers are not concerned: they
// never lock.
//
// The lock follows the directory: every cycle, before the files are written,
// the daemon checks that the path still names the directory it locked (one
// stat()). When the directory was removed, moved away or replaced (by a new
// one, a link to one, or one in place of a file), it locks the one the path
// names now before writing there; when another daemon holds that one, this
// daemon ends as a second copy would at start-up.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <sys/types.h>
#include <utility>

#include "base/posix_io.hpp"

namespace kestro {

// The lock, held while its owner lives: a close-on-exec descriptor of the
// directory with an exclusive flock() on it, so that a child (poweroff) does
// not inherit it, and the directory's identity. Holds nothing when the
// directory could not be created or opened.
class StatusLock {
public:
    StatusLock() = default;
    StatusLock(UniqueFd directory, dev_t device, ino_t inode, std::uint64_t mount)
        : directory_(std::move(directory)), device_(device), inode_(inode), mount_(mount) {}

    [[nodiscard]] bool held() const { return directory_.get() >= 0; }

    // The locked directory's descriptor; negative when none is held.
    [[nodiscard]] int directory() const { return directory_.get(); }

    // Whether the lock is on the directory of this identity.
    [[nodiscard]] bool holds(dev_t device, ino_t inode) const {
        return held() && device == device_ && inode == inode_;
    }

    // Whether the lock's descriptor came through this mount (0 where the
    // kernel does not tell mounts apart).
    [[nodiscard]] bool opened_through(std::uint64_t mount) const { return mount == mount_; }

private:
    UniqueFd directory_{-1};
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::uint64_t mount_ = 0;
};

// Creates `directory` as the first status write would, opens it and locks it
// without waiting. Returns the held lock, or a lock that holds nothing when
// the directory cannot be created or opened (a read-only or missing parent,
// a file of that name) or the kernel refuses locks: the daemon then runs as
// before and its writes report what is wrong. Only another holder is an
// error: EWOULDBLOCK.
[[nodiscard]] std::expected<StatusLock, SystemError> lock_status_directory_in(std::string_view directory);

// The same for /run/kestro. Another holder is the fatal error "another
// kestro holds /run/kestro", with the system's error text.
[[nodiscard]] StatusLock lock_status_directory();

// Keeps `lock` on what /run/kestro names now: nothing more than one statx()
// while it is the locked directory; otherwise the lock is taken anew as by
// lock_status_directory, whose fatal error another holder is. Returns the
// descriptor to write the status files through: the lock's, while the path
// names the very directory and mount it was opened through; else none (-1),
// and they go by path. A mount over the same directory (a read-only bind)
// keeps the lock, but the path answers for the writes.
[[nodiscard]] int follow_status_directory(StatusLock& lock);

}  // namespace kestro
