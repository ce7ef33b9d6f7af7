// The NFSv4 variants, on the call's NFSv4 service over port 2049: NFSv4.0
// as it is, and NFSv4.1 and 4.2 within a session made for the call and torn
// down at its end, whatever its outcome.
#include <algorithm>  // std::min

#include "nfs_client/worker/Protocol.h"
#include "nfs_client/worker/nfs4/Nfs4Channel.h"   // kNfs4Port, Nfs4Channel
#include "nfs_client/worker/nfs4/Nfs4Security.h"  // Nfs4StartSecurity, Nfs4Renegotiate

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

// NFSv4.0: COMPOUNDs without a session.
class Nfs40Variant : public ProtocolVariant {
public:
    Nfs40Variant(Call& call, std::unique_ptr<Connection>& probed)
        : m_call(call), m_channel(call, Nfs4Connection(call, probed)) {}
    bool Open() override {
        if (Nfs4StartSecurity(m_call, m_channel)) return true;
        Concluded(m_call, m_channel.Link());
        return false;
    }
    void Close(Connection::Clock::time_point deadline) override {
        Nfs4EndSecurity(m_call, m_channel.Link(), deadline);
    }
    bool ReadExports(const ExportVisitor& visit) override {
        return Nfs4ReadExports(m_call, m_channel, visit);
    }
    // A walk refused NFS4ERR_WRONGSEC goes on once more with the flavour
    // the server names for it.
    bool List(const std::vector<std::string>& components, const std::string& directory,
              EntryDelivery& delivery) override {
        if (Nfs4List(m_call, m_channel, components, directory, delivery)) return true;
        return m_call.wrongSecurity && Nfs4Renegotiate(m_call, m_channel, components) &&
               Nfs4List(m_call, m_channel, components, directory, delivery);
    }

protected:
    Call& m_call;
    Nfs4Channel m_channel;
};

// NFSv4.1 and 4.2: the same operations within a session.
class Nfs41Variant final : public Nfs40Variant {
public:
    using Nfs40Variant::Nfs40Variant;
    bool Open() override {
        if (!Nfs40Variant::Open()) return false;
        m_opened = m_channel.OpenSession();
        if (!m_opened) Concluded(m_call, m_channel.Link());  // a refusal is on the call already
        return m_opened;
    }
    void Close(Connection::Clock::time_point deadline) override {
        m_channel.CloseSession(TeardownLimit(m_call, m_opened, deadline));
        Nfs40Variant::Close(deadline);
    }

private:
    bool m_opened = false;
};

}  // namespace

std::unique_ptr<ProtocolVariant> MakeNfs40Variant(Call& call, std::unique_ptr<Connection>& probed) {
    return std::make_unique<Nfs40Variant>(call, probed);
}

std::unique_ptr<ProtocolVariant> MakeNfs41Variant(Call& call, std::unique_ptr<Connection>& probed) {
    return std::make_unique<Nfs41Variant>(call, probed);
}

}  // namespace nfsclient
