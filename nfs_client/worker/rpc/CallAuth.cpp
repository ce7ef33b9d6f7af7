#include "nfs_client/worker/rpc/CallAuth.h"

namespace nfsclient {
namespace {

class AuthSysVariant final : public CallAuth {
public:
    const char* Name() const override { return "AUTH_SYS"; }
};

uint32_t Be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

}  // namespace

CallAuth& AuthSys() {
    static AuthSysVariant auth;
    return auth;
}

bool PassReply(CallAuth& auth, std::string& record, size_t at, std::string& why) {
    if (record.size() < at + 12) return true;  // too short for a header: not ours to judge
    const char* body = record.data() + at;
    const size_t size = record.size() - at;
    const uint32_t xid = Be32(body);
    if (Be32(body + 8) == 1) {  // MSG_DENIED
        if (size < 20 || Be32(body + 12) != 1 /* AUTH_ERROR */) return true;
        const uint32_t authStat = Be32(body + 16);
        if (auth.Refused(xid, authStat)) {
            record.resize(at);
            return true;
        }
        why = auth.DeniedText(authStat);
        return why.empty();
    }
    if (size < 20) return true;
    const uint32_t length = Be32(body + 16);
    const size_t resultAt = 20 + ((size_t{length} + 3) & ~size_t{3}) + 4;  // past accept_stat
    if (length > size - 20 || resultAt > size) return true;
    const uint32_t answerTo = auth.AnswerTo(xid);
    if (!auth.CheckVerifier(xid, Be32(body + 12), body + 20, length, why) ||
        !auth.UnwrapResult(xid, record, at + resultAt, why))
        return false;
    if (answerTo != xid) {
        const char bytes[4] = {static_cast<char>(answerTo >> 24), static_cast<char>(answerTo >> 16),
                               static_cast<char>(answerTo >> 8), static_cast<char>(answerTo)};
        record.replace(at, 4, bytes, 4);
    }
    return true;
}

}  // namespace nfsclient
