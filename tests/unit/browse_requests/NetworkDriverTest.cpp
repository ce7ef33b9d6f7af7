// The browse driver that answers on a network request's reply stream.
#include "BrowseTestSupport.h"

#include "browse_requests/NASShareBrowse.h"

namespace {

class NetworkDriverTest : public BrowseTest {
protected:
    ReplyWire::Reply Browse(const std::string& browsePath, CLumError* result = nullptr,
                            const std::string& interfaceName = "localhost") {
        CLumSocket socket(wire.ours);
        EvRestoreReturn reply(77, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
        CLumError error = NASNFSSharebrowse(77, 2, 9, interfaceName, browsePath, &reply);
        if (result)
            *result = error;
        else
            EXPECT_FALSE(error.IsError()) << error.AsString();
        return wire.Read();
    }
    ReplySocket wire;
};

TEST_F(NetworkDriverTest, RefusesANullStreamBeforeAnyLookup) {
    CLumError error = NASNFSSharebrowse(1, 2, 9, "localhost", "/vol", nullptr);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 160u);
    EXPECT_TRUE(fake_nfs::Calls().empty());
    EXPECT_EQ(log->Messages(LOG_ERROR), std::vector<std::string>{"EvInfo is NULL"});
}

TEST_F(NetworkDriverTest, TopLevelListsOrderedExportChildrenWithoutLiveBrowse) {
    Serve({"/vol/b", "/Home", "/vol/a", "/vol/SP_2_x", "/archive_ORVclone"});
    ReplyWire::Reply reply = Browse("");
    EXPECT_EQ(Results(reply), (std::vector<Result>{Folder("Home"), Folder("vol")}));
    EXPECT_TRUE(reply.ended);
    EXPECT_EQ(reply.endStatus, 0);
    EXPECT_EQ(reply.header.jobId, 77);
    EXPECT_TRUE(ListedPaths().empty());
}

TEST_F(NetworkDriverTest, AboveTheExportsNoLiveBrowse) {
    Serve({"/vol/a", "/vol/b"});
    EXPECT_EQ(Results(Browse("/vol")), (std::vector<Result>{Folder("a"), Folder("b")}));
    EXPECT_TRUE(ListedPaths().empty());
    EXPECT_TRUE(log->Has("Interface [localhost] BrowsePath [/vol] has Share [a]"));
}

TEST_F(NetworkDriverTest, AtAnExportSubExportsComeFirstThenTheLiveListing) {
    Serve({"/vol/vol1", "/vol/vol1/sub"},
          {{"/vol/vol1", {File("f", 10, 1000), Dir("sub", 5), Dir("d", 7), Dir(".snapshot")}}});
    EXPECT_EQ(Results(Browse("/vol/vol1")),
              (std::vector<Result>{Folder("sub"), Result{false, "f", 1000, 10},
                                   Result{true, "d", 7, 4096}}));
    EXPECT_EQ(ListedPaths(), std::vector<std::string>{"/vol/vol1"});
    auto call = fake_nfs::Calls().back();
    EXPECT_EQ(call.address, "127.0.0.1");
    EXPECT_EQ(call.reserved1, 0);
    EXPECT_EQ(call.reserved2, 0);
    EXPECT_EQ(call.reserved3, 1);
    EXPECT_TRUE(log->Has("Browse path [/vol/vol1] is from NFS export path [/vol/vol1]"));
    EXPECT_TRUE(log->Has("Calling DoNFSLiveBrowse with IP[127.0.0.1] and browse path[/vol/vol1]."));
}

TEST_F(NetworkDriverTest, ExportMatchIsAPlainPrefixAndSkipsClones) {
    Serve({"/vol/vol1", "/vol/c_ORVclone"}, {{"/vol/vol10", {File("x", 1, 1)}}});
    EXPECT_EQ(Results(Browse("/vol/vol10")), (std::vector<Result>{Result{false, "x", 1, 1}}));
    EXPECT_EQ(Results(Browse("/vol/c_ORVclone/dir")), std::vector<Result>{});
    EXPECT_EQ(ListedPaths(), std::vector<std::string>{"/vol/vol10"});
}

TEST_F(NetworkDriverTest, CloneInsideAnOfferedExportIsStillListedThroughIt) {
    Serve({"/vol/a_ORVclone", "/vol"}, {{"/vol/a_ORVclone", {File("y", 2, 2)}}});
    EXPECT_EQ(Results(Browse("/vol/a_ORVclone")), (std::vector<Result>{Result{false, "y", 2, 2}}));
}

TEST_F(NetworkDriverTest, FailedLiveListingKeepsWhatCameThenOneWordedMessageAndTheEnd) {
    Serve({"/vol", "/vol/sub"}, {{"/vol", {File("first", 1, 1)}}}, true);
    CLumError error;
    ReplyWire::Reply reply = Browse("/vol", &error);
    EXPECT_EQ(Results(reply), (std::vector<Result>{Folder("sub"), Result{false, "first", 1, 1}}));
    ASSERT_EQ(reply.messages.size(), 1u);
    EXPECT_EQ(reply.messages[0],
              "The folder [/vol] of NAS file server [localhost] could not be listed: "
              "NFS3ERR_ACCES reading the directory");
    EXPECT_TRUE(reply.ended);
    EXPECT_EQ(reply.endStatus, 0);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1359u);
    EXPECT_EQ(error.AsString(ERROR_OUTPUT_USER), "NFS3ERR_ACCES reading the directory");
    EXPECT_EQ(
        log->Messages(LOG_ERROR),
        (std::vector<std::string>{
            "Live browse of [/vol] on [localhost] failed [NFS3ERR_ACCES reading the directory]",
            "Msg [" + reply.messages[0] + "] sent to GUI"}));
}

TEST_F(NetworkDriverTest, AnEmptyFolderIsStillASuccessWithoutMessage) {
    Serve({"/vol"}, {{"/vol", {}}});
    ReplyWire::Reply reply = Browse("/vol");
    EXPECT_TRUE(Results(reply).empty());
    EXPECT_TRUE(reply.messages.empty());
    EXPECT_TRUE(reply.ended);
}

TEST_F(NetworkDriverTest, ShareListFailureSendsOneWordedMessageThenEnds) {
    CLumError error;
    ReplyWire::Reply reply = Browse("/vol", &error);  // nothing serves 127.0.0.1
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1359u);
    EXPECT_TRUE(reply.items.empty());
    ASSERT_EQ(reply.messages.size(), 1u);
    EXPECT_NE(reply.messages[0].find("localhost"), std::string::npos) << reply.messages[0];
    EXPECT_NE(reply.messages[0].find("connection refused"), std::string::npos) << reply.messages[0];
    EXPECT_TRUE(reply.ended);
    EXPECT_EQ(reply.endStatus, 0);
    auto failures = log->Messages(LOG_ERROR);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].rfind("Couldn't populate NFS NAS share list, error=", 0), 0u);
    EXPECT_EQ(failures[1], "Msg [" + reply.messages[0] + "] sent to GUI");
}

TEST_F(NetworkDriverTest, CifsIsRefusedAndTheStreamUntouched) {
    CLumSocket socket(wire.ours);
    EvRestoreReturn reply(1, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
    CLumError error = NASCIFSSharebrowse(1, 2, 9, "f", "/p", "/p", "u", "pw", &reply);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 50u);
    EXPECT_NE(error.AsString(ERROR_OUTPUT_USER)
                  .find("CIFS Share browse not supported in non-windows platform."),
              std::string::npos);
    EXPECT_TRUE(wire.Silent());
}

}  // namespace
