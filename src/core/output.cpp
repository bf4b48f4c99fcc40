#include "core/output.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <sys/uio.h>

#include "core/fatal.hpp"
#include "core/journal_stream.hpp"
#include "core/posix_io.hpp"
#include "core/system_error.hpp"

namespace kestro {

namespace {

// More parts than any line of the daemon has; the prefix and the newline
// take two more.
constexpr std::size_t max_line_parts = 15;

constexpr std::array<std::string_view, 8> level_prefixes{"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};

// Whether standard output (1) and standard error (2) are the journal's
// stream; fixed at start-up.
std::array<bool, 3> journal_fds{};

}  // namespace

void detect_journal_streams(const char* journal_stream) {
    journal_fds[1] = is_journal_stream(1, journal_stream);
    journal_fds[2] = is_journal_stream(2, journal_stream);
}

bool is_journal_fd(int fd) { return (fd == 1 || fd == 2) && journal_fds[static_cast<std::size_t>(fd)]; }

std::string_view level_prefix(int fd, LogLevel level) {
    return is_journal_fd(fd) ? level_prefixes[static_cast<std::size_t>(level)] : std::string_view();
}

void write_line(int fd, LogLevel level, std::initializer_list<std::string_view> parts) {
    std::array<iovec, max_line_parts + 2> vectors{};
    std::size_t count = 0;
    const std::string_view prefix = level_prefix(fd, level);
    if (!prefix.empty()) {
        vectors[count++] = {const_cast<char*>(prefix.data()), prefix.size()};
    }
    const std::size_t first_part = count;
    for (std::string_view part : parts) {
        if (count - first_part == max_line_parts) {
            fatal_error("too many parts in one log line", "");
        }
        if (!part.empty()) {
            vectors[count++] = {const_cast<char*>(part.data()), part.size()};
        }
    }
    static char newline = '\n';
    vectors[count++] = {&newline, 1};

    if (const auto error = write_all(fd, vectors.data(), count)) {
        fatal_error(fd == 2 ? "failed printing to stderr" : "failed printing to stdout",
                    system_error_text(*error));
    }
}

}  // namespace kestro
