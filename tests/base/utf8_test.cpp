#include "base/utf8.hpp"

#include <string>

#include <gtest/gtest.h>

namespace kestro {
namespace {

struct Utf8Case {
    std::string bytes;
    bool valid;
};

class Utf8Validation : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, AcceptsOnlyWellFormedText) {
    EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Validation,
    testing::Values(Utf8Case{"", true}, Utf8Case{"Charging\n", true},
                    Utf8Case{"\xc3\xa9", true},                 // é
                    Utf8Case{"\xe2\x80\xaf", true},             // narrow no-break space
                    Utf8Case{"\xf0\x9f\x94\x8b", true},         // battery emoji
                    Utf8Case{"\xff", false}, Utf8Case{"\x80", false},
                    Utf8Case{"\xc0\xaf", false},                // overlong '/'
                    Utf8Case{"\xe0\x80\xaf", false},            // overlong
                    Utf8Case{"\xed\xa0\x80", false},            // surrogate
                    Utf8Case{"\xf4\x90\x80\x80", false},        // above U+10FFFF
                    Utf8Case{"\xc3", false},                    // cut short
                    Utf8Case{"\xe2\x80", false}, Utf8Case{"a\xe2\x28\xa1", false}));

struct TrimCase {
    std::string text;
    std::string trimmed;
};

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesUnicodeWhiteSpaceAtBothEnds) {
    EXPECT_EQ(trim_white_space(GetParam().text), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Trim,
    testing::Values(TrimCase{"Charging\n", "Charging"}, TrimCase{"  3900000 \t\r\n", "3900000"},
                    TrimCase{"Not charging", "Not charging"}, TrimCase{"\n\n", ""}, TrimCase{"", ""},
                    TrimCase{"\xc2\xa0" "80" "\xe3\x80\x80", "80"},       // no-break, ideographic
                    TrimCase{"\xc2\x85" "1" "\xe2\x80\xa8", "1"},         // next line, line separator
                    TrimCase{"\xe2\x80\x8b" "1", "\xe2\x80\x8b" "1"},     // zero width space is not white space
                    TrimCase{"\x1f" "1\x1c", "\x1f" "1\x1c"},           // separators are not white space
                    TrimCase{"\v\f1\r", "1"}, TrimCase{"\xc3\xa9 ", "\xc3\xa9"}));

}  // namespace
}  // namespace kestro
