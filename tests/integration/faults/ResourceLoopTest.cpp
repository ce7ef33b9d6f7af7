// A thousand browses in one process, as a long-running host makes them: no
// file descriptor and no memory may be left behind. NSB_LOOP_BROWSES sets a
// smaller count (the valgrind run of scripts/sanitize.sh). Under a sanitizer
// the count is 1000 / NSB_TIME_FACTOR: a sanitized worker's start costs ten
// times a plain one's, and a descriptor left behind by each browse shows in
// 300 browses as in 1000. The RSS bound is not checked under
// AddressSanitizer or valgrind, whose own bookkeeping grows, and whose leak
// checks cover the same ground.
#include <gtest/gtest.h>

#include <dirent.h>  // opendir, readdir
#include <unistd.h>  // getpid, usleep

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "../plugin/PluginTestSupport.h"
#include "common/TestSupport.h"  // TimeFactor
#include "ProcessUsage.h"

namespace {

using namespace plugin_test;

// Processes whose parent is this one: ended ones (zombies) only, or all.
int ChildProcesses(bool endedOnly = false) {
    int children = 0;
    const std::string self = std::to_string(getpid());
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    while (const dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid ...: comm may hold blanks, so read after ')'.
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        std::string state, ppid;
        rest >> state >> ppid;
        children += ppid == self && (!endedOnly || state == "Z") ? 1 : 0;
    }
    closedir(proc);
    return children;
}

TEST(ResourceLoop, AThousandBrowsesLeaveNoDescriptorAndNoMemoryBehind) {
    const char* override = getenv("NSB_LOOP_BROWSES");
#ifdef NSB_SANITIZED
    const int fullCount = static_cast<int>(1000 / nsbtest::TimeFactor());
#else
    const int fullCount = 1000;
#endif
    const int browses = override != nullptr ? atoi(override) : fullCount;
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
        case 0:
            ASSERT_EQ(browse(server.Address(), top + "/vol/vol1/docs").results.size(), 200u);
            break;
        case 1: ASSERT_EQ(browse(server.Address(), top).results.size(), 2u); break;
        case 2:
            ASSERT_TRUE(browse(server.Address(), top + "/vol/vol1/none").results.empty());
            break;
        case 3: ASSERT_EQ(browse(refused, "/" + refused + "/vol").messages.size(), 1u); break;
        }
    };

    const int warmUp = browses < 100 ? browses / 4 : 100;
    for (int i = 0; i < warmUp; ++i) round(i);
    // Workers that answered are reaped on a thread of their own (which holds
    // a descriptor while it waits): counts are taken once they have ended.
    const auto settle = [] { usleep(300 * 1000); };
    settle();
    const int fdsBefore = nfstest::OpenFds();
    const long rssBefore = nfstest::RssKiB();
    for (int i = warmUp; i < warmUp + browses; ++i) {
        round(i);
        if (HasFatalFailure()) return;
    }
    settle();
    const int fdsAfter = nfstest::OpenFds();
    const long rssAfter = nfstest::RssKiB();
    std::cout << browses << " browses: fds " << fdsBefore << " -> " << fdsAfter << ", RSS "
              << rssBefore << " -> " << rssAfter << " KiB" << std::endl;
    EXPECT_EQ(fdsAfter, fdsBefore);
    // Worker processes: the spares only, none left <defunct> until a later
    // call.
    EXPECT_EQ(ChildProcesses(true), 0) << "finished workers not reaped";
    EXPECT_LE(ChildProcesses(), 3) << "worker processes left behind (2 spares, the test server)";
#ifndef NSB_SANITIZED
    if (checkRss) {
        EXPECT_LE(rssAfter - rssBefore, 1024);
    }
#else
    (void)checkRss;
#endif
}

}  // namespace
