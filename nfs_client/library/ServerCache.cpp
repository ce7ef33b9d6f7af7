#include "nfs_client/library/ServerCache.h"

namespace nfsclient {

bool ServerCache::Find(const std::string& address, ServerProfile& profile, Clock::time_point now,
                       Clock::duration* age) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_entries.find(address);
    if (found == m_entries.end()) return false;
    if (now - found->second.stored >= m_ttl || now < found->second.stored) {
        m_entries.erase(found);
        return false;
    }
    profile = found->second.profile;
    if (age != nullptr) *age = now - found->second.stored;
    return true;
}

void ServerCache::Store(const std::string& address, const ServerProfile& profile,
                        Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ttl.count() <= 0 || profile.protocol == Protocol::Unknown) return;
    if (m_entries.size() >= kMaxServers && m_entries.find(address) == m_entries.end()) {
        auto oldest = m_entries.begin();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
            if (it->second.stored < oldest->second.stored) oldest = it;
        m_entries.erase(oldest);
    }
    m_entries[address] = Entry{profile, now};
}

void ServerCache::Forget(const std::string& address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.erase(address);
}

void ServerCache::SetTtl(std::chrono::milliseconds ttl) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ttl = ttl;
    if (ttl.count() <= 0) m_entries.clear();
}

}  // namespace nfsclient
