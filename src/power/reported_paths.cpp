#include "power/reported_paths.hpp"

#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace kestro {

namespace {

struct ReportedPaths {
    std::mutex lock;
    std::set<std::string, std::less<>> paths;  // transparent: lookups by view copy nothing
};

// Created on first use.
ReportedPaths& reported_paths() {
    static ReportedPaths instance;
    return instance;
}

}  // namespace

bool is_reported(std::string_view path) {
    ReportedPaths& set = reported_paths();
    const std::lock_guard guard(set.lock);
    return set.paths.contains(path);
}

void mark_reported(std::string_view path) {
    ReportedPaths& set = reported_paths();
    const std::lock_guard guard(set.lock);
    set.paths.emplace(path);
}

}  // namespace kestro
