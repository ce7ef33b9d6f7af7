// Directory listings from an NFSv4-only server.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NfsTestServer.h"
#include "integration/nfs_client/ClientCalls.h"

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

class V4Listing : public testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            nfstest::NfsTestServer::Options options;
            options.v4Only = true;
            s_server = std::make_unique<nfstest::NfsTestServer>(options);
            s_vol1 = s_server->AddExport("/vol/vol1");
            const std::string nested = s_server->AddExport("/vol/vol1/nested");
            s_server->AddExport("/secure", {"krb5", false});
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
            // 20 levels of 250-byte names: about 5 KiB of path, more than
            // one COMPOUND of LOOKUPs can carry.
            // The local path is longer than PATH_MAX: built relative to descriptors.
            s_deep = "/vol/vol1";
            int dir = open(s_vol1.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            for (int i = 0; i < 20 && dir >= 0; ++i) {
                const std::string part = std::string(249, static_cast<char>('a' + i)) + std::to_string(i % 10);
                s_deep += "/" + part;
                const int next = mkdirat(dir, part.c_str(), 0755) == 0
                                     ? openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
                close(dir);
                dir = next;
            }
            const int bottom = dir >= 0 ? openat(dir, "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
            if (bottom < 0) throw std::runtime_error("cannot build the deep tree");
            close(bottom);
            close(dir);
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
    static std::string s_deep;
    static std::string s_startError;
};
std::unique_ptr<nfstest::NfsTestServer> V4Listing::s_server;
std::string V4Listing::s_vol1;
std::string V4Listing::s_deep;
std::string V4Listing::s_startError;

TEST_F(V4Listing, EveryEntryKindWithTypeModeSizeAndTimeAsOnDisk) {
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
        {"pipe", ITEM_TYPE_FIFO},     {kOddName, ITEM_TYPE_FILE},      {kLongName, ITEM_TYPE_FILE},
        {"big-sparse", ITEM_TYPE_FILE}};
    for (const Entry& e : result.entries) {
        SCOPED_TRACE(e.name);
        struct stat st{};
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

TEST_F(V4Listing, HundredThousandEntriesArriveExactlyOnce) {
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
}

TEST_F(V4Listing, PathsLongerThanOneRequestAndPseudoDirectories) {
    const ListResult deep = List(Address(), s_deep);
    ASSERT_EQ(deep.rc, 0) << deep.error.substr(0, 300);
    EXPECT_THAT(Names(deep), UnorderedElementsAre("bottom.txt"));
    const ListResult missing = List(Address(), s_deep + "/missing");
    EXPECT_THAT(missing.error, HasSubstr("no such directory"));
    EXPECT_LT(missing.error.size(), static_cast<size_t>(NFS_ERROR_TEXT_SIZE));

    // A nested export is listed through its junction; a pseudo directory too.
    const ListResult nested = List(Address(), "//vol/vol1/./nested/");
    ASSERT_EQ(nested.rc, 0) << nested.error;
    EXPECT_THAT(Names(nested), UnorderedElementsAre("inner.txt"));
    const ListResult pseudo = List(Address(), "/vol");
    ASSERT_EQ(pseudo.rc, 0) << pseudo.error;
    EXPECT_THAT(Names(pseudo), UnorderedElementsAre("vol1"));
}

TEST_F(V4Listing, FailuresAreWordedAsOverNfsV3) {
    const ListResult missing = List(Address(), "/vol/vol1/a/missing");
    EXPECT_NE(missing.rc, 0);
    EXPECT_THAT(missing.error, HasSubstr("NFS server 127.0.0.1, lookup of /vol/vol1/a: no such directory"));
    const ListResult file = List(Address(), "/vol/vol1/file.txt");
    EXPECT_THAT(file.error, HasSubstr("lookup of /vol/vol1/file.txt: not a directory (a regular file)"));
    const ListResult below = List(Address(), "/vol/vol1/file.txt/x");
    EXPECT_THAT(below.error, HasSubstr("not a directory"));
    const ListResult link = List(Address(), "/vol/vol1/escape");
    EXPECT_THAT(link.error, HasSubstr("lookup of /vol/vol1/escape: not a directory (a symbolic link"));
    const ListResult through = List(Address(), "/vol/vol1/escape/etc");
    EXPECT_THAT(through.error, HasSubstr("lookup of /vol/vol1/escape: not a directory (a symbolic link"));
    const ListResult kerberos = List(Address(), "/secure");
    EXPECT_NE(kerberos.rc, 0);
    EXPECT_THAT(kerberos.error, HasSubstr("access denied"));
    EXPECT_TRUE(missing.entries.empty() && file.entries.empty() && link.entries.empty());
}

TEST_F(V4Listing, ReceiverReturningFalseStopsAtOnce) {
    const ListResult result = List(Address(), "/vol/vol1/big", 10, Then::ReturnFalse);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.entries.size(), 10u);
    EXPECT_THAT(result.error, HasSubstr("stopped by the receiver after 10 entries"));
}

}  // namespace
