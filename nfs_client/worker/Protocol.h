// The worker's side of one call: the call itself (Call), the two
// operations the worker runs (ReadExports, ListDirectory: Operations.cpp,
// where the table of protocols makes the one choice between them), the
// probe, and each protocol's functions.
#pragma once

#include <chrono>      // steady_clock
#include <functional>  // std::function
#include <memory>      // std::unique_ptr, std::shared_ptr
#include <string>      // std::string
#include <vector>      // std::vector

#include "nfs_client/worker/rpc/Connection.h"  // Connection
#include "nfs_client/ListingCore.h"            // EntryDelivery
#include "nfs_client/PipeTypes.h"              // Protocol, ServerProfile, CallLimits
#include "nfs_client/Status.h"                 // Status

namespace nfsclient {

struct MountAhead;  // nfs3/Nfs3Exports.cpp

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
    // The flavour asked for and the credentials (Nfs3Security.cpp and
    // nfs4/Nfs4Security.cpp choose and set it up).
    Security security;
    // NFSv4 (nfs4/Nfs4Security.h): the walk met NFS4ERR_WRONGSEC for the
    // first `wrongSecurityDepth` components of its path; the flavour was
    // negotiated once already.
    bool wrongSecurity = false;
    size_t wrongSecurityDepth = 0;
    bool securityNegotiated = false;
    // NFSv3: the MOUNT connection an export list answered by datagram left
    // open for the MNT that follows (Nfs3MountAhead); null when none.
    std::shared_ptr<MountAhead> mountAhead;
    Status status;  // the call's first failure, "NFS server <address>, <step>: <cause>"
    // Takes notices for the host's log (level 2): an export path or an
    // entry left out, an entry whose type could not be had. May be empty.
    std::function<void(const std::string&)> notice;

    void Notice(const std::string& text) const {
        if (notice) notice(text);
    }
    // Fails the call with a text of the usual form; the first failure wins.
    void Fail(const std::string& step, const std::string& cause) {
        status.Keep(Status::AtServer(address, step, cause));
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

// One protocol a server is browsed with, for one call: the two operations
// on it, between Open and Close. One variant per Protocol value, made by
// the table in Operations.cpp from what the probe (or the cache) says the
// server speaks; a new protocol is a new variant and a new row there.
class ProtocolVariant {
public:
    virtual ~ProtocolVariant() = default;
    // Readies what the operations need (NFSv4.1: the session); false, with
    // the failure on the call, when it could not.
    virtual bool Open() { return true; }
    // Undoes what Open made, whatever the outcome; nothing waits beyond
    // `deadline`, when the whole operation must be done.
    virtual void Close(Connection::Clock::time_point deadline) { (void)deadline; }
    virtual bool ReadExports(const ExportVisitor& visit) = 0;
    virtual bool List(const std::vector<std::string>& components, const std::string& directory,
                      EntryDelivery& delivery) = 0;
};

// The variants (nfs3/Nfs3Protocol.cpp, nfs4/Nfs4Protocol.cpp). `probed` is
// the connection the probe left to the NFSv4 service (null when the
// protocol came from the cache: NFSv4 variants then connect themselves); it
// must outlive the variant.
std::unique_ptr<ProtocolVariant> MakeNfs3Variant(Call& call, std::unique_ptr<Connection>& probed);
std::unique_ptr<ProtocolVariant> MakeNfs40Variant(Call& call, std::unique_ptr<Connection>& probed);
std::unique_ptr<ProtocolVariant> MakeNfs41Variant(Call& call, std::unique_ptr<Connection>& probed);

// Records a connection's failure on the call; returns false when it failed.
bool Concluded(Call& call, const Connection& connection);

// ---------------------------------------------------------------------------
// Probe (Probe.cpp): which protocol the server speaks. Fills call.profile
// (protocol, and for NFSv3 the MOUNT and NFS ports). Returns the connection
// to the NFSv4 service when the protocol is Nfs4 or Nfs41, for the call to go
// on with. False, with call.status, when the server answers neither.
bool ProbeServer(Call& call, std::unique_ptr<Connection>& nfs4);

// ---------------------------------------------------------------------------
// NFSv3 with MOUNT (Nfs3Exports.cpp, Nfs3Listing.cpp). Both need the ports in
// call.profile.

// Reads the MOUNT export list and reports it in the server's order; keeps
// the list in call.profile. With `keepForMount`, a list answered by
// datagram leaves its MOUNT connection to the call for the MNT.
bool Nfs3ReadExports(Call& call, const ExportVisitor& visit, bool keepForMount = false);
// That connection, while it is sound; else null.
Connection* Nfs3MountAhead(Call& call);
// Lists the directory `components` (already normalised; `directory` names it
// in texts): chooses the longest export holding it from call.profile.exports
// (read first when absent), mounts it, looks up the rest, then READDIRPLUS
// page by page.
bool Nfs3List(Call& call, const std::vector<std::string>& components, const std::string& directory,
              EntryDelivery& delivery);

// ---------------------------------------------------------------------------
// NFSv4 without MOUNT (Nfs4Exports.cpp, Nfs4Listing.cpp), on the call's
// NFSv4 service (Nfs4Channel.h) over port 2049 (connected by the probe, or by the
// caller).

class Nfs4Channel;
// Walks the pseudo file system for the export roots; reports them in byte order.
bool Nfs4ReadExports(Call& call, Nfs4Channel& channel, const ExportVisitor& visit);
bool Nfs4List(Call& call, Nfs4Channel& channel, const std::vector<std::string>& components,
              const std::string& directory, EntryDelivery& delivery);

}  // namespace nfsclient
