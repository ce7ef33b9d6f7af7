// Calls by datagram beside TCP: the portmapper's (what a reply must be to be
// taken, and the exchange itself with a scripted responder on a loopback UDP
// port) and MOUNT's export list, raced against a TCP service.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "nfs_client/worker/Protocol.h"  // Call, Nfs3ReadExports
#include "nfs_client/worker/rpc/PortmapDatagram.h"

using nfsclient::PortmapDatagram;

namespace {

std::string U32(uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    return std::string(b, 4);
}

std::string Opaque(const std::string& text) {
    return U32(static_cast<uint32_t>(text.size())) + text +
           std::string((4 - text.size() % 4) % 4, '\0');
}

// An accepted, successful reply to `xid` carrying `result`.
std::string Reply(uint32_t xid, const std::string& result, uint32_t acceptStat = 0,
                  const std::string& verifier = "") {
    return U32(xid) + U32(1) + U32(0) + U32(0) + Opaque(verifier) + U32(acceptStat) + result;
}

// A UDP socket on 127.0.0.1 (or ::1) playing the portmapper; port 0 when
// it could not be bound.
struct Responder {
    explicit Responder(int family = AF_INET) {
        fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_storage sa{};
        socklen_t length = 0;
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&sa);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *in;
        } else {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof *in6;
        }
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), length) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0)
            port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&sa)->sin_port
                                           : reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port);
    }
    ~Responder() {
        if (fd >= 0) close(fd);
    }
    // The next call's bytes; `from` is where to answer.
    std::string Receive() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return "";
        char buffer[512];
        fromLength = sizeof from;
        const ssize_t got =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }
    void Send(const std::string& bytes) {
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&from),
               fromLength);
    }
    int fd = -1;
    int port = 0;
    sockaddr_storage from{};
    socklen_t fromLength = 0;
};

uint32_t XidOf(const std::string& call) {
    const auto* b = reinterpret_cast<const unsigned char*>(call.data());
    return call.size() < 4 ? 0 : (uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

void WaitFor(PortmapDatagram& datagram) {
    pollfd p{datagram.Fd(), POLLIN, 0};
    if (datagram.Fd() >= 0) poll(&p, 1, 2000);
    datagram.Service();
}

}  // namespace

// Both questions go out at once; their answers are matched by xid, in any
// order, and "not registered" (port 0) is an answer too.
TEST(PortmapDatagram, AsksBothProgramsAndMatchesTheAnswersByXid) {
    Responder responder;
    ASSERT_NE(responder.port, 0);
    PortmapDatagram datagram("127.0.0.1", AF_INET, responder.port);
    datagram.Ask(100005, 3);
    datagram.Ask(100003, 3);
    datagram.Ask(100005, 3, PortmapDatagram::Transport::Udp);
    const std::string mount = responder.Receive();
    const std::string nfs = responder.Receive();
    const std::string mountUdp = responder.Receive();
    // GETPORT v2 of the portmapper, AUTH_NONE, then the mapping (TCP).
    ASSERT_EQ(mount.size(), 56u);
    EXPECT_EQ(mount.substr(4, 36),
              U32(0) + U32(2) + U32(100000) + U32(2) + U32(3) + std::string(16, '\0'));
    EXPECT_EQ(mount.substr(40), U32(100005) + U32(3) + U32(6) + U32(0));
    EXPECT_EQ(nfs.substr(40), U32(100003) + U32(3) + U32(6) + U32(0));
    EXPECT_EQ(mountUdp.substr(40), U32(100005) + U32(3) + U32(17) + U32(0));
    EXPECT_NE(XidOf(mount), XidOf(nfs));
    EXPECT_NE(XidOf(nfs), XidOf(mountUdp));

    responder.Send(Reply(XidOf(nfs), U32(0)));  // NFS not registered, first
    WaitFor(datagram);
    EXPECT_TRUE(datagram.Answered(1));
    EXPECT_EQ(datagram.Port(1), 0);
    EXPECT_FALSE(datagram.Answered(0));
    responder.Send(Reply(XidOf(mount), U32(20048)));
    responder.Send(Reply(XidOf(mount), U32(1)));  // a second answer changes nothing
    WaitFor(datagram);
    EXPECT_TRUE(datagram.Answered(0));
    EXPECT_EQ(datagram.Port(0), 20048);
    EXPECT_FALSE(datagram.Answered(2));
}

// Nothing listening: the host's refusal gives the datagram up, so that the
// probe waits for TCP alone.
TEST(PortmapDatagram, ARefusalGivesUp) {
    int port = 0;
    {
        Responder closed;  // a port that was free a moment ago
        port = closed.port;
    }
    PortmapDatagram datagram("127.0.0.1", AF_INET, port);
    datagram.Ask(100005, 3);
    for (int i = 0; i < 20 && datagram.Fd() >= 0; ++i) WaitFor(datagram);
    EXPECT_EQ(datagram.Fd(), -1);
    EXPECT_FALSE(datagram.Answered(0));
}

// What a reply must be to be taken: anything else leaves the question open.
// Over IPv6 the question is RPCBIND GETADDR and the answer a universal
// address.
TEST(PortmapDatagram, OnlyAWellFormedAnswerToTheQuestionIsTaken) {
    struct Case {
        const char* name;
        int family;
        std::string (*reply)(uint32_t xid);
        bool taken;
        int port;
    };
    const Case cases[] = {
        {"port", AF_INET, [](uint32_t x) { return Reply(x, U32(2049)); }, true, 2049},
        {"verifier of 8 bytes", AF_INET,
         [](uint32_t x) { return Reply(x, U32(2049), 0, "12345678"); }, true, 2049},
        {"another xid", AF_INET, [](uint32_t x) { return Reply(x + 7, U32(2049)); }, false, 0},
        {"a call, not a reply", AF_INET,
         [](uint32_t x) { return U32(x) + U32(0) + U32(0) + U32(0) + U32(0) + U32(0) + U32(1); },
         false, 0},
        {"denied", AF_INET, [](uint32_t x) { return U32(x) + U32(1) + U32(1) + U32(0) + U32(2); },
         false, 0},
        {"program unavailable", AF_INET, [](uint32_t x) { return Reply(x, "", 1); }, false, 0},
        {"port beyond 65535", AF_INET, [](uint32_t x) { return Reply(x, U32(70000)); }, false, 0},
        {"bytes after the port", AF_INET, [](uint32_t x) { return Reply(x, U32(2049) + U32(1)); },
         false, 0},
        {"truncated", AF_INET, [](uint32_t x) { return Reply(x, U32(2049)).substr(0, 26); }, false,
         0},
        {"verifier of 4 GiB declared", AF_INET,
         [](uint32_t x) { return U32(x) + U32(1) + U32(0) + U32(0) + U32(0xffffffffu); }, false, 0},
        {"datagram of 600 bytes", AF_INET,
         [](uint32_t x) {
             return Reply(x, U32(2049), 0, std::string(400, 'v')) + std::string(100, 'x');
         },
         false, 0},
        {"universal address", AF_INET6, [](uint32_t x) { return Reply(x, Opaque("::1.8.1")); },
         true, 2049},
        {"empty universal address", AF_INET6, [](uint32_t x) { return Reply(x, Opaque("")); }, true,
         0},
        {"universal address without a port", AF_INET6,
         [](uint32_t x) { return Reply(x, Opaque("::1")); }, false, 0},
        {"universal address of 200 bytes", AF_INET6,
         [](uint32_t x) { return Reply(x, Opaque(std::string(200, '1'))); }, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Responder responder(c.family);
        if (responder.port == 0) continue;  // no ::1 on this machine
        PortmapDatagram datagram(c.family == AF_INET ? "127.0.0.1" : "::1", c.family,
                                 responder.port);
        datagram.Ask(100003, 3);
        const std::string call = responder.Receive();
        if (c.family == AF_INET6) {
            // RPCBIND v3 GETADDR, netid tcp6, empty address and owner.
            EXPECT_EQ(call.substr(16, 4), U32(3));
            EXPECT_EQ(call.substr(40), U32(100003) + U32(3) + Opaque("tcp6") + U32(0) + U32(0));
        }
        responder.Send(c.reply(XidOf(call)));
        WaitFor(datagram);
        EXPECT_EQ(datagram.Answered(0), c.taken);
        EXPECT_EQ(datagram.Port(0), c.port);
    }
}

// Over IPv6 the question about MOUNT over UDP names netid udp6.
TEST(PortmapDatagram, OverIpv6TheUdpQuestionNamesUdp6) {
    Responder responder(AF_INET6);
    if (responder.port == 0) GTEST_SKIP() << "no ::1 on this machine";
    PortmapDatagram datagram("::1", AF_INET6, responder.port);
    datagram.Ask(100005, 3, PortmapDatagram::Transport::Udp);
    const std::string call = responder.Receive();
    EXPECT_EQ(call.substr(40), U32(100005) + U32(3) + Opaque("udp6") + U32(0) + U32(0));
    responder.Send(Reply(XidOf(call), Opaque("::1.78.80")));
    WaitFor(datagram);
    EXPECT_TRUE(datagram.Answered(0));
    EXPECT_EQ(datagram.Port(0), 20048);
}

namespace {

// A MOUNT v3 EXPORT result: each path with no groups.
std::string ExportList(std::initializer_list<const char*> paths) {
    std::string list;
    for (const char* path : paths) list += U32(1) + Opaque(path) + U32(0);
    return list + U32(0);
}

// A TCP service on 127.0.0.1 that takes connections and never answers.
struct SilentService {
    SilentService() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof in;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&in), length) == 0 &&
            listen(fd, 4) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length) == 0)
            port = ntohs(in.sin_port);
    }
    ~SilentService() {
        if (fd >= 0) close(fd);
    }
    int fd = -1;
    int port = 0;
};

}  // namespace

// The export list is asked over TCP and by datagram at once; the first
// whole, well-formed answer is the list. A datagram that is not one (another
// xid, a refusal, a truncated list) is passed over, so that a later answer,
// or TCP's, decides. Here TCP never answers: its step timeout ends the call
// when no datagram is taken.
TEST(MountDatagram, TheFirstWholeAnswerOfTcpOrDatagramIsTheExportList) {
    const std::string whole = ExportList({"/vol/a", "/b"});
    struct Case {
        const char* name;
        std::vector<std::string (*)(uint32_t xid, const std::string& list)> replies;
        bool taken;
    };
    const Case cases[] = {
        {"a whole list", {[](uint32_t x, const std::string& l) { return Reply(x, l); }}, true},
        {"a truncated list, then a whole one",
         {[](uint32_t x, const std::string& l) { return Reply(x, l.substr(0, l.size() - 4)); },
          [](uint32_t x, const std::string& l) { return Reply(x, l); }},
         true},
        {"another xid, a refusal, program unavailable",
         {[](uint32_t x, const std::string& l) { return Reply(x + 1, l); },
          [](uint32_t x, const std::string&) {
              return U32(x) + U32(1) + U32(1) + U32(1) + U32(1);  // denied, AUTH_ERROR
          },
          [](uint32_t x, const std::string&) { return Reply(x, "", 1); }},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Responder responder;
        SilentService tcp;
        ASSERT_NE(responder.port, 0);
        ASSERT_NE(tcp.port, 0);
        nfsclient::CallLimits limits;
        limits.stepMs = 300;
        nfsclient::Call call("127.0.0.1", AF_INET, limits);
        call.profile.protocol = nfsclient::Protocol::Nfs3;
        call.profile.mountPort = tcp.port;
        call.profile.mountUdpPort = responder.port;
        std::thread answer([&] {
            const std::string asked = responder.Receive();
            // MOUNT v3 EXPORT under AUTH_SYS (its body: 20 bytes), no arguments.
            EXPECT_EQ(asked.substr(4, 24),
                      U32(0) + U32(2) + U32(100005) + U32(3) + U32(5) + U32(1));
            EXPECT_EQ(asked.size(), 60u);
            for (const auto reply : c.replies) responder.Send(reply(XidOf(asked), whole));
        });
        std::vector<std::string> reported;
        const bool ok = nfsclient::Nfs3ReadExports(call, [&](const char* path) {
            reported.push_back(path);
            return true;
        });
        answer.join();
        EXPECT_EQ(ok, c.taken) << call.status.Text();
        if (c.taken) {
            EXPECT_EQ(reported, (std::vector<std::string>{"/vol/a", "/b"}));
            EXPECT_EQ(call.profile.exports, reported);
        } else {
            EXPECT_TRUE(reported.empty());
            EXPECT_NE(call.status.Text().find("export list (mount service, port " +
                                              std::to_string(tcp.port) + ")"),
                      std::string::npos)
                << call.status.Text();
        }
    }
}
