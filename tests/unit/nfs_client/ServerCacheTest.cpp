// The short-lived memory of servers.
#include <gtest/gtest.h>

#include "nfs_client/library/ServerCache.h"

namespace nfsclient {
namespace {

using std::chrono::milliseconds;

ServerProfile Nfs3(int mountPort) {
    ServerProfile profile;
    profile.protocol = Protocol::Nfs3;
    profile.mountPort = mountPort;
    profile.nfsPort = 2049;
    profile.hasExports = true;
    profile.exports = {"/vol/vol1"};
    return profile;
}

TEST(ServerCache, RemembersForItsTtlOnlyAndForgetsOnRequest) {
    ServerCache cache(milliseconds(5000));
    const auto t0 = ServerCache::Clock::now();
    ServerProfile found;
    EXPECT_FALSE(cache.Find("127.0.0.1", found, t0));
    cache.Store("127.0.0.1", Nfs3(20048), t0);
    ServerCache::Clock::duration age{};
    ASSERT_TRUE(cache.Find("127.0.0.1", found, t0 + milliseconds(4999), &age));
    EXPECT_EQ(age, milliseconds(4999));
    EXPECT_EQ(found.mountPort, 20048);
    EXPECT_EQ(found.exports, std::vector<std::string>{"/vol/vol1"});
    EXPECT_FALSE(cache.Find("127.0.0.2", found, t0));
    EXPECT_FALSE(cache.Find("127.0.0.1", found, t0 + milliseconds(5000)));
    EXPECT_FALSE(cache.Find("127.0.0.1", found, t0));  // expired entries are gone

    cache.Store("127.0.0.1", Nfs3(1), t0);
    cache.Forget("127.0.0.1");
    EXPECT_FALSE(cache.Find("127.0.0.1", found, t0));

    cache.Store("127.0.0.1", ServerProfile(), t0);  // nothing learned: nothing kept
    EXPECT_FALSE(cache.Find("127.0.0.1", found, t0));
}

TEST(ServerCache, OffKeepsNothingAndItNeverGrowsPastItsBound) {
    ServerCache cache(milliseconds(0));
    const auto t0 = ServerCache::Clock::now();
    ServerProfile found;
    cache.Store("127.0.0.1", Nfs3(1), t0);
    EXPECT_FALSE(cache.Find("127.0.0.1", found, t0));

    cache.SetTtl(milliseconds(60000));
    for (size_t i = 0; i <= ServerCache::kMaxServers; ++i)
        cache.Store("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                    Nfs3(static_cast<int>(i)), t0 + milliseconds(static_cast<long>(i)));
    EXPECT_FALSE(cache.Find("10.0.0.0", found, t0 + milliseconds(1000)));  // the oldest went
    EXPECT_TRUE(cache.Find("10.0.1.0", found, t0 + milliseconds(1000)));
    EXPECT_TRUE(cache.Find("10.0.0.1", found, t0 + milliseconds(1000)));
}

}  // namespace
}  // namespace nfsclient
