#include "status/status_directory.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <fcntl.h>
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

// Replaces the file: the value and a newline go to its temporary name
// (".<name>"), which is renamed over the name, both relative to `directory`
// (a descriptor, or AT_FDCWD for paths). A failure is reported with the
// paths as the directory's text names them.
void replace(int directory, const char* temporary, const char* name, std::string_view directory_text,
             std::string_view file, std::string_view value) {
    static char newline = '\n';
    std::array<iovec, 2> content{{{const_cast<char*>(value.data()), value.size()}, {&newline, 1}}};
    const auto replaced = replace_file_at(directory, temporary, name, content.data(), content.size());
    if (!replaced && replaced.error().in_rename) {
        print_error_line({"rename ", directory_text, "/.", file, " -> ", directory_text, "/", file, ": ",
                          replaced.error().error.text()});
    } else if (!replaced) {
        print_error_line({"write ", directory_text, "/.", file, ": ", replaced.error().error.text()});
    }
}

// By path: creates the directory when it is missing, then replaces the file.
void replace_by_path(std::string_view directory, std::string_view file, std::string_view value) {
    if (const auto made = ensure_status_directory(directory); !made) {
        print_error_line({"mkdir ", directory, ": ", made.error().text()});
        return;
    }
    PathText temporary_path;
    PathText final_path;
    if (!temporary_path.assign({directory, "/.", file}) || !final_path.assign({directory, "/", file})) {
        print_error_line({"write ", directory, "/.", file, ": ", SystemError{ENAMETOOLONG}.text()});
        return;
    }
    replace(AT_FDCWD, temporary_path.c_str(), final_path.c_str(), directory, file, value);
}

// In /run/kestro, through its descriptor when there is one. The temporary
// name is a literal ".<name>", so neither name is joined.
void replace_status_file(int directory, std::string_view temporary, std::string_view value) {
    const std::string_view file = temporary.substr(1);
    if (directory >= 0) {
        replace(directory, temporary.data(), file.data(), status_directory, file, value);
    } else {
        replace_by_path(status_directory, file, value);
    }
}

}  // namespace

void write_status_text_in(std::string_view directory, std::string_view name,
                          std::optional<std::string_view> value) {
    if (value) {
        replace_by_path(directory, name, *value);
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

void write_status_text(int directory, StatusFile file, std::optional<std::string_view> value) {
    if (value) {
        replace_status_file(directory, temporary_name(file), *value);
    }
}

void write_status_number(int directory, StatusFile file, std::optional<double> value) {
    if (value) {
        write_extra_status_number(directory, temporary_name(file), *value);
    }
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

void write_extra_status_number(int directory, std::string_view temporary_name, double value) {
    const NumberText text = format_shortest(value);
    replace_status_file(directory, temporary_name, text.view());
}

}  // namespace kestro
