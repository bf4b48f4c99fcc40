#include "client/support_probe.hpp"

#include <cctype>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "base/attribute_file.hpp"
#include "base/battery_attributes.hpp"
#include "base/utf8.hpp"

namespace kestro {

namespace {

constexpr unsigned battery_candidates = 9;  // BAT0 to BAT8, as the daemon looks

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

// The entries of a directory in the kernel's order, without "." and "..".
std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(path.c_str()));
    while (listing) {
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            break;
        }
        if (const std::string_view name = entry->d_name; name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    return names;
}

// A small file's first line, without its newline; none when it cannot be read.
std::optional<std::string> first_line(const std::string& path) {
    AttributeBuffer buffer;
    const auto content = read_attribute_file(path.c_str(), buffer);
    if (!content) {
        return std::nullopt;
    }
    return std::string(content->substr(0, content->find('\n')));
}

bool has_file(const std::string& directory, std::string_view name) {
    return path_exists(attribute_path(directory, name).c_str());
}

// What the daemon would read in a battery's directory, chosen as it does.
std::string battery_line(const std::string& directory) {
    bool energy = false;
    for (const AttributeChoice& choice : capacity_choices) {
        energy = energy || !has_file(directory, choice.preferred);
    }
    const bool power = !has_file(directory, flow_choice.preferred);
    const std::string_view now = now_choice.chosen(energy);
    const std::string_view full = full_choice.chosen(energy);
    const std::string_view flow = flow_choice.chosen(power);
    std::string line = "Battery: " + directory + ": reads " + (energy ? "energy (" : "charge (") + std::string(now) +
                       ", " + std::string(full) + ") and " + (power ? "power (" : "current (") + std::string(flow) +
                       ")";
    std::string missing;
    for (const std::string_view name : {now, full, flow, required_attributes[0], required_attributes[1],
                                        required_attributes[2]}) {
        if (!has_file(directory, name)) {
            missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
    }
    return line + (missing.empty() ? "" : "; missing: " + missing) + "\n";
}

// Whether a process of this name runs, as /proc shows it.
bool process_runs(std::string_view proc_root, std::string_view name) {
    const std::string root(proc_root);
    for (const std::string& entry : list_directory(root)) {
        if (std::isdigit(static_cast<unsigned char>(entry.front())) && first_line(root + entry + "/comm") == name) {
            return true;
        }
    }
    return false;
}

std::string upower_line(const ProbeSources& sources) {
    if (!process_runs(sources.proc_root, "upowerd")) {
        return "UPower: not running\n";
    }
    std::ifstream file{std::string(sources.upower_config)};
    const std::string config{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::string action = upower_critical_action(config);
    if (action.starts_with("Ignore ")) {
        return "UPower: running, its critical action Ignore: kestro alone acts at the low level (a UPower that "
               "does not know Ignore, such as Debian 12's 0.99.20, takes HybridSleep)\n";
    }
    return "UPower: running, its critical action " + action +
           " (kestro's default level is 0.5%: the higher level acts first; see kestro(8), COEXISTENCE)\n";
}

}  // namespace

std::string upower_critical_action(std::string_view config) {
    std::string action = "HybridSleep";
    std::string percentage = "2";
    std::string seconds = "120";
    bool risky = false;
    bool by_percentage = true;
    while (!config.empty()) {
        const std::size_t end = config.find('\n');
        const std::string_view line = trim_white_space(config.substr(0, end));
        config = end == std::string_view::npos ? std::string_view() : config.substr(end + 1);
        const std::size_t equals = line.find('=');
        if (line.starts_with('#') || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trim_white_space(line.substr(0, equals));
        const std::string value(trim_white_space(line.substr(equals + 1)));
        if (key == "CriticalPowerAction") {
            action = value;
        } else if (key == "AllowRiskyCriticalPowerAction") {
            risky = value == "true";
        } else if (key == "PercentageAction") {
            percentage = value;
        } else if (key == "TimeAction") {
            seconds = value;
        } else if (key == "UsePercentageForPolicy") {
            by_percentage = value != "false";
        }
    }
    if (!risky && (action == "Ignore" || action == "Suspend")) {
        action = "HybridSleep";
    }
    return action + " at " + (by_percentage ? percentage + "%" : seconds + " s left");
}

ProbeReport probe_support(const ProbeSources& sources) {
    ProbeReport report;
    const std::string root(sources.power_supply_root);
    std::string adapter;
    std::string others;
    unsigned batteries = 0;
    for (const std::string& name : list_directory(root)) {
        const std::string directory = root + name;
        const std::string type = first_line(directory + "/type").value_or("no type");
        const bool candidate = name.size() == 4 && name.starts_with("BAT") && name[3] >= '0' &&
                               name[3] < static_cast<char>('0' + battery_candidates);
        if (adapter.empty() && type.find("Mains") != std::string::npos) {
            adapter = "Adapter: " + directory + "\n";
        } else if (!(candidate && type.find("Battery") != std::string::npos)) {
            others += "Not watched: " + directory + " (" + type + ")\n";
        }
    }
    report.text = adapter.empty() ? "Adapter: none of type Mains (kestro starts with a warning)\n" : adapter;
    for (unsigned number = 0; number < battery_candidates; ++number) {
        const std::string directory = root + "BAT" + std::to_string(number);
        if (first_line(directory + "/type").value_or("").find("Battery") != std::string::npos) {
            report.text += battery_line(directory);
            ++batteries;
        }
    }
    report.text += others + upower_line(sources);
    report.battery = batteries > 0;
    report.text += report.battery ? "Supported: kestro would watch " + std::to_string(batteries) +
                                        (batteries == 1 ? " battery\n" : " batteries\n")
                                  : std::string("Not supported: no battery BAT0 to BAT8 (kestro would stop at "
                                                "start-up)\n");
    return report;
}

}  // namespace kestro
