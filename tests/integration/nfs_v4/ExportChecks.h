// Export-list checks that hold on every road without MOUNT: the NFSv4.0
// tests and the NFSv4.1 tests instantiate them for their own server kind
// (the name says which in the case names and the printed times):
//
//     INSTANTIATE_TEST_SUITE_P(V4, Exports, testing::Values(exportchecks::Kind{V4Only(), "v4"}));
#pragma once

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NfsTestServer.h"
#include "common/TestSupport.h"
#include "integration/nfs_client/ClientCalls.h"

namespace exportchecks {

using namespace nfsclienttest;
using Options = nfstest::NfsTestServer::Options;

struct Kind {
    Options options;
    const char* label;
};
inline void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.label; }
class Exports : public testing::TestWithParam<Kind> {};

// Exports at several depths sharing pseudo directories, one that needs
// Kerberos and one only a foreign client may use: found exactly, in byte
// order, without pseudo directories, well below any grace period or timeout.
TEST_P(Exports, FoundExactlyInByteOrderWithoutPseudoDirectories) {
    nfstest::NfsTestServer server(GetParam().options);
    for (const char* path : {"/vol/vol2", "/vol/vol1", "/home", "/archive/2024/q1",
                             "/archive/2024/q2", "/a/b/c/d/e/f/g/h/deep"})
        server.AddExport(path);
    server.AddExport("/secure/krb", {"krb5", false});
    server.AddExport("/private/hidden", {"", true});
    server.Start();

    const auto start = std::chrono::steady_clock::now();
    const ExportsResult result = ListExports(server.Address());
    const double ms = nsbtest::MsSince(start);
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths, testing::ElementsAre("/a/b/c/d/e/f/g/h/deep", "/archive/2024/q1",
                                                   "/archive/2024/q2", "/home", "/secure/krb",
                                                   "/vol/vol1", "/vol/vol2"));
    EXPECT_LT(ms, 250.0 * nsbtest::TimeFactor())
        << "a refused portmapper must not delay the NFSv4 road (its grace is 300 ms)";
    std::cout << GetParam().label << " export discovery, 7 exports: " << ms << " ms" << std::endl;
}

// 300 exports, each on a file system of its own: the best of 5 lists within
// 50 ms (over NFSv4.1 with eight COMPOUNDs in flight).
TEST_P(Exports, ThreeHundredExportsOnTheirOwnFileSystems) {
    nfstest::NfsTestServer server(GetParam().options);
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
        best = std::min(best, nsbtest::MsSince(start));
        ASSERT_EQ(result.rc, 0) << result.error;
        ASSERT_EQ(result.paths, expected);
    }
    std::cout << GetParam().label << " export discovery, 300 exports: best of 5 " << best << " ms"
              << std::endl;
    EXPECT_LT(best, 50.0 * nsbtest::TimeFactor());
}

TEST_P(Exports, RootThatIsItselfAnExportIsReportedAsSlash) {
    nfstest::NfsTestServer server(GetParam().options);
    const std::string root = server.AddExport("/");
    nfstest::MakeFile(root + "/readme.txt", 3);
    nfstest::MakeDir(root + "/data");
    server.Start();
    const ExportsResult result = ListExports(server.Address());
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(result.paths, testing::ElementsAre("/"));
}

}  // namespace exportchecks
