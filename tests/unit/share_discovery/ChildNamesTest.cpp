// Case-insensitive ordering and the child-name ordering the browse returns.
#include <gtest/gtest.h>

#include "share_discovery/ChildNames.h"

namespace {

std::list<std::string> Ordered(std::list<std::string> names) {
    OrderChildNames(names);
    return names;
}

// Each row: a before b?, and b before a? ('_', 0x5F, sorts before 'A'
// folded to 'a', 0x61.)
TEST(CompareNoCase, FoldsLettersPrefixesFirstHighBytesAfterAsciiCaseVariantsEquivalent) {
    const struct {
        const char* a;
        const char* b;
        bool aFirst, bFirst;
    } rows[] = {
        {"abc", "ABD", true, false},  {"_x", "Ax", true, false}, {"vol", "Vol1", true, false},
        {"Vol", "vol", false, false}, {"", "a", true, false},    {"", "", false, false},
        {"z", "\xE9", true, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(CompareNoCase(r.a, r.b), r.aFirst) << r.a << " < " << r.b;
        EXPECT_EQ(CompareNoCase(r.b, r.a), r.bFirst) << r.b << " < " << r.a;
    }
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
