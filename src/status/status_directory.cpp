#include "status/status_directory.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
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
// Whatever is planted at the temporary name must not lead the daemon, which
// runs as root, to write anywhere else: O_NOFOLLOW refuses a symbolic link,
// O_NONBLOCK keeps a FIFO from stalling the open, O_NOCTTY keeps a terminal
// from becoming the daemon's. No O_TRUNC: the file is truncated only once it
// is known to be a plain file of its own (temporary_file_refusal).
constexpr int temporary_open_flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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

// Creates the file, or takes over a plain leftover of a failed cycle, and
// writes the value and a newline to it.
[[nodiscard]] std::optional<int> write_content(const PathText& path, std::string_view value) {
    const int fd = ::open(path.c_str(), temporary_open_flags, file_mode);
    if (fd < 0) {
        return errno;
    }
    UniqueFd file(fd);
    struct stat metadata {};
    if (::fstat(file.get(), &metadata) != 0) {
        return errno;
    }
    if (const auto refusal = temporary_file_refusal(metadata.st_mode, metadata.st_nlink)) {
        return refusal;
    }
    // A new file is empty; only a leftover of a failed cycle needs truncating.
    if (metadata.st_size != 0 && ::ftruncate(file.get(), 0) != 0) {
        return errno;
    }
    static char newline = '\n';
    std::array<iovec, 2> content{{{const_cast<char*>(value.data()), value.size()}, {&newline, 1}}};
    if (const auto error = write_all(file.get(), content.data(), content.size())) {
        return error;
    }
    return file.close();
}

}  // namespace

std::optional<int> temporary_file_refusal(mode_t mode, nlink_t links) {
    if (!S_ISREG(mode)) {
        return ENXIO;
    }
    if (links != 1) {
        return EMLINK;
    }
    return std::nullopt;
}

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
