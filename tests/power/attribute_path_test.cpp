#include "power/attribute_path.hpp"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace kestro {
namespace {

struct PathCase {
    std::string directory;
    std::string name;
    std::string path;
};

class AttributePathJoin : public testing::TestWithParam<PathCase> {};

TEST_P(AttributePathJoin, JoinsWithOneSlashAndNoNormalisation) {
    const AttributePath path(GetParam().directory, GetParam().name);
    EXPECT_EQ(path.view(), GetParam().path);
    EXPECT_EQ(std::strlen(path.c_str()), GetParam().path.size());  // terminated right after the name
}

const std::string long_directory(AttributePath::inline_capacity, 'd');

INSTANTIATE_TEST_SUITE_P(
    Paths, AttributePathJoin,
    testing::Values(PathCase{"/sys/class/power_supply/BAT0", "charge_now", "/sys/class/power_supply/BAT0/charge_now"},
                    PathCase{"", "online", "/online"},
                    PathCase{"/sys/class/power_supply/AC/", "online", "/sys/class/power_supply/AC//online"},
                    PathCase{std::string(AttributePath::inline_capacity - 3, 'd'), "n",
                             std::string(AttributePath::inline_capacity - 3, 'd') + "/n"},  // fills the buffer
                    PathCase{long_directory, "voltage_now", long_directory + "/voltage_now"}));

}  // namespace
}  // namespace kestro
