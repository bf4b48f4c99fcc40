// The configuration loader on arbitrary bytes: either settings within the
// accepted ranges, or one error line fit for the log.
#include <cmath>

#include "core/config.hpp"
#include "fuzz_check.hpp"

namespace {

using kestro::fuzz::decode_utf8;
using kestro::fuzz::require;

// C0, DEL and C1 (U+0085 is a line break to some log readers).
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

void require_one_log_line(std::string_view line) {
    require(!line.empty(), "an error has a reason");
    for (std::size_t at = 0; at < line.size();) {
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(line, at, code_point);
        require(length != 0, "the error line is valid UTF-8");
        require(!is_control(code_point), "the error line holds no newline or other control character");
        require(code_point != 0x2028 && code_point != 0x2029, "the error line holds no line or paragraph separator");
        at += length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto config = kestro::parse_config(kestro::fuzz::text_of(data, size));
    if (!config) {
        require_one_log_line(config.error());
        return 0;
    }
    if (const auto percent = config->request_shutdown_battery_percent) {
        require(!std::isnan(*percent), "an accepted percentage is a number");
    }
    if (const auto secs = config->force_shutdown_timeout_secs) {
        require(!std::isnan(*secs) && *secs >= 0 && *secs < 18446744073709551616.0,
                "an accepted timeout is from 0 up to 2^64 seconds");
    }
    return 0;
}
