// The RPCSEC_GSS reply path on arbitrary bytes: a context's set-up result
// (ParseInitResult, the init reply's verifier, Established) and then the
// replies to its data calls (verifier, integrity or privacy result) through
// PassReply, as the connection hands every record over. Nothing may crash or
// read past the input, and every refusal is worded.
//
// Input: a flag byte, then chunks, each a 16-bit big-endian length and its
// bytes. Flags: bits 0-1 the service (krb5, krb5i, krb5p); bit 7 puts the
// right verifier on the set-up reply, so that mutations reach the data phase.
// Chunk 1 is rpc_gss_init_res, chunk 2 the set-up reply's verifier; every
// further chunk is one reply: its first byte bit 0 set, the rest is the reply
// as is (xid first); clear, a reply to call 1 + (bits 1-2), the verifier the
// right one when bit 3 is set, and the rest of the chunk after the verifier
// (accept_stat and the result).
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "nfs_client/worker/rpc/CallAuth.h"
#include "nfs_client/worker/rpc/GssCallAuth.h"
#include "unit/nfs_client/ScriptedGss.h"

namespace {

using namespace nfsclient;
using gsstest::Be32;
using gsstest::Opaque;
using gsstest::Scripted;

constexpr uint32_t kCalls = 4;  // data calls sealed before the replies come

struct Chunks {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool Next(std::string& out) {
        if (size - at < 2) return false;
        size_t length = (size_t{data[at]} << 8) | data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        out.assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
        return true;
    }
};

// A refusal: worded, in a sentence of bounded length.
void Worded(const std::string& why) { nsbfuzz::Check(!why.empty() && why.size() < 512); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    const Flavour flavour = (flags & 3) == 1   ? Flavour::Krb5i
                            : (flags & 3) == 2 ? Flavour::Krb5p
                                               : Flavour::Krb5;
    Chunks chunks{data + 1, size - 1};
    std::string initResult;
    std::string initVerifier;
    if (!chunks.Next(initResult) || !chunks.Next(initVerifier)) return 0;

    GssInitResult result;
    std::string why;
    if (!ParseInitResult(initResult.data(), initResult.size(), result, why)) {
        Worded(why);
        return 0;
    }
    nsbfuzz::Check(why.empty() && result.handle.size() <= kMaxGssHandle &&
                   result.token.size() <= kMaxGssToken);
    GssCallAuth auth(std::make_unique<Scripted>(), flavour, "nas.test");
    auth.BeginInit("");
    if (flags & 0x80) initVerifier = Scripted::Mic(Be32(result.window));
    std::string record = gsstest::Reply(0, initVerifier, "");
    nsbfuzz::Check(PassReply(auth, record, 4, why));
    if (!auth.Established(result, why)) {
        Worded(why);
        return 0;
    }
    nsbfuzz::Check(result.window >= 1 && result.window <= kMaxGssWindow);

    // Calls 1..kCalls, sequence numbers 0..kCalls-1 (as many as the window
    // lets through).
    uint32_t sealed = 0;
    for (uint32_t xid = 1; xid <= kCalls; ++xid) {
        std::string header = Be32(xid) + Be32(0) + Be32(2) + Be32(100003) + Be32(3) + Be32(1) +
                             Be32(0) + Opaque("") + Be32(0) + Be32(0);
        const size_t plain = header.size();
        header.resize(1024);
        size_t length = plain;
        if (!auth.SealHeader(xid, &header[0], length, header.size(), why)) {
            Worded(why);
            nsbfuzz::Check(xid > result.window);
            break;
        }
        std::string arguments = "ARGS" + std::string(auth.ArgumentRoom(), '\0');
        size_t argumentsSize = 4;
        nsbfuzz::Check(
            auth.WrapArguments(xid, &arguments[0], argumentsSize, arguments.size(), why));
        ++sealed;
    }
    nsbfuzz::Check(sealed == (result.window < kCalls ? result.window : kCalls));

    for (std::string chunk; chunks.Next(chunk);) {
        if (chunk.empty()) continue;
        const uint8_t kind = static_cast<uint8_t>(chunk[0]);
        if (kind & 1) {
            record = Be32(0) + chunk.substr(1);
        } else {
            const uint32_t xid = 1 + ((kind >> 1) & 3);
            const std::string verifier =
                (kind & 8) ? Scripted::Mic(Be32(xid - 1)) : std::string("M0");
            record = Be32(0) + Be32(xid) + Be32(1) + Be32(0) + Be32(6) + Opaque(verifier) +
                     chunk.substr(1);
        }
        const size_t before = record.size();
        why.clear();
        if (PassReply(auth, record, 4, why)) {
            // An unwrapped result is never longer than what carried it.
            nsbfuzz::Check(why.empty() && record.size() <= before);
        } else {
            Worded(why);
        }
    }
    return 0;
}
