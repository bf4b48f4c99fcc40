#include "core/output.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <sys/uio.h>

#include "core/fatal.hpp"
#include "core/posix_io.hpp"
#include "core/system_error.hpp"

namespace kestro {

namespace {

// More parts than any line of the daemon has; the newline takes one more.
constexpr std::size_t max_line_parts = 15;

}  // namespace

void write_line(int fd, std::initializer_list<std::string_view> parts) {
    std::array<iovec, max_line_parts + 1> vectors{};
    std::size_t count = 0;
    for (std::string_view part : parts) {
        if (count == max_line_parts) {
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
