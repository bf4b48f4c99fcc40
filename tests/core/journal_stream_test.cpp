#include "core/journal_stream.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <sys/stat.h>

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

INSTANTIATE_TEST_SUITE_P(
    Values, JournalStreamParse,
    testing::Values(ParseCase{"8:1234567", StreamId{8, 1234567}}, ParseCase{"0:0", StreamId{0, 0}},
                    ParseCase{"007:010", StreamId{7, 10}},
                    ParseCase{"18446744073709551615:18446744073709551615",
                              StreamId{18446744073709551615u, 18446744073709551615u}},
                    ParseCase{"", std::nullopt}, ParseCase{":", std::nullopt}, ParseCase{"8", std::nullopt},
                    ParseCase{"8:", std::nullopt}, ParseCase{":8", std::nullopt},
                    ParseCase{"8:9:10", std::nullopt}, ParseCase{"8::9", std::nullopt},
                    ParseCase{"+8:9", std::nullopt}, ParseCase{"-8:9", std::nullopt},
                    ParseCase{"8:-9", std::nullopt}, ParseCase{" 8:9", std::nullopt},
                    ParseCase{"8 :9", std::nullopt}, ParseCase{"8:9 ", std::nullopt},
                    ParseCase{"8:9\n", std::nullopt}, ParseCase{"0x8:9", std::nullopt},
                    ParseCase{"8;9", std::nullopt}, ParseCase{"8:9a", std::nullopt},
                    ParseCase{"18446744073709551616:9", std::nullopt},
                    ParseCase{"8:18446744073709551616", std::nullopt}));

std::string id_text(int fd) {
    struct stat metadata {};
    EXPECT_EQ(::fstat(fd, &metadata), 0);
    return std::to_string(metadata.st_dev) + ":" + std::to_string(metadata.st_ino);
}

TEST(JournalStream, NamesOnlyTheFileItWasTakenFrom) {
    std::FILE* const one = std::tmpfile();
    std::FILE* const other = std::tmpfile();
    ASSERT_NE(one, nullptr);
    ASSERT_NE(other, nullptr);
    const int fd = ::fileno(one);
    struct stat metadata {};
    ASSERT_EQ(::fstat(fd, &metadata), 0);
    const std::string next_inode = std::to_string(metadata.st_dev) + ":" + std::to_string(metadata.st_ino + 1);

    EXPECT_TRUE(is_journal_stream(fd, id_text(fd).c_str()));
    EXPECT_FALSE(is_journal_stream(::fileno(other), id_text(fd).c_str()));
    EXPECT_FALSE(is_journal_stream(fd, next_inode.c_str()));
    EXPECT_FALSE(is_journal_stream(fd, nullptr));
    EXPECT_FALSE(is_journal_stream(fd, (id_text(fd) + "\n").c_str()));
    EXPECT_FALSE(is_journal_stream(-1, id_text(fd).c_str()));
    std::fclose(one);
    std::fclose(other);
}

}  // namespace
}  // namespace kestro
