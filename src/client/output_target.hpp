// Where kestro-status puts each output: standard output, or a file that is
// replaced whole so that its reader (node_exporter's textfile collector, a
// script) never sees a part of one.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace kestro {

class OutputTarget {
public:
    // Standard output when `file` is none.
    explicit OutputTarget(std::optional<std::string> file) : file_(std::move(file)) {}

    // Writes the whole text in one go: to standard output, retrying after a
    // partial write; or to a temporary file in the file's directory, named
    // "." + its name + "." + the process id (a name that no "*.prom" pattern
    // matches; the name is cut short to keep it within the limit of a file
    // name), which is then renamed over the file. Only a regular file or a
    // missing name is replaced: anything else there (a device, a FIFO, a
    // socket, a directory, a symbolic link) fails at once, with nothing
    // created. A failed attempt leaves the previous file as it was and
    // removes the temporary one.
    // Fails in the context "write standard output", "replace <file>" (not
    // a regular file), "write <temporary>" or "rename <temporary> -> <file>".
    [[nodiscard]] std::expected<void, Error> write(std::string_view text) const;

private:
    std::optional<std::string> file_;
};

}  // namespace kestro
