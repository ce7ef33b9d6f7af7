// The NFSv3 variant: MOUNT v3 and NFSv3 on the ports the probe (or the
// cache) found; nothing to open or close beyond each call's connections.
#include "nfs_client/worker/Protocol.h"

namespace nfsclient {
namespace {

class Nfs3Variant final : public ProtocolVariant {
public:
    explicit Nfs3Variant(Call& call) : m_call(call) {}
    bool ReadExports(const ExportVisitor& visit) override { return Nfs3ReadExports(m_call, visit); }
    bool List(const std::vector<std::string>& components, const std::string& directory,
              EntryDelivery& delivery) override {
        return Nfs3List(m_call, components, directory, delivery);
    }

private:
    Call& m_call;
};

}  // namespace

std::unique_ptr<ProtocolVariant> MakeNfs3Variant(Call& call, std::unique_ptr<Connection>&) {
    return std::make_unique<Nfs3Variant>(call);
}

}  // namespace nfsclient
