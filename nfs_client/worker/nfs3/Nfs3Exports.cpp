// The export list of an NFSv3 server: MOUNT v3 EXPORT on the port the probe
// found, read by our own decoder (a list of any length, without recursion).
#include <cstring>  // memcpy
#include <set>      // std::set

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>  // MOUNT_PROGRAM, MOUNT_V3, MOUNT3_EXPORT

#include "nfs_client/worker/nfs3/Nfs3Replies.h"  // DecodeExportList
#include "nfs_client/Paths.h"                    // NormaliseExportPath
#include "nfs_client/worker/Protocol.h"
#include "nfs_client/worker/rpc/RpcRaw.h"  // SendRawCall, RawReply

namespace nfsclient {
namespace {

struct ExportList {
    Call* call;
    const ExportVisitor* visit;
    bool reporting = true;
};

void OnExports(Connection& connection, void* reply, void* arg) {
    auto& list = *static_cast<ExportList*>(arg);
    Call& call = *list.call;
    const auto* raw = static_cast<const RawReply*>(reply);
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
    std::string why;
    if (!DecodeExportList(raw->data, raw->size, call.limits.maxExports, take, why)) {
        connection.FailReply("%s", why.c_str());
        return;
    }
    call.profile.exports = std::move(spelled);
    call.profile.hasExports = true;
}

}  // namespace

bool Nfs3ReadExports(Call& call, const ExportVisitor& visit) {
    Connection mount(call.address, call.family, call.limits.stepMs);
    mount.Limit(call.setupLimit);
    const int port = call.profile.mountPort;
    mount.Connect(port, "mount service (port " + std::to_string(port) + ")");
    ExportList list{&call, &visit};
    mount.Call("export list (mount service, port " + std::to_string(port) + ")", &OnExports, &list,
               [&](Connection::Callback cb, void* data) {
                   return SendRawCall(mount.Context(), MOUNT_PROGRAM, MOUNT_V3, MOUNT3_EXPORT,
                                      nullptr, nullptr, cb, data, mount.Auth());
               });
    return Concluded(call, mount) && call.status.Ok();
}

}  // namespace nfsclient
