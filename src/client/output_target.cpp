#include "client/output_target.hpp"

#include <climits>
#include <cstdio>
#include <expected>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/number_format.hpp"
#include "base/posix_io.hpp"

namespace kestro {

namespace {

constexpr Error not_a_regular_file = Error::reason("not a regular file");

// The text as the one vector of a write.
[[nodiscard]] iovec vector_of(std::string_view text) { return {const_cast<char*>(text.data()), text.size()}; }

// The temporary name beside the file: "<directory>/.<name>.<pid>", the name
// cut short where the whole would pass the system's limit of a file name.
[[nodiscard]] std::string temporary_path_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    const auto pid = format_integer(static_cast<std::int64_t>(::getpid()));
    const std::size_t name_room = NAME_MAX - 2 - pid.view().size();
    std::string temporary = path.substr(0, name_at);
    temporary += '.';
    temporary += path.substr(name_at, name_room);
    temporary += '.';
    temporary += pid.view();
    return temporary;
}

// Whatever is at the name, unless it is a regular file or nothing: a
// rename would put a file in place of a device, a FIFO, a socket or a
// symbolic link (whose own target would stay as it was).
[[nodiscard]] bool holds_other_than_a_file(const std::string& path) {
    struct stat metadata {};
    return ::lstat(path.c_str(), &metadata) == 0 && !S_ISREG(metadata.st_mode);
}

}  // namespace

std::expected<void, Error> OutputTarget::write(std::string_view text) const {
    iovec vector = vector_of(text);
    if (!file_) {
        if (const auto written = write_all(STDOUT_FILENO, &vector, 1); !written) {
            return std::unexpected(Error(written.error()).in_context("write standard output"));
        }
        return {};
    }
    if (holds_other_than_a_file(*file_)) {
        return std::unexpected(Error(not_a_regular_file).in_context("replace " + *file_));
    }
    // A new file of this process's own (a leftover of an earlier process
    // that had the same id is replaced).
    const std::string temporary = temporary_path_of(*file_);
    if (const auto replaced = replace_file_at(AT_FDCWD, temporary.c_str(), file_->c_str(), &vector, 1); !replaced) {
        ::unlink(temporary.c_str());
        if (replaced.error().in_rename) {
            return std::unexpected(Error(replaced.error().error).in_context("rename " + temporary + " -> " + *file_));
        }
        return std::unexpected(Error(replaced.error().error).in_context("write " + temporary));
    }
    return {};
}

}  // namespace kestro
