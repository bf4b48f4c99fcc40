// Whole-file reads of small text files (sysfs attributes, the charge-limit
// file) and the existence test used when choosing them.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/posix_io.hpp"

namespace kestro {

// A sysfs attribute is at most one page. The buffer is larger, so a read
// that fills it can only come from something that is not an attribute.
inline constexpr std::size_t attribute_buffer_size = 8192;
using AttributeBuffer = std::array<char, attribute_buffer_size>;

// The failure of a file whose content is not UTF-8.
inline constexpr Error invalid_utf8 = Error::reason("stream did not contain valid UTF-8");

// Reads the whole file at path into buffer with read_small_file
// (base/posix_io.hpp), taking what `kinds` accepts (whatever opens, for
// sysfs), and returns the content, untrimmed, as a view into buffer. Fails
// when the file cannot be opened or read (missing, a directory, no
// permission, a FIFO without data), when it fills the buffer (EFBIG: too
// large to be an attribute) or when the content is not valid UTF-8
// (invalid_utf8). Never blocks on a FIFO. Prints nothing.
[[nodiscard]] std::expected<std::string_view, Error> read_attribute_file(const char* path, AttributeBuffer& buffer,
                                                                         FileKinds kinds = FileKinds::any);

// The path of an attribute: the directory text, one "/" and the name, with
// no normalisation (an empty directory gives "/online"). For start-up and
// reports; the per-cycle reads join the same path on the stack (PathText).
[[nodiscard]] std::string attribute_path(std::string_view directory, std::string_view name);

// True when the file system returns the path's metadata, following symbolic
// links: a dangling link is missing, an unreadable file is present.
[[nodiscard]] bool path_exists(const char* path);

}  // namespace kestro
