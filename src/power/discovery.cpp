#include "power/discovery.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>

#include "core/fatal.hpp"
#include "core/number_format.hpp"
#include "core/output.hpp"
#include "core/system_error.hpp"
#include "power/attribute_file.hpp"

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

[[noreturn]] void fail_listing(const std::string& root, int error_number) {
    fatal_error("Cannot list the power-supply directory", root + ": " + system_error_text(error_number));
}

// Whether the supply at supply_dir has a type file whose content names a
// kind; none when it has no type file. Fatal when the type file exists but
// cannot be read.
std::optional<bool> type_names(const std::string& supply_dir, bool (*names_kind)(std::string_view)) {
    const std::string type_path = attribute_path(supply_dir, type_attribute);
    if (!path_exists(type_path.c_str())) {
        return std::nullopt;
    }
    AttributeBuffer buffer;
    const auto content = read_attribute_file(type_path.c_str(), buffer);
    if (!content) {
        fatal_error("Cannot read path", type_path + ": " + describe(content.error()));
    }
    return names_kind(*content);
}

}  // namespace

bool names_mains(std::string_view type_content) { return type_content.find(mains_word) != std::string_view::npos; }

bool names_battery(std::string_view type_content) {
    return type_content.find(battery_word) != std::string_view::npos;
}

std::optional<std::string> find_adapter(std::string_view root) {
    const std::string root_text(root);
    std::optional<std::string> adapter;
    {
        const DirectoryHandle listing(::opendir(root_text.c_str()));
        if (!listing) {
            fail_listing(root_text, errno);
        }
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(listing.get());
            if (entry == nullptr) {
                if (errno != 0) {
                    fail_listing(root_text, errno);
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

std::optional<std::string> find_battery(std::string_view root) {
    for (unsigned number = 0; number < battery_candidates; ++number) {
        std::string candidate(root);
        candidate += battery_prefix;
        candidate += format_integer(std::uint64_t{number}).view();
        if (type_names(candidate, names_battery).value_or(false)) {
            print_line({"Info: Init: Found battery: '", candidate, "'"});
            if (!path_exists(candidate.c_str())) {
                return std::nullopt;
            }
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<PowerSupplyPaths> discover_power_supplies(std::string_view root) {
    std::string adapter_dir = find_adapter(root).value_or(std::string());
    std::optional<std::string> battery_dir = find_battery(root);
    if (!battery_dir) {
        return std::nullopt;
    }
    return PowerSupplyPaths{std::move(adapter_dir), std::move(*battery_dir)};
}

}  // namespace kestro
