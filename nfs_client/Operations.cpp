// The one choice of protocol for both operations: what the cache or a probe
// says the server speaks decides which protocol's functions do the work.
#include "nfs_client/Nfs4.h"      // kNfs4Port, Nfs4Channel
#include "nfs_client/Protocol.h"

namespace nfsclient {
namespace {

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

// `work` runs the operation on the NFSv3 functions (null channel) or on the
// NFSv4 service.
template <typename Work>
bool OnServer(Call& call, Work work) {
    std::unique_ptr<Connection> nfs4;
    if (call.profile.protocol == Protocol::Unknown && !ProbeServer(call, nfs4)) return false;
    switch (call.profile.protocol) {
    case Protocol::Nfs3: return work(nullptr);
    case Protocol::Nfs4: {
        Nfs4Channel channel(call, Nfs4Connection(call, nfs4));
        return work(&channel);
    }
    case Protocol::Nfs4MinorOnly: call.error = MinorVersionText(call.address); return false;
    case Protocol::Unknown: break;
    }
    call.error = "NFS server " + std::string(call.address) + ": no protocol found";
    return false;
}

}  // namespace

bool ReadExports(Call& call, const ExportVisitor& visit) {
    return OnServer(call, [&](Nfs4Channel* nfs4) {
        return nfs4 != nullptr ? Nfs4ReadExports(call, *nfs4, visit) : Nfs3ReadExports(call, visit);
    });
}

bool ListDirectory(Call& call, const std::vector<std::string>& components, const std::string& directory,
                   EntryDelivery& delivery) {
    return OnServer(call, [&](Nfs4Channel* nfs4) {
        return nfs4 != nullptr ? Nfs4List(call, *nfs4, components, directory, delivery)
                               : Nfs3List(call, components, directory, delivery);
    });
}

}  // namespace nfsclient
