// Where kestro-status puts each output: standard output, or a file that is
// replaced whole so that its reader (node_exporter's textfile collector, a
// script) never sees a part of one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestro {

// A failed write: what was being done to which path, and the error number.
struct OutputFailure {
    std::string action;  // "write <path>", "rename <from> -> <to>"
    int error_number = 0;
};

class OutputTarget {
public:
    // Standard output when `file` is none.
    explicit OutputTarget(std::optional<std::string> file) : file_(std::move(file)) {}

    // Writes the whole text in one go: to standard output, retrying after a
    // partial write; or to a temporary file in the file's directory, named
    // "." + its name + "." + the process id (a name that no "*.prom" pattern
    // matches), which is then renamed over the file. A failed attempt leaves
    // the previous file as it was and removes the temporary one.
    [[nodiscard]] std::optional<OutputFailure> write(std::string_view text) const;

private:
    std::optional<std::string> file_;
};

}  // namespace kestro
