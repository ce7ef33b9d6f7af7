// Sending NFSv4 COMPOUNDs of any minor version (0, 1, 2) through libnfs
// 4.0's transport (its socket, record marking, xids, queues and timeouts)
// with the XDR of Nfs4Xdr.h instead of libnfs's own, which knows only
// NFSv4.0 and trusts the result count a server sends.
#pragma once

#include <string>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>

#include "nfs_client/worker/nfs4/Nfs4Xdr.h"
#include "nfs_client/worker/rpc/CallAuth.h"  // CallAuth, AuthSys

namespace nfsclient {
namespace v41 {

// Sends `compound` on `rpc`, a TCP context connected to the NFSv4 program,
// version 4 (rpc_connect_port_async(rpc, host, 2049, NFS4_PROGRAM, NFS_V4,
// ...)). The COMPOUND is encoded before the call returns: the compound and
// the data its 4.0 operations reference may go afterwards.
//
// Returns 0 when the request was queued; then `cb` is called exactly once,
// from rpc_service() or rpc_destroy_context() on the calling thread, with
//   RPC_STATUS_SUCCESS and a `Compound41Res*`: a well-formed reply matching
//     the operations sent (any NFSv4 status). It and everything it points at
//     live in libnfs's buffers and are valid during the callback only.
//   RPC_STATUS_ERROR and a `const char*` text: the RPC failed, or the reply
//     was malformed ("malformed NFSv4 reply: ...").
//   RPC_STATUS_TIMEOUT / RPC_STATUS_CANCEL as for libnfs's own calls.
// `cb` must not throw (it is called from C).
//
// Returns -1 when nothing was queued (rpc_get_error(rpc) tells why: the
// COMPOUND cannot be encoded, out of memory, or this libnfs's request layout
// is not the one checked for; see Nfs41Usable); `cb` is never called then.
//
// The call carries `auth`'s credential: a connection's, Connection::Auth().
int SendCompound41(rpc_context* rpc, const Compound41& compound, rpc_cb cb, void* privateData,
                   CallAuth& auth);
// With AUTH_SYS, for drivers without a Connection.
inline int SendCompound41(rpc_context* rpc, const Compound41& compound, rpc_cb cb,
                          void* privateData) {
    return SendCompound41(rpc, compound, cb, privateData, AuthSys());
}

// True when SendCompound41 can work with this libnfs: allocates a request
// on `rpc` (any context, connected or not), checks where libnfs keeps its
// encode stream, and frees it again. False, with the reason in `why`, when
// the layout is not libnfs 4.0's: then NFSv4 (every minor version) must be
// refused.
bool Nfs41Usable(rpc_context* rpc, std::string& why);

}  // namespace v41
}  // namespace nfsclient
