#include "core/config.hpp"

#include <cmath>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/temp_tree.hpp"
#include "base/utf8.hpp"

namespace kestro {
namespace {

// "a.a.a = 1": a key of that many parts.
std::string dotted_key(int parts) {
    std::string key = "a";
    for (int part = 1; part < parts; ++part) {
        key += ".a";
    }
    return key + " = 1\n";
}

// "[a.a.a]": a table header of that many parts.
std::string table_header(int parts) {
    const std::string key = dotted_key(parts);
    return "[" + key.substr(0, key.find(' ')) + "]\n";
}

// "x = [[[]]]": arrays nested that deep below the key.
std::string nested_arrays(int depth) {
    return "x = " + std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']') +
           "\n";
}

std::string repeated(std::string_view text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

struct ConfigCase {
    std::string name;
    std::string document;
    std::optional<double> percent;  // expected when the document is accepted
    std::optional<double> secs;
};

class ConfigAccepted : public testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigAccepted, MapsTheKnownKeys) {
    const auto config = parse_config(GetParam().document);
    ASSERT_TRUE(config.has_value()) << config.error();
    EXPECT_EQ(config->request_shutdown_battery_percent, GetParam().percent);
    EXPECT_EQ(config->force_shutdown_timeout_secs, GetParam().secs);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ConfigAccepted,
    testing::Values(
        ConfigCase{"Empty", "", std::nullopt, std::nullopt},
        ConfigCase{"IntegerPercent", "request_shutdown_battery_percent = 5\n", 5.0, std::nullopt},
        ConfigCase{"FloatSecs", "force_shutdown_timeout_secs = 30.5\n", std::nullopt, 30.5},
        ConfigCase{"Both", "request_shutdown_battery_percent = 2.5\nforce_shutdown_timeout_secs = 0\n", 2.5, 0.0},
        ConfigCase{"KeysInsideATable", "[section]\nrequest_shutdown_battery_percent = 5\nforce_shutdown_timeout_secs = 3\n",
                   std::nullopt, std::nullopt},
        ConfigCase{"UnknownKeysIgnored", "colour = \"blue\"\nforce_shutdown_timeout_secs = 7\n", std::nullopt, 7.0},
        ConfigCase{"NegativePercent", "request_shutdown_battery_percent = -3\n", -3.0, std::nullopt},
        ConfigCase{"PercentAboveHundred", "request_shutdown_battery_percent = 150\n", 150.0, std::nullopt},
        ConfigCase{"InfinitePercent", "request_shutdown_battery_percent = inf\n",
                   std::numeric_limits<double>::infinity(), std::nullopt},
        ConfigCase{"NegativeZeroSecs", "force_shutdown_timeout_secs = -0.0\n", std::nullopt, 0.0},
        ConfigCase{"LargeIntegerToNearest", "force_shutdown_timeout_secs = 9007199254740993\n", std::nullopt,
                   9007199254740992.0},
        ConfigCase{"JustBelowTwoToThe64", "force_shutdown_timeout_secs = 18446744073709549568.0\n", std::nullopt,
                   18446744073709549568.0},
        // As deep as accepted: a key, a header (two levels a part), arrays.
        ConfigCase{"DeepestKey", dotted_key(max_config_nesting), std::nullopt, std::nullopt},
        ConfigCase{"DeepestHeader", table_header(max_config_nesting / 2), std::nullopt, std::nullopt},
        ConfigCase{"DeepestArrays", nested_arrays(max_config_nesting - 1), std::nullopt, std::nullopt},
        // Only what nests counts: not dots in strings and comments, not
        // siblings, not the lines before.
        ConfigCase{"DotsInStringsAndComments",
                   "\"" + repeated("a.", 100) + "\" = '" + repeated("[.", 100) + "'\n" +  //
                       "b = \"\"\"\n" + repeated("{.", 100) + R"(\"""""")" + "\n" +       //
                       "c = '''\n" + repeated("..", 100) + "''''' # " + repeated(".[", 100) + "\n" +
                       "force_shutdown_timeout_secs = 4\n",
                   std::nullopt, 4.0},
        ConfigCase{"ManyValuesInOneArray", "x = [" + repeated("1.5, ", 200) + "]\n", std::nullopt, std::nullopt},
        ConfigCase{"ManyDottedLines", "[t]\na.b.c = 1.5\n" + repeated("[[u.v]]\nw.x = {y.z = [1.5, {q.r = 2}]}\n", 100),
                   std::nullopt, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(ConfigHistoryDirectory, TakesAnAbsolutePath) {
    EXPECT_EQ(parse_config("history_directory = '/var/log/kestro'\n")->history_directory, "/var/log/kestro");
}

struct RejectedCase {
    std::string name;
    std::string document;
    std::string reason_part;  // a piece the one-line reason must contain
};

class ConfigRejected : public testing::TestWithParam<RejectedCase> {};

// What a terminal or log reader could take for a line break or an escape:
// C0, DEL, C1 (U+0080 to U+009F), U+2028, U+2029, or bytes that are not UTF-8.
bool breaks_a_log_line(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next < 0xa0)) {
            return true;
        }
    }
    return text.find("\u2028") != std::string::npos || text.find("\u2029") != std::string::npos ||
           !is_valid_utf8(text);
}

TEST_P(ConfigRejected, GivesOnePrintableLine) {
    const auto config = parse_config(GetParam().document);
    ASSERT_FALSE(config.has_value());
    EXPECT_NE(config.error().find(GetParam().reason_part), std::string::npos) << config.error();
    EXPECT_FALSE(breaks_a_log_line(config.error())) << config.error();
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ConfigRejected,
    testing::Values(
        RejectedCase{"StringValue", "request_shutdown_battery_percent = 5\nforce_shutdown_timeout_secs = \"30\"\n",
                     "force_shutdown_timeout_secs"},
        RejectedCase{"BooleanValue", "request_shutdown_battery_percent = true\n", "request_shutdown_battery_percent"},
        RejectedCase{"ArrayValue", "force_shutdown_timeout_secs = [1]\n", "force_shutdown_timeout_secs"},
        RejectedCase{"TableValue", "[force_shutdown_timeout_secs]\nx = 1\n", "force_shutdown_timeout_secs"},
        RejectedCase{"DateValue", "force_shutdown_timeout_secs = 1979-05-27\n", "force_shutdown_timeout_secs"},
        RejectedCase{"GivenTwice", "request_shutdown_battery_percent = 5\nrequest_shutdown_battery_percent = 6\n",
                     "line 2"},
        RejectedCase{"SyntaxError", "request_shutdown_battery_percent = = 5\n", "line 1"},
        RejectedCase{"NotUtf8", "request_shutdown_battery_percent = 5 # \xff\xfe\n", "line 1"},
        RejectedCase{"ActionNotAString", "critical_action = 1\n",
                     "invalid type for critical_action: expected a string, found integer at line 1, column 19"},
        RejectedCase{"ConfirmNotABoolean", "confirm_low_battery = 1\n",
                     "invalid type for confirm_low_battery: expected a boolean, found integer at line 1, column 23"},
        RejectedCase{"UnknownAction", "critical_action = 'Hibernate'\n",
                     "invalid value for critical_action: \"Hibernate\" (expected \"poweroff\", \"hibernate\", "
                     "\"hybrid-sleep\" or \"suspend-then-hibernate\") at line 1, column 19"},
        RejectedCase{"RelativeHistoryDirectory", "history_directory = 'var/lib/kestro'\n",
                     "invalid value for history_directory: \"var/lib/kestro\" (expected an absolute path) at line 1"},
        RejectedCase{"HistoryDirectoryNotAString", "history_directory = 1\n",
                     "invalid type for history_directory: expected a string, found integer"},
        RejectedCase{"EscapeInAction", "critical_action = \"\\u001b[2J\"\n", "\"\\x1b[2J\""},
        RejectedCase{"NegativeSecs", "force_shutdown_timeout_secs = -1\n", "force_shutdown_timeout_secs: -1 (negative)"},
        RejectedCase{"NanSecs", "force_shutdown_timeout_secs = nan\n", "force_shutdown_timeout_secs: NaN"},
        RejectedCase{"InfiniteSecs", "force_shutdown_timeout_secs = inf\n", "force_shutdown_timeout_secs: inf"},
        RejectedCase{"TwoToThe64Secs", "force_shutdown_timeout_secs = 18446744073709551616.0\n", "too large"},
        RejectedCase{"NanPercent", "request_shutdown_battery_percent = nan\n", "request_shutdown_battery_percent: NaN"},
        RejectedCase{"ControlCharacterInError", "x = \"a\x01\"\n", "line 1"},
        // Characters the parser's white-space tables once fell through on.
        RejectedCase{"LetterWhereWhiteSpaceMayBe", "\u029d\n", "line 1, column 1"},
        RejectedCase{"PunctuationAfterAValue", "request_shutdown_battery_percent = 5 \u3001\n", "line 1, column 38"},
        RejectedCase{"PresentationFormAfterAValue", "force_shutdown_timeout_secs = 5 \ufb60\n", "line 1, column 33"},
        // Characters the report quotes from the file, escaped byte by byte.
        RejectedCase{"ControlSequenceIntroducer", "\u009b2J\n", "saw '\\xc2\\x9b'"},
        RejectedCase{"LineSeparator", "x = 1 \u2028\n", "saw '\\xe2\\x80\\xa8'"},
        RejectedCase{"NextLineInARepeatedKey", "\"a\u0085b\" = 1\n\"a\u0085b\" = 2\n", "a\\xc2\\x85"},
        // Refused before parsing, where one level too many begins.
        RejectedCase{"KeyTooDeep", dotted_key(max_config_nesting + 1),
                     "tables and arrays nested deeper than 64 levels at line 1, column 128"},
        // Columns count characters, as the parser's own reports do.
        RejectedCase{"ColumnInCharacters", "\"\u043a\u043b\u044e\u0447\"." + dotted_key(max_config_nesting),
                     "at line 1, column 133"},
        RejectedCase{"HeaderTooDeep", table_header(max_config_nesting / 2 + 1), "at line 1, column 65"},
        RejectedCase{"KeyTooDeepBelowAHeader", "# a comment\n" + table_header(max_config_nesting / 2) + "\xc3\xa9 = 1\n",
                     "at line 3, column 1"},
        RejectedCase{"ArraysTooDeep", nested_arrays(max_config_nesting), "at line 1, column 68"},
        RejectedCase{"InlineTablesTooDeep", "x = " + repeated("{a = ", max_config_nesting) + "1" +
                                                repeated("}", max_config_nesting) + "\n",
                     "at line 1, column 320"},
        RejectedCase{"ArraysOfTablesTooDeep", "[[" + dotted_key(max_config_nesting / 2 + 1).substr(0, max_config_nesting + 1) + "]]\n",
                     "at line 1, column 66"}),
    [](const auto& info) { return info.param.name; });

TEST(ConfigAllOrNothing, AGoodKeyBesideABadOneIsNotApplied) {
    EXPECT_FALSE(parse_config("request_shutdown_battery_percent = 5\nforce_shutdown_timeout_secs = -1\n"));
}

// ---------------------------------------------------------------- the file

using testing_support::TempTree;

struct FileCase {
    std::string name;
    std::function<void(const TempTree&)> make;  // makes tree.path("kestro.toml")
    std::string error;                          // after "read <path>: "; empty when accepted
};

class LoadSettings : public testing::TestWithParam<FileCase> {};

TEST_P(LoadSettings, OnlyARegularFileWithinTheLimitIsRead) {
    const TempTree tree;
    GetParam().make(tree);
    const std::string path = tree.path("kestro.toml");
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const Settings settings = load_settings(path.c_str());
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    if (GetParam().error.empty()) {
        EXPECT_EQ(errors, "");
        EXPECT_EQ(settings.force_shutdown_timeout_secs, 3.0);
        return;
    }
    EXPECT_EQ(errors, "read " + path + ": " + GetParam().error + "\n");
    EXPECT_EQ(printed, "Info: Config: request_shutdown_battery_percent: 0.49999998\n"
                       "Info: Config: force_shutdown_timeout_secs: 10\n");
}

// A file of exactly `size` bytes that sets the timeout to 3, padded with a comment.
std::function<void(const TempTree&)> file_of_size(std::size_t size) {
    return [size](const TempTree& tree) {
        std::string content = "force_shutdown_timeout_secs = 3\n#";
        content.resize(size, '-');
        tree.write("kestro.toml", content);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LoadSettings,
    testing::Values(
        FileCase{"LargestAccepted", file_of_size(max_config_bytes), ""},
        FileCase{"OneByteTooMany", file_of_size(max_config_bytes + 1), "File too large (os error 27)"},
        // Neither waits for a writer nor takes the end of a FIFO for an empty file.
        FileCase{"Fifo", [](const TempTree& tree) { tree.make_fifo("kestro.toml"); },
                 "No such device or address (os error 6)"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestro
