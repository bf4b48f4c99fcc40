#include "core/journal_stream.hpp"

#include <charconv>
#include <sys/stat.h>
#include <system_error>

namespace kestro {

namespace {

// The whole of `text` as a decimal number of type T, or none.
template <class T>
std::optional<T> parse_decimal(std::string_view text) {
    T value{};
    const char* const end = text.data() + text.size();
    // from_chars takes no sign, blank or prefix for an unsigned type, but
    // stops at the first character that is not a digit.
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<StreamId> parse_journal_stream(std::string_view value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto device = parse_decimal<dev_t>(value.substr(0, colon));
    const auto inode = parse_decimal<ino_t>(value.substr(colon + 1));
    if (!device || !inode) {
        return std::nullopt;
    }
    return StreamId{*device, *inode};
}

bool is_journal_stream(int fd, const char* journal_stream) {
    if (journal_stream == nullptr) {
        return false;
    }
    const auto named = parse_journal_stream(journal_stream);
    struct stat metadata {};
    if (!named || ::fstat(fd, &metadata) != 0) {
        return false;
    }
    return *named == StreamId{metadata.st_dev, metadata.st_ino};
}

}  // namespace kestro
