// Watching the status directory: a new snapshot whenever the status changes,
// woken by the kernel (inotify), never by polling.
//
// The daemon replaces its files by renames, one after the other each cycle.
// The first event of a cycle starts a short settling wait without listening
// to further events; the cycle's events are then read together, and the
// status is read once, as soon as the cycle's last file (cycle_end_file) has
// been replaced or a settling step has brought no further event (Settling).
// So a cycle gives at most one snapshot, and the watcher wakes once or twice
// a cycle (when the first event already brings the last file, once). A
// directory that is absent (at start, deleted, replaced) is waited for by
// watching the nearest existing directory above it. While the status
// changes only by ageing, a timer wakes the watcher when the next fresh file
// turns stale; once nothing is fresh, nothing wakes it but the kernel.
#pragma once

#include <expected>
#include <poll.h>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "client/status_snapshot.hpp"

namespace kestro {

// What one read of the queued directory events says.
struct EventBatch {
    int events = 0;
    bool status_touched = false;  // a status file changed, or the directory came or went
    bool last_file = false;       // the cycle's last file was replaced
};

// The settling rule: after the first event of a cycle, the watcher waits in
// steps, its further events left queued, and reads them at the end of each
// step. The status is read after the step that brings the cycle's last file,
// or no event, or the last of settle_steps_max; and only when an event
// touched it since it was last read.
class Settling {
public:
    static constexpr int settle_steps_max = 10;

    enum class Next {
        listen,     // wait for the next event
        wait_step,  // wait one step, without listening to events
        read,       // read the status, then listen
    };

    // After reading the queued events: woken by them (step_ended false) or
    // at the end of a step.
    [[nodiscard]] Next after(const EventBatch& batch, bool step_ended);
    // The status was read, for this rule or because it aged.
    void status_read() { touched_ = false; }
    // Events are left queued while it waits.
    [[nodiscard]] bool settling() const { return steps_ > 0; }

private:
    int steps_ = 0;  // 0: not settling
    bool touched_ = false;
};

enum class SinkResult { keep_watching, stop };

// What the watch loop reports to: the output of a format, a notifier.
class StatusSink {
public:
    StatusSink() = default;
    StatusSink(const StatusSink&) = delete;
    StatusSink& operator=(const StatusSink&) = delete;
    virtual ~StatusSink() = default;

    // Called with the first snapshot, then with each snapshot whose status
    // differs from the one before (same_status). Returns whether to go on.
    [[nodiscard]] virtual SinkResult status_changed(const StatusSnapshot& snapshot) = 0;

    // A descriptor of the sink's own that the watch waits on too (a bus
    // connection), with the events to wait for; fd -1 for none. Asked
    // before each wait.
    [[nodiscard]] virtual pollfd descriptor() const { return {-1, 0, 0}; }
    // Called when that descriptor is ready. Returns whether to go on.
    [[nodiscard]] virtual SinkResult descriptor_ready() { return SinkResult::keep_watching; }
};

struct WatchSettings {
    std::string_view directory;
    double max_age = 10.0;
    // A descriptor whose other end may go away (the reader of a pipe on
    // standard output): the watch ends when it does. -1 for none.
    int hangup_fd = -1;
};

enum class WatchEnd {
    signalled,     // SIGTERM, SIGINT or SIGHUP
    hung_up,       // the reader of hangup_fd went away
    sink_stopped,  // the sink asked to stop
};

// Runs until one of the ends above. SIGTERM, SIGINT and SIGHUP are blocked
// for the whole process and taken through a descriptor, except while the
// sink works: one that comes then ends the process at once, with status 0,
// so that a sink blocked in a write (a bar that no longer reads) cannot keep
// it from ending. Fails, with the
// description of the error, only when the kernel refuses what watching needs
// (inotify, a timer, the signal descriptor, a watch on "/").
[[nodiscard]] std::expected<WatchEnd, Error> watch_status(const WatchSettings& settings, StatusSink& sink);

}  // namespace kestro
