#include "client/output_target.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/number_format.hpp"
#include "core/posix_io.hpp"

namespace kestro {

namespace {

constexpr mode_t file_mode = 0666;  // the umask narrows it

[[nodiscard]] std::optional<int> write_text(int fd, std::string_view text) {
    iovec vector{const_cast<char*>(text.data()), text.size()};
    return write_all(fd, &vector, 1);
}

// The temporary name beside the file: "<directory>/.<name>.<pid>".
[[nodiscard]] std::string temporary_path_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    std::string temporary = path.substr(0, name_at);
    temporary += '.';
    temporary += path.substr(name_at);
    temporary += '.';
    temporary += format_integer(static_cast<std::int64_t>(::getpid())).view();
    return temporary;
}

[[nodiscard]] std::optional<int> write_new_file(const std::string& path, std::string_view text) {
    // O_EXCL|O_NOFOLLOW: what is written is a new file of this process's own.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode);
    if (fd < 0 && errno == EEXIST && ::unlink(path.c_str()) == 0) {
        // A leftover of an earlier process that had the same id.
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode);
    }
    if (fd < 0) {
        return errno;
    }
    UniqueFd file(fd);
    if (const auto error = write_text(file.get(), text)) {
        return error;
    }
    return file.close();
}

}  // namespace

std::optional<OutputFailure> OutputTarget::write(std::string_view text) const {
    if (!file_) {
        if (const auto error = write_text(STDOUT_FILENO, text)) {
            return OutputFailure{"write standard output", *error};
        }
        return std::nullopt;
    }
    const std::string temporary = temporary_path_of(*file_);
    if (const auto error = write_new_file(temporary, text)) {
        ::unlink(temporary.c_str());
        return OutputFailure{"write " + temporary, *error};
    }
    if (::rename(temporary.c_str(), file_->c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return OutputFailure{"rename " + temporary + " -> " + *file_, error};
    }
    return std::nullopt;
}

}  // namespace kestro
