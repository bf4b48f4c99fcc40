// Log output: every line leaves in exactly one system call, so that the
// service manager's log gets whole lines even when standard output is a pipe
// or a file, and a line is in the log the moment it is printed.
//
// Each line has a syslog level. On a stream connected to the journal (see
// detect_journal_streams) the line begins with its level as "<N>", which the
// journal takes off and keeps as the priority; on any other stream the level
// leaves no trace.
//
// A line that cannot be written is not an expected failure: the write raises
// the fatal error (core/fatal.hpp), which ends the daemon with status 101.
#pragma once

#include <initializer_list>
#include <string_view>

namespace kestro {

// The syslog levels the daemon's lines use.
enum class LogLevel {
    critical = 2,  // the fatal report, the low-battery shutdown
    error = 3,     // failed reads and writes
    warning = 4,
    info = 6,
    debug = 7,
};

// Decides, once at start-up and for standard output and standard error
// separately, whether each is the journal's stream named by `journal_stream`
// (the value of JOURNAL_STREAM, nullptr when unset; core/journal_stream.hpp).
// Until it is called no line carries a level.
void detect_journal_streams(const char* journal_stream);

// Whether detect_journal_streams found `fd` (standard output or standard
// error) to be the journal.
[[nodiscard]] bool is_journal_fd(int fd);

// What a line of `level` begins with on `fd`: "<N>" when fd is standard
// output or standard error and detect_journal_streams found it to be the
// journal, else nothing.
[[nodiscard]] std::string_view level_prefix(int fd, LogLevel level);

// Writes the level prefix, the parts, then one newline, to the file
// descriptor in one writev(). Retries after EINTR and continues after a
// partial write.
void write_line(int fd, LogLevel level, std::initializer_list<std::string_view> parts);

// Progress and information lines on standard output.
inline void print_line(std::initializer_list<std::string_view> parts) { write_line(1, LogLevel::info, parts); }

// "Warning: ..." lines on standard output.
inline void print_warning_line(std::initializer_list<std::string_view> parts) {
    write_line(1, LogLevel::warning, parts);
}

// "DBG: ..." lines on standard output.
inline void print_debug_line(std::initializer_list<std::string_view> parts) {
    write_line(1, LogLevel::debug, parts);
}

// The announcement of the low-battery shutdown on standard output.
inline void print_critical_line(std::initializer_list<std::string_view> parts) {
    write_line(1, LogLevel::critical, parts);
}

// Reports of failed reads and writes on standard error.
inline void print_error_line(std::initializer_list<std::string_view> parts) {
    write_line(2, LogLevel::error, parts);
}

}  // namespace kestro
