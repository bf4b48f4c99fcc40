#include "core/config.hpp"

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

#include "core/number_format.hpp"
#include "core/output.hpp"
#include "core/system_error.hpp"

namespace kestro {

namespace {

// A configuration file is a few lines; anything beyond this is not one.
constexpr std::size_t max_config_bytes = 1024 * 1024;

// 2^64 seconds: the longest wait the shutdown can convert.
constexpr double max_timeout_secs = 18446744073709551616.0;

// Nothing from the file reaches the log raw: a control character becomes
// \xNN, so a hostile file cannot forge a log line.
std::string printable(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            result += "\\x";
            result += digits[byte >> 4];
            result += digits[byte & 0xf];
        } else {
            result += c;
        }
    }
    return result;
}

std::string refused(std::string_view key, double value, std::string_view why) {
    std::string reason = "invalid value for ";
    reason += key;
    reason += ": ";
    reason += format_shortest(value).view();
    reason += " (";
    reason += why;
    reason += ')';
    return reason;
}

// A known key must hold a float or an integer; an integer becomes the nearest double.
std::expected<std::optional<double>, std::string> number_of(const toml::table& table,
                                                            std::string_view key) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
        return std::nullopt;
    }
    if (const auto* real = node->as_floating_point()) {
        return real->get();
    }
    if (const auto* integer = node->as_integer()) {
        return static_cast<double>(integer->get());
    }
    std::string reason = "invalid type for ";
    reason += key;
    reason += ": expected a float or an integer, found ";
    reason += toml::impl::node_type_friendly_names[static_cast<int>(node->type())];
    const toml::source_position where = node->source().begin;
    reason += " at line ";
    reason += std::to_string(where.line);
    reason += ", column ";
    reason += std::to_string(where.column);
    return std::unexpected(std::move(reason));
}

// Values that would make the shutdown misbehave at the worst moment are
// refused now, when the log is read, rather than when the battery is low.
std::expected<void, std::string> check_values(const Config& config) {
    if (const auto percent = config.request_shutdown_battery_percent; percent && std::isnan(*percent)) {
        return std::unexpected(refused("request_shutdown_battery_percent", *percent, "not a number"));
    }
    if (const auto secs = config.force_shutdown_timeout_secs) {
        if (std::isnan(*secs)) {
            return std::unexpected(refused("force_shutdown_timeout_secs", *secs, "not a number"));
        }
        if (*secs < 0) {
            return std::unexpected(refused("force_shutdown_timeout_secs", *secs, "negative"));
        }
        if (*secs >= max_timeout_secs) {
            return std::unexpected(refused("force_shutdown_timeout_secs", *secs, "too large"));
        }
    }
    return {};
}

// Reads the whole file, bounded. The error is the system's error number.
std::expected<std::string, int> read_file(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::unexpected(errno);
    }
    std::string bytes;
    std::array<char, 4096> chunk{};
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        if (got == 0) {
            break;
        }
        if (bytes.size() + static_cast<std::size_t>(got) > max_config_bytes) {
            error = EFBIG;
            break;
        }
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (error != 0) {
        return std::unexpected(error);
    }
    return bytes;
}

}  // namespace

std::expected<Config, std::string> parse_config(std::string_view bytes) {
    toml::parse_result parsed = toml::parse(bytes);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        std::string report(error.description());
        report += " at line ";
        report += std::to_string(error.source().begin.line);
        report += ", column ";
        report += std::to_string(error.source().begin.column);
        return std::unexpected(printable(report));
    }
    const toml::table& table = parsed.table();
    Config config;
    auto percent = number_of(table, "request_shutdown_battery_percent");
    if (!percent) {
        return std::unexpected(printable(percent.error()));
    }
    auto secs = number_of(table, "force_shutdown_timeout_secs");
    if (!secs) {
        return std::unexpected(printable(secs.error()));
    }
    config.request_shutdown_battery_percent = *percent;
    config.force_shutdown_timeout_secs = *secs;
    if (auto checked = check_values(config); !checked) {
        return std::unexpected(checked.error());
    }
    return config;
}

Settings load_settings(const char* path) {
    Settings settings;
    if (const auto bytes = read_file(path); !bytes) {
        print_error_line({"read ", path, ": ", system_error_text(bytes.error())});
    } else if (const auto config = parse_config(*bytes); !config) {
        print_error_line({"read ", path, ": ", config.error()});
    } else {
        settings.request_shutdown_battery_percent =
            config->request_shutdown_battery_percent.value_or(settings.request_shutdown_battery_percent);
        settings.force_shutdown_timeout_secs =
            config->force_shutdown_timeout_secs.value_or(settings.force_shutdown_timeout_secs);
    }
    print_line({"Info: Config: request_shutdown_battery_percent: ",
                format_shortest(settings.request_shutdown_battery_percent)});
    print_line({"Info: Config: force_shutdown_timeout_secs: ",
                format_shortest(settings.force_shutdown_timeout_secs)});
    return settings;
}

}  // namespace kestro
