#include "base/output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <sys/uio.h>

#include "base/error.hpp"
#include "base/fatal.hpp"
#include "base/journal_stream.hpp"
#include "base/posix_io.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

constexpr std::array<std::string_view, 8> level_prefixes{"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};

// Whether standard output (1) and standard error (2) are the journal's
// stream; fixed at start-up.
std::array<bool, 3> journal_fds{};

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

void detail::write_line_parts(int fd, LogLevel level, std::span<const std::string_view> parts) {
    // The prefix and the newline take two more.
    std::array<iovec, max_line_parts + 2> vectors{};
    std::size_t count = 0;
    const std::string_view prefix = level_prefix(fd, level);
    if (!prefix.empty()) {
        vectors[count++] = {const_cast<char*>(prefix.data()), prefix.size()};
    }
    for (std::string_view part : parts) {
        if (!part.empty()) {
            vectors[count++] = {const_cast<char*>(part.data()), part.size()};
        }
    }
    static char newline = '\n';
    vectors[count++] = {&newline, 1};

    if (const auto written = write_all(fd, vectors.data(), count); !written) {
        fatal_error(fd == 2 ? "failed printing to stderr" : "failed printing to stdout", written.error().text());
    }
}

}  // namespace kestro
