// Storage of the settings, and the server cache: the only state the library
// keeps between calls.
#include "nfs_client/library/Settings.h"

#include <dlfcn.h>   // dladdr
#include <unistd.h>  // access

#include <algorithm>  // std::max
#include <atomic>     // std::atomic
#include <cstdlib>    // getenv
#include <cstring>    // strcmp
#include <mutex>      // std::mutex
#include <string>     // std::string

#include "host/Lookups.h"  // CLumIPAddr::NameResolvedTo
#include "host/NFSClient.h"
#include "nfs_client/library/ServerCache.h"

namespace {

constexpr unsigned int kDefaultTimeoutMs = 10000;
constexpr unsigned int kDefaultCacheMs = 5000;
constexpr unsigned long long kDefaultMaxEntries = 10000000;
constexpr unsigned long long kDefaultMaxExports = 100000;
constexpr unsigned int kDefaultMemoryMiB = 256;
constexpr unsigned int kDefaultSpareWorkers = 2;

// Relaxed is enough: a call reads each value once and nothing else is published with it.
std::atomic<unsigned int> g_timeoutMs{kDefaultTimeoutMs};
std::atomic<unsigned int> g_callLimitMs{0};  // 0: max(60 s, 10 x the timeout)
std::atomic<unsigned long long> g_maxEntries{kDefaultMaxEntries};
thread_local unsigned long long t_maxEntries = 0;  // 0: g_maxEntries
std::atomic<unsigned long long> g_maxExports{kDefaultMaxExports};
std::atomic<unsigned int> g_memoryMiB{kDefaultMemoryMiB};
std::atomic<unsigned int> g_spareWorkers{kDefaultSpareWorkers};

std::mutex g_pathMutex;
std::string g_workerPath;  // set by the host; empty: found beside the library

std::atomic<uint8_t> g_flavour{static_cast<uint8_t>(nfsclient::Flavour::Auto)};
std::mutex g_keytabMutex;
std::string g_keytab;  // both empty: the caller's credential cache
std::string g_principal;

// The caller's environment variable `name`; empty when unset.
std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// The worker installed for this library, else the one built beside it.
std::string FoundWorkerPath() {
    Dl_info info{};
    std::string dir = ".";
    if (dladdr(reinterpret_cast<void*>(&NFSClientGetTimeoutMs), &info) != 0 &&
        info.dli_fname != nullptr) {
        const std::string library = info.dli_fname;
        const size_t slash = library.rfind('/');
        if (slash != std::string::npos) dir = library.substr(0, slash);
    }
    const std::string installed = dir + "/" NSB_WORKER_INSTALL_REL;
    const std::string beside = dir + "/" NSB_WORKER_NAME;
    if (access(installed.c_str(), X_OK) == 0) return installed;
    if (access(beside.c_str(), X_OK) == 0) return beside;
    return installed;
}

}  // namespace

namespace nfsclient {

unsigned int TimeoutMs() { return g_timeoutMs.load(std::memory_order_relaxed); }

CallLimits CurrentLimits() {
    CallLimits limits;
    limits.stepMs = TimeoutMs();
    limits.maxEntries =
        t_maxEntries != 0 ? t_maxEntries : g_maxEntries.load(std::memory_order_relaxed);
    limits.maxExports = static_cast<size_t>(g_maxExports.load(std::memory_order_relaxed));
    return limits;
}

WorkerSettings CurrentWorkerSettings() {
    WorkerSettings settings;
    {
        std::lock_guard<std::mutex> lock(g_pathMutex);
        static const std::string found = FoundWorkerPath();
        settings.path = g_workerPath.empty() ? found : g_workerPath;
    }
    settings.memoryMiB = g_memoryMiB.load(std::memory_order_relaxed);
    settings.spares = g_spareWorkers.load(std::memory_order_relaxed);
    const unsigned int set = g_callLimitMs.load(std::memory_order_relaxed);
    const unsigned long long tenSteps = 10ull * TimeoutMs();
    settings.callLimitMs = set != 0 ? set
                                    : static_cast<unsigned int>(std::max<unsigned long long>(
                                          60000, std::min(tenSteps, 0xFFFFFFFFull)));
    return settings;
}

Security CurrentSecurity(const char* address) {
    Security security;
    security.flavour = static_cast<Flavour>(g_flavour.load(std::memory_order_relaxed));
    {
        std::lock_guard<std::mutex> lock(g_keytabMutex);
        security.keytab = g_keytab;
        security.principal = g_principal;
    }
    security.credentialCache = Environment("KRB5CCNAME");
    security.kerberosConfig = Environment("KRB5_CONFIG");
    if (address != nullptr) security.serverName = CLumIPAddr::NameResolvedTo(address);
    return security;
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

HOST_API unsigned int NFSClientGetTimeoutMs() { return nfsclient::TimeoutMs(); }

HOST_API void NFSClientSetServerCacheMs(unsigned int ms) {
    nfsclient::TheServerCache().SetTtl(std::chrono::milliseconds(ms));
}

HOST_API void NFSClientSetCallLimitMs(unsigned int ms) {
    g_callLimitMs.store(ms, std::memory_order_relaxed);
}

HOST_API void NFSClientSetMaxEntries(unsigned long long entries) {
    g_maxEntries.store(entries == 0 ? kDefaultMaxEntries : entries, std::memory_order_relaxed);
}

HOST_API void NFSClientSetThreadMaxEntries(unsigned long long entries) { t_maxEntries = entries; }

HOST_API void NFSClientSetMaxExports(unsigned long long exports) {
    g_maxExports.store(exports == 0 ? kDefaultMaxExports : exports, std::memory_order_relaxed);
}

HOST_API void NFSClientSetWorkerPath(const char* path) {
    {
        std::lock_guard<std::mutex> lock(g_pathMutex);
        g_workerPath = path != nullptr ? path : "";
    }
    nfsclient::DropSpareWorkers();
}

HOST_API void NFSClientSetWorkerMemoryMiB(unsigned int mib) {
    g_memoryMiB.store(mib == 0 ? kDefaultMemoryMiB : mib, std::memory_order_relaxed);
    nfsclient::DropSpareWorkers();
}

HOST_API void NFSClientSetSpareWorkers(unsigned int count) {
    g_spareWorkers.store(count, std::memory_order_relaxed);
    if (count == 0) nfsclient::DropSpareWorkers();
}

HOST_API void NFSClientStartWorkers(unsigned int count) {
    nfsclient::StartSpareWorkers(nfsclient::CurrentWorkerSettings(), count);
}

HOST_API int NFSClientSetSecurity(const char* flavour) {
    using nfsclient::Flavour;
    static const struct {
        const char* name;
        Flavour flavour;
    } kNames[] = {{"auto", Flavour::Auto},
                  {"sys", Flavour::Sys},
                  {"krb5", Flavour::Krb5},
                  {"krb5i", Flavour::Krb5i},
                  {"krb5p", Flavour::Krb5p}};
    if (flavour == nullptr) return 1;
    for (const auto& known : kNames) {
        if (strcmp(flavour, known.name) == 0) {
            g_flavour.store(static_cast<uint8_t>(known.flavour), std::memory_order_relaxed);
            return 0;
        }
    }
    return 1;
}

HOST_API void NFSClientSetKerberosKeytab(const char* keytab, const char* principal) {
    const bool none =
        keytab == nullptr || *keytab == '\0' || principal == nullptr || *principal == '\0';
    std::lock_guard<std::mutex> lock(g_keytabMutex);
    g_keytab = none ? std::string() : std::string(keytab);
    g_principal = none ? std::string() : std::string(principal);
}
