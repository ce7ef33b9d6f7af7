// The types both sides of the NFS client library share: what the library
// hands the worker with a call (the server's profile from the cache, the
// call's bounds) and what the worker hands back for the cache. The frames
// that carry them are WorkerFrames.h.
#pragma once

#include <cstddef>  // size_t
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
    int nfsPort = 0;    // NFSv3: NFS v3 over TCP; 0 when not registered
    bool hasExports = false;
    std::vector<std::string> exports;  // NFSv3: the MOUNT export list as the server spelled it
    // Protocol::Nfs41: the minor version the server took (1 or 2); 0 until
    // known (then 1 is tried first, and 2 when 1 is refused).
    unsigned nfs4Minor = 0;
};

// Bounds of one call, from the library's settings.
struct CallLimits {
    unsigned int stepMs = 10000;  // longest wait for any one reply
    unsigned long long maxEntries = 10000000;
    size_t maxExports = 100000;
};

}  // namespace nfsclient
