#include "history/history_files.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/output.hpp"

namespace kestro {

namespace {

constexpr mode_t directory_mode = 0755;
constexpr mode_t file_mode = 0644;

struct DayFile {
    std::string name;
    std::uint64_t size = 0;
};

// The day's files in the directory, oldest first (their names sort by day).
std::vector<DayFile> list_day_files(int directory) {
    std::vector<DayFile> files;
    const int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const entries = listing < 0 ? nullptr : ::fdopendir(listing);
    if (entries == nullptr) {
        if (listing >= 0) {
            ::close(listing);
        }
        return files;
    }
    while (const dirent* entry = ::readdir(entries)) {
        struct stat status {};
        if (is_history_file_name(entry->d_name) &&
            ::fstatat(directory, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)) {
            files.push_back({entry->d_name, static_cast<std::uint64_t>(status.st_size)});
        }
    }
    ::closedir(entries);
    std::ranges::sort(files, {}, &DayFile::name);
    return files;
}

}  // namespace

void HistoryFiles::report(std::string_view act, std::string_view name, SystemError error) {
    if (!std::exchange(reported_, true)) {
        print_error_line({act, " ", directory_, name.empty() ? "" : "/", name, ": ", error.text()});
    }
}

bool HistoryFiles::open_directory() {
    if (directory_fd_.get() >= 0) {
        return true;
    }
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int fd = ::open(directory_.c_str(), flags);
    if (fd < 0 && errno == ENOENT && ::mkdir(directory_.c_str(), directory_mode) == 0) {
        fd = ::open(directory_.c_str(), flags);
    }
    if (fd < 0) {
        report("open", "", SystemError::last());
        return false;
    }
    directory_fd_ = UniqueFd(fd);
    return true;
}

void HistoryFiles::open_day(const HistoryFileName& name) {
    file_ = UniqueFd(-1);
    if (!open_directory()) {
        return;
    }
    PathText path;
    (void)path.assign({name.view()});
    // Read as well: the last byte of a file that is there already tells a cut record.
    const int fd = ::openat(directory_fd_.get(), path.c_str(),
                            O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, file_mode);
    if (fd < 0) {
        report("open", name, SystemError::last());
        return;
    }
    file_ = UniqueFd(fd);
    day_ = name;
    struct stat status {};
    char last = '\n';
    if (::fstat(fd, &status) == 0 && status.st_size == 0) {
        lead_ = history_header;
    } else if (::pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n') {
        lead_ = "\n";
    } else {
        lead_ = {};
    }
    remove_oldest(name);
}

void HistoryFiles::remove_oldest(const HistoryFileName& current) {
    const std::vector<DayFile> files = list_day_files(directory_fd_.get());
    std::vector<std::uint64_t> sizes;
    for (const DayFile& file : files) {
        // The header the day's file is about to get counts already.
        sizes.push_back(file.name == current.view() ? file.size + lead_.size() : file.size);
    }
    const std::size_t removed = history_files_to_remove(sizes);
    for (std::size_t i = 0; i < removed; ++i) {
        // A wall clock set back leaves later days after today's: today's stays.
        if (files[i].name != current.view() && ::unlinkat(directory_fd_.get(), files[i].name.c_str(), 0) != 0) {
            report("remove", files[i].name, SystemError::last());
        }
    }
}

void HistoryFiles::append(std::int64_t time, std::string_view record) {
    const HistoryFileName name = history_file_name(time);
    if (file_.get() < 0 || name.view() != day_.view()) {
        open_day(name);
        if (file_.get() < 0) {
            return;
        }
    }
    iovec vectors[] = {{const_cast<char*>(lead_.data()), lead_.size()},
                       {const_cast<char*>(record.data()), record.size()}};
    if (const auto written = write_all(file_.get(), vectors, 2); !written) {
        report("write", day_, written.error());
        return;
    }
    lead_ = {};
}

void HistoryFiles::flush() {
    if (file_.get() >= 0 && ::fdatasync(file_.get()) != 0) {
        report("sync", day_, SystemError::last());
    }
}

}  // namespace kestro
