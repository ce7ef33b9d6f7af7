// The share discovery object: constructors, address resolution and the
// export list, against the scripted NFS client library.
#include <gtest/gtest.h>

#include "fakes/CapturingLogWriter.h"
#include "fakes/FakeNFSClient.h"
#include "share_discovery/CNASShareBrowse.h"

namespace {

const char kGetNASShares[] =
    "virtual CLumError CNASShareBrowse::GetNASShares(long unsigned int, bool, const string&, "
    "const string&, const string&, const string&, std::__cxx11::list<ShareInfo>&)";

class ShareDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_nfs::Reset();
        ORVClient::ClearRegistry();
        ORVPI_VessaServer::SetVessaCellId(0);
        CLumIPAddr::SetLookupTimeoutMs(1000);
    }
    void TearDown() override { ORVClient::ClearRegistry(); }

    static void Serve(const std::string& address, std::vector<std::string> exports,
                      bool fail = false) {
        fake_nfs::Server server;
        server.exports = std::move(exports);
        server.exportsFail = fail;
        server.exportsError = "mount service on [" + address + "] refused the export list";
        fake_nfs::SetServer(address, server);
    }
    static std::vector<std::string> Names(const std::list<ShareInfo>& shares) {
        std::vector<std::string> names;
        for (const ShareInfo& s : shares) names.push_back(s.m_shareName);
        return names;
    }

    ScopedCapturingLog log{4};
};

TEST_F(ShareDiscoveryTest, ConstructorsSetTheVessaCell) {
    EXPECT_EQ(CNASShareBrowse().m_vessaCellId, 2u);
    ORVPI_VessaServer::SetVessaCellId(5);
    EXPECT_EQ(CNASShareBrowse().m_vessaCellId, 5u);
    EXPECT_EQ(CNASShareBrowse(0).m_vessaCellId, 0u);

    CNASShareBrowseInterface* made = GetNASShareBrowseFN();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(dynamic_cast<CNASShareBrowse*>(made)->m_vessaCellId, 5u);
    delete made;

    EXPECT_FALSE(
        CNASShareBrowse(2).Initialize(boost::shared_ptr<CCommandLineArguments>()).IsError());
}

TEST_F(ShareDiscoveryTest, ListsExportsInServerOrder) {
    Serve("127.0.0.1", {"/vol/vol1", "/", "/home", "/vol/vol1"});
    std::list<ShareInfo> shares{ShareInfo{"/stale", "", true, 0}};
    CNASShareBrowse discovery(7);
    CLumError error = discovery.GetNASShares(9, true, "127.0.0.1", "/vol", "joe", "", shares);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(Names(shares), (std::vector<std::string>{"/vol/vol1", "/home", "/vol/vol1"}));

    auto calls = fake_nfs::Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].address, "127.0.0.1");
    EXPECT_TRUE(calls[0].errorTextWasEmpty);
    auto summary = log->Lines().front();
    EXPECT_EQ(summary.level, 1);
    EXPECT_EQ(summary.function, kGetNASShares);
    EXPECT_EQ(summary.message,
              "Interface [127.0.0.1] Browse path [/vol] VessaCell [7] Client [9] User [joe]");
    EXPECT_TRUE(log->Has("Using IP[127.0.0.1] for host[127.0.0.1] to get the NFS export list"));
}

TEST_F(ShareDiscoveryTest, RefusesLowClientIdWithoutInterfaceBeforeAnyLookup) {
    for (unsigned long clientId : {0ul, 1ul}) {
        std::list<ShareInfo> shares{ShareInfo{"/keep", "", false, 0}};
        CLumError error = CNASShareBrowse(2).GetNASShares(clientId, true, "", "", "", "", shares);
        EXPECT_TRUE(error.IsError());
        EXPECT_EQ(FXErrorUtil::GetWin32(error), 160u);
        EXPECT_EQ(Names(shares), std::vector<std::string>{"/keep"});
    }
    EXPECT_TRUE(fake_nfs::Calls().empty());
    EXPECT_TRUE(log->Messages(LOG_ERROR).empty());
}

TEST_F(ShareDiscoveryTest, EmptyInterfaceUsesTheClientsHostName) {
    Serve("127.0.0.1", {"/export"});
    ORVClient::RegisterClient(4, "127.0.0.1");
    std::list<ShareInfo> shares;
    EXPECT_FALSE(CNASShareBrowse(2).GetNASShares(4, true, "", "", "", "", shares).IsError());
    EXPECT_EQ(Names(shares), std::vector<std::string>{"/export"});

    // An unknown client: error 1359 with its text, shares untouched.
    shares.assign(1, ShareInfo{"/keep", "", false, 0});
    CLumError error = CNASShareBrowse(2).GetNASShares(8, true, "", "", "", "", shares);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1359u);
    EXPECT_NE(
        error.AsString(ERROR_OUTPUT_USER).find("Could not lookup host name for client Id [8]"),
        std::string::npos);
    EXPECT_EQ(log->Messages(LOG_ERROR),
              std::vector<std::string>{"Could not lookup host name for client Id [8]"});
    EXPECT_EQ(Names(shares), std::vector<std::string>{"/keep"});
}

TEST_F(ShareDiscoveryTest, OnlyChecksArgumentsWithoutShareList) {
    Serve("127.0.0.1", {"/export"});
    std::list<ShareInfo> shares{ShareInfo{"/keep", "", false, 0}};
    EXPECT_FALSE(
        CNASShareBrowse(2).GetNASShares(0, false, "127.0.0.1", "", "", "", shares).IsError());
    EXPECT_EQ(Names(shares), std::vector<std::string>{"/keep"});
    EXPECT_TRUE(fake_nfs::Calls().empty());
}

TEST_F(ShareDiscoveryTest, KeepsExportsReportedBeforeAFailure) {
    Serve("127.0.0.1", {"/a", "/b", "/c"}, true);
    std::list<ShareInfo> shares;
    CLumError error = CNASShareBrowse(2).GetNASShares(2, true, "127.0.0.1", "", "", "", shares);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1359u);
    EXPECT_EQ(Names(shares), (std::vector<std::string>{"/a", "/b", "/c"}));
    const std::string expected =
        "LibNFS export list failed [mount service on [127.0.0.1] refused the export list]";
    EXPECT_EQ(log->Messages(0), std::vector<std::string>{expected});
    EXPECT_NE(error.AsString(ERROR_OUTPUT_USER).find(expected), std::string::npos);
}

TEST_F(ShareDiscoveryTest, UnresolvableServerStillAsksTheLibraryWithAnEmptyAddress) {
    std::list<ShareInfo> shares;
    CLumError error =
        CNASShareBrowse(2).GetNASShares(2, true, "no-such-filer.invalid", "", "", "", shares);
    EXPECT_TRUE(error.IsError());
    auto calls = fake_nfs::Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].address, "");
    auto failures = log->Messages(LOG_ERROR);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(
        failures[0].rfind("Could not get IP address for host:[no-such-filer.invalid], error=", 0),
        0u);
}

TEST_F(ShareDiscoveryTest, FileServerAddressResolution) {
    CNASShareBrowse discovery(2);
    std::string host = "stale", ip = "stale";
    EXPECT_FALSE(discovery.GetFileServerIP("", host, ip));
    EXPECT_EQ(host, "");
    EXPECT_EQ(ip, "");
    EXPECT_EQ(log->Messages(LOG_ERROR), std::vector<std::string>{"Invalid file server name"});

    ip = "stale";
    EXPECT_FALSE(discovery.GetFileServerIP("no-such-filer.invalid", host, ip));
    EXPECT_EQ(host, "no-such-filer.invalid");
    EXPECT_EQ(ip, "");

    EXPECT_TRUE(discovery.GetFileServerIP("localhost", host, ip));
    EXPECT_EQ(host, "localhost");
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_TRUE(discovery.GetFileServerIP("::1", host, ip));
    EXPECT_EQ(ip, "::1");
}

}  // namespace
