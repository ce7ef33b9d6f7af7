#include "nfs_client/worker/rpc/GssAuth.h"

#include <cstring>  // memcpy

#include "nfs_client/worker/rpc/GssCallAuth.h"  // GssCallAuth, ParseInitResult
#include "nfs_client/worker/rpc/RpcRaw.h"       // SendRawCall, RawReply
#include "nfs_client/worker/rpc/XdrReader.h"    // Put32, PutOpaque

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
    m_initHandle = handle;
    m_initVerifier.clear();
    m_initVerifierFlavour = 0;
}

bool GssCallAuth::Established(const GssInitResult& result, std::string& why) {
    if (result.handle.empty() || result.window == 0 || result.window > kMaxGssWindow) {
        why = "the server's RPCSEC_GSS set-up reply is malformed (no context handle or window)";
        return false;
    }
    if (m_initVerifierFlavour != kWireRpcsecGss ||
        !Mechanism().Verify(Be32Bytes(result.window), m_initVerifier, why)) {
        why =
            "the server's RPCSEC_GSS set-up reply has a wrong verifier (not the checksum of its "
            "window): not the server the ticket is for, or altered in transit";
        return false;
    }
    if (m_fresh != nullptr) {  // made anew: the first one's calls still due keep its mechanism
        m_previous = std::move(m_mechanism);
        m_mechanism = std::move(m_fresh);
        m_context = 1;
        m_nextSeq = 0;
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
    const bool init = m_phase == Phase::Init || m_initNext;
    uint32_t proc = kData;
    uint32_t sequence = 0;
    if (init) {
        proc = m_initHandle.empty() ? kInit : kContinueInit;
    } else {
        proc = m_phase == Phase::Destroy ? kDestroy : kData;
        if (m_nextSeq >= kMaxSequence) {
            why = "the Kerberos security context has used all its sequence numbers";
            return false;
        }
        if (m_sent.size() >= m_window) {
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
    PutOpaque(credential, init ? m_initHandle : m_handle);
    std::string sealed(header, CallAuth::kCredentialAt);
    Put32(sealed, kWireRpcsecGss);
    PutOpaque(sealed, credential);
    if (init) {
        Put32(sealed, 0);  // AUTH_NONE
        Put32(sealed, 0);
    } else {
        std::string mic;
        if (!m_mechanism->Sign(sealed, mic, why)) return false;
        Put32(sealed, kWireRpcsecGss);
        PutOpaque(sealed, mic);
    }
    if (sealed.size() > capacity) {
        why = "the RPCSEC_GSS call header does not fit";
        return false;
    }
    if (m_initNext) {
        m_initNext = false;
        m_initXid = xid;
        m_initOpen = true;
    } else if (!init) {
        Sent& sent = m_sent[xid];
        sent = Sent();
        sent.sequence = sequence;
        sent.context = m_context;
        if (m_resending) {
            sent.resent = true;
            sent.original = m_resendOf;
            m_resending = false;
        } else if (m_context == 0 && m_phase == Phase::Data) {  // may have to be sent again
            sent.program = Be32(header + 12);
            sent.version = Be32(header + 16);
            sent.procedure = Be32(header + 20);
        }
    }
    memcpy(header, sealed.data(), sealed.size());
    size = sealed.size();
    return true;
}

bool GssCallAuth::WrapArguments(uint32_t xid, char* arguments, size_t& size, size_t capacity,
                                std::string& why) {
    if (m_phase != Phase::Data || (m_initOpen && xid == m_initXid)) return true;
    const auto found = m_sent.find(xid);
    if (found == m_sent.end()) {
        why = "internal error: a call without its RPCSEC_GSS sequence number";
        return false;
    }
    if (found->second.context == 0 && !found->second.resent)
        found->second.arguments.assign(arguments, size);
    if (m_flavour == Flavour::Krb5) return true;
    GssMechanism& mechanism = MechanismOf(found->second);
    std::string body = Be32Bytes(found->second.sequence);
    body.append(arguments, size);
    std::string wire;
    if (m_flavour == Flavour::Krb5i) {  // rpc_gss_integ_data
        std::string mic;
        if (!mechanism.Sign(body, mic, why)) return false;
        PutOpaque(wire, body);
        PutOpaque(wire, mic);
    } else {  // rpc_gss_priv_data
        std::string wrapped;
        if (!mechanism.Wrap(body, wrapped, why)) return false;
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
    // A set-up reply's verifier is checked once the window is known (Established).
    if (m_phase == Phase::Init || (m_initOpen && xid == m_initXid)) {
        m_initOpen = false;
        m_initVerifierFlavour = flavour;
        m_initVerifier.assign(body, length);
        return true;
    }
    if (m_phase == Phase::Destroy) return true;  // the context is over: nothing rides on it
    const auto found = m_sent.find(xid);
    if (found == m_sent.end() || found->second.refused) {
        why = "a reply to no call of this security context";
        return false;
    }
    std::string detail;
    if (flavour != kWireRpcsecGss || length > kMaxGssMic ||
        !MechanismOf(found->second)
             .Verify(Be32Bytes(found->second.sequence), std::string(body, length), detail)) {
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
    const auto found = m_sent.find(xid);
    if (found == m_sent.end()) return true;  // a set-up reply, or CheckVerifier refused it
    const uint32_t sequence = found->second.sequence;
    GssMechanism& mechanism = MechanismOf(found->second);
    m_sent.erase(found);
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
        if (!mechanism.Verify(body, mic, detail)) {
            why = "the result's checksum is wrong (altered in transit?)";
            return false;
        }
    } else {
        std::string wrapped;
        if (!TakeOpaque(data, size, at, size, wrapped)) {
            why = "the result's privacy wrapping is malformed";
            return false;
        }
        if (!mechanism.Unwrap(wrapped, body, detail)) {
            why = "the result does not unwrap (" + detail + ")";
            return false;
        }
    }
    if (body.size() < 4 || Be32(body.data()) != sequence) {
        why = "the result carries another call's sequence number (replayed?)";
        return false;
    }
    if (!m_toldOpenSsl && m_notice) {
        if (const char* type = mechanism.ReadsWithOpenSsl()) {
            m_toldOpenSsl = true;
            m_notice(std::string("the server's replies are checked with OpenSSL from here on (") +
                     type + ")");
        }
    }
    record.replace(resultAt, std::string::npos, body, 4, std::string::npos);
    return true;
}

uint32_t GssCallAuth::AnswerTo(uint32_t xid) const {
    const auto found = m_sent.find(xid);
    return found != m_sent.end() && found->second.resent ? found->second.original : xid;
}

bool GssCallAuth::Refused(uint32_t xid, uint32_t authStat) {
    m_refusal.clear();
    if (m_phase != Phase::Data) return false;
    const std::string name = AuthStatName(authStat);
    const bool dropped = authStat == 13 || authStat == 14;
    const auto found = m_sent.find(xid);
    // The fresh context's set-up refused, or a call under it dropped again.
    const bool freshRefused = found == m_sent.end()
                                  ? Renewing() && xid == m_initXid
                                  : dropped && found->second.context == 1 && !found->second.refused;
    if (freshRefused) {
        m_refusal =
            "the server dropped the Kerberos security context during the call, and refused the "
            "fresh one made in its place too (" +
            name + "); try the call again";
        return false;
    }
    if (!dropped || found == m_sent.end() || found->second.refused || m_connection == nullptr)
        return false;
    // A call of the first context: sent again once the fresh one is made.
    found->second.refused = true;
    m_refused.push_back(xid);
    if (m_context == 1) {
        SendRefusedAgain();
        return true;
    }
    return Renewing() || Renew(name);
}

bool GssCallAuth::Renew(const std::string& statName) {
    if (m_renewed) return false;
    m_renewed = true;
    std::string why;
    m_fresh = m_mechanism->Fresh(why);
    std::string token;
    if (m_fresh != nullptr) m_local = m_fresh->Initiate(std::string(), token, why);
    if (m_fresh == nullptr || m_local == GssMechanism::Step::Failed) {
        m_fresh.reset();
        m_refused.clear();
        m_refusal = "the server dropped the Kerberos security context during the call (" +
                    statName + "), and a fresh one could not be made: " + why;
        return false;
    }
    m_initRounds = 0;
    SendInit(std::string(), token);
    if (m_notice)
        m_notice("the server dropped the Kerberos security context (" + statName +
                 "); a fresh one is being made for the calls it refused");
    return true;
}

std::string GssCallAuth::RenewalStep() const {
    return std::string("Kerberos security context (") + FlavourName(m_flavour) + ") with nfs@" +
           m_host + ", made anew after the server dropped the first";
}

std::string GssCallAuth::DeniedText(uint32_t authStat) const {
    if (!m_refusal.empty()) return m_refusal;
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

enum class InitNext { Send, Done, Failed };

// Takes a set-up reply's `result` with the local side at `local`: Send
// `token` as CONTINUE_INIT with the result's handle, Done (the context is
// established), or Failed with `why`.
InitNext NextInit(GssCallAuth& gss, GssMechanism::Step& local, const GssInitResult& result,
                  std::string& token, const std::string& host, std::string& why) {
    if (result.major != kGssComplete && result.major != kGssContinueNeeded) {
        why = "the server refused the Kerberos security context (GSS major status " +
              std::to_string(result.major) + ", minor " + std::to_string(result.minor) +
              "); check that its keytab holds nfs/" + host;
        return InitNext::Failed;
    }
    if (local != GssMechanism::Step::Complete && !result.token.empty()) {
        token.clear();
        local = gss.Mechanism().Initiate(result.token, token, why);
        if (local == GssMechanism::Step::Failed) return InitNext::Failed;
        if (local != GssMechanism::Step::Complete || !token.empty()) return InitNext::Send;
    } else if (local != GssMechanism::Step::Complete) {
        why = kDisagree;
        return InitNext::Failed;
    }
    if (result.major != kGssComplete) {
        why = kDisagree;
        return InitNext::Failed;
    }
    return gss.Established(result, why) ? InitNext::Done : InitNext::Failed;
}

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

void OnRenewalReply(Connection&, void* reply, void* arg) {
    const auto* raw = static_cast<const RawReply*>(reply);
    static_cast<GssCallAuth*>(arg)->TakeRenewalReply(raw->data, raw->size);
}

// Appends `bytes` to a call's encode stream; false when they do not fit.
bool Append(ZDR* zdr, const std::string& bytes) {
    if (zdr->pos < 0 || zdr->pos > zdr->size ||
        static_cast<size_t>(zdr->size - zdr->pos) < bytes.size())
        return false;
    memcpy(zdr->buf + zdr->pos, bytes.data(), bytes.size());
    zdr->pos += static_cast<int>(bytes.size());
    return true;
}

// The NULL call's argument in the set-up: the token, as opaque<>.
bool EncodeToken(ZDR* zdr, void* arguments) {
    std::string wire;
    PutOpaque(wire, *static_cast<const std::string*>(arguments));
    return Append(zdr, wire);
}

// A refused call's arguments, as first encoded.
bool EncodeAgain(ZDR* zdr, void* arguments) {
    return Append(zdr, *static_cast<const std::string*>(arguments));
}

// The request libnfs holds for a call sent again: its reply goes to the
// refused call's request (AnswerTo), so this one only hears the cancel at
// the connection's end.
void Unanswered(rpc_context*, int, void*, void*) {}

}  // namespace

void GssCallAuth::SendInit(const std::string& handle, const std::string& token) {
    m_initNext = true;
    m_initHandle = handle;
    m_initVerifier.clear();
    m_initVerifierFlavour = 0;
    m_token = token;
    Connection& connection = *m_connection;
    connection.Send(RenewalStep(), &OnRenewalReply, this, [&](Connection::Callback cb, void* data) {
        return SendRawCall(connection.Context(), m_program, m_version, 0, &EncodeToken, &m_token,
                           cb, data, *this, m_token.size() + 8);
    });
    m_initNext = false;  // sealed by now, unless nothing was sent
}

void GssCallAuth::TakeRenewalReply(const char* data, size_t size) {
    GssInitResult result;
    std::string why;
    std::string token;
    InitNext next = InitNext::Failed;
    if (ParseInitResult(data, size, result, why))
        next = NextInit(*this, m_local, result, token, m_host, why);
    if (next == InitNext::Send && ++m_initRounds == kMaxInitRounds) {
        why = "the server's RPCSEC_GSS set-up does not end";
        next = InitNext::Failed;
    }
    switch (next) {
    case InitNext::Failed: m_connection->FailReply("%s", why.c_str()); return;
    case InitNext::Send: SendInit(result.handle, token); return;
    case InitNext::Done: SendRefusedAgain(); return;
    }
}

void GssCallAuth::SendRefusedAgain() {
    std::vector<uint32_t> refused;
    refused.swap(m_refused);
    for (uint32_t xid : refused) {
        const auto found = m_sent.find(xid);
        if (found == m_sent.end()) continue;
        Sent call = std::move(found->second);
        m_sent.erase(found);
        m_resending = true;
        m_resendOf = xid;
        const int sent = SendRawCall(
            m_connection->Context(), static_cast<int>(call.program), static_cast<int>(call.version),
            static_cast<int>(call.procedure), &EncodeAgain, &call.arguments, &Unanswered, nullptr,
            *this, call.arguments.size());
        m_resending = false;
        if (sent != 0) {
            m_connection->Fail(RenewalStep(), "a refused call could not be sent again: %s",
                               rpc_get_error(m_connection->Context()));
            return;
        }
    }
}

bool EstablishGss(Connection& connection, int program, int version, Flavour flavour,
                  const Security& security, const GssNotice& notice) {
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
                        std::move(mechanism), notice);
}

bool EstablishGss(Connection& connection, int program, int version, Flavour flavour,
                  const std::string& host, std::unique_ptr<GssMechanism> mechanism,
                  const GssNotice& notice) {
    const std::string step =
        std::string("Kerberos security context (") + FlavourName(flavour) + ") with nfs@" + host;
    std::string why;
    auto owned = std::make_unique<GssCallAuth>(std::move(mechanism), flavour, host);
    GssCallAuth& gss = *owned;
    gss.TellOf(notice);
    gss.For(program, version);
    gss.On(connection);
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
        const InitNext next = NextInit(gss, local, call.result, token, host, why);
        if (next == InitNext::Done) return true;
        if (next == InitNext::Failed) break;
        handle = call.result.handle;
    }
    connection.Fail(step, "%s", why.c_str());
    return false;
}

void DestroyGss(Connection& connection, Connection::Clock::time_point deadline) {
    auto* gss = dynamic_cast<GssCallAuth*>(&connection.Auth());
    // A fresh context still being set up has nothing to end; the dropped
    // one is gone from the server.
    if (gss == nullptr || gss->CurrentPhase() != GssCallAuth::Phase::Data || gss->Renewing())
        return;
    gss->BeginDestroy();
    connection.Farewell("end of the Kerberos security context", deadline,
                        [&](Connection::Callback cb, void* data) {
                            return SendRawCall(connection.Context(), gss->Program(), gss->Version(),
                                               0, nullptr, nullptr, cb, data, connection.Auth());
                        });
}

}  // namespace nfsclient
