// The protocols a server is browsed with, and the small set of functions
// each offers the entry points (nfs_client/Client.cpp), which make the one
// choice between them.
#pragma once

#include <chrono>      // steady_clock
#include <functional>  // std::function
#include <memory>      // std::unique_ptr
#include <string>      // std::string
#include <vector>      // std::vector

#include "nfs_client/Connection.h"   // Connection
#include "nfs_client/ListingCore.h"  // EntryDelivery

namespace nfsclient {

enum class Protocol {
    Unknown,  // not probed yet
    Nfs3,     // MOUNT v3 + NFSv3, found through the portmapper
    Nfs4,     // NFSv4.0 on port 2049, no MOUNT
    Nfs41,    // NFSv4.1 or 4.2 sessions on port 2049 (4.0 refused), no MOUNT
};

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

// One call of an entry point: the server, its bounds and what is known of it.
struct Call {
    using Clock = std::chrono::steady_clock;
    Call(const char* address, int family, const CallLimits& limits)
        : address(address), family(family), limits(limits), setupLimit(Clock::time_point::max()) {}

    const char* address;
    int family;
    CallLimits limits;
    // Everything before the first entry of a listing (probe, export list,
    // mount, lookups), and a whole export list, must be done by then. None
    // by default: each step may take the step timeout (counted from the
    // connection's last progress), so a server that answers every step just
    // inside it is served; the call limit, kept by the side that runs the
    // worker, bounds the whole.
    Clock::time_point setupLimit;
    ServerProfile profile;  // hints on entry (Unknown: probe first); what was learned
    std::string error;      // the failure text, "NFS server <address>, <step>: <cause>"
    bool timedOut = false;  // the failure was a timeout
    // Takes notices for the host's log (level 2): an export path or an
    // entry left out, an entry whose type could not be had. May be empty.
    std::function<void(const std::string&)> notice;

    void Notice(const std::string& text) const {
        if (notice) notice(text);
    }
    // Fails the call with a text of the usual form; the first failure wins.
    void Fail(const std::string& step, const std::string& cause) {
        if (error.empty())
            error = "NFS server " + std::string(address) + ", " + step + ": " + cause;
    }
};

// Takes export paths as they are found; false ends the report early, which
// is not a failure.
using ExportVisitor = std::function<bool(const char* path)>;

// The two operations, on whichever protocol the server speaks (probed first
// unless call.profile says). Operations.cpp.
bool ReadExports(Call& call, const ExportVisitor& visit);
bool ListDirectory(Call& call, const std::vector<std::string>& components,
                   const std::string& directory, EntryDelivery& delivery);

// Records a connection's failure on the call; returns false when it failed.
bool Concluded(Call& call, const Connection& connection);

// ---------------------------------------------------------------------------
// Probe (Probe.cpp): which protocol the server speaks. Fills call.profile
// (protocol, and for NFSv3 the MOUNT and NFS ports). Returns the connection
// to the NFSv4 service when the protocol is Nfs4 or Nfs41, for the call to go
// on with. False, with call.error, when the server answers neither.
bool ProbeServer(Call& call, std::unique_ptr<Connection>& nfs4);

// ---------------------------------------------------------------------------
// NFSv3 with MOUNT (Nfs3Exports.cpp, Nfs3Listing.cpp). Both need the ports in
// call.profile.

// Reads the MOUNT export list and reports it in the server's order; keeps
// the list in call.profile.
bool Nfs3ReadExports(Call& call, const ExportVisitor& visit);
// Lists the directory `components` (already normalised; `directory` names it
// in texts): chooses the longest export holding it from call.profile.exports
// (read first when absent), mounts it, looks up the rest, then READDIRPLUS
// page by page.
bool Nfs3List(Call& call, const std::vector<std::string>& components, const std::string& directory,
              EntryDelivery& delivery);

// ---------------------------------------------------------------------------
// NFSv4 without MOUNT (Nfs4Exports.cpp, Nfs4Listing.cpp), on the call's
// NFSv4 service (Nfs4.h) over port 2049 (connected by the probe, or by the
// caller).

class Nfs4Channel;
// Walks the pseudo file system for the export roots; reports them in byte order.
bool Nfs4ReadExports(Call& call, Nfs4Channel& channel, const ExportVisitor& visit);
bool Nfs4List(Call& call, Nfs4Channel& channel, const std::vector<std::string>& components,
              const std::string& directory, EntryDelivery& delivery);

}  // namespace nfsclient
