// Path splitting and normalisation, export choice, universal addresses.
#include <gtest/gtest.h>

#include "nfs_client/Paths.h"

namespace nfsclient {
namespace {

std::vector<std::string> Split(const char* path) {
    std::vector<std::string> parts;
    std::string why;
    EXPECT_TRUE(SplitServerPath(path, parts, why)) << path << ": " << why;
    return parts;
}

std::string Refusal(const char* path) {
    std::vector<std::string> parts;
    std::string why;
    EXPECT_FALSE(SplitServerPath(path, parts, why)) << (path ? path : "(null)");
    return why;
}

TEST(Paths, SplittingDropsEmptyAndDotComponentsAndRefusesWhatCouldLeaveTheExport) {
    EXPECT_EQ(Split("//a/./b/"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Split("/"), std::vector<std::string>{});
    EXPECT_EQ(Split("/a b/.c/..d"), (std::vector<std::string>{"a b", ".c", "..d"}));
    EXPECT_NE(Refusal("/a/../b").find("\"..\""), std::string::npos);
    EXPECT_NE(Refusal("/..").find("\"..\""), std::string::npos);
    EXPECT_NE(Refusal("a/b").find("not absolute"), std::string::npos);
    EXPECT_NE(Refusal("").find("empty"), std::string::npos);
    EXPECT_NE(Refusal(nullptr).find("empty"), std::string::npos);
    EXPECT_EQ(Split(("/v/" + std::string(4096, 'n')).c_str()).size(), 2u);
    EXPECT_EQ(Refusal(("/v/" + std::string(4097, 'n') + "/x").c_str()),
              "the path has a component of 4097 bytes; names are at most 4096 bytes");
    EXPECT_EQ(JoinServerPath({}), "/");
    EXPECT_EQ(JoinServerPath({"vol", "vol1"}), "/vol/vol1");
}

TEST(Paths, ExportPathsAreNormalisedOrRefused) {
    std::string normalised;
    std::string why;
    ASSERT_TRUE(NormaliseExportPath("/vol/./vol5", normalised, why));
    EXPECT_EQ(normalised, "/vol/vol5");
    ASSERT_TRUE(NormaliseExportPath("/vol//vol1/", normalised, why));
    EXPECT_EQ(normalised, "/vol/vol1");
    ASSERT_TRUE(NormaliseExportPath("/", normalised, why));
    EXPECT_EQ(normalised, "/");
    EXPECT_FALSE(NormaliseExportPath("/vol/../etc", normalised, why));
    EXPECT_FALSE(NormaliseExportPath("vol1", normalised, why));
    EXPECT_FALSE(NormaliseExportPath("", normalised, why));
    const std::string huge = "/" + std::string(kMaxPathBytes, 'a');
    EXPECT_FALSE(NormaliseExportPath(huge.c_str(), normalised, why));
    EXPECT_NE(why.find("longer than"), std::string::npos);
}

TEST(Paths, TheLongestExportHoldingThePathAtAComponentBoundaryIsChosen) {
    const std::vector<std::string> exports = {"/vol", "/vol/vol1", "/vol/vol1/deep", "/bad/../x",
                                              "/home/"};
    size_t depth = 0;
    EXPECT_EQ(ChooseExport({"vol", "vol1", "a"}, exports, depth), 1);
    EXPECT_EQ(depth, 2u);
    EXPECT_EQ(ChooseExport({"vol", "vol1", "deep"}, exports, depth), 2);
    EXPECT_EQ(depth, 3u);
    // /vol/vol1 does not hold /vol/vol10: the boundary counts, not the bytes.
    EXPECT_EQ(ChooseExport({"vol", "vol10"}, exports, depth), 0);
    EXPECT_EQ(depth, 1u);
    EXPECT_EQ(ChooseExport({"home", "alice"}, exports, depth), 4);
    EXPECT_EQ(ChooseExport({"bad", "x"}, exports, depth),
              -1);  // unnormalisable exports never match
    EXPECT_EQ(ChooseExport({"elsewhere"}, exports, depth), -1);
    EXPECT_EQ(ChooseExport({"anything", "below"}, {"/"}, depth), 0);
    EXPECT_EQ(depth, 0u);
}

TEST(Paths, PortsOfUniversalAddresses) {
    EXPECT_EQ(PortOfUniversalAddress("127.0.0.1.8.1"), 2049);
    EXPECT_EQ(PortOfUniversalAddress("::1.0.111"), 111);
    EXPECT_EQ(PortOfUniversalAddress("fe80::1%eth0.3.232"), 1000);
    EXPECT_EQ(PortOfUniversalAddress("127.0.0.1.300.1"), 0);  // not a byte
    EXPECT_EQ(PortOfUniversalAddress("127.0.0.1.-1.5"), 0);
    EXPECT_EQ(PortOfUniversalAddress("127.0.0.1.1.x"), 0);
    EXPECT_EQ(PortOfUniversalAddress("1.2"), 0);
    EXPECT_EQ(PortOfUniversalAddress(""), 0);
    EXPECT_EQ(PortOfUniversalAddress("."), 0);
    EXPECT_EQ(PortOfUniversalAddress(nullptr), 0);
}

}  // namespace
}  // namespace nfsclient
