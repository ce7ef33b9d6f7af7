// Export discovery through the library from servers that speak only NFSv4.1
// and 4.2 (nfs-ganesha with Minor_Versions = 1, 2, or 2 alone), and calls
// running at the same time, each on a session of its own.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NfsTestServer.h"
#include "integration/nfs_v4/ExportChecks.h"
#include "fakes/CapturingLogWriter.h"
#include "integration/nfs_client/ClientCalls.h"

using namespace nfsclienttest;
using testing::ElementsAre;

namespace {

using Options = nfstest::NfsTestServer::Options;

Options V41Only(std::vector<int> minors = {1, 2}) {
    Options options;
    options.v4Only = true;
    options.minorVersions = std::move(minors);
    return options;
}

// As over NFSv4.0, over a session (made and torn down for each list).
using exportchecks::Exports;
INSTANTIATE_TEST_SUITE_P(V41, Exports, testing::Values(exportchecks::Kind{V41Only(), "4.1"}));

// A server that takes minor version 2 only.
TEST(V41Exports, ServerOfMinorVersionTwoOnly) {
    nfstest::NfsTestServer server(V41Only({2}));
    const std::string vol1 = server.AddExport("/vol/vol1");
    nfstest::MakeFile(vol1 + "/a.txt", 3);
    server.Start();
    const ExportsResult exports = ListExports(server.Address());
    ASSERT_EQ(exports.rc, 0) << exports.error;
    EXPECT_THAT(exports.paths, ElementsAre("/vol/vol1"));
    const ListResult listing = List(server.Address(), "/vol/vol1");
    ASSERT_EQ(listing.rc, 0) << listing.error;
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].name, "a.txt");
}

// Calls that fail (a missing folder, a receiver that stops) still end their
// session; ganesha takes the teardown on a new connection (the failed one is
// not used again), so nothing about it is noticed.
TEST(V41Teardown, FailedCallsStillEndTheirSessionWithoutANotice) {
    nfstest::NfsTestServer server(V41Only());
    const std::string vol1 = server.AddExport("/vol/vol1");
    for (int i = 0; i < 20; ++i) nfstest::MakeFile(vol1 + "/f" + std::to_string(i), i);
    server.Start();
    ScopedCapturingLog log(2);
    EXPECT_NE(List(server.Address(), "/vol/vol1/missing").rc, 0);
    EXPECT_NE(List(server.Address(), "/vol/vol1", 3, Then::ReturnFalse).rc, 0);
    EXPECT_EQ(List(server.Address(), "/vol/vol1").rc, 0);
    EXPECT_EQ(ListExports(server.Address()).rc, 0);
    for (const std::string& line : log->Messages(2))
        EXPECT_EQ(line.find("teardown"), std::string::npos) << line;
}

// Calls at the same time from several threads: each has a client owner and
// a session of its own, so none is refused for another's state
// (NFS4ERR_CLIENTID_BUSY) and every one ends with its state destroyed.
TEST(V41Concurrency, CallsAtTheSameTimeEachHaveTheirOwnSession) {
    nfstest::NfsTestServer server(V41Only());
    const std::string vol1 = server.AddExport("/vol/vol1");
    server.AddExport("/vol/vol2");
    for (int i = 0; i < 50; ++i) nfstest::MakeFile(vol1 + "/f" + std::to_string(i), i);
    server.Start();
    std::atomic<int> good{0};
    std::vector<std::string> errors(6);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const ExportsResult exports = ListExports(server.Address());
                const ListResult listing = List(server.Address(), "/vol/vol1");
                if (exports.rc == 0 && exports.paths.size() == 2 && listing.rc == 0 &&
                    listing.entries.size() == 50)
                    ++good;
                else
                    errors[t] = exports.error + " | " + listing.error;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(good.load(), 60);
    for (const std::string& e : errors) EXPECT_EQ(e, "");
}

}  // namespace
