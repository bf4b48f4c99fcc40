// Log output: every line leaves in exactly one system call, so that the
// service manager's log gets whole lines even when standard output is a pipe
// or a file, and a line is in the log the moment it is printed.
//
// Each line has a syslog level. On a stream connected to the journal (see
// set_up_log_streams) the line begins with its level as "<N>", which the
// journal takes off and keeps as the priority; on any other stream the level
// leaves no trace.
//
// A line never waits for its reader: when the stream cannot take it at once
// (a log reader that stopped reading, a terminal stopped with Ctrl-S), the
// line is dropped whole and counted, and the next line that the stream takes
// is preceded by "kestro: <n> log lines dropped while the log was full". A
// line that the stream took only in part (a terminal with room for half of
// it) is finished before any other, and lines are dropped until it is.
//
// The description that standard output or error shares with a shell or the
// service manager is never made non-blocking. A terminal or a pipe is opened
// again through /proc/self/fd, non-blocking, as a description of the
// daemon's own; a socket (the journal's stream) is written with
// MSG_DONTWAIT. A file never keeps a writer waiting for a reader, and a
// stream that cannot be opened again (a terminal in exclusive mode, no
// /proc) is asked with poll() first: lines to these go out on the shared
// description as they are.
//
// A line that cannot be written for any other reason is not an expected
// failure: the write raises the fatal error (base/fatal.hpp), which ends the
// daemon with status 101.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <sys/uio.h>

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

// Sets up, once at start-up, how lines leave standard output and standard
// error (see above), and decides for each whether it is the journal's stream
// named by `journal_stream` (the value of JOURNAL_STREAM, nullptr when unset;
// base/journal_stream.hpp). Until it is called no line carries a level and
// every line is asked about with poll() first.
void set_up_log_streams(const char* journal_stream);

// The descriptor that the lines of standard output (1) or standard error (2)
// are written to: the daemon's own non-blocking description of a terminal or
// pipe, else the stream itself. A command that must not be kept waiting by
// the log gets these as its own standard output and error.
[[nodiscard]] int log_descriptor(int fd);

// Writes a line (as write_line below) to fd's log stream without waiting,
// after the rest of a line taken in part; writes nothing when that rest does
// not go out whole. For the last words of a fatal abort: it neither
// allocates nor counts, and a failure is only its result.
bool write_log_now(int fd, LogLevel level, std::span<const std::string_view> parts);

// Writes the parts and a newline to fd, with no level, waiting as long as
// the stream needs and retrying after a partial write: for kestro-status,
// whose reader is a person or a script, not a log. A failure is only its
// result.
bool write_line_waiting(int fd, std::span<const std::string_view> parts);

// Whether set_up_log_streams found `fd` (standard output or standard
// error) to be the journal.
[[nodiscard]] bool is_journal_fd(int fd);

// What a line of `level` begins with on `fd`: "<N>" when fd is standard
// output or standard error and set_up_log_streams found it to be the
// journal, else nothing.
[[nodiscard]] std::string_view level_prefix(int fd, LogLevel level);

// Text from outside (a file's content, a parser's report quoting it) made
// safe for one log line: every byte of a C0 or C1 control, DEL, U+2028 or
// U+2029, and every byte that is not part of valid UTF-8, becomes \xNN
// (lower-case hex), so that it cannot end the line or start a terminal's
// escape sequence. Everything else is kept as it is.
[[nodiscard]] std::string printable_log_text(std::string_view text);

// The most parts a line has; a line with more does not compile, or is cut
// there when its parts come as a span.
inline constexpr std::size_t max_line_parts = 15;

namespace detail {
// write_line's work, for at most max_line_parts parts.
void write_line_parts(int fd, LogLevel level, std::span<const std::string_view> parts);
}  // namespace detail

// Writes the level prefix, the parts, then one newline, to the file
// descriptor in one system call, unless the stream is full (see above): then
// the line is dropped, and counted when fd is standard output or error.
// Retries after EINTR. A descriptor other than standard output and error is
// asked with poll() first and written whole. Called with the parts in braces: write_line(1, level, {"a", b}).
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
