#include "core/output.hpp"

#include <array>
#include <csignal>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/fatal.hpp"

namespace kestro {
namespace {

// A pipe whose ends close with the test.
struct Pipe {
    std::array<int, 2> fds{-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds.data()), 0); }
    ~Pipe() {
        for (const int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    }
    std::string drain() {
        std::string text(4096, '\0');
        const ssize_t got = ::read(fds[0], text.data(), text.size());
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return text;
    }
};

TEST(WriteLine, WritesThePartsAndOneNewline) {
    Pipe pipe;
    write_line(pipe.fds[1], {"Info: ", "", "Battery charge: ", " 5", "% (-)"});
    EXPECT_EQ(pipe.drain(), "Info: Battery charge:  5% (-)\n");
}

TEST(WriteLine, ALineThatCannotBeWrittenIsTheFatalError) {
    // The daemon ignores SIGPIPE so that a closed log gives this error.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    ::close(pipe.fds[0]);
    pipe.fds[0] = -1;
    try {
        write_line(pipe.fds[1], {"kestro version 1.6.0"});
        ADD_FAILURE() << "the write did not fail";
    } catch (const FatalError& error) {
        EXPECT_EQ(error.message, "failed printing to stdout");
        EXPECT_EQ(error.detail, "Broken pipe (os error 32)");
    }
    std::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace kestro
