// FXString: formatting, one-occurrence removal, trimming and searching.
#include <string>

#include <gtest/gtest.h>

#include "host/FXString.h"

namespace {

TEST(HostText, FormatGrowsPastAnySmallBuffer) {
    const std::string value(3000, 'v');
    EXPECT_EQ("<" + value + ">", FXString::Format("<%s>", value.c_str()));
    EXPECT_EQ("SP_2_", FXString::Format("SP_%lu_", 2ul));
    EXPECT_EQ("%s%n", FXString::Format("%s", "%s%n"));
    EXPECT_EQ("", FXString::Format("%s", ""));
}

TEST(HostText, RemoveLeftAndRightTakeOneOccurrence) {
    std::string text = "/vol/vol/";
    EXPECT_TRUE(FXString::RemoveLeft(text, "/vol"));
    EXPECT_EQ("/vol/", text);
    EXPECT_TRUE(FXString::RemoveRight(text, "/"));
    EXPECT_EQ("/vol", text);
    EXPECT_TRUE(FXString::RemoveRight(text, "/vol"));
    EXPECT_EQ("", text);

    text = "abc";
    EXPECT_FALSE(FXString::RemoveLeft(text, ""));
    EXPECT_FALSE(FXString::RemoveRight(text, ""));
    EXPECT_FALSE(FXString::RemoveLeft(text, "abcd"));
    EXPECT_FALSE(FXString::RemoveRight(text, "zabc"));
    EXPECT_FALSE(FXString::RemoveLeft(text, "b"));
    EXPECT_FALSE(FXString::RemoveRight(text, "B"));  // bytes, not letters
    EXPECT_EQ("abc", text);

    std::string withNul("a\0b", 3);
    EXPECT_TRUE(FXString::RemoveLeft(withNul, std::string("a\0", 2)));
    EXPECT_EQ("b", withNul);
}

TEST(HostText, TrimLeftRemovesEveryLeadingByteOfTheSet) {
    std::string text = "/ //a/ b";
    FXString::TrimLeft(text, "/ ");
    EXPECT_EQ("a/ b", text);
    FXString::TrimLeft(text, "");
    EXPECT_EQ("a/ b", text);
    text = "////";
    FXString::TrimLeft(text, "/");
    EXPECT_EQ("", text);
    FXString::TrimLeft(text, "/");
    EXPECT_EQ("", text);
}

TEST(HostText, FindStringPointsIntoTheTextWithTheRequestedCaseRule) {
    const std::string text = "/vol/.Snapshot/x";
    EXPECT_EQ(nullptr, FXString::FindString(text, ".snapshot", true));
    EXPECT_EQ(text.c_str() + 5, FXString::FindString(text, ".snapshot", false));
    EXPECT_EQ(text.c_str() + 5, FXString::FindString(text, ".Snapshot", true));
    EXPECT_EQ(text.c_str(), FXString::FindString(text, "", true));
    EXPECT_EQ(text.c_str(), FXString::FindString(text, "", false));
    EXPECT_EQ(nullptr, FXString::FindString("ab", "abc", false));
    EXPECT_EQ(nullptr, FXString::FindString("", "a", true));
    // Only ASCII letters fold: "[" and "{" are not case pairs.
    EXPECT_EQ(nullptr, FXString::FindString("a[b", "A{B", false));
    const std::string tail = "xxAbAB";
    EXPECT_EQ(tail.c_str() + 2, FXString::FindString(tail, "abab", false));
}

}  // namespace
