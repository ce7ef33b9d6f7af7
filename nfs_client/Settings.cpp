// Storage of the timeout setting, the only state the library keeps between calls.
#include "nfs_client/Settings.h"

#include <atomic>

#include "host/NFSClient.h"

namespace {

constexpr unsigned int kDefaultTimeoutMs = 10000;

// Relaxed is enough: a call reads the value once and nothing else is published with it.
std::atomic<unsigned int> g_timeoutMs{kDefaultTimeoutMs};

}  // namespace

namespace nfsclient {

unsigned int TimeoutMs() {
    return g_timeoutMs.load(std::memory_order_relaxed);
}

}  // namespace nfsclient

// 0 would make every step fail at once; it restores the default instead.
HOST_API void NFSClientSetTimeoutMs(unsigned int ms) {
    g_timeoutMs.store(ms == 0 ? kDefaultTimeoutMs : ms, std::memory_order_relaxed);
}

HOST_API unsigned int NFSClientGetTimeoutMs() {
    return nfsclient::TimeoutMs();
}
