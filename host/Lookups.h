// The host's lookups: a file server's address by name, a client's network
// host name by client id, this host's VessaCell id, and the command line.
#pragma once

#include <string>        // std::string
#include <vector>        // std::vector
#include <sys/socket.h>  // sockaddr_storage, socklen_t

#include "host/LumError.h"  // CLumError
#include "host/Platform.h"  // HOST_API

// A text owned by the host's network library.
class HOST_API CLumString {
public:
    const char* c_str() const { return m_text.c_str(); }  // "" when empty
    bool empty() const { return m_text.empty(); }
    std::string m_text;
};

// One resolved network address.
class HOST_API CLumIPAddr {
public:
    enum IP_FAMILY { IP_FAMILY_ANY = 0, IP_FAMILY_V4 = 4, IP_FAMILY_V6 = 6 };

    CLumIPAddr();

    // Resolves `name` (a host name or an address text). An address text is
    // parsed on the spot; a host name goes to the resolver (the system
    // resolver unless SetResolver says otherwise). IP_FAMILY_ANY admits IPv4
    // and IPv6 and prefers IPv4 when a name has both. Never blocks longer
    // than the lookup timeout (see SetLookupTimeoutMs). A null or empty name
    // is an error.
    static CLumError GetByName(const char* name, CLumIPAddr& address, IP_FAMILY family);

    // The numeric text form ("127.0.0.1", "::1"); empty for an unset address.
    CLumError GetAddressString(CLumString& text) const;

    // ---- Our stand-in host only: set by the host program and by tests. Not
    // part of the host's interface; the plug-in never calls these. ----

    // Upper bound of one GetByName call, in milliseconds (default 5000).
    static void SetLookupTimeoutMs(unsigned int ms);

    // A resolver of host names: appends the addresses of `name` of `family`
    // to `addresses`, in the order it prefers them, and returns 0; or returns
    // an EAI_* code of <netdb.h> ("no such name" is EAI_NONAME). It may block:
    // GetByName runs it on a thread of its own and stops waiting for it after
    // the lookup timeout, so it must be callable from any thread and must use
    // nothing of its caller's.
    typedef int (*Resolver)(const std::string& name, IP_FAMILY family,
                            std::vector<CLumIPAddr>& addresses);

    // Host names are resolved by `resolver` from now on; null puts the system
    // resolver (getaddrinfo) back. Lookups under way finish with the resolver
    // they started with. Unit tests install one (tests/fakes/FakeResolver.h)
    // so that no test asks the machine's resolver.
    static void SetResolver(Resolver resolver);

    // The host name that GetByName last resolved to `addressText` (as
    // GetAddressString writes it) on the calling thread, among the last few
    // names it resolved; empty when none (an address text given as the name
    // is not a host name and is not recorded). Our NFS client library takes
    // the file server's name from here: Kerberos needs it, and the plug-in
    // hands the library only the address.
    static std::string NameResolvedTo(const std::string& addressText);

    sockaddr_storage m_address;
    socklen_t m_length;
};

// A client of this host, known by its id.
class HOST_API ORVClient {
public:
    explicit ORVClient(unsigned long clientId);
    ~ORVClient();

    // Writes the client's network host name into `name` and returns 0, or
    // returns non-zero (leaving `name` unchanged) when the id is unknown.
    int getNetworkHostname(std::string& name, void* reserved);

    // ---- Our stand-in host only: the client registry, filled by the host
    // program (--client-host) and by tests. Thread-safe. ----
    static void RegisterClient(unsigned long clientId, const std::string& hostName);
    static void ClearRegistry();

private:
    unsigned long m_clientId;
};

// This host's own server object, as the plug-in sees it.
class HOST_API ORVPI_VessaServer {
public:
    ORVPI_VessaServer();
    ~ORVPI_VessaServer();
    // This host's VessaCell id; 0 when the host has not set one.
    unsigned long getVessaCellId();

    // ---- Our stand-in host only: set by the host program (--cell-id) and by
    // tests. Thread-safe. ----
    static void SetVessaCellId(unsigned long id);
};

// The host's command-line arguments, handed to components at start-up.
class HOST_API CCommandLineArguments {
public:
    std::vector<std::string> m_arguments;
};
