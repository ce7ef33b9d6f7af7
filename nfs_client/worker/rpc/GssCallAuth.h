// The RPCSEC_GSS version 1 credential (RFC 2203) of one security context:
// what EstablishGss (GssAuth.h) puts on a connection. Declared here for the
// unit tests, which drive it with a scripted mechanism.
#pragma once

#include <cstddef>        // size_t
#include <cstdint>        // uint32_t
#include <functional>     // std::function
#include <memory>         // std::unique_ptr
#include <string>         // std::string
#include <unordered_map>  // std::unordered_map
#include <vector>         // std::vector

#include "nfs_client/PipeTypes.h"                // Flavour
#include "nfs_client/worker/rpc/CallAuth.h"      // CallAuth
#include "nfs_client/worker/rpc/GssMechanism.h"  // GssMechanism

namespace nfsclient {

// Bounds of what a server sends in a context's set-up.
constexpr size_t kMaxGssToken = 64u << 10;
constexpr size_t kMaxGssHandle = 360;  // the credential stays within RFC 5531's 400 bytes
constexpr uint32_t kMaxGssWindow = 1u << 16;
constexpr size_t kMaxGssMic = 1024;

// rpc_gss_init_res: the result of RPCSEC_GSS_INIT and CONTINUE_INIT.
struct GssInitResult {
    std::string handle;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t window = 0;
    std::string token;
};
// Reads `data[0, size)` as rpc_gss_init_res within the bounds above; false,
// with the worded cause, when it is malformed.
bool ParseInitResult(const char* data, size_t size, GssInitResult& result, std::string& why);

class Connection;

class GssCallAuth final : public CallAuth {
public:
    enum class Phase { Init, Data, Destroy };
    // `host`: the server's name, for texts.
    GssCallAuth(std::unique_ptr<GssMechanism> mechanism, Flavour flavour, std::string host);

    // The mechanism of the context being set up (the one in use otherwise).
    GssMechanism& Mechanism() { return m_fresh ? *m_fresh : *m_mechanism; }
    // Where a context the server dropped and made anew is told (may be empty).
    void TellOf(std::function<void(const std::string&)> notice) { m_notice = std::move(notice); }
    // The program and version whose calls the context is for.
    void For(int program, int version) { m_program = program, m_version = version; }
    int Program() const { return m_program; }
    int Version() const { return m_version; }
    Phase CurrentPhase() const { return m_phase; }
    // The connection the context's calls go on, which owns this; with it, a
    // context the server drops (RPCSEC_GSS_CREDPROBLEM, CTXPROBLEM) is made
    // anew once, on that connection, and the refused calls sent again.
    void On(Connection& connection) { m_connection = &connection; }
    // A fresh context is being set up in place of a dropped one.
    bool Renewing() const { return m_fresh != nullptr; }
    // The next call is RPCSEC_GSS_INIT (no handle yet) or CONTINUE_INIT
    // with `handle`.
    void BeginInit(const std::string& handle);
    // The set-up is complete with `result`: the last init reply's verifier
    // must be the MIC of its window. From then on calls carry DATA.
    bool Established(const GssInitResult& result, std::string& why);
    // The next call is the context's RPCSEC_GSS_DESTROY; replies are no
    // longer checked.
    void BeginDestroy() { m_phase = Phase::Destroy; }

    const char* Name() const override;
    size_t ArgumentRoom() const override;
    bool ProtectsResults() const override { return m_flavour != Flavour::Krb5; }
    bool SealHeader(uint32_t xid, char* header, size_t& size, size_t capacity,
                    std::string& why) override;
    bool WrapArguments(uint32_t xid, char* arguments, size_t& size, size_t capacity,
                       std::string& why) override;
    bool CheckVerifier(uint32_t xid, uint32_t flavour, const char* body, size_t length,
                       std::string& why) override;
    bool UnwrapResult(uint32_t xid, std::string& record, size_t resultAt,
                      std::string& why) override;
    bool Refused(uint32_t xid, uint32_t authStat) override;
    uint32_t AnswerTo(uint32_t xid) const override;
    std::string DeniedText(uint32_t authStat) const override;

    // The reply to a set-up call of the fresh context (Renewing()).
    void TakeRenewalReply(const char* data, size_t size);

private:
    // A data call without its reply.
    struct Sent {
        uint32_t sequence = 0;
        unsigned context = 0;   // 0: the first context, 1: the one made anew
        bool resent = false;    // sends `original` again
        bool refused = false;   // to be sent again: its reply has come
        uint32_t original = 0;  // the xid libnfs waits on
        uint32_t program = 0;   // to send it again: of a call under the first context
        uint32_t version = 0;
        uint32_t procedure = 0;
        std::string arguments;  // as encoded, before protection
    };
    GssMechanism& MechanismOf(const Sent& sent) {
        return sent.context == m_context ? *m_mechanism : *m_previous;
    }
    // Starts the fresh context's set-up; false, with m_refusal, when it
    // cannot begin.
    bool Renew(const std::string& statName);
    void SendInit(const std::string& handle, const std::string& token);
    // Sends the calls the server refused with the first context again.
    void SendRefusedAgain();
    std::string RenewalStep() const;

    std::unique_ptr<GssMechanism> m_mechanism;  // of the context in use
    std::unique_ptr<GssMechanism> m_fresh;      // of the one being set up in its place
    std::unique_ptr<GssMechanism> m_previous;   // of the first, for its replies still due
    Flavour m_flavour;
    std::string m_host;
    Connection* m_connection = nullptr;
    int m_program = 0;
    int m_version = 0;
    Phase m_phase = Phase::Init;
    std::string m_handle;
    uint32_t m_window = 0;
    uint32_t m_nextSeq = 0;
    unsigned m_context = 0;                     // which context is in use
    std::unordered_map<uint32_t, Sent> m_sent;  // by xid
    std::vector<uint32_t> m_refused;            // calls to send again once the fresh one is made
    bool m_initNext = false;                    // the next call sealed is INIT or CONTINUE_INIT
    std::string m_initHandle;
    uint32_t m_initXid = 0;   // of the fresh context's set-up call
    bool m_initOpen = false;  // its verifier not yet taken
    bool m_renewed = false;   // a fresh context was tried: never twice
    std::function<void(const std::string&)> m_notice;
    bool m_toldOpenSsl = false;  // the notice that OpenSSL reads the replies was given
    GssMechanism::Step m_local = GssMechanism::Step::Failed;  // the fresh context's own set-up
    int m_initRounds = 0;
    std::string m_token;       // the fresh context's set-up token to send
    bool m_resending = false;  // the next call sealed sends m_resendOf again
    uint32_t m_resendOf = 0;
    std::string m_refusal;       // the worded cause of the last refusal that stands
    std::string m_initVerifier;  // of the last init reply
    uint32_t m_initVerifierFlavour = 0;
};

}  // namespace nfsclient
