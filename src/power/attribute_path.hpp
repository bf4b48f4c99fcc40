// The path of one attribute file, "<directory>/<name>", built anew for every
// read without touching the heap.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include <limits.h>

namespace kestro {

class AttributePath {
public:
    // Room for the longest path the kernel accepts, with its terminating NUL.
    static constexpr std::size_t inline_capacity = PATH_MAX;

    // The directory text, one "/", and the name; no normalisation, so an
    // empty directory gives "/<name>". A path longer than inline_capacity
    // (which no open() accepts anyway) is kept on the heap so that reports
    // still show it whole.
    AttributePath(std::string_view directory, std::string_view name);

    AttributePath(const AttributePath&) = delete;
    AttributePath& operator=(const AttributePath&) = delete;

    [[nodiscard]] std::string_view view() const { return {data_, size_}; }
    // NUL-terminated, for the system calls.
    [[nodiscard]] const char* c_str() const { return data_; }

private:
    std::array<char, inline_capacity> inline_;
    std::string spilled_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace kestro
