#include "nfs_client/worker/rpc/RpcRaw.h"

// libnfs 4.0 exports its request machinery but declares it only in its
// private header (include/libnfs-private.h).
extern "C" {
struct rpc_pdu* rpc_allocate_pdu2(struct rpc_context* rpc, int program, int version, int procedure,
                                  rpc_cb cb, void* private_data, zdrproc_t zdr_decode_fn,
                                  int zdr_bufsize, size_t alloc_hint);
void rpc_free_pdu(struct rpc_context* rpc, struct rpc_pdu* pdu);
int rpc_queue_pdu(struct rpc_context* rpc, struct rpc_pdu* pdu);
void rpc_set_error(struct rpc_context* rpc, const char* error_string, ...)
    __attribute__((format(printf, 2, 3)));
}

namespace nfsclient {
namespace {

// rpc_allocate_pdu2 writes the RPC call header into an encode stream (a ZDR)
// inside its private struct rpc_pdu, and rpc_queue_pdu sends what was
// written there. libnfs 4.0 lays the struct out as
//
//     struct rpc_pdu { struct rpc_pdu *next; uint32_t xid; ZDR zdr; ... };
//
// (ZDR itself is public). Before anything is written, the stream found there
// is checked to hold exactly a fresh call header of this request; with any
// other layout the call is refused instead of writing anywhere.
struct PduPrefix {
    rpc_pdu* next;
    uint32_t xid;
    ZDR zdr;
};

constexpr int kEncodeBufferBase = 4096;  // libnfs 4.0's ZDR_ENCODEBUF_MINSIZE
constexpr uint32_t kMaxAuthBytes = 400;  // longest credential or verifier (RFC 5531)

const char kLayoutRefused[] = "libnfs's request layout is not the one of libnfs 4.0";

uint32_t Be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

// The encode stream of a call just allocated with `hint`, positioned after
// its call header; nullptr (and `why`) when it does not look like that.
ZDR* EncodeStream(rpc_pdu* pdu, int program, int version, int procedure, size_t hint,
                  std::string& why) {
    auto* prefix = reinterpret_cast<PduPrefix*>(pdu);
    ZDR* zdr = &prefix->zdr;
    constexpr int kShortestHeader = 4 + 24 + 8 + 8;  // marker, call, credential, verifier
    auto refuse = [&why](const char* detail) -> ZDR* {
        why = std::string(kLayoutRefused) + " (" + detail + ")";
        return nullptr;
    };
    if (zdr->x_op != ZDR_ENCODE || zdr->buf == nullptr || zdr->mem != nullptr)
        return refuse("no encode stream where expected");
    if (static_cast<size_t>(zdr->size) != kEncodeBufferBase + hint)
        return refuse("unexpected buffer size");
    if (zdr->pos < kShortestHeader || zdr->pos > zdr->size)
        return refuse("unexpected stream position");
    const char* b = zdr->buf;
    if (Be32(b + 4) != prefix->xid || Be32(b + 8) != 0 /* CALL */ || Be32(b + 12) != 2 ||
        Be32(b + 16) != static_cast<uint32_t>(program) ||
        Be32(b + 20) != static_cast<uint32_t>(version) ||
        Be32(b + 24) != static_cast<uint32_t>(procedure))
        return refuse("no call header of this call in the stream");
    const uint32_t credential = Be32(b + 32);
    if (credential > kMaxAuthBytes) return refuse("unreadable credential");
    const size_t verifierAt = 36 + ((credential + 3) & ~3u);
    if (verifierAt + 8 > static_cast<size_t>(zdr->pos)) return refuse("unreadable verifier");
    const uint32_t verifier = Be32(b + verifierAt + 4);
    if (verifier > kMaxAuthBytes ||
        verifierAt + 8 + ((verifier + 3) & ~3u) != static_cast<size_t>(zdr->pos))
        return refuse("the stream is not just past the call header");
    return zdr;
}

// libnfs calls this for an accepted reply with status SUCCESS, the stream
// at the result and `where` the zeroed RawReply inside the request.
extern "C" {
static uint32_t KeepRaw(ZDR* zdr, void* where, ...) {
    if (where == nullptr || zdr->buf == nullptr || zdr->pos < 0 || zdr->pos > zdr->size) return 0;
    auto* raw = static_cast<RawReply*>(where);
    raw->data = zdr->buf + zdr->pos;
    raw->size = static_cast<size_t>(zdr->size - zdr->pos);
    return 1;
}
}

// Lets `auth` write its credential and verifier over the header just
// encoded (after the record marker), in the room before the arguments'.
bool SealHeader(CallAuth& auth, uint32_t xid, ZDR* zdr, std::string& why) {
    constexpr size_t kMarker = 4;
    size_t size = static_cast<size_t>(zdr->pos) - kMarker;
    if (!auth.SealHeader(xid, zdr->buf + kMarker, size, static_cast<size_t>(zdr->size) - kMarker,
                         why))
        return false;
    zdr->pos = static_cast<int>(kMarker + size);
    return true;
}

// Lets the call's CallAuth protect the arguments encoded so far.
bool WrapArguments(RawCall& call, std::string& why) {
    ZDR* zdr = call.zdr;
    size_t size = static_cast<size_t>(zdr->pos) - call.argumentsAt;
    if (!call.auth->WrapArguments(call.xid, zdr->buf + call.argumentsAt, size,
                                  static_cast<size_t>(zdr->size) - call.argumentsAt, why))
        return false;
    zdr->pos = static_cast<int>(call.argumentsAt + size);
    return true;
}

}  // namespace

bool AllocateCall(rpc_context* rpc, int program, int version, int procedure, rpc_cb cb,
                  void* privateData, zdrproc_t decode, size_t decodeSize, size_t argumentBytes,
                  RawCall& call, std::string& why, CallAuth& auth) {
    call = RawCall();
    if (rpc == nullptr) {
        why = "no RPC context";
        return false;
    }
    const size_t hint = argumentBytes + auth.ArgumentRoom();
    rpc_pdu* pdu = rpc_allocate_pdu2(rpc, program, version, procedure, cb, privateData, decode,
                                     static_cast<int>(decodeSize), hint);
    if (pdu == nullptr) {
        why = rpc_get_error(rpc);
        return false;
    }
    ZDR* zdr = EncodeStream(pdu, program, version, procedure, hint, why);
    if (zdr == nullptr || !SealHeader(auth, reinterpret_cast<PduPrefix*>(pdu)->xid, zdr, why)) {
        rpc_free_pdu(rpc, pdu);
        return false;
    }
    call.pdu = pdu;
    call.zdr = zdr;
    call.auth = &auth;
    call.xid = reinterpret_cast<PduPrefix*>(pdu)->xid;
    call.argumentsAt = static_cast<size_t>(zdr->pos);
    return true;
}

void FreeCall(rpc_context* rpc, RawCall& call) {
    if (call.pdu != nullptr) rpc_free_pdu(rpc, call.pdu);
    call = RawCall();
}

int QueueCall(rpc_context* rpc, RawCall& call) {
    std::string why;
    if (call.auth != nullptr && !WrapArguments(call, why)) {
        FreeCall(rpc, call);
        rpc_set_error(rpc, "call not sent: %s", why.c_str());
        return -1;
    }
    rpc_pdu* pdu = call.pdu;
    call = RawCall();
    return rpc_queue_pdu(rpc, pdu) == 0 ? 0 : -1;
}

int SendRawCall(rpc_context* rpc, int program, int version, int procedure, ArgumentEncoder encode,
                void* arguments, rpc_cb cb, void* privateData, CallAuth& auth,
                size_t argumentBytes) {
    if (rpc == nullptr || cb == nullptr) return -1;
    RawCall call;
    std::string why;
    if (!AllocateCall(rpc, program, version, procedure, cb, privateData, &KeepRaw, sizeof(RawReply),
                      argumentBytes, call, why, auth)) {
        rpc_set_error(rpc, "call not sent: %s", why.c_str());
        return -1;
    }
    if (encode != nullptr && !encode(call.zdr, arguments)) {
        FreeCall(rpc, call);
        rpc_set_error(rpc, "call not sent: its arguments cannot be encoded");
        return -1;
    }
    return QueueCall(rpc, call);
}

void SetRpcError(rpc_context* rpc, const std::string& text) {
    rpc_set_error(rpc, "%s", text.c_str());
}

bool RawCallsUsable(rpc_context* rpc, std::string& why) {
    RawCall call;
    if (!AllocateCall(rpc, 100003, 3, 0, nullptr, nullptr, &KeepRaw, sizeof(RawReply),
                      kRawArgumentBytes, call, why, AuthSys()))
        return false;
    FreeCall(rpc, call);
    return true;
}

}  // namespace nfsclient
