// The export list of an NFSv3 server: MOUNT v3 EXPORT on the port the probe
// found (and by datagram beside it), read by our own decoder (a list of any
// length, without recursion).
#include <cstring>  // memcpy
#include <memory>   // std::make_shared, std::unique_ptr
#include <set>      // std::set

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>  // MOUNT_PROGRAM, MOUNT_V3, MOUNT3_EXPORT

#include "nfs_client/worker/nfs3/Nfs3Replies.h"  // DecodeExportList
#include "nfs_client/Paths.h"                    // NormaliseExportPath
#include "nfs_client/worker/Protocol.h"
#include "nfs_client/worker/rpc/RpcDatagram.h"  // RpcDatagram
#include "nfs_client/worker/rpc/RpcRaw.h"       // SendRawCall, RawReply

namespace nfsclient {
namespace {

// A MOUNT reply by datagram is at most this long (a UDP datagram's payload);
// a longer list comes over TCP.
constexpr size_t kMaxExportDatagram = 65535;

struct ExportList {
    Call* call;
    const ExportVisitor* visit;
    bool reporting = true;
    bool taken = false;  // a whole answer is in
};

// Takes the list in `data`: reports its paths and keeps them in the call's
// profile. False, with `why`, when the reply is malformed or too long.
bool TakeExports(ExportList& list, const char* data, size_t size, std::string& why) {
    Call& call = *list.call;
    std::vector<std::string> spelled;
    std::set<std::string> reported;
    const auto take = [&](const Bytes& bytes) {
        const std::string text(bytes.data, bytes.length);
        std::string path;
        std::string why;
        if (memchr(bytes.data, '\0', bytes.length) != nullptr ||
            !NormaliseExportPath(text.c_str(), path, why)) {
            call.Notice(
                ServerText(call.address, "",
                           "export path [" + PrintableName(bytes.data, bytes.length) +
                               "] left out: " + (why.empty() ? "it holds a NUL byte" : why)));
            return true;
        }
        spelled.push_back(text);
        if (reported.insert(path).second && list.reporting && !(*list.visit)(path.c_str()))
            list.reporting = false;  // the receiver has enough
        return true;
    };
    if (!DecodeExportList(data, size, call.limits.maxExports, take, why)) return false;
    call.profile.exports = std::move(spelled);
    call.profile.hasExports = true;
    list.taken = true;
    return true;
}

void OnExports(Connection& connection, void* reply, void* arg) {
    auto& list = *static_cast<ExportList*>(arg);
    if (list.taken) return;  // the datagram's answer came first
    const auto* raw = static_cast<const RawReply*>(reply);
    std::string why;
    if (!TakeExports(list, raw->data, raw->size, why)) connection.FailReply("%s", why.c_str());
}

// The answer by datagram is taken only whole and well formed (checked before
// anything of it is reported); else TCP's answer decides.
void OnExportDatagram(void* arg, size_t, const char* result, size_t size) {
    auto& list = *static_cast<ExportList*>(arg);
    if (list.taken) return;
    std::string why;
    if (!DecodeExportList(
            result, size, list.call->limits.maxExports, [](const Bytes&) { return true; }, why))
        return;
    TakeExports(list, result, size, why);
}

}  // namespace

// The MOUNT connection an export list answered by datagram leaves open,
// with the list its own answer (still on the way) is read against: declared
// first, so that it outlives the connection.
struct MountAhead {
    ExportList list;
    std::unique_ptr<Connection> connection;
};

// EXPORT over TCP and, where the probe found MOUNT on UDP, by datagram beside
// it: the first whole answer is the list (the datagram needs no handshake,
// so on a NAS that answers both it saves a round trip).
bool Nfs3ReadExports(Call& call, const ExportVisitor& visit, bool keepForMount) {
    auto ahead = std::make_shared<MountAhead>();
    ahead->list = ExportList{&call, &visit};
    ahead->connection = std::make_unique<Connection>(call.address, call.family, call.limits.stepMs);
    ExportList& list = ahead->list;
    Connection& mount = *ahead->connection;
    mount.Limit(call.setupLimit);
    const int port = call.profile.mountPort;
    mount.Connect(port, "mount service (port " + std::to_string(port) + ")");
    mount.Send("export list (mount service, port " + std::to_string(port) + ")", &OnExports, &list,
               [&](Connection::Callback cb, void* data) {
                   return SendRawCall(mount.Context(), MOUNT_PROGRAM, MOUNT_V3, MOUNT3_EXPORT,
                                      nullptr, nullptr, cb, data, mount.Auth());
               });
    RpcDatagram datagram(call.address, call.family, call.profile.mountUdpPort);
    datagram.Send(MOUNT_PROGRAM, MOUNT_V3, MOUNT3_EXPORT, RpcDatagram::Credential::Sys, "");
    while (mount.Ok() && mount.InFlight() > 0 && !list.taken) {
        Connection* one[] = {&mount};
        Connection::PollOnce(one, 1, datagram.Fd());
        datagram.Service(kMaxExportDatagram, &OnExportDatagram, &list);
    }
    if (list.taken) {
        // Answered by datagram: the connection, its handshake done or under
        // way, carries the MNT that follows (its EXPORT answer, when it
        // comes, is passed over).
        if (keepForMount && mount.Ok()) {
            list.visit = nullptr;  // the caller's, gone by then; OnExports passes over
            call.mountAhead = std::move(ahead);
        }
        return call.status.Ok();
    }
    return Concluded(call, mount) && call.status.Ok();
}

Connection* Nfs3MountAhead(Call& call) {
    if (call.mountAhead == nullptr || !call.mountAhead->connection->Ok()) return nullptr;
    return call.mountAhead->connection.get();
}

}  // namespace nfsclient
