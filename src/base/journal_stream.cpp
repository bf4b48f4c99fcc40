#include "base/journal_stream.hpp"

#include <sys/stat.h>

#include "base/number_grammar.hpp"

namespace kestro {

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
