// Whole-file reads of small text files (sysfs attributes, the charge-limit
// file) and the existence test used when choosing them.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace kestro {

// A sysfs attribute is at most one page, so the stack part of the buffer
// takes any of them in one read. A larger file is still read whole, into the
// heap part; only a file beyond the size limit, far larger than anything a
// power supply shows (or one that never ends, such as a link to a device),
// is refused.
inline constexpr std::size_t attribute_buffer_size = 8192;
inline constexpr std::size_t attribute_size_limit = std::size_t{1} << 20;

struct AttributeBuffer {
    std::array<char, attribute_buffer_size> stack;  // filled by every read
    std::string overflow;                           // used only by a file that fills `stack`
};

enum class ReadFailureKind {
    system_error,  // open() or read() failed, or the file is too large
    invalid_utf8,  // the content is not valid UTF-8
};

struct ReadFailure {
    ReadFailureKind kind = ReadFailureKind::system_error;
    int error_number = 0;  // the errno of a system_error
};

// The text for a report: the system's error text ("No such file or directory
// (os error 2)") or "stream did not contain valid UTF-8".
[[nodiscard]] std::string describe(const ReadFailure& failure);

// Reads the whole file at path into buffer and returns the content,
// untrimmed, as a view into buffer. A first read that does not fill the stack
// part is the whole file (sysfs hands out an attribute in one read); one that
// fills it is followed by further reads into the heap part up to the end of
// the file. Fails when the file cannot be opened or read (missing, a
// directory, no permission), when it is longer than attribute_size_limit
// (EFBIG) or when the content is not valid UTF-8. Never blocks on a FIFO (one
// without a writer reads as empty) and never becomes the controlling
// terminal. Prints nothing.
[[nodiscard]] std::expected<std::string_view, ReadFailure> read_attribute_file(const char* path,
                                                                               AttributeBuffer& buffer);

// True when the file system returns the path's metadata, following symbolic
// links: a dangling link is missing, an unreadable file is present.
[[nodiscard]] bool path_exists(const char* path);

}  // namespace kestro
