#include "nfs_client/Probe.h"

#include "nfs_client/Exports.h"  // PortOfUniversalAddress

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-portmap.h>

extern "C" void rpc_set_timeout(struct rpc_context* rpc, int timeoutMs);

namespace nfsclient {
namespace {

using Clock = std::chrono::steady_clock;

// How long an answering NFSv4 service waits for a silent portmapper, and a
// failed portmapper for a silent NFSv4 service. A server that has either
// answers both within a millisecond or two on a LAN.
constexpr unsigned int kGraceMs = 300;
// After the decision for v3, how long a v4 connect still under way may take
// to finish: destroying a context during its connect leaks inside libnfs 4.0.
constexpr int kConnectSettleMs = 50;

enum class State { Pending, Yes, No };

struct MountProbe {
    rpc_context* rpc = nullptr;
    int family = AF_INET;
    State registered = State::Pending;  // Yes: MOUNT v3/TCP has a port; No: refused, absent, failed
    bool closing = false;
};

void OnPort(rpc_context*, int status, void* data, void* privateData) {
    auto* probe = static_cast<MountProbe*>(privateData);
    if (probe->closing || probe->registered != State::Pending) return;
    int port = 0;
    if (status == RPC_STATUS_SUCCESS) {
        port = probe->family == AF_INET ? static_cast<int>(*static_cast<uint32_t*>(data))
                                        : PortOfUniversalAddress(static_cast<pmap3_string_result*>(data)->addr);
    }
    probe->registered = port > 0 && port <= 65535 ? State::Yes : State::No;
}

void OnPortmapper(rpc_context* rpc, int status, void*, void* privateData) {
    auto* probe = static_cast<MountProbe*>(privateData);
    if (probe->closing || probe->registered != State::Pending) return;
    if (status != RPC_STATUS_SUCCESS) {
        probe->registered = State::No;
        return;
    }
    int sent = 0;
    if (probe->family == AF_INET) {
        sent = rpc_pmap2_getport_async(rpc, MOUNT_PROGRAM, MOUNT_V3, IPPROTO_TCP, &OnPort, probe);
    } else {
        char netid[] = "tcp6";
        char empty[] = "";
        pmap3_mapping map{MOUNT_PROGRAM, MOUNT_V3, netid, empty, empty};
        sent = rpc_pmap3_getaddr_async(rpc, &map, &OnPort, probe);
    }
    if (sent != 0) probe->registered = State::No;
}

struct V4Probe {
    State answered = State::Pending;
    bool minorMismatch = false;
};

void OnRoot(Nfs4Session&, const COMPOUND4res& reply, void* arg) {
    auto* probe = static_cast<V4Probe*>(arg);
    probe->minorMismatch = reply.status == NFS4ERR_MINOR_VERS_MISMATCH;
    probe->answered = State::Yes;
}

}  // namespace

std::string MinorVersionText(const char* address) {
    return "NFS server " + std::string(address) +
           ": the server offers no MOUNT service and accepts only NFSv4.1 or later "
           "(NFS4ERR_MINOR_VERS_MISMATCH for NFSv4.0); this client speaks NFSv3 and NFSv4.0 only";
}

ProbeOutcome ProbeServer(const char* address, int family, unsigned int timeoutMs) {
    ProbeOutcome outcome;
    const Clock::time_point start = Clock::now();
    const Clock::time_point grace = start + std::chrono::milliseconds(timeoutMs < kGraceMs ? timeoutMs : kGraceMs);

    MountProbe mount;
    mount.family = family;
    mount.rpc = rpc_init_context();
    if (mount.rpc == nullptr) return outcome;  // the v3 road reports it
    rpc_set_timeout(mount.rpc, static_cast<int>(timeoutMs));
    if (rpc_connect_async(mount.rpc, address, 111, &OnPortmapper, &mount) != 0) mount.registered = State::No;

    auto v4 = std::make_unique<Nfs4Session>(address, timeoutMs);
    V4Probe root;
    v4->LimitTotal(grace);
    v4->Connect();
    Compound compound;
    compound.PutRootFh();
    compound.GetAttr(MaskOf({kAttrType}));
    v4->Send(compound, &OnRoot, &root, "NFSv4 root");  // queued behind the connect

    for (;;) {
        const bool v4Failed = !v4->Ok();
        const bool late = Clock::now() >= grace;
        if (mount.registered == State::Yes || v4Failed) {
            outcome.road = Road::V3;
            break;
        }
        if (root.answered == State::Yes && (mount.registered == State::No || late)) {
            outcome.road = root.minorMismatch ? Road::V4MinorOnly : Road::V4;
            break;
        }
        if (late) {
            outcome.road = Road::V3;
            break;
        }
        pollfd fds[2] = {{mount.registered == State::Pending ? rpc_get_fd(mount.rpc) : -1,
                          static_cast<short>(rpc_which_events(mount.rpc)), 0},
                         {v4->Fd(), v4->Events(), 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(grace - Clock::now()).count() + 1;
        if (poll(fds, 2, static_cast<int>(left < 100 ? left : 100)) < 0 && errno != EINTR) break;
        if (mount.registered == State::Pending && rpc_service(mount.rpc, fds[0].revents) < 0 &&
            mount.registered == State::Pending)
            mount.registered = State::No;
        v4->Service(fds[1].revents);
    }

    mount.closing = true;
    rpc_destroy_context(mount.rpc);
    if (outcome.road == Road::V4) {
        v4->LimitTotal(Clock::time_point::max());
        outcome.v4 = std::move(v4);
        return outcome;
    }
    const Clock::time_point settle = Clock::now() + std::chrono::milliseconds(kConnectSettleMs);
    while (v4->Connecting() && Clock::now() < settle) {
        pollfd pfd{v4->Fd(), v4->Events(), 0};
        if (poll(&pfd, 1, 5) < 0 && errno != EINTR) break;
        v4->Service(pfd.revents);
    }
    return outcome;
}

}  // namespace nfsclient
