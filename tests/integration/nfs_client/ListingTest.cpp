// Directory listings against a private ganesha: entry kinds and attributes,
// a large directory, path handling, failures and a stopping receiver.
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ClientCalls.h"
#include "NfsTestServer.h"

using namespace nfsclienttest;
using testing::HasSubstr;
using testing::UnorderedElementsAre;

namespace {

constexpr size_t kBigCount = 100000;
const std::string kOddName = "latin\xe9-\xff\xfe\ttab";
const std::string kLongName(255, 'n');

std::vector<std::string> Names(const ListResult& result) {
    std::vector<std::string> names;
    for (const Entry& e : result.entries) names.push_back(e.name);
    return names;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One server for the whole suite: building the 100,000-entry tree once.
class Listing : public testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            s_server = std::make_unique<nfstest::NfsTestServer>();
            s_vol1 = s_server->AddExport("/vol/vol1");
            const std::string nested = s_server->AddExport("/vol/vol1/nested");
            s_server->AddExport("/other");
            using namespace nfstest;
            const std::string kinds = s_vol1 + "/kinds";
            MakeDir(kinds);
            MakeFile(kinds + "/regular", 12345, 1500000000);
            MakeFile(kinds + "/big-sparse", 5ull << 32, 1700000001);
            MakeDir(kinds + "/subdir", 1400000000);
            MakeSymlink("regular", kinds + "/link");
            MakeFifo(kinds + "/pipe");
            MakeSocketNode(kinds + "/sock");
            MakeDevice(kinds + "/chr", false);
            MakeDevice(kinds + "/blk", true);
            MakeFile(kinds + "/" + kOddName, 7, 1234567890);
            MakeFile(kinds + "/" + kLongName, 1, 1000000000);
            chmod((kinds + "/regular").c_str(), 04750);
            MakeDir(s_vol1 + "/big");
            MakeManyFiles(s_vol1 + "/big", kBigCount);
            MakeDir(s_vol1 + "/a");
            MakeDir(s_vol1 + "/a/b");
            MakeDir(s_vol1 + "/a/b/c");
            MakeFile(s_vol1 + "/a/b/c/deep.txt", 3);
            MakeDir(s_vol1 + "/empty");
            MakeFile(s_vol1 + "/file.txt", 10);
            MakeSymlink("/", s_vol1 + "/escape");
            MakeFile(nested + "/inner.txt", 4);
            s_server->Start();
        } catch (const std::exception& e) {
            s_startError = e.what();
            s_server.reset();
        }
    }
    static void TearDownTestSuite() { s_server.reset(); }
    void SetUp() override { ASSERT_TRUE(s_server) << "NFS test server failed: " << s_startError; }

    static std::string Address() { return s_server->Address(); }

    static std::unique_ptr<nfstest::NfsTestServer> s_server;
    static std::string s_vol1;
    static std::string s_startError;
};
std::unique_ptr<nfstest::NfsTestServer> Listing::s_server;
std::string Listing::s_vol1;
std::string Listing::s_startError;

TEST_F(Listing, EveryEntryKindWithTypeModeSizeAndTimeAsOnDisk) {
    const ListResult result = List(Address(), "/vol/vol1/kinds");
    ASSERT_EQ(result.rc, 0) << result.error;

    std::set<std::string> onDisk;
    DIR* dir = opendir((s_vol1 + "/kinds").c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* d = readdir(dir))
        if (std::string(d->d_name) != "." && std::string(d->d_name) != "..") onDisk.insert(d->d_name);
    closedir(dir);
    const std::vector<std::string> names = Names(result);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), onDisk);
    EXPECT_EQ(names.size(), onDisk.size()) << "an entry was reported twice";

    const std::map<std::string, uint32_t> expectedType = {
        {"regular", ITEM_TYPE_FILE},  {"subdir", ITEM_TYPE_DIRECTORY}, {"blk", ITEM_TYPE_BLOCK},
        {"chr", ITEM_TYPE_CHARACTER}, {"link", ITEM_TYPE_SYMLINK},     {"sock", ITEM_TYPE_SOCKET},
        {"pipe", ITEM_TYPE_FIFO},     {kOddName, ITEM_TYPE_FILE},      {kLongName, ITEM_TYPE_FILE}};
    for (const Entry& e : result.entries) {
        SCOPED_TRACE(e.name);
        struct stat st{};
        ASSERT_EQ(lstat((s_vol1 + "/kinds/" + e.name).c_str(), &st), 0);
        if (expectedType.count(e.name) != 0) {
            EXPECT_EQ(e.type, expectedType.at(e.name));
        }
        EXPECT_EQ(e.mode, st.st_mode);
        EXPECT_EQ(e.writeTime, static_cast<uint64_t>(st.st_mtime));
        if (e.type != ITEM_TYPE_DIRECTORY) {
            EXPECT_EQ(e.size, static_cast<uint64_t>(st.st_size));
        }
    }
}

TEST_F(Listing, HundredThousandEntriesArriveExactlyOnce) {
    const auto start = std::chrono::steady_clock::now();
    const ListResult result = List(Address(), "/vol/vol1/big");
    ASSERT_EQ(result.rc, 0) << result.error;
    std::vector<bool> seen(kBigCount, false);
    size_t duplicates = 0, strangers = 0;
    for (const Entry& e : result.entries) {
        const size_t index = e.name.size() > 1 && e.name[0] == 'f' ? std::stoul(e.name.substr(1)) : kBigCount;
        if (index >= kBigCount || "f" + std::to_string(index) != e.name) {
            ++strangers;
            continue;
        }
        if (seen[index]) ++duplicates;
        seen[index] = true;
    }
    EXPECT_EQ(result.entries.size(), kBigCount);
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(strangers, 0u);
    EXPECT_LT(SecondsSince(start), 10.0);
}

TEST_F(Listing, RepeatedSlashesAndDotComponentsAreCollapsed) {
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

TEST_F(Listing, DotDotAndRelativeOrEmptyPathsAreRefusedBeforeAnyNetworkStep) {
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

TEST_F(Listing, LongestExportWinsForNestedExports) {
    const ListResult result = List(Address(), "/vol/vol1/nested");
    ASSERT_EQ(result.rc, 0) << result.error;
    EXPECT_THAT(Names(result), UnorderedElementsAre("inner.txt"));
    const ListResult other = List(Address(), "/other");
    ASSERT_EQ(other.rc, 0) << other.error;
    EXPECT_TRUE(other.entries.empty());
}

TEST_F(Listing, FailuresNameTheServerThePathAndTheCause) {
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

TEST_F(Listing, SymbolicLinksInThePathAreNotFollowedOutOfTheExport) {
    const ListResult result = List(Address(), "/vol/vol1/escape");
    EXPECT_NE(result.rc, 0);
    EXPECT_THAT(result.error, HasSubstr("symbolic link"));
    EXPECT_TRUE(result.entries.empty());
}

TEST_F(Listing, ReceiverReturningFalseStopsAtOnceAndFails) {
    const auto start = std::chrono::steady_clock::now();
    const ListResult result = List(Address(), "/vol/vol1/big", 10, Then::ReturnFalse);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.entries.size(), 10u);
    EXPECT_THAT(result.error, HasSubstr("stopped by the receiver after 10 entries"));
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST_F(Listing, ReceiverThrowingFailsTheCallWithoutUnwindingThroughLibnfs) {
    const ListResult result = List(Address(), "/vol/vol1/big", 5, Then::Throw);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.entries.size(), 5u);
    EXPECT_THAT(result.error, HasSubstr("threw an exception"));
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
    const int rc = DoNFSLiveBrowse(server.Address().c_str(), "/data", &context,
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
