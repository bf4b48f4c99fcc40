#include "power/attribute_path.hpp"

#include <algorithm>

namespace kestro {

AttributePath::AttributePath(std::string_view directory, std::string_view name)
    : size_(directory.size() + 1 + name.size()) {
    char* out = nullptr;
    if (size_ < inline_capacity) {
        out = inline_.data();
    } else {
        spilled_.resize(size_);
        out = spilled_.data();
    }
    out = std::copy(directory.begin(), directory.end(), out);
    *out++ = '/';
    out = std::copy(name.begin(), name.end(), out);
    *out = '\0';
    data_ = size_ < inline_capacity ? inline_.data() : spilled_.data();
}

}  // namespace kestro
