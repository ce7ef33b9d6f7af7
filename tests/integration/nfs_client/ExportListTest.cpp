// The export list against a private ganesha and against faulty servers.
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ClientCalls.h"
#include "NfsTestServer.h"
#include "common/TestSupport.h"
#include "delay_proxy/DelayProxy.h"

using namespace nfsclienttest;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::UnorderedElementsAreArray;

namespace {

using nsbtest::SecondsSince;

TEST(ExportList, ReportsPseudoPathsInServerOrderIncludingNestedExports) {
    nfstest::NfsTestServer server;
    // Deliberately not in sorted order: the order must be the server's.
    server.AddExport("/vol/vol2");
    server.AddExport("/vol/vol1");
    server.AddExport("/vol/vol1/nested");
    server.AddExport("/archive");
    server.Start();

    const ExportsResult result = ListExports(server.Address());
    ASSERT_EQ(result.rc, 0) << result.error;
    // ganesha answers in configuration order (showmount -e agrees). Server
    // order and the nested export: only MOUNT gives both, so a server with
    // MOUNT (and NFSv4) stays on NFSv3, for listings too.
    EXPECT_THAT(result.paths,
                ElementsAre("/vol/vol2", "/vol/vol1", "/vol/vol1/nested", "/archive"));
    const ListResult missing = List(server.Address(), "/nowhere");
    EXPECT_THAT(missing.error, HasSubstr("no export holds the path"));
}

// Through a link of 10 ms round trips, against a server whose portmapper and
// MOUNT take datagrams (as a NAS's do): the export list costs two round trips
// (the portmapper's datagram, MOUNT's), a browse at an export's top four
// (those, the MNT on the connection the export list opened meanwhile, the
// page) and one a folder deeper five (the LOOKUP). Over TCP alone they cost
// three, six and seven. A listing's FSINFO, sent beside its first page and
// not waited for, may make a round of its own on a loaded machine: one more
// is allowed there. A call told the server's ports asks MNT by datagram too,
// while NFS connects: its answer is checked, not its round trips (three,
// against four over TCP, a margin that advisory round takes).
TEST(ExportList, DatagramsSaveTheHandshakesThroughASlowLink) {
    if (nsbtest::TimeFactor() > 1) GTEST_SKIP() << "round trips raced: the plain build's";
    nfstest::NfsTestServer server;
    const std::string share = server.AddExport("/a");
    nfstest::MakeFile(share + "/one", 1, 1600000000);
    nfstest::MakeDir(share + "/sub");
    nfstest::MakeFile(share + "/sub/two", 2, 1600000000);
    server.Start();
    const std::string link = "127.0.0.21";
    testproxy::DelayProxy proxy(link, server.Address(), 5.0);
    struct Step {
        const char* path;                // null: the export list
        std::vector<std::string> names;  // what it holds
        int roundTrips;                  // at most (0: not counted)
        unsigned cacheMs;                // how long what a call learns of the server is kept
    };
    const Step steps[] = {{nullptr, {"/a"}, 2, 0},
                          {"/a", {"one", "sub"}, 4, 0},
                          {"/a/sub", {"two"}, 5, 0},
                          {"/a/sub", {"two"}, 0, 5000}};  // the second of two calls: ports known
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.path ? step.path : "export list") + ", cache " +
                     std::to_string(step.cacheMs) + " ms");
        NFSClientSetServerCacheMs(step.cacheMs);
        if (step.cacheMs != 0) {
            ASSERT_EQ(List(link, step.path).rc, 0);  // learns the ports and the export list
        }
        proxy.Reset();
        if (step.path != nullptr) {
            const ListResult listed = List(link, step.path);
            ASSERT_EQ(listed.rc, 0) << listed.error;
            EXPECT_THAT(Names(listed), UnorderedElementsAreArray(step.names));
        } else {
            const ExportsResult listed = ListExports(link);
            ASSERT_EQ(listed.rc, 0) << listed.error;
            EXPECT_THAT(listed.paths, ElementsAreArray(step.names));
        }
        const nlohmann::json counts = proxy.Report();
        SCOPED_TRACE(counts.dump());
        if (step.roundTrips != 0) {
            EXPECT_LE(counts["round_trips"].get<int>(),
                      step.roundTrips + (step.path != nullptr ? 1 : 0));
        }
        // (by datagram and over TCP both, when the datagram went first)
        EXPECT_EQ(counts["calls"].value("MOUNT3.MNT", 0) > 0, step.path != nullptr);
    }
    NFSClientSetServerCacheMs(5000);
}

TEST(ExportList, StopsEarlyWhenTheCallbackReturnsFalse) {
    nfstest::NfsTestServer server;
    server.AddExport("/a");
    server.AddExport("/b");
    server.Start();
    int calls = 0;
    char error[NFS_ERROR_TEXT_SIZE];
    const int rc = GetExports(
        server.Address().c_str(), &calls,
        [](void* context, const char*) {
            ++*static_cast<int*>(context);
            return false;
        },
        error);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(calls, 1);
}

TEST(ExportList, FailsWithTheCauseWhenTheCallbackThrows) {
    nfstest::NfsTestServer server;
    server.AddExport("/a");
    server.Start();
    char error[NFS_ERROR_TEXT_SIZE];
    const int rc = GetExports(
        server.Address().c_str(), nullptr,
        [](void*, const char*) -> bool { throw std::runtime_error("boom"); }, error);
    ASSERT_NE(rc, 0);
    EXPECT_THAT(std::string(error), HasSubstr("threw an exception"));
}

TEST(ExportList, RefusedServerNamesAddressPortmapperAndRefusal) {
    const auto start = std::chrono::steady_clock::now();
    ExpectFailed(ListExports(nfstest::NfsTestServer::RefusedAddress()),
                 {"127.0.0.2", "portmapper", "connection refused"});
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST(ExportList, SilentServerTimesOutWithinTheSetting) {
    nfstest::NfsTestServer server;
    const std::string silent = server.SilentAddress();
    TimeoutGuard timeout(1500);
    const auto start = std::chrono::steady_clock::now();
    ExpectFailed(ListExports(silent), {silent, "portmapper", "timed out after 1.5 s"});
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 1.4);
    EXPECT_LT(elapsed, 2.5);
}

TEST(ExportList, PortmapperWithoutMountServiceSaysNotRegistered) {
    nfstest::NfsTestServer server;
    const std::string address = server.NoMountAddress();
    ExpectFailed(ListExports(address), {address, "mount service", "not registered"});
}

TEST(ExportList, RefusesEmptyAndNonNumericAddressesAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    ExpectFailed(ListExports(""), {"address is empty"});
    ExpectFailed(ListExports("nas.example.invalid"), {"nas.example.invalid", "not a numeric"});

    // A very long address text still gives a bounded, terminated text.
    const ExportsResult huge = ListExports(std::string(5000, 'a'));
    EXPECT_NE(huge.rc, 0);
    EXPECT_LT(huge.error.size(), static_cast<size_t>(NFS_ERROR_TEXT_SIZE));
    EXPECT_LT(SecondsSince(start), 0.5);
}

TEST(ExportList, TimeoutSettingDefaultsToTenSecondsAndZeroRestoresIt) {
    TimeoutGuard guard(NFSClientGetTimeoutMs());
    NFSClientSetTimeoutMs(2500);
    EXPECT_EQ(NFSClientGetTimeoutMs(), 2500u);
    NFSClientSetTimeoutMs(0);
    EXPECT_EQ(NFSClientGetTimeoutMs(), 10000u);
}

}  // namespace
