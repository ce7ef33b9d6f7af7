// Collection of export paths into a share list.
#include <gtest/gtest.h>

#include "fakes/CapturingLogWriter.h"
#include "share_discovery/NFSExportCallBacks.h"

namespace {

const char kSignature[] = "bool NFSExportCallBacks::AddExportPath(const char*)";

TEST(ExportCollection, StoresEachNonRootPathWithTwoLines) {
    ScopedCapturingLog log(3);
    std::list<ShareInfo> shares;
    NFSExportCallBacks callbacks(shares);

    EXPECT_TRUE(funcAddExportPath(&callbacks, "/vol/vol1"));
    ASSERT_EQ(shares.size(), 1u);
    const ShareInfo& share = shares.front();
    EXPECT_EQ(share.m_shareName, "/vol/vol1");
    EXPECT_TRUE(share.m_sharePath.empty());
    EXPECT_FALSE(share.m_isVolClone);
    EXPECT_EQ(share.m_reserved, 0);

    auto lines = log->Lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const LogLine& line : lines) {
        EXPECT_EQ(line.level, 3);
        EXPECT_EQ(line.function, kSignature);
        EXPECT_EQ(line.message, "Adding [/vol/vol1] in share list");
    }
}

TEST(ExportCollection, SkipsEmptyAndRootAfterOneLine) {
    ScopedCapturingLog log(3);
    std::list<ShareInfo> shares;
    NFSExportCallBacks callbacks(shares);

    EXPECT_TRUE(callbacks.AddExportPath(""));
    EXPECT_TRUE(callbacks.AddExportPath("/"));
    EXPECT_TRUE(shares.empty());
    EXPECT_EQ(log->Lines().size(), 2u);

    // Only the exact text "/" is the root.
    EXPECT_TRUE(callbacks.AddExportPath("//"));
    EXPECT_TRUE(callbacks.AddExportPath("/ "));
    ASSERT_EQ(shares.size(), 2u);
    EXPECT_EQ(shares.front().m_shareName, "//");
    EXPECT_EQ(shares.back().m_shareName, "/ ");
}

TEST(ExportCollection, KeepsRepeatsAndOrder) {
    ScopedCapturingLog log(0);
    std::list<ShareInfo> shares{ShareInfo{"/existing", "", false, 0}};
    NFSExportCallBacks callbacks(shares);
    for (const char* path : {"/b", "/a", "/b"}) callbacks.AddExportPath(path);
    std::vector<std::string> names;
    for (const ShareInfo& s : shares) names.push_back(s.m_shareName);
    EXPECT_EQ(names, (std::vector<std::string>{"/existing", "/b", "/a", "/b"}));
    EXPECT_TRUE(log->Lines().empty());  // level 3 lines are gated at level 0
}

TEST(ExportCollection, NullContextOrPathChangesNothing) {
    ScopedCapturingLog log(4);
    std::list<ShareInfo> shares;
    NFSExportCallBacks callbacks(shares);
    EXPECT_FALSE(funcAddExportPath(nullptr, "/vol"));
    EXPECT_FALSE(funcAddExportPath(&callbacks, nullptr));
    EXPECT_TRUE(shares.empty());
    EXPECT_TRUE(log->Lines().empty());
}

}  // namespace
