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

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

// The scripted peer on `address` port 2049, answering every call with
// `serve`; null, with `why`, when it cannot listen there.
std::unique_ptr<nfstest::ScriptedPeer> StartPeer(const std::string& address,
                                                 nfstest::ScriptedPeer::Handler serve,
                                                 std::string& why) {
    try {
        return std::make_unique<nfstest::ScriptedPeer>(
            std::vector<int>{nfstest::Listen(address, kPort)},
            std::vector<nfstest::ScriptedPeer::Service>{{0, 0, std::move(serve)}});
    } catch (const std::exception& e) {
        why = "no scripted peer on " + address + ": " + e.what();
        return nullptr;
    }
}

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
    std::string why;
    peer = StartPeer(address, serve, why);
    if (peer == nullptr) GTEST_SKIP() << why;

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

// A context the server drops (RPCSEC_GSS_CTXPROBLEM) while calls are in
// flight: one fresh context is made on the connection and every refused call
// goes again under it, each answered once, and the fresh context is the one
// ended. A server that drops the fresh one too, or refuses its set-up, fails
// the call worded, in time, no call answered twice.
enum class Peer { DropsFirst, DropsEvery, RefusesFreshSetUp };

struct Drop {
    const char* name;
    Flavour flavour;
    Peer peer;          // DropsFirst and RefusesFreshSetUp drop the first after two answers
    const char* cause;  // null: the calls complete
};

class GssDropped : public ::testing::TestWithParam<Drop> {};

struct Echo {
    std::string sent;
    int answers = 0;
    bool same = false;
};

void OnEcho(Connection&, void* reply, void* arg) {
    const auto* raw = static_cast<const RawReply*>(reply);
    auto* echo = static_cast<Echo*>(arg);
    ++echo->answers;
    echo->same = std::string(raw->data, raw->size) == echo->sent;
}

bool EncodeBytes(ZDR* zdr, void* arguments) {
    const auto& bytes = *static_cast<const std::string*>(arguments);
    if (zdr->size - zdr->pos < static_cast<int>(bytes.size())) return false;
    memcpy(zdr->buf + zdr->pos, bytes.data(), bytes.size());
    zdr->pos += static_cast<int>(bytes.size());
    return true;
}

TEST_P(GssDropped, RefusedCallsGoAgainUnderOneFreshContext) {
    const Drop& d = GetParam();
    const std::string address = loopbacktest::OwnAddress(81);
    std::atomic<int> contexts{0};
    std::atomic<int> answered{0};  // data calls of the first context answered
    std::atomic<int> destroyed{0};
    std::unique_ptr<nfstest::ScriptedPeer> peer;
    auto serve = [&](const nfstest::RpcCall& call, std::string& reply) {
        const std::string& r = call.record;
        if (r.size() < 56) return false;
        const std::string gssProc = r.substr(36, 4);
        const std::string handle = r.substr(52, 4);
        std::string body;
        if (gssProc == Be32(1) || gssProc == Be32(2)) {
            const std::string fresh = "ctx" + std::to_string(++contexts);
            body = Be32(0) + Be32(6) + Opaque(Scripted::Mic(Be32(kWindow))) + Be32(0) +
                   InitResult(fresh, kWindow, Opaque("x"));
            if (fresh == "ctx2" && d.peer == Peer::RefusesFreshSetUp)
                body = Be32(1) + Be32(1) + Be32(2);  // MSG_DENIED, AUTH_ERROR, AUTH_REJECTEDCRED
        } else if (gssProc == Be32(3)) {
            destroyed = handle[3] - '0';
            return true;  // not answered
        } else if (d.peer == Peer::DropsEvery || (handle == "ctx1" && ++answered > 2)) {
            body = Be32(1) + Be32(1) + Be32(14);  // MSG_DENIED, AUTH_ERROR, CTXPROBLEM
        } else {  // the arguments back: a result protected as they are
            body = Be32(0) + Be32(6) + Opaque(Scripted::Mic(r.substr(40, 4))) + Be32(0) +
                   call.Arguments();
        }
        reply = nfstest::Framed(r.substr(0, 4) + Be32(1) + body);
        return true;
    };
    std::string why;
    peer = StartPeer(address, serve, why);
    if (peer == nullptr) GTEST_SKIP() << why;

    const auto start = std::chrono::steady_clock::now();
    Connection connection(address.c_str(), AF_INET, kTimeoutMs);
    connection.Connect(kPort, "NFS service (port 2049)");
    std::vector<std::string> notices;
    ASSERT_TRUE(EstablishGss(connection, 100003, 3, d.flavour, "nas.test",
                             std::make_unique<Scripted>(),
                             [&](const std::string& text) { notices.push_back(text); }))
        << connection.Error();
    Echo echoes[8];
    for (int batch = 0; batch < 2; ++batch) {  // four calls in flight at once, twice
        for (int i = batch * 4; i < batch * 4 + 4; ++i) {
            echoes[i].sent = Opaque("entry-" + std::to_string(i));
            connection.Send("call " + std::to_string(i), &OnEcho, &echoes[i],
                            [&](Connection::Callback cb, void* data) {
                                return SendRawCall(connection.Context(), 100003, 3, 0, &EncodeBytes,
                                                   &echoes[i].sent, cb, data, connection.Auth());
                            });
        }
        connection.Drain();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(contexts, 2);
    // The host's log hears of the fresh context, once.
    EXPECT_THAT(notices, ::testing::ElementsAre(
                             "the server dropped the Kerberos security context "
                             "(RPCSEC_GSS_CTXPROBLEM); a fresh one is being made for the calls "
                             "it refused"));
    if (d.cause != nullptr) {
        EXPECT_FALSE(connection.Ok());
        EXPECT_THAT(connection.Error(), HasSubstr("NFS server " + address + ", call "));
        EXPECT_THAT(connection.Error(),
                    HasSubstr("the server dropped the Kerberos security context during the call, "
                              "and refused the fresh one made in its place too (" +
                              std::string(d.cause) + "); try the call again"));
        for (const Echo& echo : echoes) EXPECT_LE(echo.answers, 1);
        EXPECT_LT(seconds, kTimeoutMs / 1000.0 + 2);
        return;
    }
    ASSERT_TRUE(connection.Ok()) << connection.Error();
    for (const Echo& echo : echoes) {
        EXPECT_EQ(echo.answers, 1) << echo.sent;
        EXPECT_TRUE(echo.same) << echo.sent;
    }
    DestroyGss(connection, std::chrono::steady_clock::now() + std::chrono::seconds(1));
    for (int i = 0; i < 100 && destroyed == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(destroyed, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, GssDropped,
    ::testing::Values(Drop{"krb5i_first_dropped", Flavour::Krb5i, Peer::DropsFirst, nullptr},
                      Drop{"krb5p_first_dropped", Flavour::Krb5p, Peer::DropsFirst, nullptr},
                      Drop{"krb5_every_one_dropped", Flavour::Krb5, Peer::DropsEvery,
                           "RPCSEC_GSS_CTXPROBLEM"},
                      Drop{"krb5i_fresh_set_up_refused", Flavour::Krb5i, Peer::RefusesFreshSetUp,
                           "AUTH_REJECTEDCRED"}),
    [](const ::testing::TestParamInfo<Drop>& info) { return std::string(info.param.name); });

}  // namespace
