#include "base/child_process.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/number_format.hpp"

namespace kestro {

namespace {

// The attributes of one spawn, released whatever happens.
class SpawnAttributes {
public:
    SpawnAttributes() : error_(::posix_spawnattr_init(&attributes_)) {}
    ~SpawnAttributes() {
        if (error_ == 0) {
            ::posix_spawnattr_destroy(&attributes_);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    [[nodiscard]] int init_error() const { return error_; }
    [[nodiscard]] posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    int error_;
};

struct SignalName {
    int number;
    std::string_view name;
};

// An entry of the table below: the platform's number and its own name.
#define KESTRO_SIGNAL(name) SignalName{name, #name}

// The standard Linux signals, by the platform's own numbers.
constexpr std::array signal_names{
    KESTRO_SIGNAL(SIGHUP),  KESTRO_SIGNAL(SIGINT),    KESTRO_SIGNAL(SIGQUIT), KESTRO_SIGNAL(SIGILL),
    KESTRO_SIGNAL(SIGTRAP), KESTRO_SIGNAL(SIGABRT),   KESTRO_SIGNAL(SIGBUS),  KESTRO_SIGNAL(SIGFPE),
    KESTRO_SIGNAL(SIGKILL), KESTRO_SIGNAL(SIGUSR1),   KESTRO_SIGNAL(SIGSEGV), KESTRO_SIGNAL(SIGUSR2),
    KESTRO_SIGNAL(SIGPIPE), KESTRO_SIGNAL(SIGALRM),   KESTRO_SIGNAL(SIGTERM),
#ifdef SIGSTKFLT
    KESTRO_SIGNAL(SIGSTKFLT),
#endif
    KESTRO_SIGNAL(SIGCHLD), KESTRO_SIGNAL(SIGCONT),   KESTRO_SIGNAL(SIGSTOP), KESTRO_SIGNAL(SIGTSTP),
    KESTRO_SIGNAL(SIGTTIN), KESTRO_SIGNAL(SIGTTOU),   KESTRO_SIGNAL(SIGURG),  KESTRO_SIGNAL(SIGXCPU),
    KESTRO_SIGNAL(SIGXFSZ), KESTRO_SIGNAL(SIGVTALRM), KESTRO_SIGNAL(SIGPROF), KESTRO_SIGNAL(SIGWINCH),
    KESTRO_SIGNAL(SIGIO),
#ifdef SIGPWR
    KESTRO_SIGNAL(SIGPWR),
#endif
    KESTRO_SIGNAL(SIGSYS),
};

#undef KESTRO_SIGNAL

std::unexpected<CommandFailure> failed(SystemError error) {
    return std::unexpected(CommandFailure{std::string(error.text().view())});
}

}  // namespace

std::optional<std::string_view> signal_name(int signal_number) {
    for (const SignalName& entry : signal_names) {
        if (entry.number == signal_number) {
            return entry.name;
        }
    }
    return std::nullopt;
}

std::string wait_status_text(int wait_status) {
    std::string text;
    if (WIFEXITED(wait_status)) {
        text = "exit status: ";
        text += format_integer(static_cast<std::int64_t>(WEXITSTATUS(wait_status))).view();
    } else if (WIFSIGNALED(wait_status)) {
        const int signal_number = WTERMSIG(wait_status);
        text = "signal: ";
        text += format_integer(static_cast<std::int64_t>(signal_number)).view();
        if (const auto name = signal_name(signal_number)) {
            text += " (";
            text += *name;
            text += ')';
        }
        if (WCOREDUMP(wait_status)) {
            text += " (core dumped)";
        }
    } else {
        // waitpid() without WUNTRACED reports only the two ends above.
        text = "wait status: ";
        text += format_integer(static_cast<std::int64_t>(wait_status)).view();
    }
    return text;
}

std::expected<void, CommandFailure> run_command(const char* program, const char* argument) {
    SpawnAttributes attributes;
    if (attributes.init_error() != 0) {
        return failed(SystemError{attributes.init_error()});
    }
    // The daemon ignores SIGPIPE, and an ignored signal survives exec.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (const int error = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults); error != 0) {
        return failed(SystemError{error});
    }
    if (const int error = ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF); error != 0) {
        return failed(SystemError{error});
    }
    // posix_spawnp() does not write to the argument vector; its type is older than const.
    char* const arguments[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t child = 0;
    // A failed exec comes back here as the error number, not as an exit status.
    if (const int error = ::posix_spawnp(&child, program, nullptr, attributes.get(), arguments, environ);
        error != 0) {
        return failed(SystemError{error});
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return failed(SystemError::last());
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {};
    }
    return std::unexpected(CommandFailure{wait_status_text(status)});
}

}  // namespace kestro
