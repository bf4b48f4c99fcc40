// Whether a standard stream is connected to the journal. The service manager
// names the stream it hands a service in JOURNAL_STREAM, as
// "<device>:<inode>" in decimal; a descriptor is that stream exactly when
// fstat() gives the same device and inode. A descriptor that was redirected
// elsewhere keeps the inherited variable but no longer matches.
#pragma once

#include <optional>
#include <string_view>
#include <sys/types.h>

namespace kestro {

inline constexpr const char* journal_stream_variable = "JOURNAL_STREAM";

struct StreamId {
    dev_t device;
    ino_t inode;

    friend bool operator==(const StreamId&, const StreamId&) = default;
};

// Parses "<device>:<inode>": two non-empty runs of decimal digits that fit
// their types, joined by one ':', and nothing else (no sign, blank, newline
// or further field). Anything else is none.
[[nodiscard]] std::optional<StreamId> parse_journal_stream(std::string_view value);

// True when `journal_stream` (the variable's value; nullptr when unset)
// parses and names the file that `fd` is open on. False for a descriptor
// that fstat() refuses.
[[nodiscard]] bool is_journal_stream(int fd, const char* journal_stream);

}  // namespace kestro
