// Which protocol a server is browsed with: asks the portmapper for MOUNT v3
// and NFS v3 and, at the same time, sends an NFSv4 PUTROOTFH (minor version
// 0) to port 2049. NFSv3 where MOUNT answers; else NFSv4.0; else, when 4.0
// is refused (NFS4ERR_MINOR_VERS_MISMATCH), NFSv4.1 / 4.2.
#include <netinet/in.h>   // IPPROTO_TCP, AF_INET

#include <cstring>        // memcpy

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>    // MOUNT_PROGRAM, MOUNT_V3
#include <nfsc/libnfs-raw-nfs.h>      // NFS_PROGRAM, NFS_V3
#include <nfsc/libnfs-raw-portmap.h>  // rpc_pmap2_getport_async, rpc_pmap3_getaddr_async

#include "nfs_client/Nfs4.h"          // SendNfs4, CheckNfs4Sender
#include "nfs_client/Paths.h"         // PortOfUniversalAddress
#include "nfs_client/Protocol.h"

namespace nfsclient {
namespace {

constexpr int kPortmapperPort = 111;
// How long an answering NFSv4 service waits for a silent portmapper, from
// the start of the probe. A server that has both answers both within a
// millisecond or two on a LAN.
constexpr unsigned int kGraceMs = 300;

const char kPortmapperStep[] = "portmapper (port 111)";

enum class State { Pending, Yes, No };

struct PortLookup {
    int* port;
    State* state;
};

void OnPort(Connection& connection, void* reply, void* arg) {
    const auto* lookup = static_cast<PortLookup*>(arg);
    int port = 0;
    if (connection.Family() == AF_INET) {
        uint32_t value = 0;
        memcpy(&value, reply, sizeof value);
        port = static_cast<int>(value);
    } else {
        port = PortOfUniversalAddress(static_cast<pmap3_string_result*>(reply)->addr);
    }
    *lookup->port = port > 0 && port <= 65535 ? port : 0;
    *lookup->state = *lookup->port != 0 ? State::Yes : State::No;
}

// Asks the portmapper for the TCP port of `program` `version`.
void LookUpPort(Connection& pmap, int program, int version, PortLookup& lookup) {
    if (pmap.Family() == AF_INET) {
        pmap.Send(kPortmapperStep, &OnPort, &lookup, [&](Connection::Callback cb, void* data) {
            return rpc_pmap2_getport_async(pmap.Context(), program, version, IPPROTO_TCP, cb, data);
        });
        return;
    }
    pmap.Send(kPortmapperStep, &OnPort, &lookup, [&](Connection::Callback cb, void* data) {
        char netid[] = "tcp6";
        char empty[] = "";
        pmap3_mapping map{static_cast<u_int>(program), static_cast<u_int>(version), netid, empty, empty};
        return rpc_pmap3_getaddr_async(pmap.Context(), &map, cb, data);
    });
}

struct RootProbe {
    State answered = State::Pending;
    bool minorMismatch = false;
};

void OnRoot(Connection&, void* reply, void* arg) {
    auto* probe = static_cast<RootProbe*>(arg);
    probe->minorMismatch = static_cast<v41::Compound41Res*>(reply)->status == NFS4ERR_MINOR_VERS_MISMATCH;
    probe->answered = State::Yes;
}

}  // namespace

bool Concluded(Call& call, const Connection& connection) {
    if (connection.Ok()) return true;
    if (call.error.empty()) {
        call.error = connection.Error();
        call.timedOut = connection.TimedOut();
    }
    return false;
}

bool ProbeServer(Call& call, std::unique_ptr<Connection>& nfs4) {
    const Call::Clock::time_point grace = Call::Clock::now() + std::chrono::milliseconds(kGraceMs);

    Connection pmap(call.address, call.family, call.limits.stepMs);
    pmap.Limit(call.setupLimit);
    State mount = State::Pending;
    State nfs = State::Pending;
    PortLookup mountLookup{&call.profile.mountPort, &mount};
    PortLookup nfsLookup{&call.profile.nfsPort, &nfs};
    pmap.Connect(kPortmapperPort, kPortmapperStep);
    LookUpPort(pmap, MOUNT_PROGRAM, MOUNT_V3, mountLookup);  // queued behind the connect
    LookUpPort(pmap, NFS_PROGRAM, NFS_V3, nfsLookup);

    auto v4 = std::make_unique<Connection>(call.address, call.family, call.limits.stepMs);
    v4->Limit(call.setupLimit);
    RootProbe root;
    constexpr AttrMask kType = MaskOf({kAttrType});
    v41::Compound41 compound(0);
    compound.PutRootFh();
    compound.GetAttr({kType.word[0], kType.word[1]});
    // Without a sender for our COMPOUNDs there is no NFSv4 road: the
    // connection fails at once with the reason.
    const bool v4Usable = CheckNfs4Sender(*v4);
    v4->Connect(kNfs4Port, "NFSv4 service (port 2049)");
    SendNfs4(*v4, compound, &OnRoot, &root, "NFSv4 root");

    for (;;) {
        // MOUNT is registered: NFSv3, once the NFS port's answer (sent with
        // it) is in too.
        if (mount == State::Yes && (nfs != State::Pending || !pmap.Ok())) {
            call.profile.protocol = Protocol::Nfs3;
            return true;
        }
        const bool noMount = mount == State::No || !pmap.Ok();
        if (root.answered == State::Yes && (noMount || Call::Clock::now() >= grace)) {
            // A server that refuses minor version 0 is tried with sessions.
            call.profile.protocol = root.minorMismatch ? Protocol::Nfs41 : Protocol::Nfs4;
            call.profile.nfs4Minor = 0;
            call.profile.mountPort = call.profile.nfsPort = 0;
            nfs4 = std::move(v4);
            return true;
        }
        if (noMount && !v4->Ok()) {
            // Neither answers: the portmapper's failure says most, unless
            // NFSv4 could not even be tried.
            call.profile.protocol = Protocol::Nfs3;
            if (!v4Usable) return Concluded(call, *v4);
            if (!Concluded(call, pmap)) return false;
            call.error = "NFS server " + std::string(call.address) + ", " + kPortmapperStep +
                         ": the mount service (MOUNT v3 over TCP) is not registered with the portmapper";
            return false;
        }
        Connection* both[] = {&pmap, v4.get()};
        Connection::PollOnce(both, 2);
    }
}

}  // namespace nfsclient
