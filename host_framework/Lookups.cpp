// The host's lookups (host/Lookups.h): addresses by name with a bounded
// wait and a replaceable resolver, the client registry and this host's
// VessaCell id.
#include "host/Lookups.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "host_framework/CallSite.h"

namespace {

// Win32 numbers of lookup failures.
const unsigned int kHostNotFound = 11001;  // the name has no address
const unsigned int kTryAgain = 11002;      // temporary resolver failure
const unsigned int kTimeout = 1460;        // no answer within the lookup timeout

std::atomic<unsigned int> g_lookupTimeoutMs{5000};

// The host names this thread resolved last, each with the address text
// GetByName chose for it, newest first: the library of a plug-in that is
// handed only the address finds the name there (Kerberos needs it).
constexpr size_t kResolvedNamesKept = 4;
struct ResolvedName {
    std::string name;
    std::string addressText;
};
thread_local std::vector<ResolvedName> t_resolved;

void RememberResolved(const char* name, const CLumIPAddr& address) {
    CLumString text;
    if (address.GetAddressString(text).IsError() || text.empty()) return;
    for (auto it = t_resolved.begin(); it != t_resolved.end(); ++it) {
        if (it->addressText == text.m_text) {
            t_resolved.erase(it);
            break;
        }
    }
    if (t_resolved.size() >= kResolvedNamesKept) t_resolved.pop_back();
    t_resolved.insert(t_resolved.begin(), ResolvedName{name, text.m_text});
}

int FamilyOf(CLumIPAddr::IP_FAMILY family) {
    switch (family) {
    case CLumIPAddr::IP_FAMILY_V4: return AF_INET;
    case CLumIPAddr::IP_FAMILY_V6: return AF_INET6;
    default: return AF_UNSPEC;
    }
}

// The address of `addresses` to use for `family`: the first IPv4 one when
// IPv4 is admitted, else the first IPv6 one.
const CLumIPAddr* Choose(const std::vector<CLumIPAddr>& addresses, int family) {
    const CLumIPAddr* v6 = nullptr;
    for (const CLumIPAddr& a : addresses) {
        const int f = a.m_address.ss_family;
        if (f == AF_INET && family != AF_INET6) return &a;
        if (f == AF_INET6 && family != AF_INET && v6 == nullptr) v6 = &a;
    }
    return v6;
}

// Appends the entries of a getaddrinfo list that fit a sockaddr_storage.
void Append(const addrinfo* list, std::vector<CLumIPAddr>& addresses) {
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        CLumIPAddr address;
        memcpy(&address.m_address, ai->ai_addr, ai->ai_addrlen);
        address.m_length = ai->ai_addrlen;
        addresses.push_back(address);
    }
}

addrinfo Hints(int family, int flags) {
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

// The system resolver: getaddrinfo, which can block for as long as the
// resolver's own retries last.
int SystemResolver(const std::string& name, CLumIPAddr::IP_FAMILY family,
                   std::vector<CLumIPAddr>& addresses) {
    const addrinfo hints = Hints(FamilyOf(family), 0);
    addrinfo* result = nullptr;
    const int status = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (status != 0) return status;
    Append(result, addresses);
    freeaddrinfo(result);
    return 0;
}

std::atomic<CLumIPAddr::Resolver> g_resolver{nullptr};  // null: SystemResolver

CLumError NoAddressOfFamily(const FXCodeLocation& at, const char* name, int family) {
    return FXErrorUtil::ErrorWin32(at, kHostNotFound, "Host name [%s] has no %s address", name,
                                   family == AF_INET ? "IPv4" : "IPv6");
}

CLumError ResolverFailure(const FXCodeLocation& at, const char* name, int rc) {
    const unsigned int win32 = (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL)
                                   ? kHostNotFound
                               : rc == EAI_AGAIN ? kTryAgain
                                                 : WIN32_ERROR_INTERNAL_ERROR;
    return FXErrorUtil::ErrorWin32(at, win32, "Host name [%s] could not be resolved: %s", name,
                                   gai_strerror(rc));
}

CLumError TimedOut(const FXCodeLocation& at, const char* name, unsigned int timeoutMs) {
    const std::string waited = timeoutMs % 1000 == 0 && timeoutMs != 0
                                   ? std::to_string(timeoutMs / 1000) + " s"
                                   : std::to_string(timeoutMs) + " ms";
    return FXErrorUtil::ErrorWin32(at, kTimeout,
                                   "Host name [%s] could not be resolved: timed out after %s", name,
                                   waited.c_str());
}

// One name lookup, shared by the caller and the thread that runs it; the
// last of the two to let go frees it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;                  // guarded by mutex
    int status = 0;                     // guarded by mutex
    std::vector<CLumIPAddr> addresses;  // guarded by mutex
};

// Lookup threads still running, including those whose caller gave up. A
// resolver that hangs must not make the process collect threads without end.
const int kMaxRunningLookups = 32;
std::atomic<int> g_runningLookups{0};

// Runs the resolver on a detached thread. The thread holds only shared
// state, so a caller that stops waiting leaves nothing behind it that the
// thread still uses. The library must stay loaded while such a thread runs
// (the host does not unload its framework).
bool StartLookup(const std::shared_ptr<Lookup>& lookup, const std::string& name,
                 CLumIPAddr::IP_FAMILY family) {
    if (g_runningLookups.fetch_add(1) >= kMaxRunningLookups) {
        g_runningLookups.fetch_sub(1);
        return false;
    }
    CLumIPAddr::Resolver resolver = g_resolver.load();
    if (resolver == nullptr) resolver = SystemResolver;
    try {
        std::thread([lookup, name, family, resolver] {
            std::vector<CLumIPAddr> addresses;
            const int status = resolver(name, family, addresses);
            {
                std::lock_guard<std::mutex> lock(lookup->mutex);
                lookup->status = status;
                lookup->addresses = std::move(addresses);
                lookup->done = true;
            }
            lookup->finished.notify_all();
            g_runningLookups.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        g_runningLookups.fetch_sub(1);
        return false;
    }
    return true;
}

}  // namespace

CLumIPAddr::CLumIPAddr() : m_length(0) { memset(&m_address, 0, sizeof(m_address)); }

void CLumIPAddr::SetLookupTimeoutMs(unsigned int ms) { g_lookupTimeoutMs.store(ms); }

void CLumIPAddr::SetResolver(Resolver resolver) { g_resolver.store(resolver); }

CLumError CLumIPAddr::GetByName(const char* name, CLumIPAddr& address, IP_FAMILY family) {
    if (name == nullptr || name[0] == '\0') {
        return FXErrorUtil::ErrorWin32(NSB_HERE, WIN32_ERROR_BAD_ARGUMENTS, "No host name given");
    }
    const int wanted = FamilyOf(family);

    // An address text is parsed on the spot and never sent to a resolver,
    // also when its family is not the one asked for.
    const addrinfo hints = Hints(AF_UNSPEC, AI_NUMERICHOST);
    addrinfo* numeric = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &numeric) == 0) {
        std::vector<CLumIPAddr> parsed;
        Append(numeric, parsed);
        freeaddrinfo(numeric);
        const CLumIPAddr* chosen = Choose(parsed, wanted);
        if (chosen == nullptr) return NoAddressOfFamily(NSB_HERE, name, wanted);
        address = *chosen;
        return CLumError::Success();
    }

    const std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
    if (!StartLookup(lookup, name, family)) {
        return FXErrorUtil::ErrorWin32(NSB_HERE, kTryAgain,
                                       "Host name [%s] could not be resolved: too many lookups "
                                       "are still running",
                                       name);
    }

    const unsigned int timeoutMs = g_lookupTimeoutMs.load();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->finished.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&lookup] { return lookup->done; })) {
        return TimedOut(NSB_HERE, name, timeoutMs);
    }
    if (lookup->status != 0) return ResolverFailure(NSB_HERE, name, lookup->status);
    const CLumIPAddr* chosen = Choose(lookup->addresses, wanted);
    if (chosen == nullptr) return NoAddressOfFamily(NSB_HERE, name, wanted);
    address = *chosen;
    RememberResolved(name, address);
    return CLumError::Success();
}

std::string CLumIPAddr::NameResolvedTo(const std::string& addressText) {
    for (const ResolvedName& resolved : t_resolved)
        if (resolved.addressText == addressText) return resolved.name;
    return std::string();
}

CLumError CLumIPAddr::GetAddressString(CLumString& text) const {
    text.m_text.clear();
    char buffer[INET6_ADDRSTRLEN];
    const char* written = nullptr;
    unsigned int scope = 0;
    if (m_address.ss_family == AF_INET && m_length >= sizeof(sockaddr_in)) {
        const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(&m_address);
        written = inet_ntop(AF_INET, &v4->sin_addr, buffer, sizeof(buffer));
    } else if (m_address.ss_family == AF_INET6 && m_length >= sizeof(sockaddr_in6)) {
        const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(&m_address);
        written = inet_ntop(AF_INET6, &v6->sin6_addr, buffer, sizeof(buffer));
        scope = v6->sin6_scope_id;
    } else {
        return FXErrorUtil::ErrorWin32(NSB_HERE, WIN32_ERROR_BAD_ARGUMENTS,
                                       "The address is not set");
    }
    if (written == nullptr) {
        return FXErrorUtil::ErrorWin32(NSB_HERE, WIN32_ERROR_INTERNAL_ERROR,
                                       "The address could not be written as text: %s",
                                       strerror(errno));
    }
    text.m_text = buffer;
    if (scope != 0) {
        // A link-local address is only usable together with its interface.
        char interfaceName[IF_NAMESIZE];
        text.m_text += '%';
        text.m_text += if_indextoname(scope, interfaceName) != nullptr ? std::string(interfaceName)
                                                                       : std::to_string(scope);
    }
    return CLumError::Success();
}

namespace {

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<unsigned long, std::string>& Registry() {
    static std::map<unsigned long, std::string> registry;
    return registry;
}

std::atomic<unsigned long> g_vessaCellId{0};

}  // namespace

ORVClient::ORVClient(unsigned long clientId) : m_clientId(clientId) {}
ORVClient::~ORVClient() {}

int ORVClient::getNetworkHostname(std::string& name, void*) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    const auto it = Registry().find(m_clientId);
    if (it == Registry().end()) return -1;
    name = it->second;
    return 0;
}

void ORVClient::RegisterClient(unsigned long clientId, const std::string& hostName) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry()[clientId] = hostName;
}

void ORVClient::ClearRegistry() {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().clear();
}

ORVPI_VessaServer::ORVPI_VessaServer() {}
ORVPI_VessaServer::~ORVPI_VessaServer() {}

unsigned long ORVPI_VessaServer::getVessaCellId() { return g_vessaCellId.load(); }

void ORVPI_VessaServer::SetVessaCellId(unsigned long id) { g_vessaCellId.store(id); }
