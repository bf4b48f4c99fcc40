// Text built in place on the stack, never on the heap: the numbers and error
// texts of log lines and status files, made every cycle.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace kestro {

template <std::size_t Capacity>
class FixedText {
public:
    static constexpr std::size_t capacity = Capacity;

    FixedText() = default;
    explicit FixedText(std::string_view text) { append(text); }

    [[nodiscard]] std::string_view view() const { return {chars_.data(), size_}; }
    operator std::string_view() const { return view(); }  // NOLINT: reads like text

    // Appends text, or as much of it as fits.
    FixedText& append(std::string_view text) {
        size_ += text.copy(chars_.data() + size_, std::min(text.size(), capacity - size_));
        return *this;
    }

    friend bool operator==(const FixedText& text, std::string_view other) { return text.view() == other; }

    // For writers that fill the buffer themselves.
    char* data() { return chars_.data(); }
    void set_size(std::size_t size) { size_ = size; }

private:
    std::array<char, capacity> chars_{};
    std::size_t size_ = 0;
};

}  // namespace kestro
