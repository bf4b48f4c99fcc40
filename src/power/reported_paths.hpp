// The process-wide set of paths whose read failure has been reported, so that
// a file that stays unreadable is reported once for the life of the process
// rather than once a second. Entries are never removed. Guarded by a lock of
// its own, which is never held while a report is printed.
#pragma once

#include <concepts>
#include <string_view>
#include <utility>

namespace kestro {

// True when a failure of path has been reported.
[[nodiscard]] bool is_reported(std::string_view path);

// Records that a failure of path has been reported.
void mark_reported(std::string_view path);

// Runs report (which prints the message) unless path has been reported
// before, then records path. The lock is taken for the test and again for
// the insertion, and is free while report runs.
template <std::invocable Report>
void report_once(std::string_view path, Report&& report) {
    if (is_reported(path)) {
        return;
    }
    std::forward<Report>(report)();
    mark_reported(path);
}

}  // namespace kestro
