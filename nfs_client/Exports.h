// The export list of a server: portmapper lookup, mount service, EXPORT call.
#pragma once

#include <functional>

#include "nfs_client/RpcSession.h"

namespace nfsclient {

// TCP ports the portmapper gave for the server's services.
struct ServicePorts {
    int mount = 0;
    int nfs = 0;  // looked up only when asked for
};

// Checks the address argument of an entry point; on failure writes an error
// text naming `operation` into `errorText` and returns false.
bool CheckAddress(const char* address, const char* operation, int& family, char* errorText);

// Reads the export list of the session's server, all within one overall limit
// of the timeout setting: asks the portmapper for the MOUNT v3 TCP port (and,
// with `wantNfsPort`, the NFS v3 one), connects to the mount service and calls
// EXPORT. Calls `visit` once per export path in the order the server sent
// them, during the call; `visit` returning false ends the walk early, which
// is not a failure (the visitor may Fail() the session itself). On success
// the session stays connected to the mount service. On failure the session
// holds the error text.
bool ReadExportList(RpcSession& session, bool wantNfsPort, ServicePorts& ports,
                    const std::function<bool(const char*)>& visit);

// The port of an rpcbind universal address ("h.h.h.h.p1.p2", "::1.p1.p2");
// 0 when there is none.
int PortOfUniversalAddress(const char* uaddr);

}  // namespace nfsclient
