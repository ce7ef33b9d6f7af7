// Names below a browse path from the export paths, and clone marking.
#include <gtest/gtest.h>

#include "fakes/CapturingLogWriter.h"
#include "share_discovery/CNASShareBrowse.h"

namespace {

std::list<ShareInfo> Shares(std::initializer_list<const char*> names) {
    std::list<ShareInfo> shares;
    for (const char* n : names) shares.push_back(ShareInfo{n, "", false, 0});
    return shares;
}

std::list<std::string> Children(std::list<ShareInfo> shares, const std::string& parent) {
    std::list<std::string> children;
    EXPECT_TRUE(CNASShareBrowse(2).GetChildrenFromExportPath(shares, parent, children));
    return children;
}

typedef std::list<std::string> Names;

TEST(ExportPathChildren, TopLevelTakesTheFirstComponent) {
    EXPECT_EQ(Children(Shares({"/vol/vol1", "/home", "data/x"}), ""),
              (Names{"vol", "home", "data"}));
}

TEST(ExportPathChildren, BelowAParentNeedsASeparatorAfterIt) {
    EXPECT_EQ(Children(Shares({"/vol/vol1/q1", "/vol/vol2", "/vol"}), "/vol"),
              (Names{"vol1", "vol2"}));
    EXPECT_TRUE(Children(Shares({"/volume/a"}), "/vol").empty());
    EXPECT_TRUE(Children(Shares({"/vol/"}), "/vol").empty());
    EXPECT_TRUE(Children(Shares({"/vol/vol1"}), "/vol/").empty());
    EXPECT_TRUE(Children(Shares({"/vol/vol1"}), "/").empty());
    EXPECT_TRUE(Children(Shares({"/vol/x"}), "/VOL").empty());
}

TEST(ExportPathChildren, ParentMayOccurAnywhereButOnlyTheFirstOccurrenceCounts) {
    EXPECT_EQ(Children(Shares({"/vol/vol1/q"}), "/vol1"), (Names{"q"}));
    EXPECT_TRUE(Children(Shares({"/ab/a/c"}), "/a").empty());
}

TEST(ExportPathChildren, KeepsRepeatsAndExistingNamesAndSkipsClonesSilently) {
    ScopedCapturingLog log(4);
    std::list<ShareInfo> shares = Shares({"/vol/vol1/a", "/vol/vol1/b", "/vol/clone"});
    shares.back().m_isVolClone = true;
    std::list<std::string> children{"kept"};
    CNASShareBrowse(2).GetChildrenFromExportPath(shares, "/vol", children);
    EXPECT_EQ(children, (Names{"kept", "vol1", "vol1"}));
    for (const LogLine& line : log->Lines())
        EXPECT_EQ(line.message.find("clone"), std::string::npos);
    EXPECT_TRUE(log->Has("NFS export path[/vol/vol1/a], Parent path[/vol]"));
    EXPECT_TRUE(log->Has("Selecting child [vol1] for browse"));
}

std::vector<bool> Marks(unsigned long vessaCellId, std::list<ShareInfo> shares) {
    CNASShareBrowse(vessaCellId).MarkVolCloneShares(shares);
    std::vector<bool> marks;
    for (const ShareInfo& s : shares) marks.push_back(s.m_isVolClone);
    return marks;
}

TEST(VolCloneMarking, MarksCloneNamesForThisVessaCellOnly) {
    EXPECT_EQ(Marks(2, Shares({"/vol/data_ORVclone", "/vol/SP_2_123", "/vol/SP_22_123",
                               "/vol/SP_3_123", "/vol/plain", ""})),
              (std::vector<bool>{true, true, false, false, false, true}));
    EXPECT_EQ(Marks(0, Shares({"/vol/SP_0_1", "/vol/SP_2_1"})), (std::vector<bool>{true, false}));
    EXPECT_TRUE(Marks(2, {}).empty());
}

TEST(VolCloneMarking, SnapshotIsLookedForInTheSharePathOnly) {
    std::list<ShareInfo> shares = Shares({"/vol/.snapshot", "/vol/a", "/vol/b", "/vol/c"});
    auto it = std::next(shares.begin());
    it->m_sharePath = "/x/.snapshot/y";
    (++it)->m_sharePath = "/x_ORVclone";
    (++it)->m_sharePath = "/x/SP_2_1";  // the prefix counts in the share name only
    EXPECT_EQ(Marks(2, shares), (std::vector<bool>{false, true, true, false}));
}

TEST(VolCloneMarking, RecomputesTheFlagOnEveryCall) {
    std::list<ShareInfo> shares = Shares({"/vol/a"});
    shares.front().m_isVolClone = true;
    EXPECT_EQ(Marks(2, shares), std::vector<bool>{false});
}

}  // namespace
