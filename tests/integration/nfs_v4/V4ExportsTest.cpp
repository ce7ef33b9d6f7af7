// Export lists of NFSv4-only servers, and how the library tells servers apart.
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ExportChecks.h"
#include "NfsTestServer.h"
#include "integration/nfs_client/ClientCalls.h"

using namespace nfsclienttest;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

using Options = nfstest::NfsTestServer::Options;

using nsbtest::MsSince;

Options V4Only(Options::Portmapper portmapper = Options::Portmapper::None) {
    Options options;
    options.v4Only = true;
    options.portmapper = portmapper;
    return options;
}

using exportchecks::Exports;
INSTANTIATE_TEST_SUITE_P(V4, Exports, testing::Values(exportchecks::Kind{V4Only(), "v4"}));

TEST(V4Probe, PortmapperWithoutMountChoosesNfsV4AtOnce) {
    nfstest::NfsTestServer server(V4Only(Options::Portmapper::Rpcbind));
    server.AddExport("/vol/vol1");
    server.Start();
    const auto start = std::chrono::steady_clock::now();
    const ExportsResult result = ListExports(server.Address());
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths, ElementsAre("/vol/vol1"));
    EXPECT_LT(MsSince(start), 250.0 * nsbtest::TimeFactor());
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
    EXPECT_LT(MsSince(start), 200.0 * nsbtest::TimeFactor());
    ASSERT_EQ(exports.rc, 0) << exports.error;
    EXPECT_THAT(exports.paths, ElementsAre("/vol/vol1"));
    ASSERT_EQ(listing.rc, 0) << listing.error;
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].name, "a.txt");
}

}  // namespace
