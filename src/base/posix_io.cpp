#include "base/posix_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

std::expected<void, SystemError> UniqueFd::close() {
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0) {
        return std::unexpected(SystemError::last());
    }
    return {};
}

std::expected<std::string_view, SystemError> read_small_file(const char* path, std::span<char> buffer,
                                                             FileKinds kinds) {
    // O_NONBLOCK: a FIFO planted at the path must not stall the daemon.
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        return std::unexpected(SystemError::last());
    }
    if (kinds == FileKinds::regular_only) {
        struct stat metadata {};
        if (::fstat(file.get(), &metadata) != 0) {
            return std::unexpected(SystemError::last());
        }
        if (S_ISDIR(metadata.st_mode)) {
            return std::unexpected(SystemError{EISDIR});
        }
        if (!S_ISREG(metadata.st_mode)) {
            return std::unexpected(SystemError{ENXIO});
        }
    }
    ssize_t got = 0;
    do {
        got = ::read(file.get(), buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return std::unexpected(SystemError::last());
    }
    const auto size = static_cast<std::size_t>(got);
    if (size == buffer.size()) {
        return std::unexpected(SystemError{EFBIG});
    }
    return std::string_view(buffer.data(), size);
}

namespace {

[[nodiscard]] std::expected<void, SystemError> write_new_file_at(int directory, const char* path, iovec* vectors,
                                                                 std::size_t count) {
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    constexpr mode_t mode = 0666;  // the umask narrows it
    int fd = ::openat(directory, path, flags, mode);
    if (fd < 0 && errno == EEXIST) {
        // A directory cannot be unlinked: its EISDIR says more than EEXIST.
        if (::unlinkat(directory, path, 0) != 0 && errno != ENOENT) {
            return std::unexpected(SystemError::last());
        }
        fd = ::openat(directory, path, flags, mode);
    }
    if (fd < 0) {
        return std::unexpected(SystemError::last());
    }
    UniqueFd file(fd);
    if (auto written = write_all(file.get(), vectors, count); !written) {
        return written;
    }
    return file.close();
}

}  // namespace

std::expected<void, ReplaceFailure> replace_file_at(int directory, const char* temporary, const char* name,
                                                    iovec* vectors, std::size_t count) {
    if (auto written = write_new_file_at(directory, temporary, vectors, count); !written) {
        return std::unexpected(ReplaceFailure{.in_rename = false, .error = written.error()});
    }
    if (::renameat(directory, temporary, directory, name) != 0) {
        return std::unexpected(ReplaceFailure{.in_rename = true, .error = SystemError::last()});
    }
    return {};
}

std::expected<void, SystemError> write_all(int fd, iovec* next, std::size_t left) {
    while (left > 0) {
        const ssize_t written = ::writev(fd, next, static_cast<int>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(SystemError::last());
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
    return {};
}

}  // namespace kestro
