#include "nfs_client/worker/nfs4/Nfs4Security.h"

#include <algorithm>  // std::min

#include "nfs_client/ListingCore.h"              // Nfs4StatusName
#include "nfs_client/Paths.h"                    // JoinServerPath
#include "nfs_client/worker/CallSecurity.h"      // ChooseFlavour, UseFlavour, EndFlavour
#include "nfs_client/worker/Protocol.h"          // Call
#include "nfs_client/worker/nfs4/Nfs4Channel.h"  // Nfs4Channel, Compound
#include "nfs_client/worker/rpc/GssAuth.h"       // IsKerberos

namespace nfsclient {
namespace {

constexpr int kNfsProgram = 100003;
constexpr int kNfsVersion = 4;

// What the SECINFO reply said.
struct Asked {
    bool answered = false;
    int status = 0;
    std::vector<OfferedFlavour> offered;
};

void OnSecinfo(Connection&, void* data, void* arg) {
    Asked& asked = *static_cast<Asked*>(arg);
    const auto& res = *static_cast<const v41::Compound41Res*>(data);
    if (res.count == 0) return;  // the transport checked the rest: results match what was sent
    const v41::Result41& last = res.results[res.count - 1];
    asked.answered = true;
    asked.status = last.status;
    if (last.status != 0 || (last.op != v41::kOpSecinfo && last.op != v41::kOpSecinfoNoName))
        return;
    const v41::SecinfoRes& secinfo = last.u.secinfo;
    for (uint32_t i = 0; i < secinfo.count && i < v41::kMaxSecinfoEntries; ++i) {
        const v41::SecinfoEntry& e = secinfo.entries[i];
        asked.offered.push_back(FromSecinfo(e.flavour, e.kerberos, e.service));
    }
}

std::string PathOf(const std::vector<std::string>& components, size_t depth) {
    return JoinServerPath(std::vector<std::string>(components.begin(),
                                                   components.begin() + static_cast<long>(depth)));
}

}  // namespace

bool Nfs4StartSecurity(Call& call, Nfs4Channel& channel) {
    if (!IsKerberos(call.security.flavour)) return true;
    return UseFlavour(call, channel.Link(), kNfsProgram, kNfsVersion, call.security.flavour);
}

bool NoteWrongSecurity(Call& call, size_t depth) {
    if (call.securityNegotiated || depth == 0) return false;
    call.wrongSecurity = true;
    call.wrongSecurityDepth = depth;
    return true;
}

bool Nfs4Renegotiate(Call& call, Nfs4Channel& channel, const std::vector<std::string>& components) {
    call.wrongSecurity = false;
    call.securityNegotiated = true;
    const size_t depth = std::min(call.wrongSecurityDepth, components.size());
    if (depth == 0) return false;
    const std::string path = PathOf(components, depth);
    // 4.0: SECINFO of the name in its parent. 4.1: SECINFO_NO_NAME of the
    // component itself, reached by a LOOKUP the server may not refuse when
    // SECINFO_NO_NAME follows it; a server that refuses it all the same
    // (nfs-ganesha) is asked with SECINFO, which 4.1 keeps.
    Asked asked;
    std::string step;
    for (bool named : {channel.MinorVersion() == 0, true}) {
        step = std::string(named ? "SECINFO" : "SECINFO_NO_NAME") + " of " + path.substr(0, 300) +
               " (the server answered NFS4ERR_WRONGSEC)";
        Compound compound;
        compound.PutRootFh();
        const size_t lookups = named ? depth - 1 : depth;
        for (size_t i = 0; i < lookups; ++i) compound.Lookup(components[i]);
        if (named)
            compound.Secinfo(components[depth - 1]);
        else
            compound.SecinfoNoName();
        asked = Asked();
        channel.Send(std::move(compound), &OnSecinfo, &asked, step);
        if (!channel.Drain()) {
            Concluded(call, channel.Link());
            return false;
        }
        if (named || asked.status != NFS4ERR_WRONGSEC) break;
    }
    if (!asked.answered || asked.status != 0) {
        call.Fail(step, (asked.answered ? "the server answered " + Nfs4StatusName(asked.status)
                                        : std::string("the server sent no result")) +
                            "; the export's security flavours could not be had (ask the file "
                            "server's administrator which one it takes, and give it)");
        return false;
    }
    std::string refusal;
    const Flavour chosen = ChooseFlavour(call.security.flavour, asked.offered, refusal);
    if (chosen == Flavour::Auto) {
        call.Fail("security of " + path.substr(0, 300), refusal);
        return false;
    }
    if (!IsKerberos(chosen) || chosen == call.security.flavour) {
        // What the server lists is what was used, and it still refused.
        call.Fail("security of " + path.substr(0, 300),
                  std::string("the server answered NFS4ERR_WRONGSEC for ") + FlavourName(chosen) +
                      ", which its SECINFO names; check the export's security settings on the "
                      "file server");
        return false;
    }
    call.Notice(ServerText(
        call.address, "",
        path.substr(0, 300) + " takes " + FlavourName(chosen) + " (SECINFO); going on with it"));
    if (UseFlavour(call, channel.Link(), kNfsProgram, kNfsVersion, chosen)) return true;
    Concluded(call, channel.Link());  // the context's failure, on the call
    return false;
}

void Nfs4EndSecurity(const Call& call, Connection& connection,
                     Connection::Clock::time_point deadline) {
    EndFlavour(call, connection, deadline);
}

}  // namespace nfsclient
