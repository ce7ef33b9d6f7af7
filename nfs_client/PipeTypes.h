// The types both sides of the NFS client library share: what the library
// hands the worker with a call (the server's profile from the cache, the
// call's bounds) and what the worker hands back for the cache. The frames
// that carry them are WorkerFrames.h.
#pragma once

#include <cstddef>  // size_t
#include <cstdint>  // uint8_t
#include <string>   // std::string
#include <vector>   // std::vector

namespace nfsclient {

enum class Protocol {
    Unknown,  // not probed yet
    Nfs3,     // MOUNT v3 + NFSv3, found through the portmapper
    Nfs4,     // NFSv4.0 on port 2049, no MOUNT
    Nfs41,    // NFSv4.1 or 4.2 sessions on port 2049 (4.0 refused), no MOUNT
};
// The last value: what a hints frame may carry (WorkerFrames.cpp). A new
// protocol goes before it here and gets its variant in the worker's table
// (worker/Operations.cpp).
constexpr Protocol kLastProtocol = Protocol::Nfs41;

// What a probe learned of a server; what the cache keeps between calls.
struct ServerProfile {
    Protocol protocol = Protocol::Unknown;
    int mountPort = 0;  // NFSv3: MOUNT v3 over TCP
    // NFSv3: MOUNT v3 over UDP, when the probe's datagram to the portmapper
    // said so (0: MOUNT is asked over TCP alone).
    int mountUdpPort = 0;
    int nfsPort = 0;  // NFSv3: NFS v3 over TCP; 0 when not registered
    bool hasExports = false;
    std::vector<std::string> exports;  // NFSv3: the MOUNT export list as the server spelled it
    // Protocol::Nfs41: the minor version the server took (1 or 2); 0 until
    // known (then 1 is tried first, and 2 when 1 is refused).
    unsigned nfs4Minor = 0;
};

// The RPC security flavour a call is made with (NFSClientSetSecurity).
// Auto: NFSv3 takes the first flavour of the MOUNT reply's list that the
// client speaks; NFSv4 starts with AUTH_SYS and, on NFS4ERR_WRONGSEC, takes
// the first flavour SECINFO (4.0) or SECINFO_NO_NAME (4.1) names that it
// speaks. Any other value is that flavour or a worded failure.
enum class Flavour : uint8_t { Auto = 0, Sys = 1, Krb5 = 2, Krb5i = 3, Krb5p = 4 };
constexpr Flavour kLastFlavour = Flavour::Krb5p;

// What a call may authenticate with: the library's settings and what the
// caller's process knows at the time of the call (a spare worker was
// started before it, so nothing of this comes from the worker's own
// environment).
struct Security {
    Flavour flavour = Flavour::Auto;
    // The file server's host name as the caller gave it (the service is
    // nfs@serverName); empty when the caller gave an address, which
    // Kerberos cannot use.
    std::string serverName;
    // A client keytab and the principal to take from it; both empty: the
    // credential cache below.
    std::string keytab;
    std::string principal;
    // The caller's KRB5CCNAME and KRB5_CONFIG at the time of the call
    // (empty: not set, the library's defaults).
    std::string credentialCache;
    std::string kerberosConfig;
};

// Bounds of one call, from the library's settings.
struct CallLimits {
    unsigned int stepMs = 10000;  // longest wait for any one reply
    unsigned long long maxEntries = 10000000;
    size_t maxExports = 100000;
};

}  // namespace nfsclient
