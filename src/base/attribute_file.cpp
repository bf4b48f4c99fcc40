#include "base/attribute_file.hpp"

#include <sys/stat.h>

#include "base/posix_io.hpp"
#include "base/utf8.hpp"

namespace kestro {

std::expected<std::string_view, Error> read_attribute_file(const char* path, AttributeBuffer& buffer,
                                                           FileKinds kinds) {
    const auto content = read_small_file(path, buffer, kinds);
    if (!content) {
        return std::unexpected(content.error());
    }
    if (!is_valid_utf8(*content)) {
        return std::unexpected(invalid_utf8);
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
