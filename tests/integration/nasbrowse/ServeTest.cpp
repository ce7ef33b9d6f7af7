// Who may use `nasbrowse serve`, and what it writes down about each request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_framework/ReplyReader.h"
#include "integration/nasbrowse/NasbrowseRun.h"
#include "nasbrowse/ServeProtocol.h"
#include "NfsTestServer.h"

namespace {

using namespace nbtest;

// One GUI browse frame for the daemon (sequence 7, client 2, VessaCell 2).
std::string Frame(const std::string& server, const std::string& path) {
    nasbrowse::serve::Request request;
    request.message = MakeGuiBrowseMessage(7, server, 2);
    request.clientId = 2;
    request.path = path;
    const std::vector<unsigned char> frame = nasbrowse::serve::EncodeFrame(request);
    return std::string(frame.begin(), frame.end());
}

// Sends one frame from `source` (a loopback address) and decodes the reply.
ReplyWire::Reply RequestFrom(const std::string& source, uint16_t port, const std::string& frame,
                             std::string& error) {
    ReplyWire::Reply reply;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        error = strerror(errno);
        close(fd);
        return reply;
    }
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0) {
        // A refused peer may be closed on before its frame is taken.
    }
    ReplyWire::ReadReply(fd, 10000, reply, error);
    close(fd);
    return reply;
}

class NasbrowseServe : public nbtest::ServedSuite<NasbrowseServe> {
public:
    static void Populate(nfstest::NfsTestServer& server) {
        const std::string vol1 = server.AddExport("/vol/vol1");
        nfstest::MakeDir(vol1 + "/docs");
        nfstest::MakeFile(vol1 + "/docs/a.txt", 1, 1600000000);
        nfstest::MakeFile(vol1 + "/docs/b.txt", 2, 1600000000);
    }
};

TEST_F(NasbrowseServe, AnyAddressButLoopbackNeedsAnAllowListThatRefusesEveryoneElse) {
    const Outcome open = Nasbrowse({"serve", "--listen", "0.0.0.0:0"});
    EXPECT_EQ(open.status, 2);
    EXPECT_NE(open.err.find("--allow CIDR"), std::string::npos) << open.err;

    Daemon daemon({"--listen", "0.0.0.0:0", "--allow", "127.0.0.1/32"});
    ASSERT_FALSE(daemon.Endpoint().empty());
    const std::string frame = Frame(Address(), "/" + Address() + "/vol/vol1/docs");
    std::string error;
    const ReplyWire::Reply allowed = RequestFrom("127.0.0.1", daemon.Port(), frame, error);
    EXPECT_TRUE(allowed.ended) << error;
    EXPECT_EQ(allowed.items.size(), 2u);
    EXPECT_TRUE(allowed.messages.empty());

    const ReplyWire::Reply refused = RequestFrom("127.0.0.2", daemon.Port(), frame, error);
    EXPECT_TRUE(refused.items.empty());
    ASSERT_EQ(refused.messages.size(), 1u) << error;
    EXPECT_NE(refused.messages[0].find("does not take requests from your address"),
              std::string::npos);
    EXPECT_EQ(daemon.Stop(), 0);
    EXPECT_TRUE(std::regex_search(daemon.Log(),
                                  std::regex(R"(Refused a connection from \[127\.0\.0\.2:\d+\])")))
        << daemon.Log();
    EXPECT_EQ(daemon.Log().find("Refused a connection from [127.0.0.1:"), std::string::npos);

    // On loopback without a list, every loopback peer is served.
    Daemon local;
    EXPECT_EQ(RequestFrom("127.0.0.2", local.Port(), frame, error).items.size(), 2u) << error;
}

TEST_F(NasbrowseServe, EachRequestLeavesOneAccessLine) {
    Daemon daemon;
    ASSERT_FALSE(daemon.Endpoint().empty());
    const Outcome ok =
        Nasbrowse({"request", "--connect", daemon.Endpoint(), Address(), "/vol/vol1/docs"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    const Outcome failed =
        Nasbrowse({"request", "--connect", daemon.Endpoint(), Address(), "/vol/vol1/missing"});
    EXPECT_EQ(failed.status, 1);
    ExpectOneSentence(failed, "request of a missing folder");
    EXPECT_EQ(daemon.Stop(), 0);
    const std::string& log = daemon.Log();
    const std::string server = std::regex_replace(Address(), std::regex(R"(\.)"), R"(\.)");
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(R"(Access peer \[127\.0\.0\.1:\d+\] server \[)" + server + R"(\] path \[/)" +
                   server + R"(/vol/vol1/docs\] result \[ok\] items \[2\] ms \[\d+\])")))
        << log;
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(
            R"(Access peer \[127\.0\.0\.1:\d+\] server \[)" + server + R"(\] path \[/)" + server +
            R"(/vol/vol1/missing\] result \[failed: .*no such directory.*\] items \[0\] ms \[\d+\])")))
        << log;
    size_t accessLines = 0;
    for (const std::string& line : Lines(log))
        accessLines += line.find(" Access peer [") != std::string::npos;
    EXPECT_EQ(accessLines, 2u);
}

}  // namespace
