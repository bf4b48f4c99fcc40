// A scratch directory tree for tests that need real files: a fake power-supply
// class, a battery directory, attribute files of every awkward kind.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kestro::testing_support {

class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestro-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        root_ = pattern;
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    ~TempTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // The tree's directory, without a trailing slash.
    [[nodiscard]] const std::string& root() const { return root_; }
    // The tree's directory with a trailing slash, as the power-supply root is given.
    [[nodiscard]] std::string root_slash() const { return root_ + "/"; }
    [[nodiscard]] std::string path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

    // Writes the bytes to the file, creating its directories.
    void write(std::string_view relative, std::string_view bytes) const {
        const std::filesystem::path file = path(relative);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    void make_directory(std::string_view relative) const { std::filesystem::create_directories(path(relative)); }
    void link(std::string_view target, std::string_view relative) const {
        const std::filesystem::path file = path(relative);
        std::filesystem::create_directories(file.parent_path());
        std::filesystem::create_symlink(std::string(target), file);
    }
    void make_fifo(std::string_view relative) const { ASSERT_EQ(::mkfifo(path(relative).c_str(), 0600), 0); }
    void remove(std::string_view relative) const { std::filesystem::remove(path(relative)); }

private:
    std::string root_;
};

// True when a file with mode 000 cannot be read here (false for a process
// with the capability to bypass permissions).
inline bool permissions_are_enforced(const TempTree& tree) {
    tree.write("probe", "x");
    ::chmod(tree.path("probe").c_str(), 0);
    const bool enforced = ::access(tree.path("probe").c_str(), R_OK) != 0;
    tree.remove("probe");
    return enforced;
}

}  // namespace kestro::testing_support
