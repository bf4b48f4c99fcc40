#include "base/child_process.hpp"

#include <array>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/number_format.hpp"
#include "base/output.hpp"
#include "base/pause.hpp"

namespace kestro {

namespace {

// The attributes or the file actions of one spawn, released whatever happens.
template <class T, int (*init)(T*), int (*destroy)(T*)>
class SpawnObject {
public:
    SpawnObject() : error_(init(&object_)) {}
    ~SpawnObject() {
        if (error_ == 0) {
            destroy(&object_);
        }
    }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;

    [[nodiscard]] int init_error() const { return error_; }
    [[nodiscard]] T* get() { return &object_; }

private:
    T object_{};
    int error_;
};

using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;
using SpawnFileActions =
    SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;

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

std::unexpected<Error> failed(SystemError error) { return std::unexpected(Error(error)); }

std::expected<void, Error> succeeded(int wait_status) {
    if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
        return {};
    }
    return std::unexpected(Error::reason_text(wait_status_text(wait_status)));
}

// Starts program (through PATH) with SIGPIPE at its default, the file
// actions and the signal mask given (none: the caller's).
std::expected<pid_t, Error> spawn(const char* program, const char* argument,
                                           const posix_spawn_file_actions_t* actions, const sigset_t* mask) {
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
    short flags = POSIX_SPAWN_SETSIGDEF;
    if (mask != nullptr) {
        flags |= POSIX_SPAWN_SETSIGMASK;
        if (const int error = ::posix_spawnattr_setsigmask(attributes.get(), mask); error != 0) {
            return failed(SystemError{error});
        }
    }
    if (const int error = ::posix_spawnattr_setflags(attributes.get(), flags); error != 0) {
        return failed(SystemError{error});
    }
    // posix_spawnp() does not write to the argument vector; its type is older than const.
    char* const arguments[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t child = 0;
    // A failed exec comes back here as the error number, not as an exit status.
    if (const int error = ::posix_spawnp(&child, program, actions, attributes.get(), arguments, environ);
        error != 0) {
        return failed(SystemError{error});
    }
    return child;
}

// The child's wait status once it has ended, or none when `limit` of awake
// time runs out first. SIGCHLD is blocked, so each wait ends when the child
// does: the kernel's timeout counts CLOCK_MONOTONIC time.
std::expected<std::optional<int>, Error> wait_awake(pid_t child, std::chrono::nanoseconds limit,
                                                             const sigset_t& child_ended) {
    const std::chrono::nanoseconds deadline = read_clocks().awake + limit;
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) {
            return status;
        }
        if (ended < 0 && errno != EINTR) {
            return failed(SystemError::last());
        }
        const std::chrono::nanoseconds left = deadline - read_clocks().awake;
        if (left <= std::chrono::nanoseconds::zero()) {
            return std::nullopt;
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec wait{static_cast<time_t>(seconds.count()), static_cast<long>((left - seconds).count())};
        if (::sigtimedwait(&child_ended, nullptr, &wait) < 0 && errno != EAGAIN && errno != EINTR) {
            return failed(SystemError::last());
        }
    }
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

std::expected<void, Error> run_command(const char* program, const char* argument) {
    const auto child = spawn(program, argument, nullptr, nullptr);
    if (!child) {
        return std::unexpected(child.error());
    }
    int status = 0;
    while (::waitpid(*child, &status, 0) < 0) {
        if (errno != EINTR) {
            return failed(SystemError::last());
        }
    }
    return succeeded(status);
}

std::expected<void, Error> run_bounded_command(const char* program, const char* argument,
                                                        std::chrono::seconds awake_limit) {
    SpawnFileActions actions;
    if (actions.init_error() != 0) {
        return failed(SystemError{actions.init_error()});
    }
    if (const int error = ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
        error != 0) {
        return failed(SystemError{error});
    }
    for (const int fd : {1, 2}) {
        if (log_descriptor(fd) == fd) {
            continue;
        }
        if (const int error = ::posix_spawn_file_actions_adddup2(actions.get(), log_descriptor(fd), fd); error != 0) {
            return failed(SystemError{error});
        }
    }
    // Blocked before the child can end, so that its SIGCHLD waits for
    // sigtimedwait(); the child starts with the mask as it was.
    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    sigset_t before;
    ::pthread_sigmask(SIG_BLOCK, &child_ended, &before);
    const auto child = spawn(program, argument, actions.get(), &before);
    const auto status = child ? wait_awake(*child, awake_limit, child_ended)
                              : std::expected<std::optional<int>, Error>(std::unexpected(child.error()));
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!status) {
        return std::unexpected(status.error());
    }
    if (!*status) {
        // Not waited for: a child that SIGKILL does not end at once is stuck
        // in the kernel, and the daemon must not be stuck with it.
        ::kill(*child, SIGKILL);
        ::waitpid(*child, nullptr, WNOHANG);
        std::string reason = "killed after ";
        reason += format_integer(static_cast<std::int64_t>(awake_limit.count())).view();
        reason += " seconds awake without finishing";
        return std::unexpected(Error::reason_text(std::move(reason)));
    }
    return succeeded(**status);
}

}  // namespace kestro
