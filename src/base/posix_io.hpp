// Small building blocks for the daemon's system calls: paths joined on the
// stack, an owned file descriptor, a complete vectored write, and the one
// whole read of a small file.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <expected>
#include <initializer_list>
#include <span>
#include <string_view>
#include <sys/uio.h>

#include "base/error.hpp"

namespace kestro {

// A NUL-terminated path, joined on the stack from its parts.
class PathText {
public:
    // The empty path. Only the terminator is written: the bytes after it are
    // never read, and clearing the whole buffer of every path made in a
    // cycle would more than double the cycle's work.
    PathText() { chars_[0] = '\0'; }

    // False when the path is longer than the system accepts.
    [[nodiscard]] bool assign(std::initializer_list<std::string_view> parts);

    [[nodiscard]] const char* c_str() const { return chars_.data(); }
    [[nodiscard]] std::string_view view() const { return {chars_.data(), size_}; }

private:
    std::array<char, PATH_MAX> chars_;
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
    // Closes what it owned and takes the other's.
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    [[nodiscard]] int get() const { return fd_; }

    // Closes at once; fails when the close reports a failure (for a written
    // file, a failure to store what was written).
    [[nodiscard]] std::expected<void, SystemError> close();

private:
    int fd_;
};

// Writes all of the vectors, continuing after a partial write and EINTR. The
// vectors are consumed. Fails when a write fails.
[[nodiscard]] std::expected<void, SystemError> write_all(int fd, iovec* vectors, std::size_t count);

// Where replace_file_at failed: writing the new file, or renaming it.
struct ReplaceFailure {
    bool in_rename = false;
    SystemError error;
};

// Replaces the file `name` whole, the way systemd's write_string_file_atomic_at
// does: creates `temporary` for writing (mode 0666, the umask narrows it) with
// O_EXCL|O_NOFOLLOW|O_CLOEXEC, so what is written is a regular file with one
// link that this very call created: never a link, a FIFO, a device or a file
// with another name. A name already there (a leftover, or anything planted)
// is removed, the name only, and the creation tried once more. Then writes
// all of the vectors (consumed, as by write_all), closes the file and
// renames it over `name`, so a reader finds the old content or the new, never
// a part. Both names are relative to the open directory `directory`, or
// paths for AT_FDCWD. A write fails with the error of the removal (EISDIR for
// a directory), the creation, the write or the close; a file that was
// created stays, with what was written of it, as it does when the rename
// fails.
[[nodiscard]] std::expected<void, ReplaceFailure> replace_file_at(int directory, const char* temporary,
                                                                  const char* name, iovec* vectors,
                                                                  std::size_t count);

// What read_small_file accepts at the path.
enum class FileKinds {
    any,           // whatever opens and reads, with no further system call (a sysfs attribute)
    regular_only,  // a regular file; anything else is refused after one fstat()
};

// Reads the whole file at path with one read() into buffer, which takes a
// regular file or a sysfs attribute whole (a short read is the end of such a
// file), and returns the bytes as a view into buffer. The open never waits
// (a FIFO without a writer reads as empty), never makes a terminal the
// controlling one and does not survive an exec. Fails with the error of
// open(), fstat() or read(); with EFBIG when the content fills the buffer
// (so the largest accepted file is one byte shorter than the buffer); and,
// for regular_only, with EISDIR for a directory and ENXIO for a FIFO, a
// socket or a device, before anything is read.
[[nodiscard]] std::expected<std::string_view, SystemError> read_small_file(const char* path, std::span<char> buffer,
                                                                           FileKinds kinds);

}  // namespace kestro
