// Hostile RPCSEC_GSS replies through a real connection: the scripted peer
// answers a context's set-up and its first data call with one fault each, and
// the connection, driven by the scripted mechanism, must fail within the
// step's timeout + 2 s with its "NFS server ADDRESS, STEP: CAUSE" text naming
// the fault. What GssCallAuth does with each reply on its own is asserted in
// GssAuthTest.cpp; this adds the connection's part: the record read whole
// (1 MiB), the failure put on the step, nothing waiting for ever.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "ScriptedPeer.h"
#include "nfs_client/worker/rpc/GssAuth.h"
#include "nfs_client/worker/rpc/RpcRaw.h"
#include "unit/nfs_client/LoopbackSupport.h"
#include "unit/nfs_client/ScriptedGss.h"

namespace {

using namespace nfsclient;
using gsstest::Be32;
using gsstest::Opaque;
using gsstest::Scripted;
using testing::HasSubstr;

constexpr int kPort = 2049;
constexpr unsigned kTimeoutMs = 2000;
constexpr uint32_t kWindow = 8;

std::string InitResult(const std::string& handle, uint32_t window, const std::string& token) {
    return Opaque(handle) + Be32(0) + Be32(0) + Be32(window) + token;
}

struct Case {
    const char* name;
    Flavour flavour;
    std::string initVerifier;  // empty: the right one
    std::string initResult;
    std::string dataVerifier;  // empty: the right one
    std::string dataResult;    // after accept_stat SUCCESS
    const char* cause;
};

const Case kCases[] = {
    {"set-up reply with a wrong verifier", Flavour::Krb5, "M1",
     InitResult("ctx1", kWindow, Opaque("x")), "", "", "has a wrong verifier"},
    {"data reply with a wrong verifier", Flavour::Krb5i, "",
     InitResult("ctx1", kWindow, Opaque("x")), "M1", "", "verifier is wrong"},
    {"token of 4 GiB declared", Flavour::Krb5, "",
     InitResult("ctx1", kWindow, Be32(0xffffffffu) + "xxxx"), "", "",
     "token is missing or longer than 64 KiB"},
    {"window 0", Flavour::Krb5, "", InitResult("ctx1", 0, Opaque("x")), "", "", "window of 0"},
    {"wrap that does not unwrap", Flavour::Krb5p, "", InitResult("ctx1", kWindow, Opaque("x")), "",
     Opaque("Xjunk"), "does not unwrap"},
    {"context handle of 1 MiB", Flavour::Krb5, "",
     InitResult(std::string(1u << 20, 'h'), kWindow, Opaque("x")), "", "", "context handle"},
};

class GssHostile : public ::testing::TestWithParam<Case> {};

void Ignore(Connection&, void*, void*) {}

TEST_P(GssHostile, FailsWordedWithinTheTimeout) {
    const Case& c = GetParam();
    const std::string address = loopbacktest::OwnAddress(80);
    std::unique_ptr<nfstest::ScriptedPeer> peer;
    auto serve = [&](const nfstest::RpcCall& call, std::string& reply) {
        const std::string& r = call.record;
        if (r.size() < 48) return false;
        const std::string gssProc = r.substr(36, 4);
        const std::string sequence = r.substr(40, 4);
        std::string verifier;
        std::string result;
        if (gssProc == Be32(1) || gssProc == Be32(2)) {  // INIT, CONTINUE_INIT
            verifier = c.initVerifier.empty() ? Scripted::Mic(Be32(kWindow)) : c.initVerifier;
            result = c.initResult;
        } else if (gssProc == Be32(0)) {  // DATA
            verifier = c.dataVerifier.empty() ? Scripted::Mic(sequence) : c.dataVerifier;
            result = c.dataResult;
        }
        reply = nfstest::Framed(r.substr(0, 4) + Be32(1) + Be32(0) + Be32(6) + Opaque(verifier) +
                                Be32(0) + result);
        return true;
    };
    try {
        peer = std::make_unique<nfstest::ScriptedPeer>(
            std::vector<int>{nfstest::Listen(address, kPort)},
            std::vector<nfstest::ScriptedPeer::Service>{{0, 0, serve}});
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no scripted peer on " << address << ": " << e.what();
    }

    const auto start = std::chrono::steady_clock::now();
    Connection connection(address.c_str(), AF_INET, kTimeoutMs);
    connection.Connect(kPort, "NFS service (port 2049)");
    if (EstablishGss(connection, 100003, 3, c.flavour, "nas.test", std::make_unique<Scripted>()))
        connection.Call("NULL call", &Ignore, nullptr, [&](Connection::Callback cb, void* data) {
            return SendRawCall(connection.Context(), 100003, 3, 0, nullptr, nullptr, cb, data,
                               connection.Auth());
        });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_FALSE(connection.Ok());
    EXPECT_THAT(connection.Error(), HasSubstr("NFS server " + address + ", "));
    EXPECT_THAT(connection.Error(), HasSubstr(c.cause));
    EXPECT_LT(seconds, kTimeoutMs / 1000.0 + 2);
}

INSTANTIATE_TEST_SUITE_P(Replies, GssHostile, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

}  // namespace
