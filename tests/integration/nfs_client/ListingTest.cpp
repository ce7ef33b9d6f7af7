// Directory listings against a private ganesha over NFSv3 (MOUNT): the
// checks both roads share (ListingChecks.h), then those of this road alone
// (path handling, export choice, failure texts, symbolic links) and faulty
// servers.
#include <chrono>
#include <iostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ListingChecks.h"
#include "NfsTestServer.h"
#include "delay_proxy/DelayProxy.h"

using namespace listingtest;

namespace {

// Every TEST_P(Listing, ...) of this file runs against the NFSv3 server only.
INSTANTIATE_TEST_SUITE_P(, Listing, testing::Values(ServerKind::V3), KindName);

TEST_P(Listing, RepeatedSlashesAndDotComponentsAreCollapsed) {
    for (const char* path : {"//vol//vol1/./a/b/", "/vol/vol1/a/./b", "/./vol/vol1//a/b/."}) {
        SCOPED_TRACE(path);
        const ListResult result = List(Address(), path);
        ASSERT_EQ(result.rc, 0) << result.error;
        EXPECT_THAT(Names(result), UnorderedElementsAre("c"));
    }
    const ListResult root = List(Address(), "/vol/vol1/");
    ASSERT_EQ(root.rc, 0) << root.error;
    EXPECT_THAT(Names(root), testing::IsSupersetOf({"kinds", "big", "a", "nested", "file.txt"}));
}

TEST_P(Listing, DotDotAndRelativeOrEmptyPathsAreRefusedBeforeAnyNetworkStep) {
    EXPECT_TRUE(
        ExpectFailed(List(Address(), "/vol/vol1/a/../../other"), {"\"..\""}).entries.empty());
    ExpectFailed(List(Address(), "vol/vol1"), {"not absolute"});
    ExpectFailed(List(Address(), ""), {"empty"});
}

TEST_P(Listing, LongestExportWinsForNestedExports) {
    const ListResult result = List(Address(), "/vol/vol1/nested");
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(Names(result), UnorderedElementsAre("inner.txt"));
    const ListResult other = List(Address(), "/other");
    ASSERT_EQ(other.rc, 0) << other.error;
    EXPECT_TRUE(other.entries.empty());
}

TEST_P(Listing, FailuresNameTheServerThePathAndTheCause) {
    ExpectFailed(List(Address(), "/vol/vol1/a/missing"),
                 {"127.0.0.1", "/vol/vol1/a/missing", "no such directory"});
    ExpectFailed(List(Address(), "/vol/vol1/file.txt"), {"not a directory"});
    ExpectFailed(List(Address(), "/nowhere/dir"),
                 {"no export holds the path /nowhere/dir", "/vol/vol1"});
    // A prefix that is not a whole component does not select the export.
    ExpectFailed(List(Address(), "/vol/vol1x"), {"no export holds"});
}

TEST_P(Listing, SymbolicLinksInThePathAreNotFollowedOutOfTheExport) {
    EXPECT_TRUE(
        ExpectFailed(List(Address(), "/vol/vol1/escape"), {"symbolic link"}).entries.empty());
}

TEST(ListingFaults, RefusedSilentAndUnregisteredServers) {
    nfstest::NfsTestServer faults;
    ExpectFailed(List(nfstest::NfsTestServer::RefusedAddress(), "/vol/vol1"),
                 {"127.0.0.2", "connection refused"});
    ExpectFailed(List(faults.NoMountAddress(), "/vol/vol1"), {"not registered"});

    TimeoutGuard timeout(1000);
    const auto start = std::chrono::steady_clock::now();
    ExpectFailed(List(faults.SilentAddress(), "/vol/vol1"), {"127.0.0.3", "timed out after 1 s"});
    const double elapsed = SecondsSince(start);
    EXPECT_LT(elapsed, 2.0);
}

// Through a link of 10 ms round trips directory pages grow: NFSv3's after
// the first from 1 MiB to 4 MiB, NFSv4's from 256 KiB to 1 MiB. 20,000
// entries (about 3 MB over NFSv3, 1.5 MB over NFSv4) come in two pages, not
// four (one more when FSINFO's answer, which sets NFSv3's size, is read
// after the first page's, as on a loaded machine) or six. What the first
// answers took (MOUNT's, FSINFO's, the NFSv4 probe's) says how far the
// server is: the kernel sees the proxy's loopback round trip only.
TEST(ListingThroughASlowLink, PagesGrowForAFarServer) {
    nfstest::NfsTestServer::Options v4Only;
    v4Only.v4Only = true;
    const struct {
        const char* protocol;
        nfstest::NfsTestServer::Options options;
        int mostPages;
    } rows[] = {{"NFSv3", {}, 3}, {"NFSv4.0 only", v4Only, 3}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.protocol);
        nfstest::NfsTestServer server(row.options);
        const std::string share = server.AddExport("/a");
        nfstest::MakeManyFiles(share, 20000);
        server.Start();
        const std::string link = "127.0.0.22";
        testproxy::DelayProxy proxy(link, server.Address(), 5.0);
        const ListResult listed = List(link, "/a");
        ASSERT_EQ(listed.rc, 0) << listed.error;
        EXPECT_EQ(listed.entries.size(), 20000u);
        const nlohmann::json counts = proxy.Report();
        int pages = counts["calls"].value("NFS3.READDIRPLUS", 0);
        for (const auto& compound : counts["compounds"].items())
            if (compound.key().find("READDIR") != std::string::npos)
                pages += compound.value().get<int>();
        EXPECT_GE(pages, 2) << counts.dump();
        EXPECT_LE(pages, row.mostPages) << counts.dump();
    }
}

// The server stops while the listing is between pages: the call must end
// promptly with an error, keeping the entries already delivered.
TEST(ListingFaults, ServerGoingAwayMidListingFailsPromptly) {
    nfstest::NfsTestServer server;
    const std::string root = server.AddExport("/data");
    nfstest::MakeManyFiles(root, 5000);
    server.Start();
    TimeoutGuard timeout(2000);

    struct Context {
        nfstest::NfsTestServer* server;
        size_t count = 0;
    } context{&server};
    char error[NFS_ERROR_TEXT_SIZE];
    const auto start = std::chrono::steady_clock::now();
    const int rc = DoNFSLiveBrowse(
        server.Address().c_str(), "/data", &context,
        [](void* c, void*, unsigned long long, bool, bool&) {
            auto* context = static_cast<Context*>(c);
            if (++context->count == 1) context->server->Stop();
            return true;
        },
        0, 0, 1, error);
    EXPECT_NE(rc, 0);
    EXPECT_GE(context.count, 1u);
    EXPECT_LT(context.count, 5000u);
    EXPECT_THAT(std::string(error), HasSubstr("127.0.0.1"));
    EXPECT_LT(SecondsSince(start), 3.0);
    std::cout << "server gone: " << error << std::endl;
}

}  // namespace
