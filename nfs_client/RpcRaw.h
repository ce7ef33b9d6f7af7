// Calls through libnfs 4.0's transport (its socket, record marking, xids,
// queues and timeouts) whose replies are read by decoders of our own: libnfs
// hands over the reply body's bytes, unread. Its own decoders of lists and
// arrays trust what a server declares (recursion per list element, sizes
// multiplied in 32 bits, lengths of 2 GiB and more taken as negative), so the
// replies that carry lists, handles and names are read by the bounded
// decoders of Nfs3Replies.h instead.
#pragma once

#include <cstddef>   // size_t
#include <string>    // std::string

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-zdr.h>   // ZDR

namespace nfsclient {

// The bytes of an accepted, successful reply after the RPC header: the
// procedure's result, for the callback to decode. Valid during the callback
// only.
struct RawReply {
    const char* data;
    size_t size;
};

// Writes a call's arguments into libnfs's encode stream; false when they do
// not fit or cannot be encoded.
using ArgumentEncoder = bool (*)(ZDR* zdr, void* arguments);

// Sends a call of `program`, `version`, `procedure` on `rpc` with the
// arguments `encode` writes. Returns 0 when it was queued: then `cb` is
// called exactly once, with RPC_STATUS_SUCCESS and a RawReply*, or with a
// failure status as for libnfs's own calls. Returns -1, with the reason in
// rpc_get_error, when nothing was queued (`cb` is never called then).
int SendRawCall(rpc_context* rpc, int program, int version, int procedure, ArgumentEncoder encode,
                void* arguments, rpc_cb cb, void* privateData);

// True when SendRawCall can work with this libnfs (its private request
// layout is the one of libnfs 4.0); else false with the reason.
bool RawCallsUsable(rpc_context* rpc, std::string& why);

}  // namespace nfsclient
