#include "core/posix_io.hpp"

#include <cerrno>
#include <unistd.h>

namespace kestro {

bool PathText::assign(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) {
        if (part.size() >= chars_.size() - size) {
            return false;
        }
        size += part.copy(chars_.data() + size, part.size());
    }
    chars_[size] = '\0';
    size_ = size;
    return true;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::optional<int> UniqueFd::close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? std::nullopt : std::optional<int>(errno);
}

std::optional<int> write_all(int fd, iovec* next, std::size_t left) {
    while (left > 0) {
        const ssize_t written = ::writev(fd, next, static_cast<int>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        auto done = static_cast<std::size_t>(written);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return std::nullopt;
}

}  // namespace kestro
