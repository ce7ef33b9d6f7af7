#include "fakes/FakeResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

namespace fake_resolver {
namespace {

const char kHangSuffix[] = ".hang.invalid";

// Lookups may still run on their detached threads while the process exits:
// the state is never destroyed.
struct State {
    std::mutex mutex;
    std::condition_variable released;
    bool hanging = true;                                   // guarded by mutex
    std::map<std::string, std::vector<CLumIPAddr>> names;  // guarded by mutex
};

State& TheState() {
    static State* state = new State();
    return *state;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

CLumIPAddr Parse(const std::string& text) {
    CLumIPAddr address;
    sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&address.m_address);
    sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&address.m_address);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        address.m_length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        address.m_length = sizeof(sockaddr_in6);
    }
    return address;
}

bool Admits(CLumIPAddr::IP_FAMILY family, const CLumIPAddr& address) {
    const int f = address.m_address.ss_family;
    return family == CLumIPAddr::IP_FAMILY_ANY ||
           (family == CLumIPAddr::IP_FAMILY_V4 && f == AF_INET) ||
           (family == CLumIPAddr::IP_FAMILY_V6 && f == AF_INET6);
}

}  // namespace

void Install() {
    Add("localhost", {"::1", "127.0.0.1"});
    CLumIPAddr::SetResolver(Resolve);
}

int Resolve(const std::string& name, CLumIPAddr::IP_FAMILY family,
            std::vector<CLumIPAddr>& addresses) {
    State& state = TheState();
    std::unique_lock<std::mutex> lock(state.mutex);
    if (EndsWith(name, kHangSuffix)) {
        state.released.wait_for(lock, std::chrono::seconds(10),
                                [&state] { return !state.hanging; });
        return EAI_AGAIN;
    }
    const auto found = state.names.find(name);
    if (found == state.names.end()) return EAI_NONAME;
    for (const CLumIPAddr& address : found->second)
        if (Admits(family, address)) addresses.push_back(address);
    return addresses.empty() ? EAI_NODATA : 0;
}

void Add(const std::string& name, const std::vector<std::string>& texts) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (texts.empty()) {
        state.names.erase(name);
        return;
    }
    std::vector<CLumIPAddr>& addresses = state.names[name];
    addresses.clear();
    for (const std::string& text : texts) addresses.push_back(Parse(text));
}

void ReleaseHung() {
    State& state = TheState();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.hanging = false;
    }
    state.released.notify_all();
}

void Hang() {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.hanging = true;
}

}  // namespace fake_resolver
