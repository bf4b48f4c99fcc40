// The history's files in their directory: records appended to the file of
// their UTC day, each with one write() on a descriptor kept open, so that a
// record is on disk whole or, after a kill or a power loss at the wrong
// instant, cut at the end of the last file, where every reader skips it.
// Nothing is ever rewritten: the oldest whole files go when a day's file is
// opened and the files exceed their bound. A failure is reported once on
// standard error and never stops the daemon; the next record tries again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/posix_io.hpp"
#include "history/history_record.hpp"

namespace kestro {

class HistoryFiles {
public:
    // `directory`: an absolute path. Nothing is opened before the first record.
    explicit HistoryFiles(std::string directory) : directory_(std::move(directory)) {}

    // Appends the record to the file of the day of `time`. The first record
    // of a day opens that day's file (created with the header; a file that
    // ends in a cut record gets a newline first, so that the cut stays a line
    // of its own) and removes the oldest whole files while the files exceed
    // history_bound_bytes. Creates the directory (0755) when it is missing.
    void append(std::int64_t time, std::string_view record);

    // Flushes what was written to the disk (fdatasync), before the machine
    // is powered off or put to sleep.
    void flush();

private:
    bool open_directory();
    void open_day(const HistoryFileName& name);
    void remove_oldest(const HistoryFileName& current);
    // The one report of the process's first failure: "<act> <path>: <error>".
    void report(std::string_view act, std::string_view name, SystemError error);

    std::string directory_;
    UniqueFd directory_fd_{-1};
    UniqueFd file_{-1};
    HistoryFileName day_;
    // What the day's first write puts before its record: the header of a new
    // file, the newline after a cut record.
    std::string_view lead_;
    bool reported_ = false;
};

}  // namespace kestro
