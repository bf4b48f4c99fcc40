#include "base/output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/error.hpp"
#include "base/fatal.hpp"
#include "base/journal_stream.hpp"
#include "base/number_format.hpp"
#include "base/posix_io.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

constexpr std::array<std::string_view, 8> level_prefixes{"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};

// How the lines of standard output (1) or standard error (2) leave.
enum class LogPath {
    polled,           // the shared description, after poll()
    own_description,  // the daemon's own non-blocking description
    socket,           // the shared socket, with MSG_DONTWAIT
};

struct LogStream {
    explicit LogStream(int stream_fd) : fd(stream_fd) {}

    int fd;
    LogPath path = LogPath::polled;
    bool journal = false;
    std::uint64_t dropped = 0;  // lines dropped since the stream last took one
    std::string unfinished;     // the rest of a line the stream took in part
};

std::array<LogStream, 3> log_streams{LogStream{0}, LogStream{1}, LogStream{2}};

LogStream* log_stream_of(int fd) {
    return fd == 1 || fd == 2 ? &log_streams[static_cast<std::size_t>(fd)] : nullptr;
}

// The log stream of other.fd when that is standard output or error; else
// `other`, a polled stream of that descriptor which keeps nothing between lines.
LogStream& log_stream_or(LogStream& other) {
    LogStream* const stream = log_stream_of(other.fd);
    return stream != nullptr ? *stream : other;
}

// A terminal or a pipe opened anew, for the daemon alone: O_NONBLOCK set
// there leaves the shell's or the service manager's description as it was.
LogPath open_own_description(LogStream& stream) {
    struct stat metadata {};
    if (::fstat(stream.fd, &metadata) != 0) {
        return LogPath::polled;
    }
    if (S_ISSOCK(metadata.st_mode)) {
        return LogPath::socket;
    }
    if (!S_ISCHR(metadata.st_mode) && !S_ISFIFO(metadata.st_mode)) {
        return LogPath::polled;
    }
    const char* const link = stream.fd == 1 ? "/proc/self/fd/1" : "/proc/self/fd/2";
    const int own = ::open(link, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0) {
        return LogPath::polled;
    }
    stream.fd = own;
    return LogPath::own_description;
}

// Whether `fd` takes a line now without waiting: poll() with no timeout. A
// stream in error (its reader gone) counts as taking it, so that the write
// reports the error.
bool takes_line_now(int fd) {
    pollfd stream{.fd = fd, .events = POLLOUT, .revents = 0};
    int ready = 0;
    do {
        ready = ::poll(&stream, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // A failed poll leaves the verdict to the write.
    return ready != 0;
}

// The length of the UTF-8 character that starts text, or 0 when its bytes
// are not well-formed.
std::size_t character_length(std::string_view text) {
    constexpr std::size_t longest = 4;
    for (std::size_t length = 1; length <= std::min(longest, text.size()); ++length) {
        if (is_valid_utf8(text.substr(0, length))) {
            return length;
        }
    }
    return 0;
}

// C0 and C1 controls, DEL, and the Unicode line and paragraph separators:
// what a terminal or a log reader may take as the end of a line or the start
// of an escape sequence.
bool breaks_log_line(std::string_view character) {
    const auto lead = static_cast<unsigned char>(character.front());
    if (character.size() == 1) {
        return lead < 0x20 || lead == 0x7f;
    }
    if (character.size() == 2) {
        return lead == 0xc2 && static_cast<unsigned char>(character[1]) < 0xa0;  // U+0080 to U+009F
    }
    return character == "\u2028" || character == "\u2029";
}

// As much of the vectors as the stream takes now, in bytes: 0 when it is
// full. A polled stream that takes anything is written whole.
std::expected<std::size_t, SystemError> write_now(const LogStream& stream, iovec* vectors, std::size_t count) {
    if (stream.path == LogPath::polled) {
        if (!takes_line_now(stream.fd)) {
            return 0;
        }
        std::size_t total = 0;
        for (std::size_t i = 0; i < count; ++i) {
            total += vectors[i].iov_len;
        }
        if (auto written = write_all(stream.fd, vectors, count); !written) {
            return std::unexpected(written.error());
        }
        return total;
    }
    ssize_t written = 0;
    do {
        if (stream.path == LogPath::socket) {
            msghdr message{};
            message.msg_iov = vectors;
            message.msg_iovlen = count;
            written = ::sendmsg(stream.fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            written = ::writev(stream.fd, vectors, static_cast<int>(count));
        }
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        return std::unexpected(SystemError::last());
    }
    return static_cast<std::size_t>(written);
}

// Whether no part of a line is left to write: the rest of one taken in part
// goes out first.
std::expected<bool, SystemError> finish_line(LogStream& stream) {
    if (stream.unfinished.empty()) {
        return true;
    }
    iovec rest{stream.unfinished.data(), stream.unfinished.size()};
    const auto written = write_now(stream, &rest, 1);
    if (!written) {
        return std::unexpected(written.error());
    }
    stream.unfinished.erase(0, *written);
    return stream.unfinished.empty();
}

// Keeps what a write left of the vectors, to finish the line with.
void keep_rest(std::string& rest, const iovec* vectors, std::size_t count, std::size_t written) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = vectors[i].iov_len;
        if (written < length) {
            rest.append(static_cast<const char*>(vectors[i].iov_base) + written, length - written);
        }
        written -= std::min(written, length);
    }
}

// The vectors of a line: the prefix and the parts that are not empty, then
// the newline, after the `count` vectors already there. Returns the count.
template <std::size_t N>
std::size_t add_line(std::array<iovec, N>& vectors, std::size_t count, std::string_view prefix,
                     std::span<const std::string_view> parts) {
    static_assert(N >= max_line_parts + 2);
    const auto add = [&](std::string_view text) {
        if (!text.empty()) {
            vectors[count++] = {const_cast<char*>(text.data()), text.size()};
        }
    };
    add(prefix);
    for (const std::string_view part : parts.first(std::min(parts.size(), max_line_parts))) {
        add(part);
    }
    add("\n");
    return count;
}

}  // namespace

std::string printable_log_text(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = character_length(text);
        const std::string_view character = text.substr(0, std::max<std::size_t>(length, 1));
        if (length == 0 || breaks_log_line(character)) {
            for (const char c : character) {
                const auto byte = static_cast<unsigned char>(c);
                result += "\\x";
                result += digits[byte >> 4];
                result += digits[byte & 0xf];
            }
        } else {
            result += character;
        }
        text.remove_prefix(character.size());
    }
    return result;
}

void set_up_log_streams(const char* journal_stream) {
    for (const int fd : {1, 2}) {
        LogStream& stream = *log_stream_of(fd);
        if (stream.fd != fd) {
            ::close(stream.fd);
        }
        stream = LogStream{fd};
        stream.journal = is_journal_stream(fd, journal_stream);
        stream.path = open_own_description(stream);
    }
}

int log_descriptor(int fd) {
    const LogStream* const stream = log_stream_of(fd);
    return stream != nullptr ? stream->fd : fd;
}

bool is_journal_fd(int fd) {
    const LogStream* const stream = log_stream_of(fd);
    return stream != nullptr && stream->journal;
}

std::string_view level_prefix(int fd, LogLevel level) {
    return is_journal_fd(fd) ? level_prefixes[static_cast<std::size_t>(level)] : std::string_view();
}

bool write_log_now(int fd, LogLevel level, std::span<const std::string_view> parts) {
    LogStream other{fd};
    LogStream& stream = log_stream_or(other);
    std::array<iovec, max_line_parts + 2> vectors{};
    const std::size_t count = add_line(vectors, 0, level_prefix(fd, level), parts);
    const auto finished = finish_line(stream);
    return finished && *finished && write_now(stream, vectors.data(), count).has_value();
}

bool write_line_waiting(int fd, std::span<const std::string_view> parts) {
    std::array<iovec, max_line_parts + 2> vectors{};
    const std::size_t count = add_line(vectors, 0, {}, parts);
    return write_all(fd, vectors.data(), count).has_value();
}

void detail::write_line_parts(int fd, LogLevel level, std::span<const std::string_view> parts) {
    LogStream other{fd};
    LogStream& stream = log_stream_or(other);
    auto finished = finish_line(stream);
    if (finished && !*finished) {
        ++stream.dropped;
        return;
    }
    // The notice of dropped lines takes five, the prefix and the newline two.
    std::array<iovec, max_line_parts + 7> vectors{};
    std::size_t count = 0;
    NumberText dropped_count;
    if (stream.dropped > 0) {
        dropped_count = format_integer(stream.dropped);
        const std::string_view notice[] = {"kestro: ", dropped_count,
                                           stream.dropped == 1 ? " log line dropped while the log was full"
                                                               : " log lines dropped while the log was full"};
        count = add_line(vectors, count, level_prefix(fd, LogLevel::warning), notice);
    }
    count = add_line(vectors, count, level_prefix(fd, level), parts);

    const auto written = finished ? write_now(stream, vectors.data(), count)
                                  : std::expected<std::size_t, SystemError>(std::unexpected(finished.error()));
    if (!written) {
        fatal_error(fd == 2 ? "failed printing to stderr" : "failed printing to stdout", written.error().text());
    }
    if (*written == 0) {
        ++stream.dropped;
        return;
    }
    keep_rest(stream.unfinished, vectors.data(), count, *written);
    stream.dropped = 0;
}

}  // namespace kestro
