// Directory listing checks that hold for every road of the NFS client
// library: a server with MOUNT (NFSv3), an NFSv4-only server, and one that
// speaks only NFSv4.1 and 4.2 (sessions). The fixture
// is parameterised over the server kind; a group includes this header in one
// source file, instantiates the suite for the kind it covers and adds the
// checks of that road alone as further TEST_P(Listing, ...):
//
//     INSTANTIATE_TEST_SUITE_P(, Listing, testing::Values(ServerKind::V3), KindName);
//
// One server (with its 100,000-entry directory) is started per suite, at the
// first test, and stopped when the suite ends.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NfsTestServer.h"
#include "common/TestSupport.h"
#include "integration/nfs_client/ClientCalls.h"

namespace listingtest {

using namespace nfsclienttest;
using testing::HasSubstr;
using testing::UnorderedElementsAre;

enum class ServerKind { V3, V4Only, V41Only };

inline std::string KindName(const testing::TestParamInfo<ServerKind>& info) {
    return info.param == ServerKind::V3       ? "V3"
           : info.param == ServerKind::V4Only ? "V4Only"
                                              : "V41Only";
}
inline void PrintTo(ServerKind kind, std::ostream* out) {
    *out << (kind == ServerKind::V3       ? "NFSv3 with MOUNT"
             : kind == ServerKind::V4Only ? "NFSv4 only"
                                          : "NFSv4.1 and 4.2 only");
}

constexpr size_t kBigCount = 100000;
inline const std::string kOddName = "latin\xe9-\xff\xfe\ttab";
inline const std::string kLongName(255, 'n');

using nsbtest::SecondsSince;

// Exports /vol/vol1 and /vol/vol1/nested on both kinds. In /vol/vol1:
// kinds/ (every entry kind, an odd and a 255-byte name), big/ (100,000
// files), file.txt, escape (a link to /). With MOUNT also the export /other
// and a/b/c/deep.txt and empty/; NFSv4-only (either kind) also the Kerberos
// export /secure and a path of about 5 KiB (Listing::s_deep).
class Listing : public testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override {
        if (!s_started || s_kind != GetParam()) Start(GetParam());
        ASSERT_TRUE(s_server) << "NFS test server failed: " << s_startError;
    }
    static void TearDownTestSuite() {
        s_server.reset();
        s_started = false;
    }

    static std::string Address() { return s_server->Address(); }

    static inline std::unique_ptr<nfstest::NfsTestServer> s_server;
    static inline ServerKind s_kind = ServerKind::V3;
    static inline bool s_started = false;
    static inline std::string s_startError;
    static inline std::string s_vol1;  // local root of /vol/vol1
    static inline std::string s_deep;  // NFSv4-only: the long path, from /vol/vol1

private:
    static void Start(ServerKind kind) {
        s_server.reset();  // one server at a time in a process
        s_kind = kind;
        s_started = true;
        s_startError.clear();
        try {
            nfstest::NfsTestServer::Options options;
            options.v4Only = kind != ServerKind::V3;
            if (kind == ServerKind::V41Only) options.minorVersions = {1, 2};
            s_server = std::make_unique<nfstest::NfsTestServer>(options);
            s_vol1 = s_server->AddExport("/vol/vol1");
            const std::string nested = s_server->AddExport("/vol/vol1/nested");
            if (kind == ServerKind::V3) {
                s_server->AddExport("/other");
            } else {
                s_server->AddExport("/secure", {"krb5", false});
            }
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
            if (kind == ServerKind::V3) {
                MakeDir(s_vol1 + "/a");
                MakeDir(s_vol1 + "/a/b");
                MakeDir(s_vol1 + "/a/b/c");
                MakeFile(s_vol1 + "/a/b/c/deep.txt", 3);
                MakeDir(s_vol1 + "/empty");
            } else {
                MakeDeepTree();
            }
            MakeFile(s_vol1 + "/file.txt", 10);
            MakeSymlink("/", s_vol1 + "/escape");
            MakeFile(nested + "/inner.txt", 4);
            s_server->Start();
        } catch (const std::exception& e) {
            s_startError = e.what();
            s_server.reset();
        }
    }

    // 20 levels of 250-byte names: about 5 KiB of path, more than one
    // COMPOUND of LOOKUPs can carry. The local path is longer than PATH_MAX:
    // built relative to descriptors.
    static void MakeDeepTree() {
        s_deep = "/vol/vol1";
        int dir = open(s_vol1.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int i = 0; i < 20 && dir >= 0; ++i) {
            const std::string part =
                std::string(249, static_cast<char>('a' + i)) + std::to_string(i % 10);
            s_deep += "/" + part;
            const int next = mkdirat(dir, part.c_str(), 0755) == 0
                                 ? openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                 : -1;
            close(dir);
            dir = next;
        }
        const int bottom =
            dir >= 0 ? openat(dir, "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
        if (bottom < 0) throw std::runtime_error("cannot build the deep tree");
        close(bottom);
        close(dir);
    }
};

TEST_P(Listing, EveryEntryKindWithTypeModeSizeAndTimeAsOnDisk) {
    const ListResult result = List(Address(), "/vol/vol1/kinds");
    ASSERT_EQ(result.rc, 0) << result.error;

    std::set<std::string> onDisk;
    DIR* dir = opendir((s_vol1 + "/kinds").c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* d = readdir(dir))
        if (std::string(d->d_name) != "." && std::string(d->d_name) != "..")
            onDisk.insert(d->d_name);
    closedir(dir);
    const std::vector<std::string> names = Names(result);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), onDisk);
    EXPECT_EQ(names.size(), onDisk.size()) << "an entry was reported twice";

    const std::map<std::string, uint32_t> expectedType = {
        {"regular", ITEM_TYPE_FILE},   {"subdir", ITEM_TYPE_DIRECTORY}, {"blk", ITEM_TYPE_BLOCK},
        {"chr", ITEM_TYPE_CHARACTER},  {"link", ITEM_TYPE_SYMLINK},     {"sock", ITEM_TYPE_SOCKET},
        {"pipe", ITEM_TYPE_FIFO},      {kOddName, ITEM_TYPE_FILE},      {kLongName, ITEM_TYPE_FILE},
        {"big-sparse", ITEM_TYPE_FILE}};
    for (const Entry& e : result.entries) {
        SCOPED_TRACE(e.name);
        struct stat st {};
        ASSERT_EQ(lstat((s_vol1 + "/kinds/" + e.name).c_str(), &st), 0);
        ASSERT_EQ(expectedType.count(e.name), 1u);
        EXPECT_EQ(e.type, expectedType.at(e.name));
        EXPECT_EQ(e.mode, st.st_mode);
        EXPECT_EQ(e.writeTime, static_cast<uint64_t>(st.st_mtime));
        if (e.type != ITEM_TYPE_DIRECTORY) {
            EXPECT_EQ(e.size, static_cast<uint64_t>(st.st_size));
        }
    }
}

TEST_P(Listing, HundredThousandEntriesArriveExactlyOnce) {
    const auto start = std::chrono::steady_clock::now();
    const ListResult result = List(Address(), "/vol/vol1/big");
    ASSERT_EQ(result.rc, 0) << result.error;
    std::vector<bool> seen(kBigCount, false);
    size_t duplicates = 0, strangers = 0;
    for (const Entry& e : result.entries) {
        const size_t index =
            e.name.size() > 1 && e.name[0] == 'f' ? std::stoul(e.name.substr(1)) : kBigCount;
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

TEST_P(Listing, ReceiverReturningFalseStopsAtOnceAndFails) {
    const auto start = std::chrono::steady_clock::now();
    const ListResult result = List(Address(), "/vol/vol1/big", 10, Then::ReturnFalse);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.entries.size(), 10u);
    EXPECT_THAT(result.error, HasSubstr("stopped by the receiver after 10 entries"));
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST_P(Listing, ReceiverThrowingFailsTheCallWithoutUnwindingThroughLibnfs) {
    const ListResult result = List(Address(), "/vol/vol1/big", 5, Then::Throw);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.entries.size(), 5u);
    EXPECT_THAT(result.error, HasSubstr("threw an exception"));
}

}  // namespace listingtest
