#include "nfs_client/worker/nfs4/Nfs4Xdr.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <nfsc/libnfs-zdr.h>

namespace nfsclient {
namespace v41 {
namespace {

constexpr size_t Pad(size_t length) { return (length + 3) & ~size_t{3}; }

void Malformed(Compound41Res& res, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Malformed(Compound41Res& res, const char* format, ...) {
    if (res.malformed[0] != '\0') return;  // the first reason wins
    va_list args;
    va_start(args, format);
    vsnprintf(res.malformed, sizeof res.malformed, format, args);
    va_end(args);
}

const char* OpName(uint32_t op) {
    if (const char* name = Nfs41OpName(op)) return name;
    switch (op) {
    case OP_PUTROOTFH: return "PUTROOTFH";
    case OP_PUTFH: return "PUTFH";
    case OP_LOOKUP: return "LOOKUP";
    case OP_GETFH: return "GETFH";
    case OP_GETATTR: return "GETATTR";
    case OP_READDIR: return "READDIR";
    default: return "an unknown operation";
    }
}

bool Is40Op(uint32_t op) {
    switch (op) {
    case OP_PUTROOTFH:
    case OP_PUTFH:
    case OP_LOOKUP:
    case OP_GETFH:
    case OP_GETATTR:
    case OP_READDIR: return true;
    default: return false;
    }
}

// Reads XDR from bytes that came from the server. Every read is bounded by
// the end of the reply; every length by the bound its caller gives. The
// first failure is kept in Why() ("<what>: <problem>").
class Reader {
public:
    Reader(const char* data, size_t size, size_t at) : m_data(data), m_size(size), m_at(at) {}

    bool U32(uint32_t& value, const char* what) {
        if (m_size - m_at < 4) return Short(what);
        const auto* p = reinterpret_cast<const unsigned char*>(m_data + m_at);
        value = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        m_at += 4;
        return true;
    }
    bool I32(int32_t& value, const char* what) {
        uint32_t raw = 0;
        if (!U32(raw, what)) return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    bool U64(uint64_t& value, const char* what) {
        uint32_t high = 0, low = 0;
        if (!U32(high, what) || !U32(low, what)) return false;
        value = (uint64_t{high} << 32) | low;
        return true;
    }
    bool I64(int64_t& value, const char* what) {
        uint64_t raw = 0;
        if (!U64(raw, what)) return false;
        value = static_cast<int64_t>(raw);
        return true;
    }
    // XDR booleans are 0 or 1; anything else is garbage.
    bool Bool(bool& value, const char* what) {
        uint32_t raw = 0;
        if (!U32(raw, what)) return false;
        if (raw > 1) return Fail(what, "not a boolean (%u)", raw);
        value = raw == 1;
        return true;
    }
    bool Fixed(char* out, size_t length, const char* what) {
        if (m_size - m_at < Pad(length)) return Short(what);
        memcpy(out, m_data + m_at, length);
        m_at += Pad(length);
        return true;
    }
    bool Skip(size_t length, const char* what) {
        if (m_size - m_at < Pad(length)) return Short(what);
        m_at += Pad(length);
        return true;
    }
    bool Opaque(Bytes& out, uint32_t maxLength, const char* what) {
        uint32_t length = 0;
        if (!U32(length, what)) return false;
        if (length > maxLength) return Fail(what, "%u bytes, more than %u", length, maxLength);
        if (m_size - m_at < Pad(length)) return Short(what);
        out.data = m_data + m_at;
        out.length = length;
        m_at += Pad(length);
        return true;
    }
    bool Bitmap(const char* what) {
        uint32_t words = 0;
        if (!U32(words, what)) return false;
        if (words > kMaxBitmapWords)
            return Fail(what, "%u words, more than %u", words, kMaxBitmapWords);
        return Skip(size_t{words} * 4, what);
    }
    bool Fattr(const char* what) {
        Bytes values{};
        return Bitmap(what) && Opaque(values, kMaxAttrBytes, what);
    }

    size_t Pos() const { return m_at; }
    size_t Left() const { return m_size - m_at; }
    const char* Here() const { return m_data + m_at; }
    const std::string& Why() const { return m_why; }
    bool Fail(const char* what, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        if (!m_why.empty()) return false;
        char text[128];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        m_why = std::string(what) + ": " + text;
        return false;
    }

private:
    bool Short(const char* what) { return Fail(what, "%s", "the reply is cut short"); }

    const char* m_data;
    size_t m_size;
    size_t m_at;
    std::string m_why;
};

bool ReadChannel(Reader& in, ChannelAttrs& attrs, const char* what) {
    if (!in.U32(attrs.headerPadSize, what) || !in.U32(attrs.maxRequestSize, what) ||
        !in.U32(attrs.maxResponseSize, what) || !in.U32(attrs.maxResponseSizeCached, what) ||
        !in.U32(attrs.maxOperations, what) || !in.U32(attrs.maxRequests, what) ||
        !in.U32(attrs.rdmaIrdCount, what))
        return false;
    if (attrs.rdmaIrdCount > 1)
        return in.Fail(what, "%u RDMA ird values, more than 1", attrs.rdmaIrdCount);
    return attrs.rdmaIrdCount == 0 || in.U32(attrs.rdmaIrd, what);
}

bool ReadExchangeId(Reader& in, ExchangeIdRes& out) {
    if (!in.U64(out.clientId, "client id") || !in.U32(out.sequenceId, "sequence id") ||
        !in.U32(out.flags, "flags") || !in.U32(out.stateProtect, "state protection"))
        return false;
    // SP4_NONE is what we ask for; a server must not answer with more.
    if (out.stateProtect != kStateProtectNone)
        return in.Fail("state protection", "%u, which was not asked for", out.stateProtect);
    if (!in.U64(out.serverMinorId, "server owner") ||
        !in.Opaque(out.serverMajorId, kMaxOpaqueBytes, "server owner") ||
        !in.Opaque(out.serverScope, kMaxOpaqueBytes, "server scope") ||
        !in.U32(out.implIdCount, "implementation id"))
        return false;
    if (out.implIdCount > 1)
        return in.Fail("implementation id", "%u of them, more than 1", out.implIdCount);
    if (out.implIdCount == 0) return true;
    return in.Opaque(out.implDomain, kMaxOpaqueBytes, "implementation domain") &&
           in.Opaque(out.implName, kMaxOpaqueBytes, "implementation name") &&
           in.I64(out.implDateSeconds, "implementation date") &&
           in.U32(out.implDateNseconds, "implementation date");
}

bool ReadCreateSession(Reader& in, CreateSessionRes& out) {
    return in.Fixed(out.sessionId, kSessionIdSize, "session id") &&
           in.U32(out.sequence, "sequence") && in.U32(out.flags, "flags") &&
           ReadChannel(in, out.fore, "fore channel") && ReadChannel(in, out.back, "back channel");
}

// The Kerberos V5 mechanism, 1.2.840.113554.1.2.2, in DER: tag and length
// first, as sec_oid4 should carry it; some servers (nfs-ganesha) send the
// value alone.
const unsigned char kKerberosOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                      0xf7, 0x12, 0x01, 0x02, 0x02};

bool ReadSecinfo(Reader& in, SecinfoRes& out) {
    if (!in.U32(out.count, "flavour count")) return false;
    if (out.count > kMaxSecinfoEntries)
        return in.Fail("flavour count", "%u, more than %u", out.count, kMaxSecinfoEntries);
    for (uint32_t i = 0; i < out.count; ++i) {
        SecinfoEntry& e = out.entries[i];
        e.service = 0;
        e.kerberos = false;
        if (!in.U32(e.flavour, "flavour")) return false;
        if (e.flavour != 6) continue;  // RPCSEC_GSS alone carries more
        Bytes oid{};
        uint32_t qop = 0;
        if (!in.Opaque(oid, kMaxOidBytes, "mechanism OID") ||
            !in.U32(qop, "quality of protection") || !in.U32(e.service, "service"))
            return false;
        const size_t whole = sizeof kKerberosOid;
        e.kerberos =
            (oid.length == whole && memcmp(oid.data, kKerberosOid, whole) == 0) ||
            (oid.length == whole - 2 && memcmp(oid.data, kKerberosOid + 2, whole - 2) == 0);
    }
    return true;
}

bool ReadSequence(Reader& in, SequenceRes& out) {
    return in.Fixed(out.sessionId, kSessionIdSize, "session id") &&
           in.U32(out.sequenceId, "sequence id") && in.U32(out.slotId, "slot id") &&
           in.U32(out.highestSlotId, "highest slot id") &&
           in.U32(out.targetHighestSlotId, "target highest slot id") &&
           in.U32(out.statusFlags, "status flags");
}

// A successful READDIR result, scanned: where its parts are in the reply.
struct ReadDirScan {
    const char* verifier = nullptr;
    DirList list{};
    bool eof = false;
};

// Walks a READDIR result's body (after its status) with the bounds above.
bool ScanReadDir(Reader& in, ReadDirScan& out) {
    out.verifier = in.Here();
    if (!in.Skip(NFS4_VERIFIER_SIZE, "cookie verifier")) return false;
    const char* const start = in.Here();
    for (;;) {
        bool more = false;
        if (!in.Bool(more, "entry list")) return false;
        if (!more) break;
        if (++out.list.count > kMaxDirEntries)
            return in.Fail("entry list", "more than %u entries", kMaxDirEntries);
        Bytes name{};
        if (!in.U64(out.list.lastCookie, "entry cookie") ||
            !in.Opaque(name, kMaxDecodedNameBytes, "entry name") || !in.Fattr("entry attributes"))
            return false;
    }
    out.list.entries = Bytes{start, static_cast<uint32_t>(in.Here() - start)};
    return in.Bool(out.eof, "eof");
}

// Walks a 4.0 operation's result (after its operation number and status)
// with the bounds above, so that libnfs decodes only what fits.
bool Scan40(Reader& in, uint32_t op, int32_t status) {
    if (status != NFS4_OK) return true;  // these results carry nothing else then
    switch (op) {
    case OP_GETFH: {
        Bytes handle{};
        return in.Opaque(handle, kMaxFileHandleBytes, "file handle");
    }
    case OP_GETATTR: return in.Fattr("attributes");
    default: return true;  // PUTROOTFH, PUTFH, LOOKUP, OP_ILLEGAL: status only
    }
}

// The result of a successful READDIR as libnfs would have decoded it, less
// the entries, which stay in place (Compound41Res::v40dirs).
void TakeReadDir(const ReadDirScan& scan, nfs_resop4& op, DirList& list) {
    op.resop = OP_READDIR;
    READDIR4res& result = op.nfs_resop4_u.opreaddir;
    result.status = NFS4_OK;
    memcpy(result.READDIR4res_u.resok4.cookieverf, scan.verifier, NFS4_VERIFIER_SIZE);
    result.READDIR4res_u.resok4.reply.entries = nullptr;
    result.READDIR4res_u.resok4.reply.eof = scan.eof ? 1 : 0;
    list = scan.list;
}

bool PutU32(ZDR* zdr, uint32_t value) { return libnfs_zdr_u_int(zdr, &value) != 0; }
bool PutU64(ZDR* zdr, uint64_t value) { return libnfs_zdr_uint64_t(zdr, &value) != 0; }
bool PutBool(ZDR* zdr, bool value) {
    bool_t b = value ? 1 : 0;
    return libnfs_zdr_bool(zdr, &b) != 0;
}
bool PutFixed(ZDR* zdr, const char* data, uint32_t length) {
    return libnfs_zdr_opaque(zdr, const_cast<char*>(data), length) != 0;
}
bool PutOpaque(ZDR* zdr, const char* data, uint32_t length) {
    char* p = const_cast<char*>(data);
    return libnfs_zdr_bytes(zdr, &p, &length, length) != 0;
}

bool PutChannel(ZDR* zdr, const ChannelAttrs& a) {
    return PutU32(zdr, a.headerPadSize) && PutU32(zdr, a.maxRequestSize) &&
           PutU32(zdr, a.maxResponseSize) && PutU32(zdr, a.maxResponseSizeCached) &&
           PutU32(zdr, a.maxOperations) && PutU32(zdr, a.maxRequests) &&
           PutU32(zdr, a.rdmaIrdCount) && (a.rdmaIrdCount == 0 || PutU32(zdr, a.rdmaIrd));
}

size_t ChannelSize(const ChannelAttrs& a) { return 7 * 4 + (a.rdmaIrdCount == 1 ? 4 : 0); }

bool BitmapOk(const bitmap4& b) {
    return b.bitmap4_len <= kMaxBitmapWords && (b.bitmap4_len == 0 || b.bitmap4_val);
}

// A 4.0 result whose operation number and status begin at `at` and have
// been read: a successful READDIR's entries are left in place; any other
// result is scanned with our bounds and then decoded by libnfs. False, with
// res.malformed set, when it is not well formed.
bool Decode40(ZDR* zdr, Reader& in, size_t at, uint32_t i, Result41& r, Compound41Res& res) {
    const uint32_t index = res.v40count;
    if (r.op == OP_READDIR && r.status == NFS4_OK) {
        ReadDirScan scan;
        if (!ScanReadDir(in, scan)) {
            Malformed(res, "result %u (%s): %s", i + 1, OpName(r.op), in.Why().c_str());
            return false;
        }
        TakeReadDir(scan, res.v40ops[index], res.v40dirs[index]);
    } else {
        if (!Scan40(in, r.op, r.status)) {
            Malformed(res, "result %u (%s): %s", i + 1, OpName(r.op), in.Why().c_str());
            return false;
        }
        // The bytes fit every bound: libnfs decodes them into the struct the
        // 4.0 code reads, and must end where the scan did.
        zdr->pos = static_cast<int>(at);
        if (zdr_nfs_resop4(zdr, &res.v40ops[index]) == 0 ||
            static_cast<size_t>(zdr->pos) != in.Pos()) {
            Malformed(res, "result %u (%s): libnfs could not decode it", i + 1, OpName(r.op));
            return false;
        }
    }
    r.v40Index = static_cast<int32_t>(index);
    ++res.v40count;
    return true;
}

// Result `i` of the reply at the reader's position: a session result by our
// decoders, a 4.0 result by Decode40. False, with res.malformed set, when it
// is not well formed.
bool DecodeResult(ZDR* zdr, Reader& in, uint32_t i, Compound41Res& res) {
    Result41& r = res.results[i];
    r.v40Index = -1;
    const size_t at = in.Pos();
    if (!in.U32(r.op, "operation number") || !in.I32(r.status, "status")) {
        Malformed(res, "result %u: %s", i + 1, in.Why().c_str());
        return false;
    }
    const bool session = r.op == kOpExchangeId || r.op == kOpCreateSession || r.op == kOpSequence ||
                         r.op == kOpReclaimComplete || r.op == kOpDestroySession ||
                         r.op == kOpDestroyClientId || r.op == kOpSecinfo ||
                         r.op == kOpSecinfoNoName;
    if (!session && !Is40Op(r.op) && r.op != kOpIllegal) {
        Malformed(res, "result %u is for operation %u, which this client does not send", i + 1,
                  r.op);
        return false;
    }
    bool ok = true;
    if (!session) {
        if (!Decode40(zdr, in, at, i, r, res)) return false;
    } else if (r.status != NFS4_OK) {
        // Only the status then.
    } else if (r.op == kOpExchangeId) {
        ok = ReadExchangeId(in, r.u.exchangeId);
    } else if (r.op == kOpCreateSession) {
        ok = ReadCreateSession(in, r.u.createSession);
    } else if (r.op == kOpSequence) {
        ok = ReadSequence(in, r.u.sequence);
    } else if (r.op == kOpSecinfo || r.op == kOpSecinfoNoName) {
        ok = ReadSecinfo(in, r.u.secinfo);
    }  // RECLAIM_COMPLETE, DESTROY_SESSION, DESTROY_CLIENTID: status only
    if (!ok) {
        Malformed(res, "result %u (%s): %s", i + 1, OpName(r.op), in.Why().c_str());
        return false;
    }
    if (r.status != NFS4_OK && i + 1 < res.count) {
        Malformed(res, "result %u (%s) failed with %d, yet more results follow", i + 1,
                  OpName(r.op), r.status);
        return false;
    }
    return true;
}

}  // namespace

ChannelAttrs DefaultForeChannel(uint32_t slots) {
    ChannelAttrs a{};
    a.headerPadSize = 0;
    a.maxRequestSize = 1024 * 1024;
    a.maxResponseSize = 1024 * 1024;
    a.maxResponseSizeCached = 4096;
    a.maxOperations = kMaxOps;
    a.maxRequests = slots;
    return a;
}

ChannelAttrs DefaultBackChannel() {
    ChannelAttrs a{};
    a.maxRequestSize = 256;
    a.maxResponseSize = 256;
    a.maxResponseSizeCached = 0;
    a.maxOperations = 2;
    a.maxRequests = 1;
    return a;
}

void ProcessVerifier(char out[kVerifierSize]) {
    static char verifier[kVerifierSize];
    static std::once_flag once;
    std::call_once(once, [] {
        if (getrandom(verifier, sizeof verifier, GRND_NONBLOCK) !=
            static_cast<ssize_t>(sizeof verifier)) {
            const uint64_t mix =
                static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                (static_cast<uint64_t>(getpid()) << 40);
            memcpy(verifier, &mix, sizeof verifier);
        }
    });
    memcpy(out, verifier, kVerifierSize);
}

// 64 random bits for one call's owner id; without the random source, the
// time and thread mixed (unique enough to tell calls of one process apart).
uint64_t CallNonce(const void* where) {
    uint64_t nonce = 0;
    if (getrandom(&nonce, sizeof nonce, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof nonce))
        return nonce;
    const auto now =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return now ^ (static_cast<uint64_t>(gettid()) << 32) ^ reinterpret_cast<uintptr_t>(where);
}

ExchangeIdArgs NewClientOwner(const std::string& prefix) {
    ExchangeIdArgs args;
    ProcessVerifier(args.verifier);
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0) strcpy(host, "unknown-host");
    host[sizeof host - 1] = '\0';
    char hex[2 * kVerifierSize + 1];
    for (size_t i = 0; i < kVerifierSize; ++i)
        snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned char>(args.verifier[i]));
    char tail[96];
    snprintf(tail, sizeof tail, " pid %ld %s %016llx", static_cast<long>(getpid()), hex,
             static_cast<unsigned long long>(CallNonce(&args)));
    args.ownerId = prefix.substr(0, 256) + " " + host + tail;
    return args;
}

Compound41::Op& Compound41::Add(uint32_t op) {
    m_ops.emplace_back();
    m_ops.back().op = op;
    return m_ops.back();
}

Compound41::Op& Compound41::Add40Op(nfs_opnum4 op) {
    Op& added = Add(op);
    memset(&added.v40, 0, sizeof added.v40);
    added.v40.argop = op;
    return added;
}

void Compound41::ExchangeId(const ExchangeIdArgs& args) { Add(kOpExchangeId).exchangeId = args; }
void Compound41::CreateSession(const CreateSessionArgs& args) {
    Add(kOpCreateSession).createSession = args;
}
void Compound41::Sequence(const SequenceArgs& args) { Add(kOpSequence).sequence = args; }
void Compound41::ReclaimComplete(bool oneFs) { Add(kOpReclaimComplete).oneFs = oneFs; }
void Compound41::DestroySession(const SessionId sessionId) {
    memcpy(Add(kOpDestroySession).sessionId, sessionId, kSessionIdSize);
}
void Compound41::DestroyClientId(uint64_t clientId) { Add(kOpDestroyClientId).clientId = clientId; }
void Compound41::Secinfo(const std::string& name) { Add(kOpSecinfo).name = name; }
void Compound41::SecinfoNoName(uint32_t style) { Add(kOpSecinfoNoName).style = style; }

void Compound41::PutRootFh() { Add40Op(OP_PUTROOTFH); }
void Compound41::GetFh() { Add40Op(OP_GETFH); }

void Compound41::PutFh(const char* handle, uint32_t length) {
    PUTFH4args& args = Add40Op(OP_PUTFH).v40.nfs_argop4_u.opputfh;
    args.object.nfs_fh4_len = length;
    args.object.nfs_fh4_val = const_cast<char*>(handle);
}

void Compound41::Lookup(const char* name, uint32_t length) {
    LOOKUP4args& args = Add40Op(OP_LOOKUP).v40.nfs_argop4_u.oplookup;
    args.objname.utf8string_len = length;
    args.objname.utf8string_val = const_cast<char*>(name);
}

void Compound41::GetAttr(const std::vector<uint32_t>& mask) {
    m_masks.push_back(mask);
    GETATTR4args& args = Add40Op(OP_GETATTR).v40.nfs_argop4_u.opgetattr;
    args.attr_request.bitmap4_len = static_cast<u_int>(m_masks.back().size());
    args.attr_request.bitmap4_val = m_masks.back().data();
}

void Compound41::ReadDir(uint64_t cookie, const char verifier[NFS4_VERIFIER_SIZE],
                         uint32_t dirCount, uint32_t maxCount, const std::vector<uint32_t>& mask) {
    m_masks.push_back(mask);
    READDIR4args& args = Add40Op(OP_READDIR).v40.nfs_argop4_u.opreaddir;
    args.cookie = cookie;
    memcpy(args.cookieverf, verifier, NFS4_VERIFIER_SIZE);
    args.dircount = dirCount;
    args.maxcount = maxCount;
    args.attr_request.bitmap4_len = static_cast<u_int>(m_masks.back().size());
    args.attr_request.bitmap4_val = m_masks.back().data();
}

void Compound41::Add40(const nfs_argop4& op) { Add(op.argop).v40 = op; }

void Compound41::Append40(const COMPOUND4args& args) {
    for (u_int i = 0; i < args.argarray.argarray_len; ++i) {
        nfs_argop4 op;
        // libnfs's arrays need not be aligned for nfs_argop4 (see Nfs4Channel.h).
        memcpy(&op, reinterpret_cast<const char*>(args.argarray.argarray_val) + i * sizeof op,
               sizeof op);
        Add40(op);
    }
}

size_t Compound41::EncodedSizeBound() const {
    if (m_ops.size() > kMaxOps || m_tag.size() > kMaxOpaqueBytes) return 0;
    size_t size = 4 + Pad(m_tag.size()) + 4 + 4;
    for (const Op& o : m_ops) {
        size += 4;
        const nfs_argop4& v = o.v40;
        switch (o.op) {
        case kOpExchangeId:
            if (o.exchangeId.ownerId.size() > kMaxOpaqueBytes) return 0;
            size += kVerifierSize + 4 + Pad(o.exchangeId.ownerId.size()) + 4 + 4 + 4;
            break;
        case kOpCreateSession: {
            const CreateSessionArgs& c = o.createSession;
            if (c.fore.rdmaIrdCount > 1 || c.back.rdmaIrdCount > 1) return 0;
            size += 8 + 4 + 4 + ChannelSize(c.fore) + ChannelSize(c.back) + 4 + 4 +
                    (c.authNoneCallback ? 4 : 0);
            break;
        }
        case kOpSequence: size += kSessionIdSize + 4 * 4; break;
        case kOpReclaimComplete: size += 4; break;
        case kOpDestroySession: size += kSessionIdSize; break;
        case kOpDestroyClientId: size += 8; break;
        case kOpSecinfo:
            if (o.name.size() > kMaxNameBytes) return 0;
            size += 4 + Pad(o.name.size());
            break;
        case kOpSecinfoNoName: size += 4; break;
        case OP_PUTROOTFH:
        case OP_GETFH: break;
        case OP_PUTFH: {
            const nfs_fh4& fh = v.nfs_argop4_u.opputfh.object;
            if (fh.nfs_fh4_len > kMaxFileHandleBytes ||
                (fh.nfs_fh4_len > 0 && fh.nfs_fh4_val == nullptr))
                return 0;
            size += 4 + Pad(fh.nfs_fh4_len);
            break;
        }
        case OP_LOOKUP: {
            const utf8str_cs& name = v.nfs_argop4_u.oplookup.objname;
            if (name.utf8string_len > kMaxNameBytes ||
                (name.utf8string_len > 0 && name.utf8string_val == nullptr))
                return 0;
            size += 4 + Pad(name.utf8string_len);
            break;
        }
        case OP_GETATTR:
            if (!BitmapOk(v.nfs_argop4_u.opgetattr.attr_request)) return 0;
            size += 4 + 4 * size_t{v.nfs_argop4_u.opgetattr.attr_request.bitmap4_len};
            break;
        case OP_READDIR:
            if (!BitmapOk(v.nfs_argop4_u.opreaddir.attr_request)) return 0;
            size += 8 + NFS4_VERIFIER_SIZE + 4 + 4 + 4 +
                    4 * size_t{v.nfs_argop4_u.opreaddir.attr_request.bitmap4_len};
            break;
        default: return 0;
        }
    }
    return size;
}

bool Compound41::Encode(ZDR* zdr, std::string& why) const {
    const size_t bound = EncodedSizeBound();
    if (bound == 0) {
        if (m_ops.size() > kMaxOps)
            why =
                std::to_string(m_ops.size()) + " operations, more than " + std::to_string(kMaxOps);
        else
            why = "an operation or text this client cannot encode";
        return false;
    }
    // libnfs's fixed-size opaque writer does not check its room: make sure
    // everything fits before writing anything.
    if (zdr == nullptr || zdr->x_op != ZDR_ENCODE || zdr->pos < 0 || zdr->pos > zdr->size ||
        static_cast<size_t>(zdr->size - zdr->pos) < bound) {
        why = "the request buffer is too small for the COMPOUND";
        return false;
    }
    bool ok = PutOpaque(zdr, m_tag.data(), static_cast<uint32_t>(m_tag.size())) &&
              PutU32(zdr, m_minorVersion) && PutU32(zdr, static_cast<uint32_t>(m_ops.size()));
    for (size_t i = 0; ok && i < m_ops.size(); ++i) {
        const Op& o = m_ops[i];
        if (Is40Op(o.op)) {
            ok = zdr_nfs_argop4(zdr, const_cast<nfs_argop4*>(&o.v40)) != 0;
            continue;
        }
        ok = PutU32(zdr, o.op);
        switch (o.op) {
        case kOpExchangeId: {
            const ExchangeIdArgs& e = o.exchangeId;
            ok = ok && PutFixed(zdr, e.verifier, kVerifierSize) &&
                 PutOpaque(zdr, e.ownerId.data(), static_cast<uint32_t>(e.ownerId.size())) &&
                 PutU32(zdr, e.flags) && PutU32(zdr, kStateProtectNone) &&
                 PutU32(zdr, 0);  // no impl id
            break;
        }
        case kOpCreateSession: {
            const CreateSessionArgs& c = o.createSession;
            ok = ok && PutU64(zdr, c.clientId) && PutU32(zdr, c.sequence) && PutU32(zdr, c.flags) &&
                 PutChannel(zdr, c.fore) && PutChannel(zdr, c.back) &&
                 PutU32(zdr, c.callbackProgram) && PutU32(zdr, c.authNoneCallback ? 1 : 0) &&
                 (!c.authNoneCallback || PutU32(zdr, 0 /* AUTH_NONE */));
            break;
        }
        case kOpSequence: {
            const SequenceArgs& s = o.sequence;
            ok = ok && PutFixed(zdr, s.sessionId, kSessionIdSize) && PutU32(zdr, s.sequenceId) &&
                 PutU32(zdr, s.slotId) && PutU32(zdr, s.highestSlotId) && PutBool(zdr, s.cacheThis);
            break;
        }
        case kOpReclaimComplete: ok = ok && PutBool(zdr, o.oneFs); break;
        case kOpDestroySession: ok = ok && PutFixed(zdr, o.sessionId, kSessionIdSize); break;
        case kOpDestroyClientId: ok = ok && PutU64(zdr, o.clientId); break;
        case kOpSecinfo:
            ok = ok && PutOpaque(zdr, o.name.data(), static_cast<uint32_t>(o.name.size()));
            break;
        case kOpSecinfoNoName: ok = ok && PutU32(zdr, o.style); break;
        default: ok = false; break;
        }
    }
    if (!ok) why = "ZDR error while encoding the COMPOUND";
    return ok;
}

bool Compound41::Encode(std::vector<char>& out, std::string& why) const {
    const size_t bound = EncodedSizeBound();
    out.assign(bound, '\0');
    ZDR zdr;
    libnfs_zdrmem_create(&zdr, out.data(), static_cast<uint32_t>(out.size()), ZDR_ENCODE);
    const bool ok = Encode(&zdr, why);
    out.resize(ok ? static_cast<size_t>(zdr.pos) : 0);
    libnfs_zdr_destroy(&zdr);
    return ok;
}

bool DecodeCompound41(ZDR* zdr, Compound41Res& res) {
    memset(&res, 0, sizeof res);
    if (zdr == nullptr || zdr->x_op != ZDR_DECODE || zdr->buf == nullptr || zdr->pos < 0 ||
        zdr->pos > zdr->size) {
        Malformed(res, "no reply to decode");
        return false;
    }
    const size_t size = static_cast<size_t>(zdr->size);
    const size_t start = static_cast<size_t>(zdr->pos);
    res.raw = Bytes{zdr->buf + start, static_cast<uint32_t>(size - start)};
    Reader in(zdr->buf, size, start);
    if (!in.I32(res.status, "COMPOUND status") || !in.Opaque(res.tag, kMaxOpaqueBytes, "tag") ||
        !in.U32(res.count, "result count")) {
        Malformed(res, "%s", in.Why().c_str());
        return false;
    }
    if (res.count > kMaxOps) {
        Malformed(res, "%u results, more than %u", res.count, kMaxOps);
        res.count = 0;
        return false;
    }
    for (uint32_t i = 0; i < res.count; ++i)
        if (!DecodeResult(zdr, in, i, res)) return false;
    zdr->pos = static_cast<int>(in.Pos());
    if (in.Left() != 0) {
        Malformed(res, "%zu bytes after the last result", in.Left());
        return false;
    }
    if (res.count > 0 && res.results[res.count - 1].status != res.status) {
        Malformed(res, "COMPOUND status %d, but its last result's is %d", res.status,
                  res.results[res.count - 1].status);
        return false;
    }
    res.v40.status = static_cast<nfsstat4>(res.status);
    res.v40.tag.utf8string_len = res.tag.length;
    res.v40.tag.utf8string_val = const_cast<char*>(res.tag.data);
    res.v40.resarray.resarray_len = res.v40count;
    res.v40.resarray.resarray_val = res.v40ops;
    return true;
}

bool MatchReply(const uint32_t* sentOps, uint32_t sentCount, Compound41Res& res) {
    if (res.malformed[0] != '\0') return false;
    if (res.count > sentCount) {
        Malformed(res, "%u results for %u operations", res.count, sentCount);
        return false;
    }
    for (uint32_t i = 0; i < res.count; ++i) {
        const Result41& r = res.results[i];
        if (r.op == sentOps[i]) continue;
        if (r.op == kOpIllegal && i + 1 == res.count && r.status == NFS4ERR_OP_ILLEGAL) continue;
        Malformed(res, "result %u is for %s, but the operation sent there was %s", i + 1,
                  OpName(r.op), OpName(sentOps[i]));
        return false;
    }
    if (res.status == NFS4_OK && res.count != sentCount) {
        Malformed(res, "status NFS4_OK with %u results for %u operations", res.count, sentCount);
        return false;
    }
    return true;
}

bool CheckSequence(const SequenceArgs& sent, const SequenceRes& got, std::string& why) {
    if (memcmp(sent.sessionId, got.sessionId, kSessionIdSize) != 0) {
        why = "the SEQUENCE reply names another session";
        return false;
    }
    if (got.slotId != sent.slotId) {
        why = "the SEQUENCE reply is for slot " + std::to_string(got.slotId) + ", not " +
              std::to_string(sent.slotId);
        return false;
    }
    if (got.sequenceId != sent.sequenceId) {
        why = "the SEQUENCE reply has sequence id " + std::to_string(got.sequenceId) + ", not " +
              std::to_string(sent.sequenceId);
        return false;
    }
    return true;
}

const char* Nfs41OpName(uint32_t op) {
    switch (op) {
    case kOpExchangeId: return "EXCHANGE_ID";
    case kOpCreateSession: return "CREATE_SESSION";
    case kOpDestroySession: return "DESTROY_SESSION";
    case kOpSequence: return "SEQUENCE";
    case kOpDestroyClientId: return "DESTROY_CLIENTID";
    case kOpReclaimComplete: return "RECLAIM_COMPLETE";
    case kOpSecinfo: return "SECINFO";
    case kOpSecinfoNoName: return "SECINFO_NO_NAME";
    case kOpIllegal: return "OP_ILLEGAL";
    default: return nullptr;
    }
}

}  // namespace v41
}  // namespace nfsclient
