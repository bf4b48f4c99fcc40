#include "evaluate/shutdown.hpp"

#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "core/fatal.hpp"
#include "core/number_format.hpp"
#include "core/output.hpp"
#include "core/pause.hpp"
#include "core/system_error.hpp"

namespace kestro {

namespace {

// The draw is per hour; the estimate is in seconds.
constexpr double seconds_per_hour = 3600.0;
constexpr double percent_scale = 100.0;

// The only estimate that starts the shutdown.
constexpr double shutdown_now = 0.0;
// Published instead while the adapter is "Connected": not yet, but soon.
constexpr double held_off_by_adapter = 1.0;

// 2^64: the first number of seconds a WaitDuration cannot hold.
constexpr double wait_limit_secs = 18446744073709551616.0;
constexpr std::uint64_t nanoseconds_per_second = 1'000'000'000;
// Bits in the significand of a double, the hidden one included.
constexpr int significand_bits = 53;

constexpr std::string_view negative_wait = "cannot convert float seconds to Duration: value is negative";
constexpr std::string_view oversized_wait =
    "cannot convert float seconds to Duration: value is either too big or NaN";

constexpr const char* poweroff_command = "poweroff";

// Holds the significand times 10^9 (below 2^83) exactly.
__extension__ typedef unsigned __int128 Wide;
constexpr int wide_bits = 128;

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

// The standard Linux signals, by the platform's own numbers.
constexpr std::array signal_names{
    SignalName{SIGHUP, "SIGHUP"},       SignalName{SIGINT, "SIGINT"},
    SignalName{SIGQUIT, "SIGQUIT"},     SignalName{SIGILL, "SIGILL"},
    SignalName{SIGTRAP, "SIGTRAP"},     SignalName{SIGABRT, "SIGABRT"},
    SignalName{SIGBUS, "SIGBUS"},       SignalName{SIGFPE, "SIGFPE"},
    SignalName{SIGKILL, "SIGKILL"},     SignalName{SIGUSR1, "SIGUSR1"},
    SignalName{SIGSEGV, "SIGSEGV"},     SignalName{SIGUSR2, "SIGUSR2"},
    SignalName{SIGPIPE, "SIGPIPE"},     SignalName{SIGALRM, "SIGALRM"},
    SignalName{SIGTERM, "SIGTERM"},
#ifdef SIGSTKFLT
    SignalName{SIGSTKFLT, "SIGSTKFLT"},
#endif
    SignalName{SIGCHLD, "SIGCHLD"},     SignalName{SIGCONT, "SIGCONT"},
    SignalName{SIGSTOP, "SIGSTOP"},     SignalName{SIGTSTP, "SIGTSTP"},
    SignalName{SIGTTIN, "SIGTTIN"},     SignalName{SIGTTOU, "SIGTTOU"},
    SignalName{SIGURG, "SIGURG"},       SignalName{SIGXCPU, "SIGXCPU"},
    SignalName{SIGXFSZ, "SIGXFSZ"},     SignalName{SIGVTALRM, "SIGVTALRM"},
    SignalName{SIGPROF, "SIGPROF"},     SignalName{SIGWINCH, "SIGWINCH"},
    SignalName{SIGIO, "SIGIO"},
#ifdef SIGPWR
    SignalName{SIGPWR, "SIGPWR"},
#endif
    SignalName{SIGSYS, "SIGSYS"},
};

}  // namespace

std::optional<double> estimate_secs_until_shutdown(const CycleReadings& readings, const ChargeEstimate& estimate,
                                                   std::optional<AcStatus> adapter_status,
                                                   const Settings& settings) {
    // percent_known means both capacities were read.
    if (!estimate.percent_known) {
        return std::nullopt;
    }
    const double threshold = *readings.full_value * (settings.request_shutdown_battery_percent / percent_scale);
    const double now = *readings.now_value;
    if (now > threshold) {
        // The time to go needs the voltages (the draw is made of voltage_now);
        // the shutdown at the level below does not.
        if (!readings.voltage_now || !readings.voltage_min_design) {
            return std::nullopt;
        }
        const double secs = *readings.voltage_min_design * (now - threshold) / estimate.draw * seconds_per_hour;
        // The charge is above the level, so this must not read as "now".
        if (secs == shutdown_now) {
            return std::nullopt;
        }
        return secs;
    }
    return adapter_status == AcStatus::connected ? held_off_by_adapter : shutdown_now;
}

bool shutdown_due(std::optional<double> secs) { return secs && *secs == shutdown_now; }

std::expected<WaitDuration, std::string_view> wait_duration_from_secs(double secs) {
    if (std::isnan(secs)) {
        return std::unexpected(oversized_wait);
    }
    if (secs < 0) {
        return std::unexpected(negative_wait);
    }
    if (secs >= wait_limit_secs) {
        return std::unexpected(oversized_wait);
    }
    // secs = significand × 2^-fraction_bits exactly, the significand below 2^53.
    int exponent = 0;
    const double mantissa = std::frexp(secs, &exponent);
    const auto significand = static_cast<std::uint64_t>(std::ldexp(mantissa, significand_bits));
    const int fraction_bits = significand_bits - exponent;
    if (fraction_bits <= 0) {
        // A whole number below 2^64.
        return WaitDuration{significand << -fraction_bits, 0};
    }
    // With a fraction the whole part is below 2^52, so the carry below cannot overflow.
    constexpr int word_bits = 64;
    std::uint64_t whole = fraction_bits < word_bits ? significand >> fraction_bits : 0;
    if (fraction_bits >= wide_bits) {
        // Below 2^-45 s: far under half a nanosecond.
        return WaitDuration{whole, 0};
    }
    const std::uint64_t fraction =
        fraction_bits < word_bits ? significand & ((std::uint64_t{1} << fraction_bits) - 1) : significand;
    const Wide scaled = static_cast<Wide>(fraction) * nanoseconds_per_second;
    auto nanos = static_cast<std::uint64_t>(scaled >> fraction_bits);
    const Wide rest = scaled & ((Wide{1} << fraction_bits) - 1);
    const Wide half = Wide{1} << (fraction_bits - 1);
    if (rest > half || (rest == half && nanos % 2 == 1)) {
        ++nanos;
    }
    if (nanos == nanoseconds_per_second) {
        ++whole;
        nanos = 0;
    }
    return WaitDuration{whole, static_cast<std::uint32_t>(nanos)};
}

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

std::expected<void, std::string> run_command(const char* program) {
    SpawnAttributes attributes;
    if (attributes.init_error() != 0) {
        return std::unexpected(system_error_text(attributes.init_error()));
    }
    // The daemon ignores SIGPIPE, and an ignored signal survives exec.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (const int error = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults); error != 0) {
        return std::unexpected(system_error_text(error));
    }
    if (const int error = ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF); error != 0) {
        return std::unexpected(system_error_text(error));
    }
    // posix_spawnp() does not write to the argument vector; its type is older than const.
    char* const arguments[] = {const_cast<char*>(program), nullptr};
    pid_t child = 0;
    // A failed exec comes back here as the error number, not as an exit status.
    if (const int error = ::posix_spawnp(&child, program, nullptr, attributes.get(), arguments, environ);
        error != 0) {
        return std::unexpected(system_error_text(error));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::unexpected(system_error_text(errno));
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {};
    }
    return std::unexpected(wait_status_text(status));
}

ShutdownCompleted run_shutdown_sequence(const Settings& settings) {
    return run_shutdown_sequence_with(settings, poweroff_command);
}

ShutdownCompleted run_shutdown_sequence_with(const Settings& settings, const char* command) {
    print_critical_line({"Reached ", format_shortest(settings.request_shutdown_battery_percent), "% battery."});
    print_critical_line({"Forcing shutdown in ", format_shortest(settings.force_shutdown_timeout_secs), " seconds."});
    // The configuration refuses timeouts that do not convert; this cannot
    // fail unless Settings came from elsewhere.
    const auto wait = wait_duration_from_secs(settings.force_shutdown_timeout_secs);
    if (!wait) {
        fatal_error(std::string(wait.error()), "");
    }
    pause_for(wait->seconds, wait->nanoseconds);
    print_critical_line({"Shutting down now."});
    if (auto ran = run_command(command); !ran) {
        std::string message = command;
        message += ": ";
        message += ran.error();
        fatal_error(std::move(message), "");
    }
    return {};
}

}  // namespace kestro
