#include "nfs_client/Exports.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <exception>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>
#include <nfsc/libnfs-raw-portmap.h>

#include "host/NFSClient.h"
#include "nfs_client/ErrorText.h"
#include "nfs_client/Nfs4Roads.h"
#include "nfs_client/Probe.h"
#include "nfs_client/Settings.h"

namespace nfsclient {
namespace {

constexpr int kPortmapperPort = 111;

struct PortLookup {
    const char* service;  // for the error text
    int* port;
};

void OnPort(RpcSession& session, void* data, void* arg) {
    auto* lookup = static_cast<PortLookup*>(arg);
    int port = 0;
    if (session.Family() == AF_INET)
        port = static_cast<int>(*static_cast<uint32_t*>(data));
    else
        port = PortOfUniversalAddress(static_cast<pmap3_string_result*>(data)->addr);
    if (port <= 0 || port > 65535)
        session.Fail("the %s is not registered with the portmapper", lookup->service);
    else
        *lookup->port = port;
}

bool LookUpPort(RpcSession& session, int program, int version, const char* service, int& port) {
    PortLookup lookup{service, &port};
    session.Begin(&OnPort, &lookup, "portmapper (port %d)", kPortmapperPort);
    if (session.Family() == AF_INET)
        return session.Run(rpc_pmap2_getport_async(session.Context(), program, version, IPPROTO_TCP,
                                                   &RpcSession::OnReply, &session));
    char netid[] = "tcp6";
    char empty[] = "";
    pmap3_mapping map{static_cast<u_int>(program), static_cast<u_int>(version), netid, empty, empty};
    return session.Run(
        rpc_pmap3_getaddr_async(session.Context(), &map, &RpcSession::OnReply, &session));
}

void OnExports(RpcSession&, void* data, void* arg) {
    const auto& visit = *static_cast<const std::function<bool(const char*)>*>(arg);
    // libnfs 4.0 decodes list nodes at 4-byte alignment: read each node by copy.
    for (const exportnode* at = *static_cast<exports*>(data); at != nullptr;) {
        exportnode node;
        memcpy(&node, at, sizeof node);
        at = node.ex_next;
        if (node.ex_dir == nullptr) continue;
        if (!visit(node.ex_dir)) break;
    }
}

}  // namespace

bool CheckAddress(const char* address, const char* operation, int& family, char* errorText) {
    if (address == nullptr || *address == '\0') {
        WriteError(errorText,
                   "%s: the NFS server address is empty (the file server name did not resolve to an address)",
                   operation);
        return false;
    }
    if (!ParseNumericAddress(address, family)) {
        WriteError(errorText, "%s: NFS server address \"%.200s\" is not a numeric IPv4 or IPv6 address",
                   operation, address);
        return false;
    }
    return true;
}

bool ReadExportList(RpcSession& session, bool wantNfsPort, ServicePorts& ports,
                    const std::function<bool(const char*)>& visit) {
    session.LimitTotal();
    rpc_context* rpc = session.Context();

    session.Begin(nullptr, nullptr, "portmapper (port %d)", kPortmapperPort);
    if (!session.Run(rpc_connect_async(rpc, session.Address(), kPortmapperPort,
                                       &RpcSession::OnReply, &session)))
        return false;
    if (!LookUpPort(session, MOUNT_PROGRAM, MOUNT_V3, "mount service (MOUNT v3 over TCP)",
                    ports.mount))
        return false;
    if (wantNfsPort &&
        !LookUpPort(session, NFS_PROGRAM, NFS_V3, "NFS service (NFS v3 over TCP)", ports.nfs))
        return false;
    session.Disconnect();

    // Connects and checks the program answers (a NULL call).
    session.Begin(nullptr, nullptr, "mount service (port %d)", ports.mount);
    if (!session.Run(rpc_connect_port_async(rpc, session.Address(), ports.mount, MOUNT_PROGRAM,
                                            MOUNT_V3, &RpcSession::OnReply, &session)))
        return false;

    session.Begin(&OnExports, const_cast<std::function<bool(const char*)>*>(&visit),
                  "export list (mount service, port %d)", ports.mount);
    const bool ok = session.Run(rpc_mount3_export_async(rpc, &RpcSession::OnReply, &session));
    session.ClearLimit();
    return ok;
}

int PortOfUniversalAddress(const char* uaddr) {
    if (uaddr == nullptr) return 0;
    const char* low = strrchr(uaddr, '.');
    if (low == nullptr || low == uaddr) return 0;
    const char* high = low - 1;
    while (high > uaddr && *high != '.') --high;
    if (*high != '.') return 0;
    return atoi(high + 1) * 256 + atoi(low + 1);
}

}  // namespace nfsclient

// Everything below the entry point reports failures as values; this is the
// last line against exceptions (std::bad_alloc) reaching the host.
HOST_API int GetExports(const char* address, void* context, ExportPathCallback callback,
                        char* errorText) {
    using namespace nfsclient;
    try {
        int family = 0;
        if (!CheckAddress(address, "NFS export list", family, errorText)) return 1;
        if (callback == nullptr) {
            WriteError(errorText, "NFS export list of server %s: no callback given", address);
            return 1;
        }
        ProbeOutcome probe = ProbeServer(address, family, TimeoutMs());
        if (probe.road == Road::V4MinorOnly) {
            WriteError(errorText, "%s", MinorVersionText(address).c_str());
            return 1;
        }
        if (probe.road == Road::V4) {
            Nfs4Session& v4 = *probe.v4;
            const std::function<bool(const char*)> visit = [&](const char* path) {
                try {
                    return callback(context, path);
                } catch (...) {
                    v4.Fail("export discovery over NFSv4", "the receiver of the export paths threw an exception");
                    return false;
                }
            };
            if (!ReadV4Exports(v4, visit)) {
                WriteError(errorText, "%s", v4.Error().c_str());
                return 1;
            }
            return 0;
        }
        RpcSession session(address, family, TimeoutMs());
        ServicePorts ports;
        const std::function<bool(const char*)> visit = [&](const char* path) {
            try {
                return callback(context, path);
            } catch (...) {
                session.Fail("the receiver of the export paths threw an exception");
                return false;
            }
        };
        if (!session.Ok() || !ReadExportList(session, false, ports, visit)) {
            WriteError(errorText, "%s", session.Error().c_str());
            return 1;
        }
        return 0;
    } catch (...) {
        WriteError(errorText, "NFS export list of server %.200s: internal error (out of memory?)",
                   address != nullptr ? address : "");
        return 1;
    }
}
