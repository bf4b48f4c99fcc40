#include "base/child_process.hpp"

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kestro {
namespace {

TEST(SignalName, StandardSignals) {
    EXPECT_EQ(signal_name(SIGTERM), "SIGTERM");
    EXPECT_EQ(signal_name(SIGKILL), "SIGKILL");
    EXPECT_EQ(signal_name(SIGSEGV), "SIGSEGV");
    EXPECT_EQ(signal_name(SIGHUP), "SIGHUP");
    EXPECT_EQ(signal_name(SIGSYS), "SIGSYS");
    EXPECT_EQ(signal_name(0), std::nullopt);
    EXPECT_EQ(signal_name(SIGRTMIN + 6), std::nullopt);
    // Every standard Linux signal has its own name.
    std::set<std::string_view> names;
    for (int number = 1; number < 32; ++number) {
        const auto name = signal_name(number);
        ASSERT_TRUE(name.has_value()) << number;
        EXPECT_TRUE(name->starts_with("SIG")) << *name;
        names.insert(*name);
    }
    EXPECT_EQ(names.size(), 31u);
}

struct WaitStatusCase {
    int wait_status;
    std::string text;
};

class WaitStatusText : public testing::TestWithParam<WaitStatusCase> {};

TEST_P(WaitStatusText, DescribesHowTheChildEnded) {
    EXPECT_EQ(wait_status_text(GetParam().wait_status), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, WaitStatusText,
                         testing::Values(WaitStatusCase{W_EXITCODE(1, 0), "exit status: 1"},
                                         WaitStatusCase{W_EXITCODE(255, 0), "exit status: 255"},
                                         WaitStatusCase{W_EXITCODE(0, SIGTERM), "signal: 15 (SIGTERM)"},
                                         WaitStatusCase{W_EXITCODE(0, SIGKILL), "signal: 9 (SIGKILL)"},
                                         WaitStatusCase{W_EXITCODE(0, SIGSEGV) | WCOREFLAG,
                                                        "signal: 11 (SIGSEGV) (core dumped)"},
                                         WaitStatusCase{W_EXITCODE(0, 40), "signal: 40"}),
                         // "signal: 11 (SIGSEGV) (core dumped)": Signal11SIGSEGVCoreDumped
                         [](const testing::TestParamInfo<WaitStatusCase>& info) {
                             std::string name;
                             bool word_start = true;
                             for (const char c : info.param.text) {
                                 const bool alphanumeric = std::isalnum(static_cast<unsigned char>(c)) != 0;
                                 if (alphanumeric) {
                                     name += word_start ? static_cast<char>(std::toupper(c)) : c;
                                 }
                                 word_start = !alphanumeric;
                             }
                             return name;
                         });

// A private directory for small shell scripts, removed with its content.
class ScriptDirectory {
public:
    ScriptDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestro-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScriptDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScriptDirectory(const ScriptDirectory&) = delete;
    ScriptDirectory& operator=(const ScriptDirectory&) = delete;

    // Writes an executable (or not) script and returns its path.
    std::string script(const std::string& name, const std::string& body, bool executable = true) {
        const std::string file = (path_ / name).string();
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, executable ? 0700 : 0600);
        EXPECT_GE(fd, 0) << file;
        const std::string text = "#!/bin/sh\n" + body + "\n";
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        return file;
    }

private:
    std::filesystem::path path_;
};

// Ignores SIGPIPE for the test's lifetime, as the daemon does.
class SigpipeIgnored {
public:
    SigpipeIgnored() : previous_(std::signal(SIGPIPE, SIG_IGN)) {}
    ~SigpipeIgnored() { std::signal(SIGPIPE, previous_); }
    SigpipeIgnored(const SigpipeIgnored&) = delete;
    SigpipeIgnored& operator=(const SigpipeIgnored&) = delete;

private:
    void (*previous_)(int);
};

TEST(RunCommand, SucceedsThroughPath) { EXPECT_TRUE(run_command("true").has_value()); }

TEST(RunCommand, ReportsHowItFailed) {
    ScriptDirectory scripts;
    struct Case {
        std::string program;
        std::string error;
    };
    const Case cases[] = {
        {"false", "exit status: 1"},
        {scripts.script("exit-3", "exit 3"), "exit status: 3"},
        {scripts.script("terminated", "kill -TERM $$"), "signal: 15 (SIGTERM)"},
        {"kestro-test-no-such-command", "No such file or directory (os error 2)"},
        {scripts.script("not-executable", "exit 0", false), "Permission denied (os error 13)"},
    };
    for (const Case& c : cases) {
        const auto ran = run_command(c.program.c_str());
        ASSERT_FALSE(ran.has_value()) << c.program;
        EXPECT_EQ(ran.error().text(), c.error) << c.program;
    }
}

// A shell cannot undo an ignored signal it inherits, so the script dies of
// SIGPIPE only when the daemon's SIG_IGN was not passed on.
TEST(RunCommand, ChildGetsSigpipeAtItsDefault) {
    const SigpipeIgnored ignored;
    ScriptDirectory scripts;
    const auto ran = run_command(scripts.script("pipe", "kill -PIPE $$").c_str());
    ASSERT_FALSE(ran.has_value());
    EXPECT_EQ(ran.error().text(), "signal: 13 (SIGPIPE)");
}

}  // namespace
}  // namespace kestro
