#include "status/status_directory.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <expected>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/number_format.hpp"
#include "core/output.hpp"
#include "core/posix_io.hpp"
#include "core/system_error.hpp"

namespace kestro {

namespace {

constexpr mode_t directory_mode = 0777;  // the umask narrows it
constexpr mode_t file_mode = 0666;       // the umask narrows it
// The temporary file is always a new one: with O_EXCL the open fails on any
// name already there, a symbolic link (dangling or not) included, so what is
// written is a regular file with one link that this very open created.
// Nothing is written through a link, into a FIFO or a device, or into a file
// that has another name.
constexpr int temporary_open_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// Creates the directory unless it exists; the error number otherwise.
[[nodiscard]] std::optional<int> ensure_directory(std::string_view directory) {
    PathText path;
    if (!path.assign({directory})) {
        return ENAMETOOLONG;
    }
    if (::mkdir(path.c_str(), directory_mode) == 0 || errno == EEXIST) {
        return std::nullopt;
    }
    return errno;
}

// Creates the temporary file anew. A name already there (a leftover of a
// failed cycle, or anything planted) is removed, the name only, and the
// creation tried once more. The descriptor, or the error number.
[[nodiscard]] std::expected<int, int> create_temporary(const PathText& path) {
    int fd = ::open(path.c_str(), temporary_open_flags, file_mode);
    if (fd < 0 && errno == EEXIST) {
        // A directory cannot be unlinked: its EISDIR says more than EEXIST.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return std::unexpected(errno);
        }
        fd = ::open(path.c_str(), temporary_open_flags, file_mode);
    }
    if (fd < 0) {
        return std::unexpected(errno);
    }
    return fd;
}

// Writes the value and a newline to a new temporary file.
[[nodiscard]] std::optional<int> write_content(const PathText& path, std::string_view value) {
    const auto fd = create_temporary(path);
    if (!fd) {
        return fd.error();
    }
    UniqueFd file(*fd);
    static char newline = '\n';
    std::array<iovec, 2> content{{{const_cast<char*>(value.data()), value.size()}, {&newline, 1}}};
    if (const auto error = write_all(file.get(), content.data(), content.size())) {
        return error;
    }
    return file.close();
}

}  // namespace

void write_status_text_in(std::string_view directory, std::string_view name,
                          std::optional<std::string_view> value) {
    if (!value) {
        return;
    }
    if (const auto error = ensure_directory(directory)) {
        print_error_line({"mkdir ", directory, ": ", system_error_text(*error)});
        return;
    }

    PathText temporary_path;
    const auto write_error = temporary_path.assign({directory, "/.", name})
                                 ? write_content(temporary_path, *value)
                                 : std::optional<int>(ENAMETOOLONG);
    if (write_error) {
        print_error_line({"write ", directory, "/.", name, ": ", system_error_text(*write_error)});
        return;
    }

    PathText final_path;
    std::optional<int> rename_error;
    if (!final_path.assign({directory, "/", name})) {
        rename_error = ENAMETOOLONG;
    } else if (::rename(temporary_path.c_str(), final_path.c_str()) != 0) {
        rename_error = errno;
    }
    if (rename_error) {
        print_error_line({"rename ", directory, "/.", name, " -> ", directory, "/", name, ": ",
                          system_error_text(*rename_error)});
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

void write_status_text(std::string_view name, std::optional<std::string_view> value) {
    write_status_text_in(status_directory, name, value);
}

void write_status_number(std::string_view name, std::optional<double> value) {
    write_status_number_in(status_directory, name, value);
}

std::optional<int> ensure_status_directory(std::string_view directory) { return ensure_directory(directory); }

}  // namespace kestro
