#include "client/output_target.hpp"

#include <cstdio>
#include <expected>
#include <sys/uio.h>
#include <unistd.h>

#include "base/number_format.hpp"
#include "base/posix_io.hpp"

namespace kestro {

namespace {

// The text as the one vector of a write.
[[nodiscard]] iovec vector_of(std::string_view text) { return {const_cast<char*>(text.data()), text.size()}; }

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

}  // namespace

std::expected<void, ActionFailure> OutputTarget::write(std::string_view text) const {
    iovec vector = vector_of(text);
    if (!file_) {
        if (const auto written = write_all(STDOUT_FILENO, &vector, 1); !written) {
            return std::unexpected(ActionFailure{"write standard output", written.error()});
        }
        return {};
    }
    // A new file of this process's own (a leftover of an earlier process
    // that had the same id is replaced).
    const std::string temporary = temporary_path_of(*file_);
    if (const auto written = write_new_file(temporary.c_str(), &vector, 1); !written) {
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
