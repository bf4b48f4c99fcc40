#include "base/attribute_file.hpp"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "base/temp_tree.hpp"

namespace kestro {
namespace {

using testing_support::TempTree;

TEST(ReadAttributeFile, ReturnsTheWholeContentUntrimmed) {
    const TempTree tree;
    tree.write("charge_now", " 3900000\n");
    AttributeBuffer buffer;
    const auto content = read_attribute_file(tree.path("charge_now").c_str(), buffer);
    ASSERT_TRUE(content.has_value());
    EXPECT_EQ(*content, " 3900000\n");
}

// Missing, dangling, directory and oversized files are covered with their
// report texts by the attribute reader's tests.

TEST(ReadAttributeFile, AFileThatFillsTheBufferIsTooLarge) {
    const TempTree tree;
    tree.write("attr", std::string(attribute_buffer_size, '1'));
    AttributeBuffer buffer;
    const auto content = read_attribute_file(tree.path("attr").c_str(), buffer);
    ASSERT_FALSE(content.has_value());
    EXPECT_EQ(content.error().system(), SystemError{EFBIG});
}

TEST(ReadAttributeFile, TakesTheLargestContentThatLeavesRoom) {
    const TempTree tree;
    const std::string content(attribute_buffer_size - 1, '7');
    tree.write("attr", content);
    AttributeBuffer buffer;
    const auto read = read_attribute_file(tree.path("attr").c_str(), buffer);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, content);
}

TEST(ReadAttributeFile, EmptyFileIsEmptyText) {
    const TempTree tree;
    tree.write("attr", "");
    AttributeBuffer buffer;
    const auto content = read_attribute_file(tree.path("attr").c_str(), buffer);
    ASSERT_TRUE(content.has_value());
    EXPECT_TRUE(content->empty());
}

TEST(ReadAttributeFile, RefusesContentThatIsNotUtf8) {
    const TempTree tree;
    tree.write("attr", "39\xff\n");
    AttributeBuffer buffer;
    const auto content = read_attribute_file(tree.path("attr").c_str(), buffer);
    ASSERT_FALSE(content.has_value());
    EXPECT_EQ(content.error(), invalid_utf8);
    EXPECT_EQ(content.error().text().view(), "stream did not contain valid UTF-8");
}

TEST(ReadAttributeFile, DoesNotWaitForAFifoWriter) {
    const TempTree tree;
    tree.make_fifo("attr");
    AttributeBuffer buffer;
    // Without a writer the read sees the end at once: empty text, no hang.
    const auto content = read_attribute_file(tree.path("attr").c_str(), buffer);
    ASSERT_TRUE(content.has_value());
    EXPECT_TRUE(content->empty());
}

TEST(ReadAttributeFile, UnreadableFileFailsWithPermissionDenied) {
    const TempTree tree;
    if (!testing_support::permissions_are_enforced(tree)) {
        GTEST_SKIP() << "this process reads files whatever their mode";
    }
    tree.write("attr", "1\n");
    ::chmod(tree.path("attr").c_str(), 0);
    AttributeBuffer buffer;
    const auto content = read_attribute_file(tree.path("attr").c_str(), buffer);
    ASSERT_FALSE(content.has_value());
    EXPECT_EQ(content.error().text().view(), "Permission denied (os error 13)");
}

TEST(PathExists, FollowsLinksAndIgnoresReadability) {
    const TempTree tree;
    tree.write("file", "1");
    ::chmod(tree.path("file").c_str(), 0);
    tree.make_directory("dir");
    tree.link(tree.path("file"), "good_link");
    tree.link(tree.path("gone"), "dangling_link");
    EXPECT_TRUE(path_exists(tree.path("file").c_str()));
    EXPECT_TRUE(path_exists(tree.path("dir").c_str()));
    EXPECT_TRUE(path_exists(tree.path("good_link").c_str()));
    EXPECT_FALSE(path_exists(tree.path("dangling_link").c_str()));
    EXPECT_FALSE(path_exists(tree.path("gone").c_str()));
}

}  // namespace
}  // namespace kestro
