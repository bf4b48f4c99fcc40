#include "status/status_lock.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "base/fatal.hpp"
#include "status/status_directory.hpp"

namespace kestro {

namespace {

[[noreturn]] void another_holder(SystemError error) {
    fatal_error("another kestro holds " + std::string(status_directory), error.text());
}

[[nodiscard]] std::uint64_t mount_of(const struct statx& metadata) {
    return (metadata.stx_mask & STATX_MNT_ID) != 0 ? metadata.stx_mnt_id : 0;
}

[[nodiscard]] dev_t device_of(const struct statx& metadata) {
    return makedev(metadata.stx_dev_major, metadata.stx_dev_minor);
}

[[nodiscard]] bool same_directory(const StatusLock& lock, const struct statx& metadata) {
    return lock.holds(device_of(metadata), metadata.stx_ino);
}

constexpr unsigned identity_mask = STATX_INO | STATX_MNT_ID;

}  // namespace

std::expected<StatusLock, SystemError> lock_status_directory_in(std::string_view directory) {
    PathText path;
    if (!path.assign({directory}) || !ensure_status_directory(directory)) {
        return StatusLock();
    }
    UniqueFd opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct statx metadata {};
    if (opened.get() < 0 || ::statx(opened.get(), "", AT_EMPTY_PATH, identity_mask, &metadata) != 0) {
        return StatusLock();
    }
    if (::flock(opened.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return std::unexpected(SystemError::last());
        }
        return StatusLock();
    }
    return StatusLock(std::move(opened), device_of(metadata), metadata.stx_ino, mount_of(metadata));
}

StatusLock lock_status_directory() {
    auto lock = lock_status_directory_in(status_directory);
    if (!lock) {
        another_holder(lock.error());
    }
    return std::move(*lock);
}

int follow_status_directory(StatusLock& lock) {
    PathText path;
    struct statx metadata {};
    if (path.assign({status_directory}) && ::statx(AT_FDCWD, path.c_str(), 0, identity_mask, &metadata) == 0 &&
        same_directory(lock, metadata)) {
        return lock.opened_through(mount_of(metadata)) ? lock.directory() : -1;
    }
    lock = lock_status_directory();
    return lock.directory();
}

}  // namespace kestro
