#include "power/attribute_file.hpp"

#include <sys/stat.h>

#include "core/posix_io.hpp"
#include "core/system_error.hpp"
#include "core/utf8.hpp"

namespace kestro {

std::string describe(const ReadFailure& failure) {
    if (failure.kind == ReadFailureKind::invalid_utf8) {
        return "stream did not contain valid UTF-8";
    }
    return system_error_text(failure.error_number);
}

std::expected<std::string_view, ReadFailure> read_attribute_file(const char* path, AttributeBuffer& buffer) {
    const auto content = read_small_file(path, buffer, FileKinds::any);
    if (!content) {
        return std::unexpected(ReadFailure{ReadFailureKind::system_error, content.error()});
    }
    if (!is_valid_utf8(*content)) {
        return std::unexpected(ReadFailure{ReadFailureKind::invalid_utf8, 0});
    }
    return *content;
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
