#include "base/output.hpp"

#include <array>
#include <csignal>
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/fatal.hpp"

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
    write_line(pipe.fds[1], LogLevel::info, {"Info: ", "", "Battery charge: ", " 5", "% (-)"});
    EXPECT_EQ(pipe.drain(), "Info: Battery charge:  5% (-)\n");
}

TEST(WriteLine, ALineThatCannotBeWrittenIsTheFatalError) {
    // The daemon ignores SIGPIPE so that a closed log gives this error.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    ::close(pipe.fds[0]);
    pipe.fds[0] = -1;
    try {
        write_line(pipe.fds[1], LogLevel::info, {"kestro version 1.6.0"});
        ADD_FAILURE() << "the write did not fail";
    } catch (const FatalError& error) {
        EXPECT_EQ(error.message, "failed printing to stdout");
        EXPECT_EQ(error.detail, "Broken pipe (os error 32)");
    }
    std::signal(SIGPIPE, previous);
}

// The journal's name for what fd is open on: "<device>:<inode>".
std::string stream_id(int fd) {
    struct stat metadata {};
    EXPECT_EQ(::fstat(fd, &metadata), 0);
    return std::to_string(metadata.st_dev) + ":" + std::to_string(metadata.st_ino);
}

struct LevelCase {
    std::function<void(const std::string_view (&)[1])> print;
    int journal_fd;  // the stream JOURNAL_STREAM names: 1, 2, or 0 for none
    const char* out;
    const char* err;
};

class JournalLevels : public testing::TestWithParam<LevelCase> {};

// Standard output and standard error go to two different files; the level
// appears only on the one JOURNAL_STREAM names.
TEST_P(JournalLevels, PrefixOnlyOnTheJournalStream) {
    const LevelCase& c = GetParam();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    set_up_log_streams(c.journal_fd == 0 ? nullptr : stream_id(c.journal_fd).c_str());
    c.print({"text"});
    set_up_log_streams(nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, JournalLevels,
    testing::Values(LevelCase{print_line, 1, "<6>text\n", ""}, LevelCase{print_warning_line, 1, "<4>text\n", ""},
                    LevelCase{print_debug_line, 1, "<7>text\n", ""}, LevelCase{print_notice_line, 1, "<5>text\n", ""},
                    LevelCase{print_critical_line, 1, "<2>text\n", ""},
                    LevelCase{print_error_line, 2, "", "<3>text\n"}, LevelCase{print_line, 2, "text\n", ""},
                    LevelCase{print_error_line, 1, "", "text\n"}, LevelCase{print_critical_line, 0, "text\n", ""}));

}  // namespace
}  // namespace kestro
