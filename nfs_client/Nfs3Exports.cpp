// The export list of an NFSv3 server: MOUNT v3 EXPORT on the port the probe
// found.
#include <cstring>   // memcpy
#include <set>       // std::set

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>   // exports, exportnode, rpc_mount3_export_async

#include "nfs_client/Paths.h"        // NormaliseExportPath
#include "nfs_client/Protocol.h"

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
    const std::string step = "export list (mount service, port " + std::to_string(call.profile.mountPort) + ")";
    std::vector<std::string> spelled;
    std::set<std::string> reported;
    // libnfs 4.0 decodes list nodes at 4-byte alignment: read each node by copy.
    for (const exportnode* at = *static_cast<exports*>(reply); at != nullptr;) {
        exportnode node;
        memcpy(&node, at, sizeof node);
        at = node.ex_next;
        if (spelled.size() >= call.limits.maxExports) {
            connection.Fail(step, "the server lists more than %zu exports, the most this client takes",
                            call.limits.maxExports);
            return;
        }
        std::string path;
        std::string why;
        if (!NormaliseExportPath(node.ex_dir, path, why)) {
            call.Notice("NFS server " + std::string(call.address) + ": export path [" +
                        PrintableName(node.ex_dir, node.ex_dir ? strnlen(node.ex_dir, kMaxPathBytes) : 0) +
                        "] left out: " + why);
            continue;
        }
        spelled.emplace_back(node.ex_dir);
        if (!reported.insert(path).second || !list.reporting) continue;
        if (!(*list.visit)(path.c_str())) list.reporting = false;  // the receiver has enough
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
                   return rpc_mount3_export_async(mount.Context(), cb, data);
               });
    return Concluded(call, mount) && call.error.empty();
}

}  // namespace nfsclient
