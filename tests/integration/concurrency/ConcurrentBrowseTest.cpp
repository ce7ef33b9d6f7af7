// Sixteen threads browsing one private NFS server through both entries of the
// plug-in at once, as the host calls them on its request threads. Every
// answer must equal the one given to a lone caller. Built and run under
// ThreadSanitizer by scripts/sanitize.sh.
#include <dlfcn.h>  // dlopen, dlsym

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../plugin/PluginTestSupport.h"
#include "common/TestSupport.h"

namespace {

using namespace plugin_test;

constexpr int kThreads = 16;
// Rounds per thread; a sanitized build (NSB_TIME_FACTOR) makes fewer, with
// every thread still browsing every path through both entries.
int Rounds() { return std::max(2, static_cast<int>(6 / nsbtest::TimeFactor())); }

// A server that speaks NFSv3 and NFSv4 may be browsed over either: a probe
// whose portmapper has not answered within its grace takes NFSv4, as it
// may under a sanitizer's load after the cache forgot the server. The
// answer is the same but for the status's name in a failure's words.
std::vector<std::string> Worded(std::vector<std::string> messages) {
    for (std::string& m : messages)
        for (size_t at = m.find("NFS4ERR_"); at != std::string::npos; at = m.find("NFS4ERR_", at))
            m[at + 3] = '3';
    return messages;
}

TEST(ConcurrentBrowse, SixteenThreadsThroughBothEntriesGetTheLoneCallersAnswers) {
    Plugin plugin;
    nfstest::NfsTestServer server;
    const std::string vol1 = server.AddExport("/vol/vol1");
    const std::string vol2 = server.AddExport("/vol/vol2");
    server.AddExport("/home");
    nfstest::MakeDir(vol1 + "/docs", 1500000000);
    nfstest::MakeManyFiles(vol1 + "/docs", 300, "doc");
    nfstest::MakeDir(vol1 + "/.snapshot");
    nfstest::MakeFile(vol1 + "/a.txt", 1234, 1600000000);
    nfstest::MakeFile(vol1 + "/%s%n\xff", 1, 1600000001);
    nfstest::MakeManyFiles(vol2, 40, "v");
    server.Start();
    // The protocol is decided once, as the lone caller finds it, as far as
    // the cache keeps it: the library's 5 s would run out in a slow
    // (sanitized) run.
    if (void* library = dlopen("libLibNFSClient.so.0", RTLD_NOW | RTLD_NOLOAD)) {
        using SetCacheMs = void (*)(unsigned int);
        if (auto set = reinterpret_cast<SetCacheMs>(dlsym(library, "NFSClientSetServerCacheMs")))
            set(600000);
        dlclose(library);
    }

    const std::string top = "/" + server.Address();
    const std::vector<std::string> paths = {"/",
                                            top,
                                            top + "/vol",
                                            top + "/vol/vol1",
                                            top + "/vol/vol1/docs",
                                            top + "/vol/vol2",
                                            top + "/vol/vol1/missing"};

    // What a lone caller gets, through either entry.
    // The missing folder is the one path answered with a failure message.
    std::map<std::string, std::vector<Result>> expected;
    std::map<std::string, std::vector<std::string>> expectedMessages;
    for (const std::string& path : paths) {
        const Answer network = BrowseNetwork(plugin, server.Address(), path);
        const Answer xml = BrowseXml(plugin, server.Address(), path);
        ASSERT_TRUE(network.ended) << path;
        ASSERT_EQ(network.messages.size(), path == top + "/vol/vol1/missing" ? 1u : 0u) << path;
        ASSERT_EQ(network.messages, xml.messages) << path;
        ASSERT_EQ(Sorted(network.results), Sorted(xml.results)) << path;
        expected[path] = Sorted(network.results);
        expectedMessages[path] = Worded(network.messages);
    }
    ASSERT_EQ(expected[top + "/vol/vol1/docs"].size(), 300u);

    const int rounds = Rounds();
    std::atomic<int> browses{0};
    std::atomic<int> wrong{0};
    std::vector<std::string> firstWrong(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                for (size_t p = 0; p < paths.size(); ++p) {
                    const std::string& path = paths[(p + t) % paths.size()];
                    const bool viaXml = (t + round + p) % 2 == 1;
                    Answer answer;
                    try {
                        answer = viaXml ? BrowseXml(plugin, server.Address(), path)
                                        : BrowseNetwork(plugin, server.Address(), path);
                    } catch (const std::exception& e) {
                        answer.messages.push_back(e.what());
                    }
                    ++browses;
                    if (!answer.ended || Worded(answer.messages) != expectedMessages[path] ||
                        Sorted(answer.results) != expected[path]) {
                        if (wrong++ == 0 || firstWrong[t].empty())
                            firstWrong[t] = (viaXml ? "xml " : "network ") + path + ": " +
                                            (answer.messages.empty() ? "different results"
                                                                     : answer.messages[0]);
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(browses.load(), kThreads * rounds * static_cast<int>(paths.size()));
    EXPECT_EQ(wrong.load(), 0);
    for (const std::string& w : firstWrong)
        if (!w.empty()) ADD_FAILURE() << w;
}

}  // namespace
