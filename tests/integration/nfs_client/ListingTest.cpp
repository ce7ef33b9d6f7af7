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
    const ListResult up = List(Address(), "/vol/vol1/a/../../other");
    EXPECT_NE(up.rc, 0);
    EXPECT_THAT(up.error, HasSubstr("\"..\""));
    EXPECT_TRUE(up.entries.empty());
    const ListResult relative = List(Address(), "vol/vol1");
    EXPECT_NE(relative.rc, 0);
    EXPECT_THAT(relative.error, HasSubstr("not absolute"));
    const ListResult empty = List(Address(), "");
    EXPECT_NE(empty.rc, 0);
    EXPECT_THAT(empty.error, HasSubstr("empty"));
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
    const ListResult missing = List(Address(), "/vol/vol1/a/missing");
    EXPECT_NE(missing.rc, 0);
    EXPECT_THAT(missing.error, HasSubstr("127.0.0.1"));
    EXPECT_THAT(missing.error, HasSubstr("/vol/vol1/a/missing"));
    EXPECT_THAT(missing.error, HasSubstr("no such directory"));

    const ListResult file = List(Address(), "/vol/vol1/file.txt");
    EXPECT_NE(file.rc, 0);
    EXPECT_THAT(file.error, HasSubstr("not a directory"));

    const ListResult noExport = List(Address(), "/nowhere/dir");
    EXPECT_NE(noExport.rc, 0);
    EXPECT_THAT(noExport.error, HasSubstr("no export holds the path /nowhere/dir"));
    EXPECT_THAT(noExport.error, HasSubstr("/vol/vol1"));

    // A prefix that is not a whole component does not select the export.
    const ListResult partial = List(Address(), "/vol/vol1x");
    EXPECT_NE(partial.rc, 0);
    EXPECT_THAT(partial.error, HasSubstr("no export holds"));
}

TEST_P(Listing, SymbolicLinksInThePathAreNotFollowedOutOfTheExport) {
    const ListResult result = List(Address(), "/vol/vol1/escape");
    EXPECT_NE(result.rc, 0);
    EXPECT_THAT(result.error, HasSubstr("symbolic link"));
    EXPECT_TRUE(result.entries.empty());
}

TEST(ListingFaults, RefusedSilentAndUnregisteredServers) {
    nfstest::NfsTestServer faults;
    const ListResult refused = List(nfstest::NfsTestServer::RefusedAddress(), "/vol/vol1");
    EXPECT_NE(refused.rc, 0);
    EXPECT_THAT(refused.error, HasSubstr("127.0.0.2"));
    EXPECT_THAT(refused.error, HasSubstr("connection refused"));

    const ListResult noMount = List(faults.NoMountAddress(), "/vol/vol1");
    EXPECT_NE(noMount.rc, 0);
    EXPECT_THAT(noMount.error, HasSubstr("not registered"));

    TimeoutGuard timeout(1000);
    const auto start = std::chrono::steady_clock::now();
    const ListResult silent = List(faults.SilentAddress(), "/vol/vol1");
    const double elapsed = SecondsSince(start);
    EXPECT_NE(silent.rc, 0);
    EXPECT_THAT(silent.error, HasSubstr("127.0.0.3"));
    EXPECT_THAT(silent.error, HasSubstr("timed out after 1 s"));
    EXPECT_LT(elapsed, 2.0);
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
