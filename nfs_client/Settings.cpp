// Storage of the settings, and the server cache: the only state the library
// keeps between calls.
#include "nfs_client/Settings.h"

#include <atomic>   // std::atomic

#include "host/NFSClient.h"
#include "nfs_client/ServerCache.h"

namespace {

constexpr unsigned int kDefaultTimeoutMs = 10000;
constexpr unsigned int kDefaultCacheMs = 5000;

// Relaxed is enough: a call reads the value once and nothing else is published with it.
std::atomic<unsigned int> g_timeoutMs{kDefaultTimeoutMs};

}  // namespace

namespace nfsclient {

unsigned int TimeoutMs() {
    return g_timeoutMs.load(std::memory_order_relaxed);
}

ServerCache& TheServerCache() {
    static ServerCache cache{std::chrono::milliseconds(kDefaultCacheMs)};
    return cache;
}

}  // namespace nfsclient

// 0 would make every step fail at once; it restores the default instead.
HOST_API void NFSClientSetTimeoutMs(unsigned int ms) {
    g_timeoutMs.store(ms == 0 ? kDefaultTimeoutMs : ms, std::memory_order_relaxed);
}

HOST_API unsigned int NFSClientGetTimeoutMs() {
    return nfsclient::TimeoutMs();
}

HOST_API void NFSClientSetServerCacheMs(unsigned int ms) {
    nfsclient::TheServerCache().SetTtl(std::chrono::milliseconds(ms));
}
