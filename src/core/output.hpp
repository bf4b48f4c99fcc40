// Log output: every line leaves in exactly one system call, so that the
// service manager's log gets whole lines even when standard output is a pipe
// or a file, and a line is in the log the moment it is printed.
//
// A line that cannot be written is not an expected failure: the write raises
// the fatal error (core/fatal.hpp), which ends the daemon with status 101.
#pragma once

#include <initializer_list>
#include <string_view>

namespace kestro {

// Writes the parts, then one newline, to the file descriptor in one writev().
// Retries after EINTR and continues after a partial write.
void write_line(int fd, std::initializer_list<std::string_view> parts);

// Progress, information, warning and debug lines.
inline void print_line(std::initializer_list<std::string_view> parts) { write_line(1, parts); }

// Reports of failed reads and writes.
inline void print_error_line(std::initializer_list<std::string_view> parts) { write_line(2, parts); }

}  // namespace kestro
