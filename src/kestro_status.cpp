// kestro-status: the daemon's status files for people, status bars, scripts
// and monitoring, once or whenever they change.
//
// Exit status: 0; 1 when there is no status file at all (except for the bar
// formats, whose empty text hides their block) or the output cannot be
// written, or with --notify when the session bus cannot be reached or goes
// away; 2 for a bad option or value; 33 (i3blocks' urgent) when the
// shutdown is near, with --i3blocks; with --probe, 1 when there is no battery;
// with --history or --health, 3 when there is no history to read.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "base/error.hpp"
#include "base/output.hpp"
#include "base/posix_io.hpp"
#include "client/battery_health.hpp"
#include "client/desktop_notifier.hpp"
#include "client/history.hpp"
#include "client/history_chart.hpp"
#include "client/options.hpp"
#include "client/output_target.hpp"
#include "client/status_formats.hpp"
#include "client/support_probe.hpp"
#include "client/watch.hpp"

namespace {

using namespace kestro;

constexpr int no_status_exit = 1;
constexpr int failure_exit = 1;
constexpr int usage_exit = 2;
constexpr int urgent_exit = 33;
constexpr int no_history_exit = 3;

constexpr std::string_view help_text =
    "Shows kestro's status from its status directory.\n"
    "\n"
    "  (no format)      one line: \"Connected, 57.1%, Charging, full in 25 min\"\n"
    "  --json           every value typed, with each file's age and staleness\n"
    "  --waybar         a Waybar custom module's JSON (text, alt, tooltip, class, percentage)\n"
    "  --i3blocks       full text, short text, colour; exit status 33 when the shutdown is near\n"
    "  --prometheus     the text format of node_exporter's textfile collector\n"
    "  --watch          stay and print again whenever the status changes\n"
    "  --output FILE    replace FILE whole with each output instead of printing it\n"
    "  --dir DIR        the status directory (default $KESTRO_STATUS_DIR, else /run/kestro)\n"
    "  --max-age SECONDS   a file older than this is stale (default 10)\n"
    "  --warning MINUTES   shutdown this near is a warning (default 30)\n"
    "  --critical MINUTES  shutdown this near is critical (default 10)\n"
    "  --notify         watch and send desktop notifications (a format given beside it is written too)\n"
    "  --notify-before MINUTES    notify a shutdown this near (default 10)\n"
    "  --notify-critical MINUTES  notify it again, critical, this near (default 3)\n"
    "  --probe          would kestro work here: the adapter and batteries it would find, what it\n"
    "                   would read, another power manager's critical action; exit status 1 without a battery\n"
    "  --history [DURATION]  draw the charge and power of the last 24h, or 90m, 7d ... (exit status 3\n"
    "                   without a history)\n"
    "  --format svg|csv|json  with --history: an SVG picture, or the records for scripts\n"
    "  --health         each pack's capacity against its design, cycles, wear a month, drain while asleep\n"
    "  --state-dir DIR  where kestro keeps its history (default /var/lib/kestro)\n"
    "\n"
    "See kestro-status(1).\n";

// Writes whole lines to standard error; there is no one else to tell of a failure.
void report(std::initializer_list<std::string_view> parts) {
    [[maybe_unused]] const bool written = write_line_waiting(STDERR_FILENO, {parts.begin(), parts.size()});
}

// Reports a failure: "kestro-status: <context>: <error>".
[[nodiscard]] int failed(const Error& failure) {
    report({"kestro-status: ", failure.report()});
    return failure_exit;
}

// Reports a failed output; a reader that has gone away is no failure.
[[nodiscard]] int output_failed(const Error& failure) {
    return failure.system() == SystemError{EPIPE} ? EXIT_SUCCESS : failed(failure);
}

// The health figures for --prometheus; none without a history.
[[nodiscard]] std::string prometheus_health(const Options& options) {
    const auto history = read_history(options.state_directory, 0);
    return history ? health_prometheus(battery_health(history->records)) : std::string();
}

// The columns of the terminal on standard output; 80 for anything else.
[[nodiscard]] int output_width(const Options& options) {
    winsize size{};
    if (!options.output && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

[[nodiscard]] std::string history_output(const Options& options, const std::vector<HistoryRecord>& records,
                                         ChartWindow window) {
    if (options.health) {
        return health_text(battery_health(records));
    }
    switch (options.history_format) {
        case HistoryFormat::chart: return history_text_chart(records, window, output_width(options));
        case HistoryFormat::svg: return history_svg(records, window);
        case HistoryFormat::csv: return history_csv(records);
        case HistoryFormat::json: return history_json(records);
    }
    return "";
}

// --history and --health: the history of the time asked for (all of it for
// the health), or one line and no_history_exit without one.
int show_history(const Options& options, const OutputTarget& target) {
    const std::int64_t now = std::time(nullptr);
    const std::int64_t since = options.history ? now - *options.history : 0;
    const auto history = read_history(options.state_directory, since);
    if (!history) {
        report({"kestro-status: no history in ", options.state_directory, ": ", history.error()});
        return no_history_exit;
    }
    const auto written = target.write(history_output(options, history->records, {since, now}));
    return written ? EXIT_SUCCESS : output_failed(written.error());
}

// Hands each changed status to the output, skipping an output that would
// repeat the last one (a change that the format does not show).
class FormatSink final : public StatusSink {
public:
    FormatSink(const Options& options, const OutputTarget& target) : options_(options), target_(target) {}

    SinkResult status_changed(const StatusSnapshot& snapshot) override {
        std::string text = format_status(options_.format, snapshot, options_.thresholds, true);
        if (options_.format == OutputFormat::prometheus) {
            text += health();
        }
        if (text == last_) {
            return SinkResult::keep_watching;
        }
        if (auto written = target_.write(text); !written) {
            failure_ = std::move(written.error());
        }
        last_ = std::move(text);
        return failure_ ? SinkResult::stop : SinkResult::keep_watching;
    }

    [[nodiscard]] const std::optional<Error>& failure() const { return failure_; }

private:
    // The health figures change once a day or at a resume: read again after ten minutes.
    const std::string& health() {
        const auto now = std::chrono::steady_clock::now();
        if (!health_read_ || now - *health_read_ > std::chrono::minutes(10)) {
            health_ = prometheus_health(options_);
            health_read_ = now;
        }
        return health_;
    }

    const Options& options_;
    const OutputTarget& target_;
    std::string last_;
    std::string health_;
    std::optional<std::chrono::steady_clock::time_point> health_read_;
    std::optional<Error> failure_;
};

// Notifies, then hands the status to the output, when there is one: one
// watch for both.
class NotifyingSink final : public StatusSink {
public:
    NotifyingSink(DesktopNotifier& notifier, StatusSink* output) : notifier_(notifier), output_(output) {}

    SinkResult status_changed(const StatusSnapshot& snapshot) override {
        if (notifier_.status_changed(snapshot) == SinkResult::stop) {
            return SinkResult::stop;
        }
        return output_ != nullptr ? output_->status_changed(snapshot) : SinkResult::keep_watching;
    }
    pollfd descriptor() const override { return notifier_.descriptor(); }
    SinkResult descriptor_ready() override { return notifier_.descriptor_ready(); }

private:
    DesktopNotifier& notifier_;
    StatusSink* output_;
};

int show_once(const Options& options, const OutputTarget& target) {
    const StatusSnapshot snapshot = read_status_snapshot(options.directory, options.max_age);
    const bool bar = options.format == OutputFormat::waybar || options.format == OutputFormat::i3blocks;
    if (!has_status(snapshot) && options.format == OutputFormat::line) {
        report({"kestro-status: no status in ", options.directory, " (is kestro running?)"});
        return no_status_exit;
    }
    std::string text = format_status(options.format, snapshot, options.thresholds, false);
    if (options.format == OutputFormat::prometheus) {
        text += prometheus_health(options);
    }
    if (const auto written = target.write(text); !written) {
        return output_failed(written.error());
    }
    if (options.format == OutputFormat::i3blocks &&
        interpret(snapshot, options.thresholds).urgency == Urgency::critical) {
        return urgent_exit;
    }
    return has_status(snapshot) || bar ? EXIT_SUCCESS : no_status_exit;
}

int watch(const Options& options, const OutputTarget& target) {
    FormatSink output(options, target);
    std::unique_ptr<DesktopNotifier> notifier;
    if (options.notify) {
        auto connected = DesktopNotifier::connect(options.notify_thresholds,
                                                  [](std::string_view line) { report({"kestro-status: ", line}); });
        if (!connected) {
            report({"kestro-status: ", connected.error()});
            return failure_exit;
        }
        notifier = std::move(*connected);
    }
    std::optional<NotifyingSink> notifying;
    if (notifier) {
        notifying.emplace(*notifier, options.print ? &output : nullptr);
    }
    StatusSink& sink = notifying ? static_cast<StatusSink&>(*notifying) : output;
    const bool to_stdout = options.print && !options.output;
    const auto end = watch_status(
        {.directory = options.directory, .max_age = options.max_age, .hangup_fd = to_stdout ? STDOUT_FILENO : -1},
        sink);
    if (!end) {
        return failed(end.error());
    }
    if (notifier && notifier->failure()) {
        report({"kestro-status: ", *notifier->failure()});
        return failure_exit;
    }
    if (output.failure()) {
        return output_failed(*output.failure());
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse_options(std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1)),
                                       std::getenv(status_directory_variable));
    if (!options) {
        report({"kestro-status: ", options.error()});
        report({usage_line});
        return usage_exit;
    }
    const OutputTarget stdout_target(std::nullopt);
    if (options->help || options->version) {
        const std::string text = options->help ? std::string(usage_line) + "\n" + std::string(help_text)
                                               : "kestro-status " KESTRO_VERSION "\n";
        const auto written = stdout_target.write(text);
        return written ? EXIT_SUCCESS : output_failed(written.error());
    }
    if (options->probe) {
        const ProbeReport probe = probe_support();
        const auto written = stdout_target.write(probe.text);
        return !written ? output_failed(written.error()) : probe.battery ? EXIT_SUCCESS : no_status_exit;
    }
    // A reader that goes away is an ordinary end, seen as EPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    const OutputTarget target(options->output);
    if (options->history || options->health) {
        return show_history(*options, target);
    }
    return options->watch || options->notify ? watch(*options, target) : show_once(*options, target);
}
