// The one choice of protocol for both operations: what the cache or a probe
// says the server speaks picks the protocol's variant from one table, and
// the operation runs on it between its Open and its Close.
#include "nfs_client/worker/Protocol.h"

namespace nfsclient {
namespace {

// Every protocol the worker speaks, by the value the probe and the cache
// give it. A new protocol is a new row (and its value in PipeTypes.h).
struct ProtocolRow {
    Protocol protocol;
    std::unique_ptr<ProtocolVariant> (*make)(Call& call, std::unique_ptr<Connection>& probed);
};
constexpr ProtocolRow kProtocols[] = {
    {Protocol::Nfs3, &MakeNfs3Variant},
    {Protocol::Nfs4, &MakeNfs40Variant},
    {Protocol::Nfs41, &MakeNfs41Variant},
};

// Runs `work` on the server's protocol, probed first when the call does not
// know it. `deadline`: when the whole operation must be done
// (Clock::time_point::max() for none beyond each step's).
template <typename Work>
bool OnServer(Call& call, Connection::Clock::time_point deadline, Work work) {
    std::unique_ptr<Connection> probed;  // outlives the variant, which may use it
    if (call.profile.protocol == Protocol::Unknown && !ProbeServer(call, probed)) return false;
    for (const ProtocolRow& row : kProtocols) {
        if (row.protocol != call.profile.protocol) continue;
        const std::unique_ptr<ProtocolVariant> variant = row.make(call, probed);
        const bool ok = variant->Open() && work(*variant);
        variant->Close(deadline);
        return ok;
    }
    call.status = Status::AtServer(call.address, "", "no protocol found");
    return false;
}

}  // namespace

bool ReadExports(Call& call, const ExportVisitor& visit) {
    // A whole export list must be done within the setup's time (Call).
    return OnServer(call, call.setupLimit,
                    [&](ProtocolVariant& protocol) { return protocol.ReadExports(visit); });
}

bool ListDirectory(Call& call, const std::vector<std::string>& components,
                   const std::string& directory, EntryDelivery& delivery) {
    return OnServer(call, Connection::Clock::time_point::max(), [&](ProtocolVariant& protocol) {
        return protocol.List(components, directory, delivery);
    });
}

}  // namespace nfsclient
