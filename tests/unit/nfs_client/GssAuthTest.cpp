// The RPCSEC_GSS credential on the wire, driven by a scripted mechanism: the
// sealed call header, the integrity and privacy wrapping of arguments, the
// checks of every reply, and what a hostile server's set-up or replies get;
// and the worker sandbox's allowance for Kerberos (files read, never written,
// the libraries loaded).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nfs_client/worker/Sandbox.h"
#include "nfs_client/worker/rpc/GssAuth.h"
#include "nfs_client/worker/rpc/GssCallAuth.h"
#include "nfs_client/worker/rpc/Krb5Library.h"
#include "nfs_client/worker/rpc/Krb5Tokens.h"
#include "ScriptedPeer.h"  // Listen
#include "unit/nfs_client/ScriptedGss.h"

namespace {

using namespace nfsclient;
using testing::HasSubstr;

using gsstest::Be32;
using gsstest::Opaque;
using gsstest::Scripted;

constexpr uint32_t kXid = 0x1234;

// A call header as libnfs writes it: xid through an AUTH_SYS credential and
// an AUTH_NONE verifier.
std::string PlainHeader() {
    return Be32(kXid) + Be32(0) + Be32(2) + Be32(100003) + Be32(3) + Be32(1) + Be32(1) +
           Opaque("sysc") + Be32(0) + Be32(0);
}

std::string Reply(const std::string& verifier, const std::string& result, uint32_t xid = kXid) {
    return gsstest::Reply(xid, verifier, result);
}

// A context of `flavour` through the scripted set-up, window 8.
std::unique_ptr<GssCallAuth> Established(Flavour flavour) {
    auto auth = std::make_unique<GssCallAuth>(std::make_unique<Scripted>(), flavour, "nas.test");
    auth->BeginInit("");
    std::string why;
    std::string record = Reply(Scripted::Mic(Be32(8)), "");
    EXPECT_TRUE(PassReply(*auth, record, 4, why)) << why;
    GssInitResult result;
    result.handle = "ctx1";
    result.window = 8;
    EXPECT_TRUE(auth->Established(result, why)) << why;
    return auth;
}

// Seals a call with `auth` and returns the sealed header.
std::string Seal(GssCallAuth& auth, uint32_t xid = kXid) {
    std::string header = PlainHeader();
    header.resize(512);
    size_t size = PlainHeader().size();
    std::string why;
    EXPECT_TRUE(auth.SealHeader(xid, &header[0], size, header.size(), why)) << why;
    header.resize(size);
    return header;
}

TEST(GssAuth, InitCallsCarryNoVerifierAndDataCallsSignTheirHeader) {
    GssCallAuth init(std::make_unique<Scripted>(), Flavour::Krb5i, "nas.test");
    init.BeginInit("");
    const std::string credential = Be32(1) + Be32(1) + Be32(0) + Be32(2) + Opaque("");
    EXPECT_EQ(Seal(init),
              PlainHeader().substr(0, 24) + Be32(6) + Opaque(credential) + Be32(0) + Be32(0));
    init.BeginInit("ctx0");  // CONTINUE_INIT names the handle
    EXPECT_EQ(Seal(init).substr(36, 4), Be32(2));
    EXPECT_EQ(Seal(init).substr(48, 8), Opaque("ctx0"));

    auto auth = Established(Flavour::Krb5i);
    const std::string data = Be32(1) + Be32(0) + Be32(0) + Be32(2) + Opaque("ctx1");
    const std::string signedPart = PlainHeader().substr(0, 24) + Be32(6) + Opaque(data);
    EXPECT_EQ(Seal(*auth), signedPart + Be32(6) + Opaque(Scripted::Mic(signedPart)));
    // The next call takes the next sequence number.
    EXPECT_EQ(Seal(*auth, kXid + 1).substr(40, 4), Be32(1));
}

TEST(GssAuth, ArgumentsAndResultsAreProtectedPerService) {
    const std::string args = "ARGS";
    const std::string result = "RESULT!!";
    const std::string seq = Be32(0);
    struct Case {
        Flavour flavour;
        std::string wireArgs;
        std::string wireResult;
    } cases[] = {
        {Flavour::Krb5, args, result},
        {Flavour::Krb5i, Opaque(seq + args) + Opaque(Scripted::Mic(seq + args)),
         Opaque(seq + result) + Opaque(Scripted::Mic(seq + result))},
        {Flavour::Krb5p, Opaque("W" + Scripted::Flip(seq + args)),
         Opaque("W" + Scripted::Flip(seq + result))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(FlavourName(c.flavour));
        auto auth = Established(c.flavour);
        Seal(*auth);
        std::string buffer = args + std::string(auth->ArgumentRoom(), '\0');
        size_t size = args.size();
        std::string why;
        ASSERT_TRUE(auth->WrapArguments(kXid, &buffer[0], size, buffer.size(), why)) << why;
        EXPECT_EQ(buffer.substr(0, size), c.wireArgs);
        std::string record = Reply(Scripted::Mic(seq), c.wireResult);
        ASSERT_TRUE(PassReply(*auth, record, 4, why)) << why;
        EXPECT_EQ(record.substr(record.size() - result.size()), result);
        EXPECT_EQ(record.size(), Reply(Scripted::Mic(seq), result).size());
    }
}

TEST(GssAuth, HostileRepliesFailWorded) {
    const std::string seq = Be32(0);
    const std::string goodVerifier = Scripted::Mic(seq);
    struct Case {
        const char* name;
        Flavour flavour;
        std::string record;
        const char* expected;
    } cases[] = {
        {"wrong verifier", Flavour::Krb5, Reply("M1", "R"), "verifier is wrong"},
        {"verifier of another call", Flavour::Krb5, Reply(Scripted::Mic(Be32(5)), "R"),
         "verifier is wrong"},
        {"reply to no call", Flavour::Krb5, Reply(goodVerifier, "R", kXid + 9), "no call"},
        {"wrap that does not unwrap", Flavour::Krb5p, Reply(goodVerifier, Opaque("Xjunk")),
         "does not unwrap"},
        {"wrap of 4 GiB declared", Flavour::Krb5p, Reply(goodVerifier, Be32(0xffffffffu) + "W"),
         "malformed"},
        {"integrity checksum wrong", Flavour::Krb5i,
         Reply(goodVerifier, Opaque(seq + "R") + Opaque("M0")), "checksum is wrong"},
        {"integrity body beyond the record", Flavour::Krb5i,
         Reply(goodVerifier, Be32(1u << 30) + seq), "malformed"},
        {"another call's sequence number", Flavour::Krb5p,
         Reply(goodVerifier, Opaque("W" + Scripted::Flip(Be32(3) + "R"))), "sequence number"},
        {"context dropped", Flavour::Krb5i,
         Be32(0) + Be32(kXid) + Be32(1) + Be32(1) + Be32(1) + Be32(14),
         "dropped the Kerberos security context during the call (RPCSEC_GSS_CTXPROBLEM)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto auth = Established(c.flavour);
        Seal(*auth);
        std::string record = c.record;
        std::string why;
        EXPECT_FALSE(PassReply(*auth, record, 4, why));
        EXPECT_THAT(why, HasSubstr(c.expected));
    }
}

TEST(GssAuth, HostileSetUpRepliesFailWorded) {
    const std::string token = Opaque("welcome");
    struct Case {
        const char* name;
        std::string result;
        const char* expected;
    } cases[] = {
        {"token of 4 GiB declared", Opaque("ctx") + Be32(0) + Be32(0) + Be32(8) + Be32(0xffffffffu),
         "token is missing or longer than 64 KiB"},
        {"context handle of 1 MiB", Be32(1u << 20) + std::string(64, 'h'), "context handle"},
        {"window 0", Opaque("ctx") + Be32(0) + Be32(0) + Be32(0) + token, "window of 0"},
        {"window of 2^32-1", Opaque("ctx") + Be32(0) + Be32(0) + Be32(0xffffffffu) + token,
         "window of 4294967295"},
        {"cut short", Opaque("ctx") + Be32(0), "too short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GssInitResult result;
        std::string why;
        EXPECT_FALSE(ParseInitResult(c.result.data(), c.result.size(), result, why));
        EXPECT_THAT(why, HasSubstr(c.expected));
    }
    GssInitResult good;
    std::string why;
    const std::string bytes = Opaque("ctx") + Be32(0) + Be32(0) + Be32(128) + token;
    ASSERT_TRUE(ParseInitResult(bytes.data(), bytes.size(), good, why)) << why;
    EXPECT_EQ(good.handle, "ctx");
    EXPECT_EQ(good.window, 128u);
    EXPECT_EQ(good.token, "welcome");

    // The set-up reply's verifier must be the checksum of its window.
    GssCallAuth auth(std::make_unique<Scripted>(), Flavour::Krb5, "nas.test");
    auth.BeginInit("");
    std::string record = Reply(Scripted::Mic(Be32(64)), "");
    ASSERT_TRUE(PassReply(auth, record, 4, why));
    EXPECT_FALSE(auth.Established(good, why));
    EXPECT_THAT(why, HasSubstr("wrong verifier"));
    // A refusal of the set-up names the service principal to check.
    record = Be32(0) + Be32(kXid) + Be32(1) + Be32(1) + Be32(1) + Be32(13);
    EXPECT_FALSE(PassReply(auth, record, 4, why));
    EXPECT_THAT(why, HasSubstr("refused the Kerberos security context (RPCSEC_GSS_CREDPROBLEM); "
                               "check that its keytab holds nfs/nas.test"));
}

TEST(GssAuth, CallsBeyondTheWindowAreRefused) {
    auto auth = Established(Flavour::Krb5);
    for (uint32_t i = 0; i < 8; ++i) Seal(*auth, kXid + i);
    std::string header = PlainHeader();
    header.resize(512);
    size_t size = PlainHeader().size();
    std::string why;
    EXPECT_FALSE(auth->SealHeader(kXid + 8, &header[0], size, header.size(), why));
    EXPECT_THAT(why, HasSubstr("window of 8"));
}

// MIT's mechanism without a ticket: the worded cause, before any network.
TEST(GssAuth, NoTicketIsWordedWithWhatToDo) {
    Security security;
    security.serverName = "nas.test";
    security.credentialCache = "FILE:/nonexistent/nsb-no-such-cache";
    security.kerberosConfig = "/dev/null";
    std::string why;
    EXPECT_EQ(Krb5Mechanism(Flavour::Krb5p, security, why), nullptr);
    EXPECT_THAT(why, HasSubstr("no Kerberos ticket for this user; run kinit, or give a keytab"));
}

// Without MIT's libraries, or with one that is not theirs, a Kerberos call
// fails with what is missing and what to install.
TEST(GssAuth, MissingKerberosLibrariesAreWorded) {
    struct Case {
        const char* gssapi;
        const char* krb5;
        const char* says;
    };
    const Case cases[] = {
        {"libnsb-no-such-gssapi.so.2", "libkrb5.so.3",
         "the Kerberos libraries of MIT cannot be loaded (libnsb-no-such-gssapi.so.2: "},
        {"libgssapi_krb5.so.2", "libnsb-no-such-krb5.so.3",
         "the Kerberos libraries of MIT cannot be loaded (libnsb-no-such-krb5.so.3: "},
        {"libc.so.6", "libkrb5.so.3",
         "the Kerberos library libc.so.6 has no gss_acquire_cred_from ("},
    };
    for (const Case& c : cases) {
        Krb5Api api;
        std::string why;
        EXPECT_FALSE(LoadKrb5Api(c.gssapi, c.krb5, api, why));
        EXPECT_THAT(why, HasSubstr(c.says));
        EXPECT_THAT(why, HasSubstr("; install Debian's libgssapi-krb5-2"));
        EXPECT_EQ(api.gss_init_sec_context, nullptr);
    }
}

// The context's end costs the call no round trip: DESTROY is written and
// not waited for (the peer here never answers), and it reaches the server.
TEST(GssAuth, DestroyIsSentWithoutWaitingForItsReply) {
    const int listener = nfstest::Listen("127.0.0.1", 0, 1);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    Connection connection("127.0.0.1", AF_INET, 2000);
    connection.Connect(ntohs(address.sin_port), "connect");
    ASSERT_TRUE(connection.Drain()) << connection.Error();
    connection.AdoptAuth(Established(Flavour::Krb5));
    const auto start = std::chrono::steady_clock::now();
    DestroyGss(connection, start + std::chrono::seconds(3));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(connection.Ok()) << connection.Error();

    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    std::string record;
    char buffer[512];
    pollfd pfd{peer, POLLIN, 0};
    while (record.size() < 44 && poll(&pfd, 1, 2000) > 0) {
        const ssize_t n = read(peer, buffer, sizeof buffer);
        if (n <= 0) break;
        record.append(buffer, static_cast<size_t>(n));
    }
    close(peer);
    close(listener);
    // Record marker, then the call header: RPCSEC_GSS credential, gss_proc DESTROY.
    ASSERT_GE(record.size(), 44u);
    EXPECT_EQ(record.substr(28, 4), Be32(6));
    EXPECT_EQ(record.substr(40, 4), Be32(3));
}

// Sanitizer builds run the worker without its filter (Sandbox.cpp says why),
// GCC's and clang's alike.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NSB_TEST_SANITIZED 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(NSB_TEST_SANITIZED)
// The filter lets Kerberos read its configuration, cache and keytab and load
// its libraries and libcrypto, refuses any open that could write, and
// RestrictFiles takes reading away again.
TEST(GssAuth, TheWorkerSandboxReadsFilesButNeverWritesThem) {
    char path[] = "/tmp/nsb-gss-sandbox-XXXXXX";
    const int made = mkstemp(path);
    ASSERT_GE(made, 0);
    close(made);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string why;
        if (!worker::RestrictSystemCalls(why)) _exit(10);
        // Under the filter the loader reads and maps MIT's libraries (a
        // real load when this test runs alone, as unit_nfs_client_gss_sandbox).
        if (Krb5Library(why) == nullptr) _exit(15);
        // And OpenSSL's libcrypto, which reads a long listing's tokens: the
        // filter refusing it would only slow Kerberos down, silently.
        if (AcceptorTokens::Make(18 /* aes256-cts-hmac-sha1-96 */, std::string(32, 'k')) == nullptr)
            _exit(16);
        const int reading = open(path, O_RDONLY);
        if (reading < 0) _exit(11);
        close(reading);
        const int writing[] = {O_WRONLY, O_RDWR, O_RDONLY | O_CREAT, O_RDONLY | O_TRUNC,
                               O_WRONLY | O_APPEND};
        for (int flags : writing)
            if (open(path, flags, 0600) >= 0 || errno != EPERM) _exit(12);
        if (!worker::RestrictFiles(why)) _exit(13);
        if (open(path, O_RDONLY) >= 0 || errno != EPERM) _exit(14);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    unlink(path);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
