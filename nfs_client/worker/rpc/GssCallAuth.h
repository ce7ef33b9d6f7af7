// The RPCSEC_GSS version 1 credential (RFC 2203) of one security context:
// what EstablishGss (GssAuth.h) puts on a connection. Declared here for the
// unit tests, which drive it with a scripted mechanism.
#pragma once

#include <cstddef>        // size_t
#include <cstdint>        // uint32_t
#include <memory>         // std::unique_ptr
#include <string>         // std::string
#include <unordered_map>  // std::unordered_map

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

class GssCallAuth final : public CallAuth {
public:
    enum class Phase { Init, Data, Destroy };
    // `host`: the server's name, for texts.
    GssCallAuth(std::unique_ptr<GssMechanism> mechanism, Flavour flavour, std::string host);

    GssMechanism& Mechanism() { return *m_mechanism; }
    // The program and version whose calls the context is for.
    void For(int program, int version) { m_program = program, m_version = version; }
    int Program() const { return m_program; }
    int Version() const { return m_version; }
    Phase CurrentPhase() const { return m_phase; }
    // The next calls are RPCSEC_GSS_INIT (no handle yet) or CONTINUE_INIT
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
    bool SealHeader(uint32_t xid, char* header, size_t& size, size_t capacity,
                    std::string& why) override;
    bool WrapArguments(uint32_t xid, char* arguments, size_t& size, size_t capacity,
                       std::string& why) override;
    bool CheckVerifier(uint32_t xid, uint32_t flavour, const char* body, size_t length,
                       std::string& why) override;
    bool UnwrapResult(uint32_t xid, std::string& record, size_t resultAt,
                      std::string& why) override;
    std::string DeniedText(uint32_t authStat) const override;

private:
    std::unique_ptr<GssMechanism> m_mechanism;
    Flavour m_flavour;
    std::string m_host;
    int m_program = 0;
    int m_version = 0;
    Phase m_phase = Phase::Init;
    std::string m_handle;
    uint32_t m_window = 0;
    uint32_t m_nextSeq = 0;
    std::unordered_map<uint32_t, uint32_t> m_sequenceOf;  // calls without their reply: xid -> seq
    std::string m_initVerifier;                           // of the last init reply
    uint32_t m_initVerifierFlavour = 0;
};

}  // namespace nfsclient
