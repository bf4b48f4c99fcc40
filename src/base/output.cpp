#include "base/output.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <sys/uio.h>

#include "base/fatal.hpp"
#include "base/journal_stream.hpp"
#include "base/posix_io.hpp"
#include "base/error.hpp"

namespace kestro {

namespace {

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
