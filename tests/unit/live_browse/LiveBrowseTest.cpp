// Directory entries of a live listing turned into browse results.
#include <gtest/gtest.h>

#include "fakes/CapturingLogWriter.h"
#include "host/BrowseMessageFields.h"
#include "host/NFSClient.h"
#include "live_browse/NASNFSShareLiveBrowse.h"

namespace {

NFSItemInfo Entry(const char* name, uint32_t type, uint64_t size = 0, uint64_t writeTime = 0) {
    return NFSItemInfo{0, name, 0, type, 0755, size, {0, 0}, writeTime};
}

struct Item {
    long long folder, mtime, size;
    std::string name;
    bool hasTimeAndSize;
};

Item Read(const App::MachineBrowseItem& item) {
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
    return Item{
        item.getint64(App::ITEM_FOLDER.secondIndex, cls, App::ITEM_FOLDER.id),
        item.getint64(App::ITEM_MODIFY_TIME.secondIndex, cls, App::ITEM_MODIFY_TIME.id),
        item.getint64(App::ITEM_SIZE.secondIndex, cls, App::ITEM_SIZE.id),
        item.getstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, cls, App::ITEM_NAME.id),
        item.isSet(App::ITEM_SIZE.field, cls, App::ITEM_SIZE.id) &&
            item.isSet(App::ITEM_MODIFY_TIME.field, cls, App::ITEM_MODIFY_TIME.id)};
}

class LiveBrowseTest : public ::testing::Test {
protected:
    std::vector<std::string> Deliver(std::vector<NFSItemInfo> entries) {
        NASNFSShareLiveBrowse receiver("/vol/a", nullptr, &items, &children);
        for (NFSItemInfo& e : entries) {
            bool flag = false;
            EXPECT_TRUE(NFSShareLiveBrowseCallBack(&receiver, &e, 0, false, flag));
        }
        std::vector<std::string> names;
        for (const auto& item : items) names.push_back(Read(item).name);
        return names;
    }

    ScopedCapturingLog log{4};
    std::vector<App::MachineBrowseItem> items;
    std::list<std::string> children;
};

TEST_F(LiveBrowseTest, ReportsFilesAndDirectoriesWithTheirTimesAndSizes) {
    Deliver({Entry("file", ITEM_TYPE_FILE, 12345, 1700000000),
             Entry("dir", ITEM_TYPE_DIRECTORY, 4096, 1600000000)});
    ASSERT_EQ(items.size(), 2u);
    Item file = Read(items[0]);
    EXPECT_EQ(file.folder, 0);
    EXPECT_EQ(file.name, "file");  // the bare name, not /vol/a/file
    EXPECT_EQ(file.size, 12345);
    EXPECT_EQ(file.mtime, 1700000000);
    EXPECT_TRUE(file.hasTimeAndSize);
    Item dir = Read(items[1]);
    EXPECT_EQ(dir.folder, 1);
    EXPECT_EQ(dir.size, 4096);
    EXPECT_EQ(dir.mtime, 1600000000);
    EXPECT_TRUE(
        log->Has("Name: [file] Type: [1] Mode: [0x1ed] WriteTime: [1700000000] Size: [12345]"));
}

TEST_F(LiveBrowseTest, LeavesOutOtherTypesButLogsThem) {
    EXPECT_TRUE(Deliver({Entry("link", ITEM_TYPE_SYMLINK), Entry("fifo", ITEM_TYPE_FIFO),
                         Entry("none", 0), Entry("odd", 99)})
                    .empty());
    EXPECT_EQ(log->Messages(4).size(), 4u);
}

TEST_F(LiveBrowseTest, LeavesOutOnlyTheSnapshotDirectoryByExactName) {
    EXPECT_EQ(
        Deliver({Entry(".snapshot", ITEM_TYPE_DIRECTORY), Entry(".SNAPSHOT", ITEM_TYPE_DIRECTORY),
                 Entry(".snapshot", ITEM_TYPE_FILE)}),
        (std::vector<std::string>{".SNAPSHOT", ".snapshot"}));
    EXPECT_TRUE(log->Has("Skipping [.snapshot] since it is a snapshot dir."));
}

TEST_F(LiveBrowseTest, LeavesOutDirectoriesAlreadyListedAsExportChildren) {
    children = {"vol1", "vol2"};
    EXPECT_EQ(Deliver({Entry("vol2", ITEM_TYPE_DIRECTORY), Entry("vol1", ITEM_TYPE_FILE),
                       Entry("VOL1", ITEM_TYPE_DIRECTORY), Entry("vol3", ITEM_TYPE_DIRECTORY),
                       Entry("vol3", ITEM_TYPE_DIRECTORY)}),
              (std::vector<std::string>{"vol1", "VOL1", "vol3", "vol3"}));
    EXPECT_TRUE(log->Has("Skipping [vol2] since it is an export and added already."));
}

TEST_F(LiveBrowseTest, NullPointersAreRefused) {
    NASNFSShareLiveBrowse receiver("/p", nullptr, &items, &children);
    NFSItemInfo entry = Entry("x", ITEM_TYPE_FILE);
    bool flag = false;
    EXPECT_FALSE(NFSShareLiveBrowseCallBack(nullptr, &entry, 0, false, flag));
    EXPECT_FALSE(NFSShareLiveBrowseCallBack(&receiver, nullptr, 0, false, flag));
    EXPECT_EQ(log->Messages(LOG_ERROR), (std::vector<std::string>{"NULL ptr", "NULL ptr"}));
    EXPECT_FALSE(receiver.BrowseCallBack(nullptr));
    EXPECT_TRUE(log->Has("a_pItemInfo is NULL"));
    EXPECT_TRUE(items.empty());
}

TEST_F(LiveBrowseTest, WithoutChildListEveryDirectoryButTheSnapshotComesThrough) {
    NASNFSShareLiveBrowse receiver("/p", nullptr, &items, nullptr);
    NFSItemInfo dir = Entry("d", ITEM_TYPE_DIRECTORY);
    NFSItemInfo snap = Entry(".snapshot", ITEM_TYPE_DIRECTORY);
    EXPECT_TRUE(receiver.BrowseCallBack(&dir));
    EXPECT_TRUE(receiver.BrowseCallBack(&snap));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(Read(items[0]).name, "d");
}

TEST_F(LiveBrowseTest, WithNoSinkTheEntryIsLostButTheListingGoesOn) {
    NASNFSShareLiveBrowse receiver("/p", nullptr, nullptr, &children);
    NFSItemInfo file = Entry("f", ITEM_TYPE_FILE);
    EXPECT_TRUE(receiver.BrowseCallBack(&file));
    EXPECT_EQ(
        log->Messages(LOG_ERROR),
        std::vector<std::string>{
            "Both m_pEvInfo and m_browseItems in NASNFSShareLiveBrowse::BrowseCallBack are NULL"});
}

}  // namespace
