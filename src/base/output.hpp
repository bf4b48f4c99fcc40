// Log output: every line leaves in exactly one system call, so that the
// service manager's log gets whole lines even when standard output is a pipe
// or a file, and a line is in the log the moment it is printed.
//
// Each line has a syslog level. On a stream connected to the journal (see
// detect_journal_streams) the line begins with its level as "<N>", which the
// journal takes off and keeps as the priority; on any other stream the level
// leaves no trace.
//
// A line never waits for its reader: when the stream cannot take it at once
// (a log reader that stopped reading, a terminal stopped with Ctrl-S), the
// line is dropped whole and counted, and the next line that the stream takes
// is preceded by "kestro: <n> log lines dropped while the log was full". The
// stream itself stays as it is (a description shared with a shell is never
// made non-blocking): each line asks poll() first, with no timeout.
//
// A line that cannot be written for any other reason is not an expected
// failure: the write raises the fatal error (base/fatal.hpp), which ends the
// daemon with status 101.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kestro {

// The syslog levels the daemon's lines use.
enum class LogLevel {
    critical = 2,  // the fatal report, the low-battery shutdown
    error = 3,     // failed reads and writes
    warning = 4,
    notice = 5,    // what every start on an ordinary machine says, kept out of `journalctl -p warning`
    info = 6,
    debug = 7,
};

// Decides, once at start-up and for standard output and standard error
// separately, whether each is the journal's stream named by `journal_stream`
// (the value of JOURNAL_STREAM, nullptr when unset; base/journal_stream.hpp).
// Until it is called no line carries a level.
void detect_journal_streams(const char* journal_stream);

// Whether detect_journal_streams found `fd` (standard output or standard
// error) to be the journal.
[[nodiscard]] bool is_journal_fd(int fd);

// What a line of `level` begins with on `fd`: "<N>" when fd is standard
// output or standard error and detect_journal_streams found it to be the
// journal, else nothing.
[[nodiscard]] std::string_view level_prefix(int fd, LogLevel level);

// Text from outside (a file's content, a parser's report quoting it) made
// safe for one log line: every byte of a C0 or C1 control, DEL, U+2028 or
// U+2029, and every byte that is not part of valid UTF-8, becomes \xNN
// (lower-case hex), so that it cannot end the line or start a terminal's
// escape sequence. Everything else is kept as it is.
[[nodiscard]] std::string printable_log_text(std::string_view text);

// Whether `fd` takes a line now without waiting: poll() with no timeout. A
// stream in error (its reader gone) counts as taking it, so that the write
// reports the error.
[[nodiscard]] bool takes_line_now(int fd);

// The most parts a line has; a line with more does not compile.
inline constexpr std::size_t max_line_parts = 15;

namespace detail {
// write_line's work, for at most max_line_parts parts.
void write_line_parts(int fd, LogLevel level, std::span<const std::string_view> parts);
}  // namespace detail

// Writes the level prefix, the parts, then one newline, to the file
// descriptor in one writev(), unless the stream is full (see above): then
// the line is dropped, and counted when fd is standard output or error.
// Retries after EINTR and continues after a partial write. Called with the parts in braces: write_line(1, level, {"a", b}).
template <std::size_t N>
void write_line(int fd, LogLevel level, const std::string_view (&parts)[N]) {
    static_assert(N <= max_line_parts, "too many parts in one log line");
    detail::write_line_parts(fd, level, parts);
}

// A kind of log line: the stream it goes to and its level. Called with the
// parts in braces: print_line({"Info: Running."}).
template <int Fd, LogLevel Level>
struct LinePrinter {
    template <std::size_t N>
    void operator()(const std::string_view (&parts)[N]) const {
        write_line(Fd, Level, parts);
    }
};

// Progress and information lines on standard output.
inline constexpr LinePrinter<1, LogLevel::info> print_line;
// "Warning: ..." lines on standard output.
inline constexpr LinePrinter<1, LogLevel::warning> print_warning_line;
// A warning's text that is no warning on most machines (no sensor chip).
inline constexpr LinePrinter<1, LogLevel::notice> print_notice_line;
// "DBG: ..." lines on standard output.
inline constexpr LinePrinter<1, LogLevel::debug> print_debug_line;
// The announcement of the low-battery shutdown on standard output.
inline constexpr LinePrinter<1, LogLevel::critical> print_critical_line;
// Reports of failed reads and writes on standard error.
inline constexpr LinePrinter<2, LogLevel::error> print_error_line;

}  // namespace kestro
