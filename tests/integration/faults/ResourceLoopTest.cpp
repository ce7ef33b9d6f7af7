// A thousand browses in one process, as a long-running host makes them: no
// file descriptor and no memory may be left behind. NSB_LOOP_BROWSES sets a
// smaller count (the valgrind run of scripts/sanitize.sh); the RSS bound is
// not checked under AddressSanitizer or valgrind, whose own bookkeeping
// grows, and whose leak checks cover the same ground.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "../plugin/PluginTestSupport.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NSB_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NSB_SANITIZED 1
#endif

namespace {

using namespace plugin_test;

int OpenFds() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') ++count;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST(ResourceLoop, AThousandBrowsesLeaveNoDescriptorAndNoMemoryBehind) {
    const char* override = getenv("NSB_LOOP_BROWSES");
    const int browses = override != nullptr ? atoi(override) : 1000;
    const bool checkRss = getenv("NSB_LOOP_NO_RSS") == nullptr;

    Plugin plugin;
    nfstest::NfsTestServer server;
    const std::string vol = server.AddExport("/vol/vol1");
    server.AddExport("/home");
    nfstest::MakeDir(vol + "/docs");
    nfstest::MakeManyFiles(vol + "/docs", 200);
    nfstest::MakeFile(vol + "/a.txt", 10, 1600000000);
    server.Start();
    const std::string top = "/" + server.Address();
    const std::string refused = nfstest::NfsTestServer::RefusedAddress();

    // One browse of each kind: a live listing, the export level, a missing
    // directory and a refused server, through both entries.
    auto round = [&](int i) {
        const bool xml = i % 2 == 1;
        auto browse = [&](const std::string& address, const std::string& path) {
            return xml ? BrowseXml(plugin, address, path) : BrowseNetwork(plugin, address, path);
        };
        switch (i / 2 % 4) {
        case 0: ASSERT_EQ(browse(server.Address(), top + "/vol/vol1/docs").results.size(), 200u); break;
        case 1: ASSERT_EQ(browse(server.Address(), top).results.size(), 2u); break;
        case 2: ASSERT_TRUE(browse(server.Address(), top + "/vol/vol1/none").results.empty()); break;
        case 3: ASSERT_EQ(browse(refused, "/" + refused + "/vol").messages.size(), 1u); break;
        }
    };

    const int warmUp = browses < 100 ? browses / 4 : 100;
    for (int i = 0; i < warmUp; ++i) round(i);
    const int fdsBefore = OpenFds();
    const long rssBefore = RssKiB();
    for (int i = warmUp; i < warmUp + browses; ++i) {
        round(i);
        if (HasFatalFailure()) return;
    }
    const int fdsAfter = OpenFds();
    const long rssAfter = RssKiB();
    std::cout << browses << " browses: fds " << fdsBefore << " -> " << fdsAfter << ", RSS " << rssBefore
              << " -> " << rssAfter << " KiB" << std::endl;
    EXPECT_EQ(fdsAfter, fdsBefore);
#ifndef NSB_SANITIZED
    if (checkRss) {
        EXPECT_LE(rssAfter - rssBefore, 1024);
    }
#else
    (void)checkRss;
#endif
}

}  // namespace
