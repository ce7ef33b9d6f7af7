// Case-insensitive ordering and the child-name ordering the browse returns.
#include <gtest/gtest.h>

#include "share_discovery/ChildNames.h"

namespace {

std::list<std::string> Ordered(std::list<std::string> names) {
    OrderChildNames(names);
    return names;
}

TEST(CompareNoCase, FoldsLettersBeforeComparing) {
    EXPECT_TRUE(CompareNoCase("abc", "ABD"));
    EXPECT_FALSE(CompareNoCase("ABD", "abc"));
    // '_' (0x5F) sorts before 'A' once 'A' is folded to 'a' (0x61).
    EXPECT_TRUE(CompareNoCase("_x", "Ax"));
    EXPECT_FALSE(CompareNoCase("Ax", "_x"));
}

TEST(CompareNoCase, ProperPrefixOrdersFirstAndCaseVariantsAreEquivalent) {
    EXPECT_TRUE(CompareNoCase("vol", "Vol1"));
    EXPECT_FALSE(CompareNoCase("Vol1", "vol"));
    EXPECT_FALSE(CompareNoCase("Vol", "vol"));
    EXPECT_FALSE(CompareNoCase("vol", "Vol"));
    EXPECT_TRUE(CompareNoCase("", "a"));
    EXPECT_FALSE(CompareNoCase("", ""));
}

TEST(CompareNoCase, HighBytesOrderAfterAscii) {
    EXPECT_TRUE(CompareNoCase("z", "\xE9"));
    EXPECT_FALSE(CompareNoCase("\xE9", "z"));
}

TEST(OrderChildNames, SortsThenDropsExactNeighbours) {
    EXPECT_EQ(Ordered({"vol2", "Vol1", "vol1", "vol2"}),
              (std::list<std::string>{"Vol1", "vol1", "vol2"}));
    EXPECT_EQ(Ordered({"home", "vol", "home", "vol"}), (std::list<std::string>{"home", "vol"}));
    EXPECT_TRUE(Ordered({}).empty());
}

TEST(OrderChildNames, IsStableForCaseVariants) {
    // All three are equivalent: a stable sort keeps them in place, and no two
    // neighbours are exactly equal, so all survive.
    EXPECT_EQ(Ordered({"A", "a", "A"}), (std::list<std::string>{"A", "a", "A"}));
    EXPECT_EQ(Ordered({"b", "DATA", "a", "data", "Data"}),
              (std::list<std::string>{"a", "b", "DATA", "data", "Data"}));
}

}  // namespace
