#include "status/status_lock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>

#include "core/fatal.hpp"
#include "core/system_error.hpp"
#include "status/status_directory.hpp"

namespace kestro {

std::expected<StatusLock, int> lock_status_directory_in(std::string_view directory) {
    PathText path;
    if (!path.assign({directory}) || ensure_status_directory(directory)) {
        return StatusLock(UniqueFd(-1));
    }
    UniqueFd opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0) {
        return StatusLock(UniqueFd(-1));
    }
    if (::flock(opened.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return std::unexpected(errno);
        }
        return StatusLock(UniqueFd(-1));
    }
    return StatusLock(std::move(opened));
}

StatusLock lock_status_directory() {
    auto lock = lock_status_directory_in(status_directory);
    if (!lock) {
        fatal_error("another kestro holds " + std::string(status_directory), system_error_text(lock.error()));
    }
    return std::move(*lock);
}

}  // namespace kestro
