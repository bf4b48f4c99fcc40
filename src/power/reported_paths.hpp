// The paths whose read failure has been reported, so that a file that stays
// unreadable is reported once for the life of the process rather than once a
// second. Entries are never removed. The monitor loop keeps the one set of
// the daemon (the daemon has one thread) and hands it to every read.
#pragma once

#include <concepts>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace kestro {

class ReportedPaths {
public:
    // Runs report (which prints the message) unless path has been reported
    // before, then records path.
    template <std::invocable Report>
    void report_once(std::string_view path, Report&& report) {
        if (paths_.contains(path)) {
            return;
        }
        std::forward<Report>(report)();
        paths_.emplace(path);
    }

private:
    std::set<std::string, std::less<>> paths_;  // transparent: lookups by view copy nothing
};

}  // namespace kestro
