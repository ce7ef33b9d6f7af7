// A short-lived per-process memory of what servers speak and where their
// services listen, so that the listing that follows an export list does not
// probe the server again.
#pragma once

#include <chrono>  // steady_clock
#include <map>     // std::map
#include <mutex>   // std::mutex
#include <string>  // std::string

#include "nfs_client/PipeTypes.h"  // ServerProfile

namespace nfsclient {

// Thread-safe. Entries live `ttl` from when they were stored; a call that
// fails forgets its server's entry (unless the failure was the server's
// answer about the path: no such folder), so a server that changed is probed
// anew on the next call. At most kMaxServers entries are kept (the oldest go).
class ServerCache {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxServers = 256;

    explicit ServerCache(std::chrono::milliseconds ttl) : m_ttl(ttl) {}

    // The profile stored for `address`, if it is younger than the ttl; its
    // age in `age` when given.
    bool Find(const std::string& address, ServerProfile& profile,
              Clock::time_point now = Clock::now(), Clock::duration* age = nullptr);
    void Store(const std::string& address, const ServerProfile& profile,
               Clock::time_point now = Clock::now());
    void Forget(const std::string& address);
    // 0 turns the cache off (and empties it).
    void SetTtl(std::chrono::milliseconds ttl);

private:
    struct Entry {
        ServerProfile profile;
        Clock::time_point stored;
    };
    std::mutex m_mutex;
    std::chrono::milliseconds m_ttl;
    std::map<std::string, Entry> m_entries;
};

// The library's cache (Settings.cpp sets its ttl).
ServerCache& TheServerCache();

}  // namespace nfsclient
