#include "base/output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <sys/uio.h>

#include "base/error.hpp"
#include "base/fatal.hpp"
#include "base/journal_stream.hpp"
#include "base/number_format.hpp"
#include "base/posix_io.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

constexpr std::array<std::string_view, 8> level_prefixes{"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};

// Whether standard output (1) and standard error (2) are the journal's
// stream; fixed at start-up.
std::array<bool, 3> journal_fds{};

// Lines dropped on standard output (1) and standard error (2) since the
// stream last took one.
std::array<std::uint64_t, 3> dropped_lines{};

std::uint64_t* dropped_lines_of(int fd) {
    return fd == 1 || fd == 2 ? &dropped_lines[static_cast<std::size_t>(fd)] : nullptr;
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

void detect_journal_streams(const char* journal_stream) {
    journal_fds[1] = is_journal_stream(1, journal_stream);
    journal_fds[2] = is_journal_stream(2, journal_stream);
}

bool is_journal_fd(int fd) { return (fd == 1 || fd == 2) && journal_fds[static_cast<std::size_t>(fd)]; }

std::string_view level_prefix(int fd, LogLevel level) {
    return is_journal_fd(fd) ? level_prefixes[static_cast<std::size_t>(level)] : std::string_view();
}

bool takes_line_now(int fd) {
    pollfd stream{.fd = fd, .events = POLLOUT, .revents = 0};
    int ready = 0;
    do {
        ready = ::poll(&stream, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // A failed poll leaves the verdict to the write.
    return ready != 0;
}

void detail::write_line_parts(int fd, LogLevel level, std::span<const std::string_view> parts) {
    std::uint64_t* const dropped = dropped_lines_of(fd);
    if (!takes_line_now(fd)) {
        if (dropped != nullptr) {
            ++*dropped;
        }
        return;
    }
    // The notice of dropped lines takes four, the prefix and the newline two.
    std::array<iovec, max_line_parts + 6> vectors{};
    std::size_t count = 0;
    const auto add = [&](std::string_view text) {
        if (!text.empty()) {
            vectors[count++] = {const_cast<char*>(text.data()), text.size()};
        }
    };
    NumberText dropped_count;
    if (dropped != nullptr && *dropped > 0) {
        dropped_count = format_integer(*dropped);
        add(level_prefix(fd, LogLevel::warning));
        add("kestro: ");
        add(dropped_count);
        add(*dropped == 1 ? " log line dropped while the log was full\n"
                          : " log lines dropped while the log was full\n");
    }
    add(level_prefix(fd, level));
    for (std::string_view part : parts) {
        add(part);
    }
    add("\n");

    if (const auto written = write_all(fd, vectors.data(), count); !written) {
        fatal_error(fd == 2 ? "failed printing to stderr" : "failed printing to stdout", written.error().text());
    }
    if (dropped != nullptr) {
        *dropped = 0;
    }
}

}  // namespace kestro
