#include "nfs_client/Nfs41Rpc.h"

#include <cstring>
#include <memory>

#include <nfsc/libnfs-raw-nfs4.h>
#include <nfsc/libnfs-zdr.h>

// libnfs 4.0 exports its request machinery but declares it only in its
// private header (include/libnfs-private.h).
extern "C" {
struct rpc_pdu;
struct rpc_pdu* rpc_allocate_pdu2(struct rpc_context* rpc, int program, int version, int procedure, rpc_cb cb,
                                  void* private_data, zdrproc_t zdr_decode_fn, int zdr_bufsize, size_t alloc_hint);
void rpc_free_pdu(struct rpc_context* rpc, struct rpc_pdu* pdu);
int rpc_queue_pdu(struct rpc_context* rpc, struct rpc_pdu* pdu);
void rpc_set_error(struct rpc_context* rpc, const char* error_string, ...) __attribute__((format(printf, 2, 3)));
}

namespace nfsclient {
namespace v41 {
namespace {

// The one place that knows libnfs's private request layout.
//
// rpc_allocate_pdu2 writes the RPC call header into an encode stream (a ZDR)
// that lives inside its private struct rpc_pdu; rpc_queue_pdu sends what was
// written into that stream. libnfs 4.0 has no way to hand the stream out, so
// we declare the start of the struct as libnfs 4.0 lays it out:
//
//     struct rpc_pdu { struct rpc_pdu *next; uint32_t xid; ZDR zdr; ... };
//
// ZDR itself is public (libnfs-zdr.h). Before writing, EncodeStream checks
// that what it found is really a fresh call header for this request; if not
// (another libnfs version), NFSv4 is refused instead of writing anywhere.
struct PduPrefix {
    rpc_pdu* next;
    uint32_t xid;
    ZDR zdr;
};

// libnfs 4.0's encode buffer: 4 KiB plus the size hint (ZDR_ENCODEBUF_MINSIZE).
constexpr int kEncodeBufferBase = 4096;
// Longest credential or verifier in an RPC call header (RFC 5531).
constexpr uint32_t kMaxAuthBytes = 400;

const char kLayoutRefused[] =
    "NFSv4 is not available with this libnfs: its request layout is not the one of libnfs 4.0";

uint32_t Be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

// The encode stream of a request just allocated with `hint`, positioned
// after its call header; nullptr (and `why`) when the request does not look
// like a fresh NFSv4 COMPOUND call in libnfs 4.0's layout.
ZDR* EncodeStream(rpc_pdu* pdu, size_t hint, std::string& why) {
    auto* prefix = reinterpret_cast<PduPrefix*>(pdu);
    ZDR* zdr = &prefix->zdr;
    // Record marker (4), xid, CALL, RPC version, program, version, procedure
    // (24), credential and verifier (8 each at least).
    constexpr int kShortestHeader = 4 + 24 + 8 + 8;
    auto refuse = [&why](const char* detail) -> ZDR* {
        why = std::string(kLayoutRefused) + " (" + detail + ")";
        return nullptr;
    };
    if (zdr->x_op != ZDR_ENCODE || zdr->buf == nullptr || zdr->mem != nullptr)
        return refuse("no encode stream where expected");
    if (static_cast<size_t>(zdr->size) != kEncodeBufferBase + hint) return refuse("unexpected buffer size");
    if (zdr->pos < kShortestHeader || zdr->pos > zdr->size) return refuse("unexpected stream position");
    const char* b = zdr->buf;
    if (Be32(b + 4) != prefix->xid || Be32(b + 8) != 0 /* CALL */ || Be32(b + 12) != 2 ||
        Be32(b + 16) != NFS4_PROGRAM || Be32(b + 20) != NFS_V4 || Be32(b + 24) != NFSPROC4_COMPOUND)
        return refuse("no NFSv4 COMPOUND call header in the stream");
    const uint32_t credential = Be32(b + 32);
    if (credential > kMaxAuthBytes) return refuse("unreadable credential");
    const size_t verifierAt = 36 + ((credential + 3) & ~3u);
    if (verifierAt + 8 > static_cast<size_t>(zdr->pos)) return refuse("unreadable verifier");
    const uint32_t verifier = Be32(b + verifierAt + 4);
    if (verifier > kMaxAuthBytes || verifierAt + 8 + ((verifier + 3) & ~3u) != static_cast<size_t>(zdr->pos))
        return refuse("the stream is not just past the call header");
    return zdr;
}

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

int SendCompound41(rpc_context* rpc, const Compound41& compound, rpc_cb cb, void* privateData) {
    if (rpc == nullptr) return -1;
    std::string why;
    const size_t bound = compound.EncodedSizeBound();
    if (cb == nullptr || bound == 0) {
        std::vector<char> none;
        if (cb != nullptr) compound.Encode(none, why);  // fails at once, telling why
        rpc_set_error(rpc, "NFSv4 COMPOUND not sent: %s", cb == nullptr ? "no callback" : why.c_str());
        return -1;
    }
    auto call = std::make_unique<Call>();
    call->cb = cb;
    call->privateData = privateData;
    call->count = static_cast<uint32_t>(compound.Size());
    for (uint32_t i = 0; i < call->count; ++i) call->ops[i] = compound.OpAt(i);

    rpc_pdu* pdu = rpc_allocate_pdu2(rpc, NFS4_PROGRAM, NFS_V4, NFSPROC4_COMPOUND, &OnReply, call.get(), &DecodeReply,
                                     static_cast<int>(sizeof(Compound41Res)), bound);
    if (pdu == nullptr) return -1;  // libnfs has set the error
    ZDR* zdr = EncodeStream(pdu, bound, why);
    if (zdr == nullptr || !compound.Encode(zdr, why)) {
        rpc_free_pdu(rpc, pdu);
        rpc_set_error(rpc, "NFSv4 COMPOUND not sent: %s", why.c_str());
        return -1;
    }
    // On failure libnfs has freed the request; on success the callback owns `call`.
    if (rpc_queue_pdu(rpc, pdu) != 0) return -1;
    call.release();
    return 0;
}

bool Nfs41Usable(rpc_context* rpc, std::string& why) {
    if (rpc == nullptr) {
        why = "no RPC context";
        return false;
    }
    rpc_pdu* pdu = rpc_allocate_pdu2(rpc, NFS4_PROGRAM, NFS_V4, NFSPROC4_COMPOUND, &OnReply, nullptr, &DecodeReply,
                                     static_cast<int>(sizeof(Compound41Res)), 0);
    if (pdu == nullptr) {
        why = rpc_get_error(rpc);
        return false;
    }
    const bool usable = EncodeStream(pdu, 0, why) != nullptr;
    rpc_free_pdu(rpc, pdu);
    return usable;
}

}  // namespace v41
}  // namespace nfsclient
