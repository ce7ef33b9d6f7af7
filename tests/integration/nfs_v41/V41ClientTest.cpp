// Export discovery through the library from servers that speak only NFSv4.1
// and 4.2 (nfs-ganesha with Minor_Versions = 1, 2, or 2 alone), and calls
// running at the same time, each on a session of its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NfsTestServer.h"
#include "fakes/CapturingLogWriter.h"
#include "integration/nfs_client/ClientCalls.h"

using namespace nfsclienttest;
using testing::ElementsAre;

namespace {

using Options = nfstest::NfsTestServer::Options;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

Options V41Only(std::vector<int> minors = {1, 2}) {
    Options options;
    options.v4Only = true;
    options.minorVersions = std::move(minors);
    return options;
}

// As V4Exports.FoundExactlyInByteOrderWithoutPseudoDirectories, over a session.
TEST(V41Exports, FoundExactlyInByteOrderWithoutPseudoDirectories) {
    nfstest::NfsTestServer server(V41Only());
    server.AddExport("/vol/vol2");
    server.AddExport("/vol/vol1");
    server.AddExport("/home");
    server.AddExport("/archive/2024/q1");
    server.AddExport("/archive/2024/q2");
    server.AddExport("/a/b/c/d/e/f/g/h/deep");
    server.AddExport("/secure/krb", {"krb5", false});
    server.AddExport("/private/hidden", {"", true});
    server.Start();

    const auto start = std::chrono::steady_clock::now();
    const ExportsResult result = ListExports(server.Address());
    const double ms = MsSince(start);
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths,
                ElementsAre("/a/b/c/d/e/f/g/h/deep", "/archive/2024/q1", "/archive/2024/q2",
                            "/home", "/secure/krb", "/vol/vol1", "/vol/vol2"));
    EXPECT_LT(ms, 250.0);  // well below any grace period or timeout
    std::cout << "4.1 export discovery, 7 exports, session made and torn down: " << ms << " ms"
              << std::endl;
}

TEST(V41Exports, ThreeHundredExportsWithEightCompoundsInFlight) {
    nfstest::NfsTestServer server(V41Only());
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        const std::string path = "/vol/g" + std::to_string(i % 10) + "/share" + std::to_string(i);
        server.AddExport(path);
        expected.push_back(path);
    }
    std::sort(expected.begin(), expected.end());
    server.Start();
    ListExports(server.Address());  // warm the server's caches
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const ExportsResult result = ListExports(server.Address());
        best = std::min(best, MsSince(start));
        ASSERT_EQ(result.rc, 0) << result.error;
        ASSERT_EQ(result.paths, expected);
    }
    std::cout << "4.1 export discovery, 300 exports: best of 5 " << best << " ms" << std::endl;
    EXPECT_LT(best, 50.0);
}

TEST(V41Exports, RootThatIsItselfAnExportIsReportedAsSlash) {
    nfstest::NfsTestServer server(V41Only());
    const std::string root = server.AddExport("/");
    nfstest::MakeFile(root + "/readme.txt", 3);
    server.Start();
    const ExportsResult result = ListExports(server.Address());
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths, ElementsAre("/"));
}

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
