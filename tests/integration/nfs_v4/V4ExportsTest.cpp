// Export lists of NFSv4-only servers, and how the library tells servers apart.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NfsTestServer.h"
#include "integration/nfs_client/ClientCalls.h"

using namespace nfsclienttest;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

using Options = nfstest::NfsTestServer::Options;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

Options V4Only(Options::Portmapper portmapper = Options::Portmapper::None) {
    Options options;
    options.v4Only = true;
    options.portmapper = portmapper;
    return options;
}

// Exports at several depths sharing pseudo directories, one that needs
// Kerberos and one only a foreign client may use.
TEST(V4Exports, FoundExactlyInByteOrderWithoutPseudoDirectories) {
    nfstest::NfsTestServer server(V4Only());
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
    EXPECT_LT(ms, 250.0)
        << "a refused portmapper must not delay the NFSv4 road (its grace is 300 ms)";
    std::cout << "v4 export discovery, 7 exports: " << ms << " ms" << std::endl;
}

TEST(V4Exports, ThreeHundredExportsOnTheirOwnFileSystems) {
    nfstest::NfsTestServer server(V4Only());
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
    std::cout << "v4 export discovery, 300 exports: best of 5 " << best << " ms" << std::endl;
    EXPECT_LT(best, 50.0);
}

TEST(V4Exports, RootThatIsItselfAnExportIsReportedAsSlash) {
    nfstest::NfsTestServer server(V4Only());
    const std::string root = server.AddExport("/");
    nfstest::MakeFile(root + "/readme.txt", 3);
    nfstest::MakeDir(root + "/data");
    server.Start();
    const ExportsResult result = ListExports(server.Address());
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths, ElementsAre("/"));
}

TEST(V4Probe, PortmapperWithoutMountChoosesNfsV4AtOnce) {
    nfstest::NfsTestServer server(V4Only(Options::Portmapper::Rpcbind));
    server.AddExport("/vol/vol1");
    server.Start();
    const auto start = std::chrono::steady_clock::now();
    const ExportsResult result = ListExports(server.Address());
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths, ElementsAre("/vol/vol1"));
    EXPECT_LT(MsSince(start), 250.0);
}

// A portmapper that accepts and never answers, with NFSv4 up at the same
// address: decided for NFSv4 after the grace period, well within the timeout.
TEST(V4Probe, SilentPortmapperIsPassedOverWhenNfsV4Answers) {
    nfstest::NfsTestServer server(V4Only(Options::Portmapper::Silent));
    server.AddExport("/vol/vol1");
    server.Start();
    TimeoutGuard timeout(5000);
    const auto start = std::chrono::steady_clock::now();
    const ExportsResult result = ListExports(server.Address());
    const double ms = MsSince(start);
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths, ElementsAre("/vol/vol1"));
    EXPECT_LT(ms, 1000.0);
    std::cout << "silent portmapper, NFSv4 up: decided in " << ms << " ms" << std::endl;
}

// A server that refuses NFSv4.0 (NFS4ERR_MINOR_VERS_MISMATCH) is decided at
// once and browsed over an NFSv4.1 session instead.
TEST(V4Probe, ServerAcceptingOnlyNfsV41IsBrowsedOverASession) {
    Options options = V4Only();
    options.minorVersions = {1, 2};
    nfstest::NfsTestServer server(options);
    const std::string vol1 = server.AddExport("/vol/vol1");
    nfstest::MakeFile(vol1 + "/a.txt", 3);
    server.Start();
    const auto start = std::chrono::steady_clock::now();
    const ExportsResult exports = ListExports(server.Address());
    const ListResult listing = List(server.Address(), "/vol/vol1");
    EXPECT_LT(MsSince(start), 200.0);
    ASSERT_EQ(exports.rc, 0) << exports.error;
    EXPECT_THAT(exports.paths, ElementsAre("/vol/vol1"));
    ASSERT_EQ(listing.rc, 0) << listing.error;
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].name, "a.txt");
}

}  // namespace
