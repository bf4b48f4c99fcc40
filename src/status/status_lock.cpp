#include "status/status_lock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>

#include "base/fatal.hpp"
#include "status/status_directory.hpp"

namespace kestro {

namespace {

[[noreturn]] void another_holder(SystemError error) {
    fatal_error("another kestro holds " + std::string(status_directory), error.text());
}

}  // namespace

std::expected<StatusLock, SystemError> lock_status_directory_in(std::string_view directory) {
    PathText path;
    if (!path.assign({directory}) || !ensure_status_directory(directory)) {
        return StatusLock();
    }
    UniqueFd opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat metadata {};
    if (opened.get() < 0 || ::fstat(opened.get(), &metadata) != 0) {
        return StatusLock();
    }
    if (::flock(opened.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return std::unexpected(SystemError::last());
        }
        return StatusLock();
    }
    return StatusLock(std::move(opened), metadata.st_dev, metadata.st_ino);
}

StatusLock lock_status_directory() {
    auto lock = lock_status_directory_in(status_directory);
    if (!lock) {
        another_holder(lock.error());
    }
    return std::move(*lock);
}

void follow_status_directory(StatusLock& lock) {
    PathText path;
    struct stat metadata {};
    if (path.assign({status_directory}) && ::stat(path.c_str(), &metadata) == 0 &&
        lock.holds(metadata.st_dev, metadata.st_ino)) {
        return;
    }
    lock = lock_status_directory();
}

}  // namespace kestro
