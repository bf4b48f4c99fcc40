#include "client/output_target.hpp"

#include <expected>
#include <cstdio>
#include <sys/uio.h>
#include <unistd.h>

#include "base/number_format.hpp"
#include "base/posix_io.hpp"

namespace kestro {

namespace {

[[nodiscard]] std::expected<void, SystemError> write_text(int fd, std::string_view text) {
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

// A new file of this process's own (a leftover of an earlier process that
// had the same id is replaced).
[[nodiscard]] std::expected<void, SystemError> write_new_file(const std::string& path, std::string_view text) {
    const auto fd = create_new_file(path.c_str());
    if (!fd) {
        return std::unexpected(fd.error());
    }
    UniqueFd file(*fd);
    if (auto written = write_text(file.get(), text); !written) {
        return written;
    }
    return file.close();
}

}  // namespace

std::expected<void, ActionFailure> OutputTarget::write(std::string_view text) const {
    if (!file_) {
        if (const auto written = write_text(STDOUT_FILENO, text); !written) {
            return std::unexpected(ActionFailure{"write standard output", written.error()});
        }
        return {};
    }
    const std::string temporary = temporary_path_of(*file_);
    if (const auto written = write_new_file(temporary, text); !written) {
        ::unlink(temporary.c_str());
        return std::unexpected(ActionFailure{"write " + temporary, written.error()});
    }
    if (::rename(temporary.c_str(), file_->c_str()) != 0) {
        const SystemError error = SystemError::last();
        ::unlink(temporary.c_str());
        return std::unexpected(ActionFailure{"rename " + temporary + " -> " + *file_, error});
    }
    return {};
}

}  // namespace kestro
