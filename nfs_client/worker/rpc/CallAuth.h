// The credential and verifier of every RPC call the worker sends, and the
// checks of every reply it reads: one seam, with a variant per flavour.
// AUTH_SYS is the one today; a flavour with a security context of its own
// (RPCSEC_GSS: a MIC over the call header, arguments with a checksum or
// wrapped, results unwrapped before they are decoded) is a second variant.
//
// Where the seam is met: RpcRaw.cpp, for every call (portmapper, MOUNT,
// NFSv3 and NFSv4.x COMPOUNDs all go through AllocateCall and QueueCall):
// SealHeader once libnfs has written the call header, WrapArguments once the
// arguments are encoded; Connection.cpp, for every reply record before
// libnfs decodes it (PassReply).
#pragma once

#include <cstddef>  // size_t
#include <cstdint>  // uint32_t
#include <string>   // std::string

namespace nfsclient {

class CallAuth {
public:
    virtual ~CallAuth() = default;
    // "AUTH_SYS", for texts.
    virtual const char* Name() const = 0;
    // Bytes beyond a call's arguments the flavour needs in the encode
    // buffer (a sequence number and checksum, a wrap token).
    virtual size_t ArgumentRoom() const { return 0; }
    // `header[0, size)` is the call header as encoded, from the xid through
    // the verifier, with the credential at kCredentialAt; a flavour that
    // writes its own credential and verifier rewrites them there (within
    // `capacity` bytes) and sets `size`. False, with `why`, refuses the call.
    virtual bool SealHeader(uint32_t xid, char* header, size_t& size, size_t capacity,
                            std::string& why) {
        (void)xid, (void)header, (void)size, (void)capacity, (void)why;
        return true;
    }
    // `arguments[0, size)` are the encoded arguments; a flavour that protects
    // them transforms them in place (within `capacity`) and sets `size`.
    virtual bool WrapArguments(uint32_t xid, char* arguments, size_t& size, size_t capacity,
                               std::string& why) {
        (void)xid, (void)arguments, (void)size, (void)capacity, (void)why;
        return true;
    }
    // Results pass through UnwrapResult whole (a checksum or a wrap over
    // each): a reply's cost then grows with its size on both sides.
    virtual bool ProtectsResults() const { return false; }
    // An accepted reply's verifier (its flavour and body). False, with
    // `why`, when it does not prove the reply is the server's answer.
    virtual bool CheckVerifier(uint32_t xid, uint32_t flavour, const char* body, size_t length,
                               std::string& why) {
        (void)xid, (void)flavour, (void)body, (void)length, (void)why;
        return true;
    }
    // The result of an accepted reply, `record` from `resultAt` on, before it
    // is decoded; a flavour that protects results replaces them there.
    virtual bool UnwrapResult(uint32_t xid, std::string& record, size_t resultAt,
                              std::string& why) {
        (void)xid, (void)record, (void)resultAt, (void)why;
        return true;
    }
    // A reply refused the credential of call `xid` (MSG_DENIED, AUTH_ERROR
    // with `authStat`): true when the flavour sends the call again (a
    // security context the server dropped, made anew): the reply is for
    // nobody. False when the refusal stands (AUTH_SYS: the call fails,
    // worded by WordCallDenied).
    virtual bool Refused(uint32_t xid, uint32_t authStat) {
        (void)xid, (void)authStat;
        return false;
    }
    // The xid libnfs waits on for the reply to call `xid`: another when the
    // call sends a refused one again under a new xid.
    virtual uint32_t AnswerTo(uint32_t xid) const { return xid; }
    // The worded cause of a refusal that stands, when the flavour words it
    // itself (empty: the connection words it, as for AUTH_SYS).
    virtual std::string DeniedText(uint32_t authStat) const {
        (void)authStat;
        return {};
    }

    // Where the credential starts in a call header: after xid, message type,
    // RPC version, program, version and procedure.
    static constexpr size_t kCredentialAt = 24;
};

// AUTH_SYS as libnfs writes it (the process's uid, gid and groups): nothing
// to seal, wrap or check (the server's verifier carries nothing to check).
CallAuth& AuthSys();

// Puts one reply record through `auth`: `record` from `at` on is the reply
// (xid first), its header already checked well formed. False, with `why`,
// when the flavour refuses it, or words a refusal of its credential itself
// (a MSG_DENIED reply: `why` is then the whole cause). True with `record`
// cut back to `at` when the refused call is sent again: nothing to decode.
// A reply to a call sent again gets the xid of the call it stands for.
bool PassReply(CallAuth& auth, std::string& record, size_t at, std::string& why);

}  // namespace nfsclient
