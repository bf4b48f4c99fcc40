#include "power/discovery.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>

#include "base/attribute_file.hpp"
#include "base/error.hpp"
#include "base/fatal.hpp"
#include "base/number_format.hpp"
#include "base/output.hpp"
#include "base/posix_io.hpp"

namespace kestro {

namespace {

constexpr std::string_view mains_word = "Mains";
constexpr std::string_view battery_word = "Battery";
constexpr std::string_view battery_prefix = "BAT";
constexpr std::string_view type_attribute = "type";

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryCloser>;

// "<path>: <error>", the detail of the fatal errors below.
[[noreturn]] void fail_on(std::string_view message, std::string_view path, const Error& error) {
    fatal_error(message, std::string(path).append(": ").append(error.text()));
}

[[noreturn]] void fail_listing(const std::string& root) {
    fail_on("Cannot list the power-supply directory", root, SystemError::last());
}

// The kind of a supply, decided from its whole "type" file: a
// case-sensitive substring test, so the kernel's newline does not matter.
bool names_mains(std::string_view type_content) { return type_content.find(mains_word) != std::string_view::npos; }

bool names_battery(std::string_view type_content) {
    return type_content.find(battery_word) != std::string_view::npos;
}

// Whether the supply at supply_dir has a type file whose content names a
// kind; none when it has no type file, or when it cannot be read and that is
// not fatal.
// The paths are joined on the stack, so that a look for a battery that is
// not there allocates nothing.
std::optional<bool> type_names(std::string_view supply_dir, bool (*names_kind)(std::string_view),
                               bool fatal_when_unreadable = true) {
    PathText type_path;
    if (!type_path.assign({supply_dir, "/", type_attribute}) || !path_exists(type_path.c_str())) {
        return std::nullopt;
    }
    AttributeBuffer buffer;
    const auto content = read_attribute_file(type_path.c_str(), buffer);
    if (!content) {
        if (!fatal_when_unreadable) {
            return std::nullopt;
        }
        fail_on("Cannot read path", type_path.view(), content.error());
    }
    return names_kind(*content);
}

}  // namespace

std::optional<std::string> find_adapter(std::string_view root) {
    const std::string root_text(root);
    std::optional<std::string> adapter;
    {
        const DirectoryHandle listing(::opendir(root_text.c_str()));
        if (!listing) {
            fail_listing(root_text);
        }
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(listing.get());
            if (entry == nullptr) {
                if (errno != 0) {
                    fail_listing(root_text);
                }
                break;
            }
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            std::string supply_dir = root_text + std::string(name);
            if (type_names(supply_dir, names_mains).value_or(false)) {
                print_line({"Info: Init: Found AC power supply: '", supply_dir, "'"});
                adapter = std::move(supply_dir);
                break;
            }
        }
    }
    // The adapter may have gone between its type read and now.
    if (!adapter || !path_exists(adapter->c_str())) {
        print_warning_line({"Warning: Could not find device for AC/Mains, some functionality might be missing or not "
                            "accurate."});
    }
    return adapter;
}

std::optional<std::string> probe_battery(unsigned number, bool fatal_when_unreadable, std::string_view root) {
    PathText directory;
    if (!directory.assign({root, battery_prefix, format_integer(std::uint64_t{number})}) ||
        !type_names(directory.view(), names_battery, fatal_when_unreadable).value_or(false)) {
        return std::nullopt;
    }
    std::string candidate(directory.view());
    print_line({"Info: Init: Found battery: '", candidate, "'"});
    // The battery may have gone between its type read and now.
    if (!path_exists(candidate.c_str())) {
        return std::nullopt;
    }
    return candidate;
}

std::optional<PowerSupplyPaths> discover_power_supplies(std::string_view root) {
    PowerSupplyPaths paths{find_adapter(root).value_or(std::string()), {}, {}};
    for (unsigned number = 0; number < battery_candidates; ++number) {
        if (auto battery = probe_battery(number, true, root)) {
            if (paths.battery_dir.empty()) {
                paths.battery_dir = std::move(*battery);
            } else {
                paths.further_battery_dirs.push_back(std::move(*battery));
            }
        }
    }
    if (paths.battery_dir.empty()) {
        return std::nullopt;
    }
    return paths;
}

}  // namespace kestro
