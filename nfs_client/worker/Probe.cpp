// Which protocol a server is browsed with: asks the portmapper for MOUNT v3
// and NFS v3 (over TCP, and over UDP beside it: whichever first says where
// MOUNT is; the datagram also asks where MOUNT takes datagrams) and, when
// the portmapper says no MOUNT, fails, or has not answered within
// kNfs4AfterMs, sends an NFSv4 PUTROOTFH (minor version 0) to port 2049. NFSv3 where MOUNT answers;
// else NFSv4.0; else, when 4.0 is refused (NFS4ERR_MINOR_VERS_MISMATCH), NFSv4.1 / 4.2. A MOUNT
// answer settles it alone: no NFSv4 connection is made beside it.
#include <netinet/in.h>  // IPPROTO_TCP, AF_INET

#include <algorithm>  // std::min
#include <cstring>    // memcpy
#include <optional>   // std::optional

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>    // MOUNT_PROGRAM, MOUNT_V3
#include <nfsc/libnfs-raw-nfs.h>      // NFS_PROGRAM, NFS_V3
#include <nfsc/libnfs-raw-portmap.h>  // pmap2_mapping, pmap3_mapping, zdr_pmap*_mapping

#include "nfs_client/worker/nfs4/Nfs4Channel.h"  // SendNfs4, CheckNfs4Sender
#include "nfs_client/Paths.h"                    // PortOfUniversalAddress
#include "nfs_client/worker/Protocol.h"
#include "nfs_client/worker/rpc/PortmapDatagram.h"  // PortmapDatagram
#include "nfs_client/worker/rpc/RpcRaw.h"           // SendRawCall, RawReply
#include "nfs_client/worker/rpc/XdrReader.h"        // XdrReader

namespace nfsclient {
namespace {

constexpr int kPortmapperPort = 111;
// How long an answering NFSv4 service waits for a silent portmapper, from
// the start of the probe. A server that has both answers both within a
// millisecond or two on a LAN.
constexpr unsigned int kGraceMs = 300;
// How long the portmapper has before NFSv4 is probed beside it: one that
// answers at all does so within a few round trips.
constexpr unsigned int kNfs4AfterMs = 150;

// How long the datagram's answer about MOUNT over UDP is waited for once
// its answers about MOUNT and NFS over TCP are in.
constexpr unsigned int kUdpMountWaitMs = 20;

const char kPortmapperStep[] = "portmapper (port 111)";
const char kRootStep[] = "NFSv4 root";

enum class State { Pending, Yes, No };

struct PortLookup {
    int* port;
    State* state;
};

// A GETPORT reply is a port number, a GETADDR reply a universal address;
// both read here, not by libnfs.
void OnPort(Connection& connection, void* reply, void* arg) {
    const auto* lookup = static_cast<PortLookup*>(arg);
    const auto* raw = static_cast<const RawReply*>(reply);
    XdrReader in(raw->data, raw->size);
    int port = 0;
    if (connection.Family() == AF_INET) {
        uint32_t value = 0;
        if (in.U32(value) && in.AtEnd() && value <= 65535) port = static_cast<int>(value);
    } else {
        constexpr uint32_t kMaxUniversalAddress = 128;
        const char* text = nullptr;
        uint32_t length = 0;
        if (in.Opaque(text, length, kMaxUniversalAddress) && in.AtEnd())
            port = PortOfUniversalAddress(std::string(text, length).c_str());
    }
    *lookup->port = port > 0 ? port : 0;
    *lookup->state = *lookup->port != 0 ? State::Yes : State::No;
}

bool EncodeMapping2(ZDR* zdr, void* arguments) {
    return zdr_pmap2_mapping(zdr, static_cast<pmap2_mapping*>(arguments)) != 0;
}
bool EncodeMapping3(ZDR* zdr, void* arguments) {
    return zdr_pmap3_mapping(zdr, static_cast<pmap3_mapping*>(arguments)) != 0;
}

// Asks the portmapper for the TCP port of `program` `version`.
void LookUpPort(Connection& pmap, int program, int version, PortLookup& lookup) {
    if (pmap.Family() == AF_INET) {
        pmap2_mapping map{static_cast<u_int>(program), static_cast<u_int>(version), IPPROTO_TCP, 0};
        pmap.Send(kPortmapperStep, &OnPort, &lookup, [&](Connection::Callback cb, void* data) {
            return SendRawCall(pmap.Context(), PMAP_PROGRAM, PMAP_V2, PMAP2_GETPORT,
                               &EncodeMapping2, &map, cb, data, pmap.Auth());
        });
        return;
    }
    char netid[] = "tcp6";
    char empty[] = "";
    pmap3_mapping map{static_cast<u_int>(program), static_cast<u_int>(version), netid, empty,
                      empty};
    pmap.Send(kPortmapperStep, &OnPort, &lookup, [&](Connection::Callback cb, void* data) {
        return SendRawCall(pmap.Context(), PMAP_PROGRAM, PMAP_V3, PMAP3_GETADDR, &EncodeMapping3,
                           &map, cb, data, pmap.Auth());
    });
}

struct RootProbe {
    State answered = State::Pending;
    bool minorMismatch = false;
};

void OnRoot(Connection&, void* reply, void* arg) {
    auto* probe = static_cast<RootProbe*>(arg);
    probe->minorMismatch =
        static_cast<v41::Compound41Res*>(reply)->status == NFS4ERR_MINOR_VERS_MISMATCH;
    probe->answered = State::Yes;
}

// The NFSv4 service was reached and its answer to the probe failed it (a
// malformed reply, an RPC-level refusal): that, not the portmapper's
// answer, is why no protocol was found.
bool AnsweredWrongly(const Connection& v4) {
    const std::string rootStep = ", " + std::string(kRootStep) + ": ";
    return !v4.Ok() && !v4.TimedOut() && v4.Error().find(rootStep) != std::string::npos;
}

}  // namespace

bool Concluded(Call& call, const Connection& connection) {
    if (connection.Ok()) return true;
    Status failure = Status::Failed(connection.Error(), connection.TimedOut());
    if (connection.PathAnswered()) failure.MarkPathAnswered();
    call.status.Keep(std::move(failure));
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
    // The same questions by datagram: answered within one round trip, while
    // the TCP connection still needs its handshake; and where MOUNT takes
    // datagrams, for MOUNT's own calls (Nfs3Exports.cpp, Nfs3Listing.cpp).
    PortmapDatagram datagram(call.address, call.family, kPortmapperPort);
    datagram.Ask(MOUNT_PROGRAM, MOUNT_V3);
    datagram.Ask(NFS_PROGRAM, NFS_V3);
    datagram.Ask(MOUNT_PROGRAM, MOUNT_V3, PortmapDatagram::Transport::Udp);

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
    const Call::Clock::time_point v4From =
        grace - std::chrono::milliseconds(kGraceMs - kNfs4AfterMs);
    bool v4Sent = false;
    std::optional<Call::Clock::time_point> datagramIn;  // when MOUNT's and NFS's ports came

    for (;;) {
        // MOUNT is registered: NFSv3, once the NFS port's answer (sent with
        // it) is in too (and MOUNT's UDP port, when the datagram has it).
        if (mount == State::Yes && (nfs != State::Pending || !pmap.Ok())) {
            call.profile.protocol = Protocol::Nfs3;
            call.profile.mountUdpPort = datagram.Port(2);
            return true;
        }
        // Only a registered MOUNT is taken from a datagram; anything else
        // is left to the answer over TCP. The answer about MOUNT over UDP,
        // sent in the same breath, comes in the same breath: it is waited
        // for a moment (kUdpMountWaitMs), not longer.
        if (datagram.Port(0) > 0 && datagram.Answered(1) && !datagramIn)
            datagramIn = Call::Clock::now();
        if (datagramIn &&
            (datagram.Answered(2) ||
             Call::Clock::now() >= *datagramIn + std::chrono::milliseconds(kUdpMountWaitMs))) {
            call.profile.mountPort = datagram.Port(0);
            call.profile.nfsPort = datagram.Port(1);
            call.profile.mountUdpPort = datagram.Port(2);
            call.profile.protocol = Protocol::Nfs3;
            return true;
        }
        const bool noMount = mount == State::No || !pmap.Ok();
        if (!v4Sent && (noMount || Call::Clock::now() >= v4From)) {
            v4Sent = true;
            v4->Connect(kNfs4Port, "NFSv4 service (port 2049)");
            SendNfs4(*v4, compound, &OnRoot, &root, kRootStep);
        }
        if (root.answered == State::Yes && (noMount || Call::Clock::now() >= grace)) {
            // A server that refuses minor version 0 is tried with sessions.
            call.profile.protocol = root.minorMismatch ? Protocol::Nfs41 : Protocol::Nfs4;
            call.profile.nfs4Minor = 0;
            call.profile.mountPort = call.profile.nfsPort = call.profile.mountUdpPort = 0;
            nfs4 = std::move(v4);
            return true;
        }
        if (noMount && v4Sent && !v4->Ok()) {
            // Neither answers: the portmapper's failure says most, unless
            // NFSv4 could not even be tried.
            call.profile.protocol = Protocol::Nfs3;
            if (!v4Usable || AnsweredWrongly(*v4)) return Concluded(call, *v4);
            if (!Concluded(call, pmap)) return false;
            call.status = Status::AtServer(
                call.address, kPortmapperStep,
                "the mount service (MOUNT v3 over TCP) is not registered with the portmapper");
            return false;
        }
        // The wait ends at the next moment a decision above may change.
        Call::Clock::time_point until = Call::Clock::time_point::max();
        if (datagramIn) until = *datagramIn + std::chrono::milliseconds(kUdpMountWaitMs);
        if (!v4Sent) until = std::min(until, v4From);
        if (root.answered == State::Yes) until = std::min(until, grace);
        Connection* both[] = {&pmap, v4.get()};
        Connection::PollOnce(both, 2, datagram.Fd(), until);
        datagram.Service();
    }
}

}  // namespace nfsclient
