#include "core/journal_stream.hpp"

#include <optional>

#include <gtest/gtest.h>

namespace kestro {
namespace {

struct ParseCase {
    const char* value;
    std::optional<StreamId> id;
};

class JournalStreamParse : public testing::TestWithParam<ParseCase> {};

TEST_P(JournalStreamParse, TwoDecimalNumbersAndNothingElse) {
    EXPECT_EQ(parse_journal_stream(GetParam().value), GetParam().id) << '"' << GetParam().value << '"';
}

constexpr auto max = 18446744073709551615u;

INSTANTIATE_TEST_SUITE_P(
    Values, JournalStreamParse,
    testing::Values(ParseCase{"8:1234567", StreamId{8, 1234567}}, ParseCase{"007:0", StreamId{7, 0}},
                    ParseCase{"18446744073709551615:18446744073709551615", StreamId{max, max}},
                    ParseCase{"", {}}, ParseCase{":", {}}, ParseCase{"8", {}}, ParseCase{"8:", {}},
                    ParseCase{":9", {}}, ParseCase{"8:9:10", {}}, ParseCase{"+8:9", {}}, ParseCase{"8:-9", {}},
                    ParseCase{" 8:9", {}}, ParseCase{"8:9\n", {}}, ParseCase{"0x8:9", {}}, ParseCase{"8;9", {}},
                    ParseCase{"18446744073709551616:9", {}}, ParseCase{"8:18446744073709551616", {}}));

}  // namespace
}  // namespace kestro
