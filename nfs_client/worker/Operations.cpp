// The one choice of protocol for both operations: what the cache or a probe
// says the server speaks decides which protocol's functions do the work.
// NFSv4.1 and 4.2 run the same NFSv4 functions within a session made for
// the call and torn down at its end, whatever its outcome.
#include <algorithm>  // std::min

#include "nfs_client/worker/nfs4/Nfs4Channel.h"  // kNfs4Port, Nfs4Channel
#include "nfs_client/worker/Protocol.h"

namespace nfsclient {
namespace {

// Tearing a session down waits at most this long (and never longer than a
// step's timeout): its failure is only noticed.
constexpr unsigned int kTeardownCapMs = 500;

// The connection to the NFSv4 service: the probe's, or a new one when the
// protocol came from the cache.
Connection& Nfs4Connection(Call& call, std::unique_ptr<Connection>& nfs4) {
    if (!nfs4) {
        nfs4 = std::make_unique<Connection>(call.address, call.family, call.limits.stepMs);
        nfs4->Limit(call.setupLimit);
        if (CheckNfs4Sender(*nfs4)) nfs4->Connect(kNfs4Port, "NFSv4 service (port 2049)");
    }
    return *nfs4;
}

// The teardown's time: a short cap from now, and no later than the call's
// `deadline` (when the session was never made, the setup's).
Connection::Clock::time_point TeardownLimit(const Call& call, bool opened,
                                            Connection::Clock::time_point deadline) {
    const Connection::Clock::time_point capped =
        Connection::Clock::now() +
        std::chrono::milliseconds(std::min(kTeardownCapMs, call.limits.stepMs));
    return std::min({capped, deadline, opened ? deadline : call.setupLimit});
}

// Runs `work` on the NFSv4 service; for NFSv4.1 and 4.2 inside a session.
template <typename Work>
bool OnNfs4(Call& call, Connection& connection, Connection::Clock::time_point deadline, Work work) {
    Nfs4Channel channel(call, connection);
    if (call.profile.protocol == Protocol::Nfs4) return work(&channel);
    const bool opened = channel.OpenSession();
    bool ok = false;
    if (opened)
        ok = work(&channel);
    else
        Concluded(call, connection);  // a refusal is on the call already
    channel.CloseSession(TeardownLimit(call, opened, deadline));
    return ok;
}

// `work` runs the operation on the NFSv3 functions (null channel) or on the
// NFSv4 service. `deadline`: when the whole operation must be done
// (Clock::time_point::max() for none beyond each step's).
template <typename Work>
bool OnServer(Call& call, Connection::Clock::time_point deadline, Work work) {
    std::unique_ptr<Connection> nfs4;
    if (call.profile.protocol == Protocol::Unknown && !ProbeServer(call, nfs4)) return false;
    switch (call.profile.protocol) {
    case Protocol::Nfs3: return work(nullptr);
    case Protocol::Nfs4:
    case Protocol::Nfs41: return OnNfs4(call, Nfs4Connection(call, nfs4), deadline, work);
    case Protocol::Unknown: break;
    }
    call.error = "NFS server " + std::string(call.address) + ": no protocol found";
    return false;
}

}  // namespace

bool ReadExports(Call& call, const ExportVisitor& visit) {
    // A whole export list must be done within the setup's time (Call).
    return OnServer(call, call.setupLimit, [&](Nfs4Channel* nfs4) {
        return nfs4 != nullptr ? Nfs4ReadExports(call, *nfs4, visit) : Nfs3ReadExports(call, visit);
    });
}

bool ListDirectory(Call& call, const std::vector<std::string>& components,
                   const std::string& directory, EntryDelivery& delivery) {
    return OnServer(call, Connection::Clock::time_point::max(), [&](Nfs4Channel* nfs4) {
        return nfs4 != nullptr ? Nfs4List(call, *nfs4, components, directory, delivery)
                               : Nfs3List(call, components, directory, delivery);
    });
}

}  // namespace nfsclient
