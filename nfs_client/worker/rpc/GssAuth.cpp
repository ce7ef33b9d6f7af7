#include "nfs_client/worker/rpc/GssAuth.h"

#include <cstring>  // memcpy

#include "nfs_client/worker/rpc/GssCallAuth.h"  // GssCallAuth, ParseInitResult
#include "nfs_client/worker/rpc/RpcRaw.h"       // SendRawCall, RawReply

namespace nfsclient {
namespace {

constexpr uint32_t kRpcsecGssVersion = 1;
enum GssProc : uint32_t { kData = 0, kInit = 1, kContinueInit = 2, kDestroy = 3 };
constexpr uint32_t kMaxSequence = 0x80000000u;  // RFC 2203 MAXSEQ
constexpr int kMaxInitRounds = 4;               // Kerberos V5 needs one
constexpr uint32_t kGssComplete = 0;
constexpr uint32_t kGssContinueNeeded = 1;
const char kDisagree[] =
    "the server's RPCSEC_GSS set-up reply is malformed (the server and this client disagree on "
    "whether the set-up is complete)";

uint32_t Be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

void Put32(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

void PutOpaque(std::string& out, const std::string& bytes) {
    Put32(out, static_cast<uint32_t>(bytes.size()));
    out += bytes;
    out.append((4 - bytes.size() % 4) % 4, '\0');
}

// Reads opaque<`bound`> at `at` of `data[0, size)`.
bool TakeOpaque(const char* data, size_t size, size_t& at, size_t bound, std::string& out) {
    if (size - at < 4) return false;
    const uint32_t length = Be32(data + at);
    if (length > bound || length > size - at - 4) return false;
    out.assign(data + at + 4, length);
    at += 4 + ((size_t{length} + 3) & ~size_t{3});
    if (at > size) at = size;  // the last item's padding may be missing
    return true;
}

std::string Be32Bytes(uint32_t value) {
    std::string bytes;
    Put32(bytes, value);
    return bytes;
}

const char* AuthStatName(uint32_t stat) {
    switch (stat) {
    case 1: return "AUTH_BADCRED";
    case 2: return "AUTH_REJECTEDCRED";
    case 3: return "AUTH_BADVERF";
    case 4: return "AUTH_REJECTEDVERF";
    case 5: return "AUTH_TOOWEAK";
    case 13: return "RPCSEC_GSS_CREDPROBLEM";
    case 14: return "RPCSEC_GSS_CTXPROBLEM";
    default: return "an authentication error";
    }
}

uint32_t ServiceOf(Flavour flavour) {
    switch (flavour) {
    case Flavour::Krb5i: return 2;  // rpc_gss_svc_integrity
    case Flavour::Krb5p: return 3;  // rpc_gss_svc_privacy
    default: return 1;              // rpc_gss_svc_none
    }
}

}  // namespace

const char* FlavourName(Flavour flavour) {
    switch (flavour) {
    case Flavour::Auto: return "auto";
    case Flavour::Sys: return "AUTH_SYS";
    case Flavour::Krb5: return "krb5";
    case Flavour::Krb5i: return "krb5i";
    case Flavour::Krb5p: return "krb5p";
    }
    return "unknown";
}

bool ParseInitResult(const char* data, size_t size, GssInitResult& result, std::string& why) {
    size_t at = 0;
    why = "the server's RPCSEC_GSS set-up reply is malformed";
    if (!TakeOpaque(data, size, at, kMaxGssHandle, result.handle)) {
        why += " (its context handle is missing or longer than " + std::to_string(kMaxGssHandle) +
               " bytes)";
        return false;
    }
    if (size - at < 12) {
        why += " (too short)";
        return false;
    }
    result.major = Be32(data + at);
    result.minor = Be32(data + at + 4);
    result.window = Be32(data + at + 8);
    at += 12;
    if (!TakeOpaque(data, size, at, kMaxGssToken, result.token)) {
        why += " (its token is missing or longer than 64 KiB)";
        return false;
    }
    if (result.major == kGssComplete && (result.window == 0 || result.window > kMaxGssWindow)) {
        why += " (a sequence window of " + std::to_string(result.window) + ", not 1 to " +
               std::to_string(kMaxGssWindow) + ")";
        return false;
    }
    why.clear();
    return true;
}

GssCallAuth::GssCallAuth(std::unique_ptr<GssMechanism> mechanism, Flavour flavour, std::string host)
    : m_mechanism(std::move(mechanism)), m_flavour(flavour), m_host(std::move(host)) {}

void GssCallAuth::BeginInit(const std::string& handle) {
    m_phase = Phase::Init;
    m_handle = handle;
    m_initVerifier.clear();
    m_initVerifierFlavour = 0;
}

bool GssCallAuth::Established(const GssInitResult& result, std::string& why) {
    if (result.handle.empty() || result.window == 0 || result.window > kMaxGssWindow) {
        why = "the server's RPCSEC_GSS set-up reply is malformed (no context handle or window)";
        return false;
    }
    if (m_initVerifierFlavour != kWireRpcsecGss ||
        !m_mechanism->Verify(Be32Bytes(result.window), m_initVerifier, why)) {
        why =
            "the server's RPCSEC_GSS set-up reply has a wrong verifier (not the checksum of its "
            "window): not the server the ticket is for, or altered in transit";
        return false;
    }
    m_handle = result.handle;
    m_window = result.window;
    m_phase = Phase::Data;
    return true;
}

const char* GssCallAuth::Name() const { return FlavourName(m_flavour); }

size_t GssCallAuth::ArgumentRoom() const {
    // Sequence number, lengths, padding and a checksum or a wrap token's
    // header, confounder and checksum.
    return m_flavour == Flavour::Krb5 ? 0 : 256;
}

bool GssCallAuth::SealHeader(uint32_t xid, char* header, size_t& size, size_t capacity,
                             std::string& why) {
    uint32_t proc = kData;
    uint32_t sequence = 0;
    if (m_phase == Phase::Init) {
        proc = m_handle.empty() ? kInit : kContinueInit;
    } else {
        proc = m_phase == Phase::Destroy ? kDestroy : kData;
        if (m_nextSeq >= kMaxSequence) {
            why = "the Kerberos security context has used all its sequence numbers";
            return false;
        }
        if (m_sequenceOf.size() >= m_window) {
            why = "more calls in flight than the server's RPCSEC_GSS window of " +
                  std::to_string(m_window);
            return false;
        }
        sequence = m_nextSeq++;
    }
    std::string credential;
    Put32(credential, kRpcsecGssVersion);
    Put32(credential, proc);
    Put32(credential, sequence);
    Put32(credential, ServiceOf(m_flavour));
    PutOpaque(credential, m_handle);
    std::string sealed(header, CallAuth::kCredentialAt);
    Put32(sealed, kWireRpcsecGss);
    PutOpaque(sealed, credential);
    if (m_phase == Phase::Init) {
        Put32(sealed, 0);  // AUTH_NONE
        Put32(sealed, 0);
    } else {
        std::string mic;
        if (!m_mechanism->Sign(sealed, mic, why)) return false;
        Put32(sealed, kWireRpcsecGss);
        PutOpaque(sealed, mic);
        m_sequenceOf[xid] = sequence;
    }
    if (sealed.size() > capacity) {
        why = "the RPCSEC_GSS call header does not fit";
        return false;
    }
    memcpy(header, sealed.data(), sealed.size());
    size = sealed.size();
    return true;
}

bool GssCallAuth::WrapArguments(uint32_t xid, char* arguments, size_t& size, size_t capacity,
                                std::string& why) {
    if (m_phase != Phase::Data || m_flavour == Flavour::Krb5) return true;
    const auto found = m_sequenceOf.find(xid);
    if (found == m_sequenceOf.end()) {
        why = "internal error: a call without its RPCSEC_GSS sequence number";
        return false;
    }
    std::string body = Be32Bytes(found->second);
    body.append(arguments, size);
    std::string wire;
    if (m_flavour == Flavour::Krb5i) {  // rpc_gss_integ_data
        std::string mic;
        if (!m_mechanism->Sign(body, mic, why)) return false;
        PutOpaque(wire, body);
        PutOpaque(wire, mic);
    } else {  // rpc_gss_priv_data
        std::string wrapped;
        if (!m_mechanism->Wrap(body, wrapped, why)) return false;
        PutOpaque(wire, wrapped);
    }
    if (wire.size() > capacity) {
        why = "the protected arguments do not fit";
        return false;
    }
    memcpy(arguments, wire.data(), wire.size());
    size = wire.size();
    return true;
}

bool GssCallAuth::CheckVerifier(uint32_t xid, uint32_t flavour, const char* body, size_t length,
                                std::string& why) {
    if (m_phase == Phase::Init) {  // checked once the window is known (Established)
        m_initVerifierFlavour = flavour;
        m_initVerifier.assign(body, length);
        return true;
    }
    if (m_phase == Phase::Destroy) return true;  // the context is over: nothing rides on it
    const auto found = m_sequenceOf.find(xid);
    if (found == m_sequenceOf.end()) {
        why = "a reply to no call of this security context";
        return false;
    }
    std::string detail;
    if (flavour != kWireRpcsecGss || length > kMaxGssMic ||
        !m_mechanism->Verify(Be32Bytes(found->second), std::string(body, length), detail)) {
        why =
            "the reply's verifier is wrong (not the checksum of the call's sequence number): "
            "not the server the ticket is for, or altered in transit";
        return false;
    }
    return true;
}

bool GssCallAuth::UnwrapResult(uint32_t xid, std::string& record, size_t resultAt,
                               std::string& why) {
    if (m_phase != Phase::Data) return true;
    const auto found = m_sequenceOf.find(xid);
    if (found == m_sequenceOf.end()) return true;  // CheckVerifier refused it already
    const uint32_t sequence = found->second;
    m_sequenceOf.erase(found);
    if (m_flavour == Flavour::Krb5 || resultAt < 4 || resultAt > record.size() ||
        Be32(record.data() + resultAt - 4) != 0 /* not SUCCESS: no result */)
        return true;
    const char* data = record.data() + resultAt;
    const size_t size = record.size() - resultAt;
    size_t at = 0;
    std::string body;
    std::string detail;
    if (m_flavour == Flavour::Krb5i) {
        std::string mic;
        if (!TakeOpaque(data, size, at, size, body) ||
            !TakeOpaque(data, size, at, kMaxGssMic, mic)) {
            why = "the result's integrity wrapping is malformed";
            return false;
        }
        if (!m_mechanism->Verify(body, mic, detail)) {
            why = "the result's checksum is wrong (altered in transit?)";
            return false;
        }
    } else {
        std::string wrapped;
        if (!TakeOpaque(data, size, at, size, wrapped)) {
            why = "the result's privacy wrapping is malformed";
            return false;
        }
        if (!m_mechanism->Unwrap(wrapped, body, detail)) {
            why = "the result does not unwrap (" + detail + ")";
            return false;
        }
    }
    if (body.size() < 4 || Be32(body.data()) != sequence) {
        why = "the result carries another call's sequence number (replayed?)";
        return false;
    }
    record.replace(resultAt, std::string::npos, body, 4, std::string::npos);
    return true;
}

std::string GssCallAuth::DeniedText(uint32_t authStat) const {
    const std::string name = AuthStatName(authStat);
    if (m_phase == Phase::Init)
        return "the server refused the Kerberos security context (" + name +
               "); check that its keytab holds nfs/" + m_host + " and that the export takes " +
               FlavourName(m_flavour);
    if (authStat == 13 || authStat == 14)
        return "the server dropped the Kerberos security context during the call (" + name +
               "); try the call again";
    if (authStat == 5)
        return std::string("the export refuses ") + FlavourName(m_flavour) +
               " as too weak (AUTH_TOOWEAK); choose krb5i or krb5p";
    return "the server refused the call's Kerberos credential (" + name + ")";
}

namespace {

struct InitCall {
    GssInitResult result;
    std::string why;
    bool parsed = false;
};

void OnInitReply(Connection& connection, void* reply, void* arg) {
    auto* call = static_cast<InitCall*>(arg);
    const auto* raw = static_cast<const RawReply*>(reply);
    call->parsed = ParseInitResult(raw->data, raw->size, call->result, call->why);
    if (!call->parsed) connection.FailReply("%s", call->why.c_str());
}

// The NULL call's argument in the set-up: the token, as opaque<>.
bool EncodeToken(ZDR* zdr, void* arguments) {
    std::string wire;
    PutOpaque(wire, *static_cast<const std::string*>(arguments));
    if (zdr->pos < 0 || zdr->pos > zdr->size ||
        static_cast<size_t>(zdr->size - zdr->pos) < wire.size())
        return false;
    memcpy(zdr->buf + zdr->pos, wire.data(), wire.size());
    zdr->pos += static_cast<int>(wire.size());
    return true;
}

}  // namespace

bool EstablishGss(Connection& connection, int program, int version, Flavour flavour,
                  const Security& security) {
    const std::string step =
        std::string("Kerberos security context (") + FlavourName(flavour) + ")" +
        (security.serverName.empty() ? "" : " with nfs@" + security.serverName);
    if (!connection.Ok()) return false;
    if (!IsKerberos(flavour)) {
        connection.Fail(step, "%s is not a Kerberos flavour", FlavourName(flavour));
        return false;
    }
    if (security.serverName.empty()) {
        connection.Fail(step,
                        "Kerberos needs the file server's host name, not its address; give "
                        "the server by name");
        return false;
    }
    std::string why;
    std::unique_ptr<GssMechanism> mechanism = Krb5Mechanism(flavour, security, why);
    if (mechanism == nullptr) {
        connection.Fail(step, "%s", why.c_str());
        return false;
    }
    return EstablishGss(connection, program, version, flavour, security.serverName,
                        std::move(mechanism));
}

bool EstablishGss(Connection& connection, int program, int version, Flavour flavour,
                  const std::string& host, std::unique_ptr<GssMechanism> mechanism) {
    const std::string step =
        std::string("Kerberos security context (") + FlavourName(flavour) + ") with nfs@" + host;
    std::string why;
    auto owned = std::make_unique<GssCallAuth>(std::move(mechanism), flavour, host);
    GssCallAuth& gss = *owned;
    gss.For(program, version);
    connection.AdoptAuth(std::move(owned));
    std::string token;
    GssMechanism::Step local = gss.Mechanism().Initiate(std::string(), token, why);
    std::string handle;
    for (int round = 0; local != GssMechanism::Step::Failed; ++round) {
        if (round == kMaxInitRounds) {
            why = "the server's RPCSEC_GSS set-up does not end";
            break;
        }
        gss.BeginInit(handle);
        InitCall call;
        connection.Call(step, &OnInitReply, &call, [&](Connection::Callback cb, void* data) {
            return SendRawCall(connection.Context(), program, version, 0, &EncodeToken, &token, cb,
                               data, connection.Auth(), token.size() + 8);
        });
        if (!connection.Ok()) return false;
        const GssInitResult& result = call.result;
        if (result.major != kGssComplete && result.major != kGssContinueNeeded) {
            why = "the server refused the Kerberos security context (GSS major status " +
                  std::to_string(result.major) + ", minor " + std::to_string(result.minor) +
                  "); check that its keytab holds nfs/" + host;
            break;
        }
        handle = result.handle;
        if (local == GssMechanism::Step::Complete || result.token.empty()) {
            if (local != GssMechanism::Step::Complete || result.major != kGssComplete) {
                why = kDisagree;
                break;
            }
            if (!gss.Established(result, why)) break;
            return true;
        }
        token.clear();
        local = gss.Mechanism().Initiate(result.token, token, why);
        if (local == GssMechanism::Step::Complete && token.empty()) {
            if (result.major != kGssComplete) {
                why = kDisagree;
                break;
            }
            if (!gss.Established(result, why)) break;
            return true;
        }
    }
    connection.Fail(step, "%s", why.c_str());
    return false;
}

void DestroyGss(Connection& connection, Connection::Clock::time_point deadline) {
    auto* gss = dynamic_cast<GssCallAuth*>(&connection.Auth());
    if (gss == nullptr || gss->CurrentPhase() != GssCallAuth::Phase::Data) return;
    gss->BeginDestroy();
    connection.Farewell("end of the Kerberos security context", deadline,
                        [&](Connection::Callback cb, void* data) {
                            return SendRawCall(connection.Context(), gss->Program(), gss->Version(),
                                               0, nullptr, nullptr, cb, data, connection.Auth());
                        });
}

}  // namespace nfsclient
