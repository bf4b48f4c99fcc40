#include "power/attribute_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/posix_io.hpp"
#include "core/system_error.hpp"
#include "core/utf8.hpp"

namespace kestro {

namespace {

std::unexpected<ReadFailure> system_failure(int error_number) {
    return std::unexpected(ReadFailure{ReadFailureKind::system_error, error_number});
}

}  // namespace

std::string describe(const ReadFailure& failure) {
    if (failure.kind == ReadFailureKind::invalid_utf8) {
        return "stream did not contain valid UTF-8";
    }
    return system_error_text(failure.error_number);
}

std::expected<std::string_view, ReadFailure> read_attribute_file(const char* path, AttributeBuffer& buffer) {
    // O_NONBLOCK: a FIFO planted in place of an attribute must not stall the daemon.
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        return system_failure(errno);
    }
    ssize_t got = 0;
    do {
        got = ::read(file.get(), buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return system_failure(errno);
    }
    const auto size = static_cast<std::size_t>(got);
    if (size == buffer.size()) {
        return system_failure(EFBIG);
    }
    const std::string_view content(buffer.data(), size);
    if (!is_valid_utf8(content)) {
        return std::unexpected(ReadFailure{ReadFailureKind::invalid_utf8, 0});
    }
    return content;
}

std::string attribute_path(std::string_view directory, std::string_view name) {
    std::string path(directory);
    path += '/';
    path += name;
    return path;
}

bool path_exists(const char* path) {
    struct stat metadata {};
    return ::stat(path, &metadata) == 0;
}

}  // namespace kestro
