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

// One read() into [data, data + size), resumed after EINTR: the count read,
// 0 at the end of the file, or the error number.
std::expected<std::size_t, int> read_some(int fd, char* data, std::size_t size) {
    ssize_t got = 0;
    do {
        got = ::read(fd, data, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return std::unexpected(errno);
    }
    return static_cast<std::size_t>(got);
}

// Appends the rest of the file to `whole`, which holds what has been read so
// far, a stack buffer's worth at a time; EFBIG beyond the size limit.
std::expected<void, int> read_to_end(int fd, std::string& whole) {
    for (;;) {
        const std::size_t filled = whole.size();
        if (filled > attribute_size_limit) {
            return std::unexpected(EFBIG);
        }
        whole.resize(filled + attribute_buffer_size);
        const auto got = read_some(fd, whole.data() + filled, attribute_buffer_size);
        if (!got) {
            return std::unexpected(got.error());
        }
        whole.resize(filled + *got);
        if (*got == 0) {
            return {};
        }
    }
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
    const auto first = read_some(file.get(), buffer.stack.data(), buffer.stack.size());
    if (!first) {
        return system_failure(first.error());
    }
    std::string_view content(buffer.stack.data(), *first);
    if (*first == buffer.stack.size()) {
        // Larger than any attribute: read on, to the end, on the heap.
        buffer.overflow.assign(content);
        if (const auto rest = read_to_end(file.get(), buffer.overflow); !rest) {
            return system_failure(rest.error());
        }
        content = buffer.overflow;
    }
    if (!is_valid_utf8(content)) {
        return std::unexpected(ReadFailure{ReadFailureKind::invalid_utf8, 0});
    }
    return content;
}

bool path_exists(const char* path) {
    struct stat metadata {};
    return ::stat(path, &metadata) == 0;
}

}  // namespace kestro
