// The browse driver that answers in an XML response.
#include "BrowseTestSupport.h"

#include "browse_requests/BrowseSteps.h"
#include "browse_requests/NASShareBrowse.h"

namespace {

long long ErrorCode(const App::GenericResp& resp) {
    return resp.getint64(App::GENERIC_ERROR_CODE.secondIndex, App::CLASS_GENERIC_RESP,
                         App::GENERIC_ERROR_CODE.id);
}
std::string Message(const App::GenericResp& resp) {
    return resp.getstring(App::GENERIC_MESSAGE.field, App::GENERIC_MESSAGE.secondIndex,
                          App::CLASS_GENERIC_RESP, App::GENERIC_MESSAGE.id);
}

class XmlDriverTest : public BrowseTest {
protected:
    std::vector<App::MachineBrowseItem> items;
    App::GenericResp generic;
};

TEST_F(XmlDriverTest, RefusesANullItemListBeforeAnyLookup) {
    for (App::GenericResp* resp : {&generic, static_cast<App::GenericResp*>(nullptr)}) {
        CLumError error = NASNFSShareXMLbrowse(2, 9, "localhost", "/vol", nullptr, resp);
        EXPECT_EQ(FXErrorUtil::GetWin32(error), 160u);
    }
    EXPECT_TRUE(fake_nfs::Calls().empty());
    EXPECT_FALSE(generic.isSet(App::GENERIC_ERROR_CODE.field, App::CLASS_GENERIC_RESP,
                               App::GENERIC_ERROR_CODE.id));
}

TEST_F(XmlDriverTest, AppendsChildrenThenLiveEntriesAfterExistingItems) {
    Serve({"/vol/vol1", "/vol/vol1/sub", "/Vol/x"}, {{"/vol/vol1", {File("f", 3, 4), Dir("sub")}}});
    AppendFolderItem(items, "existing");
    EXPECT_FALSE(NASNFSShareXMLbrowse(2, 9, "localhost", "/vol/vol1", &items, &generic).IsError());
    EXPECT_EQ(Results(items),
              (std::vector<Result>{Folder("existing"), Folder("sub"), Result{false, "f", 4, 3}}));
    // Export children carry only the folder flag and the name.
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
    EXPECT_FALSE(items[1].isSet(App::ITEM_SIZE.field, cls, App::ITEM_SIZE.id));
    EXPECT_FALSE(items[1].isSet(App::ITEM_MODIFY_TIME.field, cls, App::ITEM_MODIFY_TIME.id));
    EXPECT_TRUE(log->Has("XML Browse path [/vol/vol1] is from NFS export path [/vol/vol1]"));
    EXPECT_TRUE(log->Has("Calling DoNFSLiveBrowse with IP[127.0.0.1] and path[/vol/vol1]."));
}

TEST_F(XmlDriverTest, TopLevelHasNoLiveBrowse) {
    Serve({"/vol/a", "/Vol/b", "/home"});
    EXPECT_FALSE(NASNFSShareXMLbrowse(2, 9, "localhost", "", &items, nullptr).IsError());
    EXPECT_EQ(Results(items), (std::vector<Result>{Folder("home"), Folder("vol"), Folder("Vol")}));
    EXPECT_TRUE(ListedPaths().empty());
}

TEST_F(XmlDriverTest, ShareListFailureFillsTheGenericResponse) {
    AppendFolderItem(items, "existing");
    CLumError error = NASNFSShareXMLbrowse(2, 9, "localhost", "/vol", &items, &generic);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1359u);
    EXPECT_EQ(ErrorCode(generic), 1359);
    EXPECT_NE(Message(generic).find("localhost"), std::string::npos);
    EXPECT_EQ(items.size(), 1u);
    auto failures = log->Messages(LOG_ERROR);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].rfind("Couldn't populate NAS share list, error=", 0), 0u);
    EXPECT_EQ(failures[1], "Msg [" + Message(generic) + "] sent to admin console");
}

TEST_F(XmlDriverTest, FailedLiveListingKeepsTheItemsAndFillsTheGenericResponse) {
    Serve({"/vol", "/vol/sub"}, {{"/vol", {File("first", 1, 1)}}}, true);
    AppendFolderItem(items, "existing");
    CLumError error = NASNFSShareXMLbrowse(2, 9, "localhost", "/vol", &items, &generic);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1359u);
    EXPECT_EQ(Results(items), (std::vector<Result>{Folder("existing"), Folder("sub"),
                                                   Result{false, "first", 1, 1}}));
    EXPECT_EQ(ErrorCode(generic), 1359);
    EXPECT_EQ(Message(generic),
              "The folder [/vol] of NAS file server [localhost] could not be listed: "
              "NFS3ERR_ACCES reading the directory");
    EXPECT_EQ(log->Messages(LOG_ERROR).back(),
              "Msg [" + Message(generic) + "] sent to admin console");

    // Without a response the failure is still returned, and nothing is lost.
    items.clear();
    error = NASNFSShareXMLbrowse(2, 9, "localhost", "/vol", &items, nullptr);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1359u);
    EXPECT_EQ(items.size(), 2u);
}

TEST_F(XmlDriverTest, ShareListFailureWithoutGenericResponseIsOnlyLogged) {
    CLumError error = NASNFSShareXMLbrowse(2, 0, "", "/vol", &items, nullptr);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 160u);
    EXPECT_EQ(log->Messages(LOG_ERROR).size(), 1u);
}

TEST_F(XmlDriverTest, CifsIsRefusedAndNothingTouched) {
    CLumError error = NASCIFSShareXMLbrowse(2, 9, "f", "/p", "/p", "u", "pw", &items, &generic);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 50u);
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(
        log->Messages(LOG_ERROR),
        std::vector<std::string>{"CIFS Share XML browse not supported in non-windows platform."});
}

}  // namespace
