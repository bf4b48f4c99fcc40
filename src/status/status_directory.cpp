#include "status/status_directory.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <expected>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/number_format.hpp"
#include "base/output.hpp"
#include "base/posix_io.hpp"

namespace kestro {

namespace {

constexpr mode_t directory_mode = 0777;  // the umask narrows it

// Writes the value and a newline to a new temporary file: always a new one
// (write_new_file), so nothing is written through a link, into a FIFO or a
// device, or into a file that has another name.
[[nodiscard]] std::expected<void, SystemError> write_content(const PathText& path, std::string_view value) {
    static char newline = '\n';
    std::array<iovec, 2> content{{{const_cast<char*>(value.data()), value.size()}, {&newline, 1}}};
    return write_new_file(path.c_str(), content.data(), content.size());
}

// Renames the temporary file over the published one.
[[nodiscard]] std::expected<void, SystemError> publish(const PathText& temporary_path, std::string_view directory,
                                                       std::string_view name) {
    PathText final_path;
    if (!final_path.assign({directory, "/", name})) {
        return std::unexpected(SystemError{ENAMETOOLONG});
    }
    if (::rename(temporary_path.c_str(), final_path.c_str()) != 0) {
        return std::unexpected(SystemError::last());
    }
    return {};
}

}  // namespace

void write_status_text_in(std::string_view directory, std::string_view name,
                          std::optional<std::string_view> value) {
    if (!value) {
        return;
    }
    if (const auto made = ensure_status_directory(directory); !made) {
        print_error_line({"mkdir ", directory, ": ", made.error().text()});
        return;
    }

    PathText temporary_path;
    const auto written = temporary_path.assign({directory, "/.", name})
                             ? write_content(temporary_path, *value)
                             : std::unexpected(SystemError{ENAMETOOLONG});
    if (!written) {
        print_error_line({"write ", directory, "/.", name, ": ", written.error().text()});
        return;
    }
    if (const auto renamed = publish(temporary_path, directory, name); !renamed) {
        print_error_line({"rename ", directory, "/.", name, " -> ", directory, "/", name, ": ",
                          renamed.error().text()});
    }
}

void write_status_number_in(std::string_view directory, std::string_view name,
                            std::optional<double> value) {
    if (!value) {
        return;
    }
    const NumberText text = format_shortest(*value);
    write_status_text_in(directory, name, text.view());
}

void write_status_text(StatusFile file, std::optional<std::string_view> value) {
    write_status_text_in(status_directory, file_name(file), value);
}

void write_status_number(StatusFile file, std::optional<double> value) {
    write_status_number_in(status_directory, file_name(file), value);
}

std::expected<void, SystemError> ensure_status_directory(std::string_view directory) {
    PathText path;
    if (!path.assign({directory})) {
        return std::unexpected(SystemError{ENAMETOOLONG});
    }
    if (::mkdir(path.c_str(), directory_mode) != 0 && errno != EEXIST) {
        return std::unexpected(SystemError::last());
    }
    return {};
}

}  // namespace kestro
