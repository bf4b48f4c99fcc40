// Publication of the daemon's values as small text files in the status
// directory, for other programs to read at any time.
//
// Each file is replaced whole: the content goes to a hidden temporary file in
// the same directory, which is then renamed over the published name, so a
// reader sees the previous or the new content, never a part of one. The
// temporary file is created exclusively, always new: whatever is found at its
// name (a leftover of a failed cycle, a link, a FIFO) loses that name and is
// never written through; this relies on the daemon being the directory's only
// writer. Nothing is cached: every call starts from the file system as it
// finds it, creating the directory when it is missing, except that the
// directory the daemon holds locked is written through its descriptor. There is no flush to
// disk and no retry beyond that one; the next cycle writes every file again.
//
// A failure is reported on standard error and otherwise ignored:
//   "mkdir <directory>: <error>"
//   "write <directory>/.<name>: <error>"   (also when the name is taken and
//                                           cannot be freed, as by a directory)
//   "rename <directory>/.<name> -> <directory>/<name>: <error>"
// with <error> the system's description of the error number.
#pragma once

#include <expected>
#include <optional>
#include <string_view>

#include "base/error.hpp"
#include "base/status_files.hpp"

namespace kestro {

// Publishes the value, followed by one newline, as the file `name` in
// `directory`. An absent value touches nothing, not even the directory.
// `name` is a plain file name (no "/"). Allocates nothing unless a failure is
// reported.
void write_status_text_in(std::string_view directory, std::string_view name,
                          std::optional<std::string_view> value);

// The same for a number, written with format_shortest ("50", "57.5", "inf").
void write_status_number_in(std::string_view directory, std::string_view name,
                            std::optional<double> value);

// The two above for a status file in the status directory /run/kestro, the
// only directory the daemon ever creates: through `directory`, the locked
// directory's descriptor that follow_status_directory has just returned (no
// mkdir and no path), or by path, as write_status_text_in, where it returned
// none. The reports are the same either way.
void write_status_text(int directory, StatusFile file, std::optional<std::string_view> value);
void write_status_number(int directory, StatusFile file, std::optional<double> value);

// The same for a file outside the table, by its temporary name (".<name>",
// a literal).
void write_extra_status_number(int directory, std::string_view temporary_name, double value);

// What every write does first: creates `directory` (this one level, mode 0777
// less the umask) unless something exists at that path.
[[nodiscard]] std::expected<void, SystemError> ensure_status_directory(std::string_view directory);

}  // namespace kestro
