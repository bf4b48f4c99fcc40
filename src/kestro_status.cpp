// kestro-status: the daemon's status files for people, status bars, scripts
// and monitoring, once or whenever they change.
//
// Exit status: 0; 1 when there is no status file at all (except for the bar
// formats, whose empty text hides their block) or the output cannot be
// written; 2 for a bad option or value; 33 (i3blocks' urgent) when the
// shutdown is near, with --i3blocks.
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <optional>
#include <span>
#include <string>
#include <sys/uio.h>
#include <unistd.h>

#include "client/options.hpp"
#include "client/output_target.hpp"
#include "client/status_formats.hpp"
#include "client/watch.hpp"
#include "core/posix_io.hpp"
#include "core/system_error.hpp"

namespace {

using namespace kestro;

constexpr int no_status_exit = 1;
constexpr int failure_exit = 1;
constexpr int usage_exit = 2;
constexpr int urgent_exit = 33;

constexpr std::string_view help_text =
    "Shows kestro's status from its status directory.\n"
    "\n"
    "  (no format)      one line: \"Connected, 57.1%, Charging, full in 0:25\"\n"
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
    "\n"
    "See kestro-status(1).\n";

// Writes whole lines to standard error; there is no one else to tell of a failure.
void report(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    text += '\n';
    iovec vector{text.data(), text.size()};
    [[maybe_unused]] const auto ignored = write_all(STDERR_FILENO, &vector, 1);
}

// Reports a failed output; a reader that has gone away is no failure.
[[nodiscard]] int output_failed(const OutputFailure& failure) {
    if (failure.error_number == EPIPE) {
        return EXIT_SUCCESS;
    }
    report({"kestro-status: ", failure.action, ": ", system_error_text(failure.error_number)});
    return failure_exit;
}

// Hands each changed status to the output, skipping an output that would
// repeat the last one (a change that the format does not show).
class FormatSink final : public StatusSink {
public:
    FormatSink(const Options& options, const OutputTarget& target) : options_(options), target_(target) {}

    SinkResult status_changed(const StatusSnapshot& snapshot) override {
        std::string text = format_status(options_.format, snapshot, options_.thresholds, true);
        if (text == last_) {
            return SinkResult::keep_watching;
        }
        failure_ = target_.write(text);
        last_ = std::move(text);
        return failure_ ? SinkResult::stop : SinkResult::keep_watching;
    }

    [[nodiscard]] const std::optional<OutputFailure>& failure() const { return failure_; }

private:
    const Options& options_;
    const OutputTarget& target_;
    std::string last_;
    std::optional<OutputFailure> failure_;
};

int show_once(const Options& options, const OutputTarget& target) {
    const StatusSnapshot snapshot = read_status_snapshot(options.directory, options.max_age);
    const bool bar = options.format == OutputFormat::waybar || options.format == OutputFormat::i3blocks;
    if (!has_status(snapshot) && options.format == OutputFormat::line) {
        report({"kestro-status: no status in ", options.directory, " (is kestro running?)"});
        return no_status_exit;
    }
    if (const auto failure = target.write(format_status(options.format, snapshot, options.thresholds, false))) {
        return output_failed(*failure);
    }
    if (options.format == OutputFormat::i3blocks &&
        interpret(snapshot, options.thresholds).urgency == Urgency::critical) {
        return urgent_exit;
    }
    return has_status(snapshot) || bar ? EXIT_SUCCESS : no_status_exit;
}

int watch(const Options& options, const OutputTarget& target) {
    FormatSink sink(options, target);
    const auto end = watch_status(
        {.directory = options.directory, .max_age = options.max_age, .hangup_fd = options.output ? -1 : STDOUT_FILENO},
        sink);
    if (!end) {
        report({"kestro-status: ", end.error()});
        return failure_exit;
    }
    if (sink.failure()) {
        return output_failed(*sink.failure());
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse_options(std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1)),
                                       std::getenv(status_directory_variable));
    if (!options) {
        report({usage_line});
        return usage_exit;
    }
    const OutputTarget stdout_target(std::nullopt);
    if (options->help || options->version) {
        const std::string text = options->help ? std::string(usage_line) + "\n" + std::string(help_text)
                                               : "kestro-status " KESTRO_VERSION "\n";
        const auto failure = stdout_target.write(text);
        return failure ? output_failed(*failure) : EXIT_SUCCESS;
    }
    // A reader that goes away is an ordinary end, seen as EPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    const OutputTarget target(options->output);
    return options->watch ? watch(*options, target) : show_once(*options, target);
}
