// Small building blocks for the daemon's system calls: paths joined on the
// stack, an owned file descriptor, and a complete vectored write.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <sys/uio.h>

namespace kestro {

// A NUL-terminated path, joined on the stack from its parts.
class PathText {
public:
    // False when the path is longer than the system accepts.
    [[nodiscard]] bool assign(std::initializer_list<std::string_view> parts);

    [[nodiscard]] const char* c_str() const { return chars_.data(); }
    [[nodiscard]] std::string_view view() const { return {chars_.data(), size_}; }

private:
    std::array<char, PATH_MAX> chars_;  // filled by assign()
    std::size_t size_ = 0;
};

// Owns an open file descriptor and closes it once. A negative descriptor is
// none; a moved-from owner owns none.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    [[nodiscard]] int get() const { return fd_; }

    // Closes at once; the error number when the close reports a failure
    // (for a written file, a failure to store what was written).
    [[nodiscard]] std::optional<int> close();

private:
    int fd_;
};

// Writes all of the vectors, continuing after a partial write and EINTR. The
// vectors are consumed. The error number when a write fails.
[[nodiscard]] std::optional<int> write_all(int fd, iovec* vectors, std::size_t count);

}  // namespace kestro
