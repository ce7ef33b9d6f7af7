// Many calls at once: each call has its own libnfs context, so parallel
// export lists and listings must all be complete and correct.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ClientCalls.h"
#include "NfsTestServer.h"

using namespace nfsclienttest;

namespace {

TEST(Concurrency, EightThreadsEachFiftyExportListsAndListings) {
    nfstest::NfsTestServer server;
    const std::string one = server.AddExport("/vol/one");
    const std::string two = server.AddExport("/vol/two");
    nfstest::MakeManyFiles(one, 300, "one-");
    nfstest::MakeManyFiles(two, 40, "two-");
    server.Start();

    constexpr int kThreads = 8;
    constexpr int kRounds = 50;
    std::atomic<int> correct{0};
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const ExportsResult exports = ListExports(server.Address());
                const bool useOne = (t + round) % 2 == 0;
                const ListResult listing = List(server.Address(), useOne ? "/vol/one" : "/vol/two");
                std::set<std::string> names;
                for (const Entry& e : listing.entries) names.insert(e.name);
                const size_t expected = useOne ? 300 : 40;
                if (exports.rc != 0 || exports.paths.size() != 2 || listing.rc != 0 ||
                    listing.entries.size() != expected || names.size() != expected) {
                    failures[t] = "thread " + std::to_string(t) + " round " +
                                  std::to_string(round) + ": " + exports.error + listing.error +
                                  " entries " + std::to_string(listing.entries.size());
                    return;
                }
                ++correct;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
    EXPECT_EQ(correct.load(), kThreads * kRounds);
}

}  // namespace
