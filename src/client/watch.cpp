#include "client/watch.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "base/error.hpp"
#include "base/posix_io.hpp"

namespace kestro {

namespace {

// The directory: files replaced (the daemon's renames), written in place,
// removed; the directory itself removed or moved away.
constexpr std::uint32_t directory_events =
    IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A directory above it: while it is absent, something created or moved in
// (perhaps the directory, or the next one on its path), or the watched
// directory itself gone. While it is there, its parent tells when its name
// is removed, moved or made anew: a directory that a process still holds
// open (the daemon keeps its lock on it) sends no event of its own when it
// is removed.
constexpr std::uint32_t ancestor_events =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// A step of the settling wait after the first event of a cycle.
constexpr double settle_step_secs = 0.02;
// Past the moment the next file turns stale: it is stale when read again,
// and so are the files of the same cycle, written a moment after it.
constexpr double stale_margin = 0.1;
constexpr double longest_timer = 1e9;  // seconds; about 32 years

// The call that just failed, named by its action and what it acted on; its
// errno is taken before anything else can change it.
[[nodiscard]] std::unexpected<Error> failure(std::string_view action, std::string_view object = {}) {
    const SystemError error = SystemError::last();
    std::string what(action);
    if (!object.empty()) {
        what.append(" ").append(object);
    }
    return std::unexpected(Error(error).in_context(std::move(what)));
}

// The path without slashes at its end, but "/" for the root.
[[nodiscard]] std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The directory above a path: "/run" for "/run/kestro", "/" for "/run",
// "." for a name without a slash.
[[nodiscard]] std::string parent_of(std::string_view given) {
    const std::string path = without_trailing_slashes(std::string(given));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void arm(int timer, double seconds) {
    itimerspec when{};
    if (seconds > 0) {
        seconds = std::min(seconds, longest_timer);
        when.it_value.tv_sec = static_cast<time_t>(seconds);
        when.it_value.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
            when.it_value.tv_nsec = 1;  // zero would disarm it
        }
    }
    ::timerfd_settime(timer, 0, &when, nullptr);
}

// Takes the expiry count of a timer that has fired.
void consume(int timer) {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = ::read(timer, &expirations, sizeof expirations);
}

// The inotify watches on the status directory, or on the nearest existing
// directory above it while it is absent.
class DirectoryWatch {
public:
    DirectoryWatch(int inotify, std::string_view directory)
        : inotify_(inotify), directory_(directory), name_(name_of(directory_)) {}

    // Watches the directory, or else the nearest existing directory above
    // it. Fails only when nothing up to "/" (or ".") can be watched.
    [[nodiscard]] std::expected<void, Error> attach() {
        if (directory_watch_ >= 0 || try_directory()) {
            return {};
        }
        std::string path = directory_;
        int watch = -1;
        do {
            path = parent_of(path);
            watch = ::inotify_add_watch(inotify_, path.c_str(), ancestor_events);
        } while (watch < 0 && path != "/" && path != ".");
        if (watch < 0) {
            return failure("watch", path);
        }
        if (watch != ancestor_watch_) {
            drop(ancestor_watch_);
            ancestor_watch_ = watch;
        }
        // It may have appeared while the watch above was being set up.
        try_directory();
        return {};
    }

    // Reads every queued event, following the directory as it goes and comes.
    [[nodiscard]] std::expected<EventBatch, Error> drain() {
        EventBatch batch;
        bool directory_gone = false;
        bool ancestor_touched = false;
        alignas(inotify_event) std::array<char, 4096> buffer;
        for (;;) {
            const ssize_t got = ::read(inotify_, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            // A read that left room for more took the whole queue; what comes
            // after it wakes the loop again.
            const bool more = static_cast<std::size_t>(got) > buffer.size() / 2;
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                inotify_event event{};
                std::memcpy(&event, buffer.data() + at, sizeof event);
                // The name is padded with NULs to its length.
                const std::string_view name =
                    event.len > 0 ? std::string_view(buffer.data() + at + sizeof event) : std::string_view();
                at += sizeof event + event.len;
                ++batch.events;
                if (event.mask & IN_Q_OVERFLOW) {
                    batch.status_touched = true;
                } else if (event.wd == directory_watch_ && directory_watch_ >= 0) {
                    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                        directory_gone = true;
                    } else if (const auto file = status_file_named(name)) {
                        batch.status_touched = true;
                        batch.last_file |= *file == cycle_end_file &&
                                           (event.mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) != 0;
                    }
                } else if (event.wd == ancestor_watch_ && ancestor_watch_ >= 0) {
                    if (event.mask & IN_IGNORED) {
                        ancestor_watch_ = -1;
                        ancestor_touched = true;
                    } else if (directory_watch_ < 0) {
                        ancestor_touched = true;
                    } else if (name == name_) {
                        directory_gone = true;  // removed, replaced or moved: watch it anew
                    }
                }
            }
            if (!more) {
                break;
            }
        }
        if (directory_gone) {
            drop(directory_watch_);  // a moved directory would still be followed
            batch.status_touched = true;
        }
        if (directory_gone || ancestor_touched) {
            const bool was_watched = directory_watch_ >= 0;
            if (auto attached = attach(); !attached) {
                return std::unexpected(attached.error());
            }
            batch.status_touched |= !was_watched && directory_watch_ >= 0;
        }
        return batch;
    }

private:
    bool try_directory() {
        const int watch = ::inotify_add_watch(inotify_, directory_.c_str(), directory_events);
        if (watch < 0) {
            return false;
        }
        directory_watch_ = watch;
        // Its parent stays watched for the directory's own name; without a
        // parent to watch, its own events are all there is.
        const int parent = ::inotify_add_watch(inotify_, parent_of(directory_).c_str(), ancestor_events);
        if (parent != ancestor_watch_) {
            drop(ancestor_watch_);
            ancestor_watch_ = parent;
        }
        return true;
    }

    // The last component of a path: "kestro" for "/run/kestro/".
    [[nodiscard]] static std::string name_of(std::string_view given) {
        const std::string path = without_trailing_slashes(std::string(given));
        const std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }

    void drop(int& watch) {
        if (watch >= 0) {
            ::inotify_rm_watch(inotify_, watch);
            watch = -1;
        }
    }

    int inotify_;
    std::string directory_;
    std::string name_;
    int directory_watch_ = -1;
    int ancestor_watch_ = -1;
};

// A stop signal that arrives while the sink works: the watch is ended at
// once, as its loop would end it.
extern "C" void end_now(int /*signal*/) { ::_exit(EXIT_SUCCESS); }

// Runs a call of the sink with the stop signals let through. The sink may
// block for good (a write to a bar that no longer reads its output, a
// notification server that does not answer): a stop signal, or one already
// waiting, then ends the process at once (end_now), status 0.
template <class Call>
[[nodiscard]] SinkResult let_stop_signals_in(const sigset_t& signals, Call call) {
    ::sigprocmask(SIG_UNBLOCK, &signals, nullptr);
    const SinkResult result = call();
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    return result;
}

// The descriptors the watch waits on, one handler each.
struct Descriptors {
    int signals;
    int inotify;
    int settle_timer;
    int stale_timer;
};

// A watch that has ended, or none while it goes on.
using Ending = std::optional<std::expected<WatchEnd, Error>>;

// The watch's state and one handler per event source: the stop signals,
// the reader of standard output, the sink's own descriptor, the directory's
// events, the settling step's end and the ageing of the status.
class EventLoop {
public:
    EventLoop(const WatchSettings& settings, StatusSink& sink, const sigset_t& stop_signals,
              const Descriptors& descriptors, DirectoryWatch& directory)
        : settings_(settings), sink_(sink), stop_signals_(stop_signals), fds_(descriptors),
          directory_(directory) {}

    [[nodiscard]] std::expected<WatchEnd, Error> run() {
        if (report(true) == SinkResult::stop) {
            return WatchEnd::sink_stopped;
        }
        for (;;) {
            if (auto waited = wait(); !waited) {
                return std::unexpected(waited.error());
            }
            for (const auto& [slot, handle] : handlers) {
                if (polled_[slot].revents == 0) {
                    continue;
                }
                if (Ending end = (this->*handle)(polled_[slot].revents)) {
                    return *end;
                }
            }
            if (Ending end = read_if_due()) {
                return *end;
            }
        }
    }

private:
    enum Slot { signal_slot, hangup_slot, sink_slot, inotify_slot, settle_slot, stale_slot, slot_count };
    using Handler = Ending (EventLoop::*)(short revents);
    // In the order they are handled after a wait: an end first.
    static const std::array<std::pair<Slot, Handler>, slot_count> handlers;

    // Waits for any source; while settling, the directory's events wait in
    // their queue.
    [[nodiscard]] std::expected<void, Error> wait() {
        polled_ = {{
            {fds_.signals, POLLIN, 0},
            {settings_.hangup_fd, 0, 0},
            sink_.descriptor(),
            {settling_.settling() ? -1 : fds_.inotify, POLLIN, 0},
            {fds_.settle_timer, POLLIN, 0},
            {fds_.stale_timer, POLLIN, 0},
        }};
        while (::poll(polled_.data(), polled_.size(), -1) < 0) {
            if (errno != EINTR) {
                return failure("poll");
            }
        }
        return {};
    }

    Ending on_stop_signal(short /*revents*/) { return WatchEnd::signalled; }

    // POLLNVAL: standard output was closed before the start.
    Ending on_hangup(short revents) {
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
            return WatchEnd::hung_up;
        }
        return std::nullopt;
    }

    Ending on_sink(short /*revents*/) {
        if (let_stop_signals_in(stop_signals_, [&] { return sink_.descriptor_ready(); }) == SinkResult::stop) {
            return WatchEnd::sink_stopped;
        }
        return std::nullopt;
    }

    Ending on_directory_events(short /*revents*/) { return settle(false); }

    Ending on_settle_step_end(short /*revents*/) {
        consume(fds_.settle_timer);
        return settle(true);
    }

    Ending on_stale(short /*revents*/) {
        consume(fds_.stale_timer);
        read_due_ = true;
        return std::nullopt;
    }

    // Reads the queued events and follows the settling rule.
    Ending settle(bool step_ended) {
        const auto batch = directory_.drain();
        if (!batch) {
            return std::unexpected(batch.error());
        }
        switch (settling_.after(*batch, step_ended)) {
            case Settling::Next::listen: break;
            case Settling::Next::wait_step: arm(fds_.settle_timer, settle_step_secs); break;
            case Settling::Next::read: read_due_ = true; break;
        }
        return std::nullopt;
    }

    // The status, once for all the handlers that asked for it.
    Ending read_if_due() {
        if (!read_due_) {
            return std::nullopt;
        }
        read_due_ = false;
        settling_.status_read();
        if (report(false) == SinkResult::stop) {
            return WatchEnd::sink_stopped;
        }
        return std::nullopt;
    }

    // Reads the status and hands it on when it differs from the last one.
    [[nodiscard]] SinkResult report(bool first) {
        StatusSnapshot snapshot = read_status_snapshot(settings_.directory, settings_.max_age);
        const auto stale_in = seconds_until_next_stale(snapshot, settings_.max_age);
        arm(fds_.stale_timer, stale_in ? std::max(*stale_in, 0.0) + stale_margin : 0.0);
        if (!first && same_status(snapshot, last_)) {
            return SinkResult::keep_watching;
        }
        last_ = snapshot;
        return let_stop_signals_in(stop_signals_, [&] { return sink_.status_changed(snapshot); });
    }

    const WatchSettings& settings_;
    StatusSink& sink_;
    const sigset_t& stop_signals_;
    Descriptors fds_;
    DirectoryWatch& directory_;
    std::array<pollfd, slot_count> polled_{};
    Settling settling_;
    bool read_due_ = false;
    StatusSnapshot last_;
};

const std::array<std::pair<EventLoop::Slot, EventLoop::Handler>, EventLoop::slot_count> EventLoop::handlers{{
    {signal_slot, &EventLoop::on_stop_signal},
    {hangup_slot, &EventLoop::on_hangup},
    {sink_slot, &EventLoop::on_sink},
    {inotify_slot, &EventLoop::on_directory_events},
    {settle_slot, &EventLoop::on_settle_step_end},
    {stale_slot, &EventLoop::on_stale},
}};


}  // namespace

Settling::Next Settling::after(const EventBatch& batch, bool step_ended) {
    touched_ |= batch.status_touched;
    const bool quiet = step_ended && batch.events == 0;
    if (batch.last_file || quiet || steps_ >= settle_steps_max) {
        steps_ = 0;
        return touched_ ? Next::read : Next::listen;
    }
    if (batch.events > 0 || step_ended) {
        ++steps_;
        return Next::wait_step;
    }
    return Next::listen;
}

std::expected<WatchEnd, Error> watch_status(const WatchSettings& settings, StatusSink& sink) {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&signals, number);
    }
    if (::sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
        return failure("sigprocmask");
    }
    struct sigaction ending {};
    ending.sa_handler = end_now;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(number, &ending, nullptr);
    }
    const UniqueFd signal_fd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    const UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const UniqueFd settle_timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    const UniqueFd stale_timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    for (const auto& [fd, what] : {std::pair{signal_fd.get(), "signalfd"}, std::pair{inotify.get(), "inotify"},
                                   std::pair{settle_timer.get(), "timerfd"}, std::pair{stale_timer.get(), "timerfd"}}) {
        if (fd < 0) {
            return failure(what);
        }
    }
    DirectoryWatch directory(inotify.get(), settings.directory);
    if (auto attached = directory.attach(); !attached) {
        return std::unexpected(attached.error());
    }
    const Descriptors descriptors{signal_fd.get(), inotify.get(), settle_timer.get(), stale_timer.get()};
    return EventLoop(settings, sink, signals, descriptors, directory).run();
}

}  // namespace kestro
