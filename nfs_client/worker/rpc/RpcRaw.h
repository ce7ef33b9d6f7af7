// Calls through libnfs 4.0's transport (its socket, record marking, xids,
// queues and timeouts) with arguments and replies in an XDR of our own.
// libnfs's own decoders of lists and arrays trust what a server declares
// (recursion per list element, sizes multiplied in 32 bits, lengths of 2 GiB
// and more taken as negative), so the replies that carry lists, handles and
// names are read by bounded decoders of ours instead (Nfs3Replies.h,
// Nfs4Xdr.h). This is the one place that knows libnfs's private request
// layout.
#pragma once

#include <cstddef>  // size_t
#include <string>   // std::string

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-zdr.h>  // ZDR, zdrproc_t

#include "nfs_client/worker/rpc/CallAuth.h"  // CallAuth, AuthSys

struct rpc_pdu;

namespace nfsclient {

// One call being put together: its encode stream is positioned just past
// the RPC call header, for the arguments.
struct RawCall {
    rpc_pdu* pdu = nullptr;
    ZDR* zdr = nullptr;
    CallAuth* auth = nullptr;  // seals the header (done) and wraps the arguments (QueueCall)
    uint32_t xid = 0;
    size_t argumentsAt = 0;  // where the arguments begin in the encode buffer
};

// Allocates a call of `program`, `version`, `procedure` with room for
// `argumentBytes` of arguments. `decode` is called by libnfs for an
// accepted, successful reply, with the reply stream at the result and a
// zeroed buffer of `decodeSize` bytes; `cb` then gets that buffer. False,
// with `why`, when nothing was allocated (out of memory, or this libnfs's
// request layout is not the one of libnfs 4.0), or `auth` refused the call.
// The header carries `auth`'s credential and verifier (CallAuth.h).
bool AllocateCall(rpc_context* rpc, int program, int version, int procedure, rpc_cb cb,
                  void* privateData, zdrproc_t decode, size_t decodeSize, size_t argumentBytes,
                  RawCall& call, std::string& why, CallAuth& auth);
// Frees a call that was not queued.
void FreeCall(rpc_context* rpc, RawCall& call);
// Queues an allocated call, its arguments put through its CallAuth first;
// once queued it is libnfs's, and `cb` is called exactly once. -1 when it
// could not be queued (freed, with the reason in rpc_get_error when the
// CallAuth refused the arguments).
int QueueCall(rpc_context* rpc, RawCall& call);

// The bytes of an accepted, successful reply after the RPC header: the
// procedure's result, for the callback to decode. Valid during the callback
// only.
struct RawReply {
    const char* data;
    size_t size;
};

// Writes a call's arguments into the encode stream; false when they do not
// fit or cannot be encoded.
using ArgumentEncoder = bool (*)(ZDR* zdr, void* arguments);

// Sends a call whose reply the callback reads itself: `cb` gets
// RPC_STATUS_SUCCESS and a RawReply*, or a failure status as for libnfs's
// own calls. Returns 0 when queued; -1, with the reason in rpc_get_error,
// when nothing was queued (`cb` is never called then). The call carries
// `auth`'s credential (the connection's: Connection::Auth()); `argumentBytes`
// bounds what `encode` may write.
constexpr size_t kRawArgumentBytes = 1024;
int SendRawCall(rpc_context* rpc, int program, int version, int procedure, ArgumentEncoder encode,
                void* arguments, rpc_cb cb, void* privateData, CallAuth& auth,
                size_t argumentBytes = kRawArgumentBytes);

// Sets the text rpc_get_error gives for `rpc`.
void SetRpcError(rpc_context* rpc, const std::string& text);

// True when calls of this kind can be made with this libnfs; else false
// with the reason.
bool RawCallsUsable(rpc_context* rpc, std::string& why);

}  // namespace nfsclient
