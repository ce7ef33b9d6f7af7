#include "nfs_client/worker/nfs4/Nfs4Compound.h"

#include "nfs_client/worker/rpc/RpcRaw.h"  // AllocateCall, QueueCall

#include <cstring>
#include <memory>

#include <nfsc/libnfs-raw-nfs4.h>
#include <nfsc/libnfs-zdr.h>

namespace nfsclient {
namespace v41 {
namespace {

const char kRefused[] = "NFSv4 is not available with this libnfs";

// What the reply callback needs: the caller's callback and the operations
// sent, to check the reply against.
struct Call {
    rpc_cb cb;
    void* privateData;
    uint32_t count;
    uint32_t ops[kMaxOps];
};

// libnfs calls the decode function once, for an accepted reply with status
// SUCCESS, with the stream positioned at the COMPOUND4res and `where` the
// zeroed decode buffer (sizeof(Compound41Res)) inside the request. Its
// zdr_free is a no-op in 4.0, so nothing may be allocated here that is not
// in the ZDR (libnfs's zdr_malloc, freed by zdr_destroy after the callback).
// A malformed reply is still "decoded" (returns 1) so that its reason
// reaches OnReply; returning 0 would give only "Message rejected by server".
extern "C" {
static uint32_t DecodeReply(ZDR* zdr, void* where, ...) {
    if (where == nullptr) return 0;
    DecodeCompound41(zdr, *static_cast<Compound41Res*>(where));
    return 1;
}
}

void OnReply(rpc_context* rpc, int status, void* data, void* privateData) {
    std::unique_ptr<Call> call(static_cast<Call*>(privateData));
    if (status == RPC_STATUS_SUCCESS) {
        auto* res = static_cast<Compound41Res*>(data);
        if (res == nullptr) {
            char text[] = "malformed NFSv4 reply: no reply data";
            call->cb(rpc, RPC_STATUS_ERROR, text, call->privateData);
            return;
        }
        if (res->malformed[0] != '\0' || !MatchReply(call->ops, call->count, *res)) {
            std::string text = std::string("malformed NFSv4 reply: ") + res->malformed;
            call->cb(rpc, RPC_STATUS_ERROR, &text[0], call->privateData);
            return;
        }
    }
    call->cb(rpc, status, data, call->privateData);
}

}  // namespace

int SendCompound41(rpc_context* rpc, const Compound41& compound, rpc_cb cb, void* privateData,
                   CallAuth& auth) {
    if (rpc == nullptr) return -1;
    std::string why;
    const size_t bound = compound.EncodedSizeBound();
    if (cb == nullptr || bound == 0) {
        std::vector<char> none;
        if (cb != nullptr) compound.Encode(none, why);  // fails at once, telling why
        SetRpcError(
            rpc, std::string("NFSv4 COMPOUND not sent: ") + (cb == nullptr ? "no callback" : why));
        return -1;
    }
    auto call = std::make_unique<Call>();
    call->cb = cb;
    call->privateData = privateData;
    call->count = static_cast<uint32_t>(compound.Size());
    for (uint32_t i = 0; i < call->count; ++i) call->ops[i] = compound.OpAt(i);

    RawCall raw;
    if (!AllocateCall(rpc, NFS4_PROGRAM, NFS_V4, NFSPROC4_COMPOUND, &OnReply, call.get(),
                      &DecodeReply, sizeof(Compound41Res), bound, raw, why, auth)) {
        SetRpcError(rpc, std::string("NFSv4 COMPOUND not sent: ") + kRefused + ": " + why);
        return -1;
    }
    if (!compound.Encode(raw.zdr, why)) {
        FreeCall(rpc, raw);
        SetRpcError(rpc, "NFSv4 COMPOUND not sent: " + why);
        return -1;
    }
    // On failure libnfs has freed the request; on success the callback owns `call`.
    if (QueueCall(rpc, raw) != 0) return -1;
    call.release();
    return 0;
}

bool Nfs41Usable(rpc_context* rpc, std::string& why) {
    RawCall raw;
    if (!AllocateCall(rpc, NFS4_PROGRAM, NFS_V4, NFSPROC4_COMPOUND, &OnReply, nullptr, &DecodeReply,
                      sizeof(Compound41Res), 0, raw, why, AuthSys())) {
        why = std::string(kRefused) + ": " + why;
        return false;
    }
    FreeCall(rpc, raw);
    return true;
}

}  // namespace v41
}  // namespace nfsclient
