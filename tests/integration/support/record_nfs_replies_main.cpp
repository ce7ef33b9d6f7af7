// record_nfs_replies: writes the seed corpus of the network fuzz target
// (tests/fuzz/corpus/nfs_replies) from a real server. Starts a private
// ganesha at 127.0.0.1 serving /vol/vol1/dir, puts a recording relay in
// front of it at 127.0.0.2 (the same ports), runs the fuzz target's two
// calls (export list, listing of /vol/vol1/dir) through the relay, and
// writes the replies it saw in the fuzz input format, once for a server of
// NFSv3 and NFSv4 and once for an NFSv4-only one. Must run inside
// scripts/netns-run.sh:
//
//   scripts/netns-run.sh build/tests/integration/record_nfs_replies tests/fuzz/corpus/nfs_replies
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "../../fuzz/NfsReplyScript.h"
#include "NfsTestServer.h"
#include "ScriptedPeer.h"
#include "nfs_client/worker/Protocol.h"

namespace {

// A connection to `port` of the real server at 127.0.0.1; -1 if refused.
int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval limit{5, 0};  // a reply that does not come ends the relayed connection
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// The scripted peer as a relay: each call goes on to the same port of the
// real server over a connection of its own, and each reply comes back,
// recorded by the kind of its call.
class Relay {
public:
    Relay() {
        std::vector<int> listeners;
        for (int port : {111, 20048, 2049}) listeners.push_back(nfstest::Listen("127.0.0.2", port));
        auto forward = [this](const nfstest::RpcCall& call, std::string& reply) {
            return Forward(call, reply);
        };
        m_peer = std::make_unique<nfstest::ScriptedPeer>(
            listeners, std::vector<nfstest::ScriptedPeer::Service>{{0, 0, forward}});
    }
    ~Relay() {
        m_peer.reset();
        for (const auto& s : m_servers) close(s.second);
    }
    std::string Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string out;
        out.swap(m_input);
        return out;
    }

private:
    bool Forward(const nfstest::RpcCall& call, std::string& reply) {
        int& server = m_servers.emplace(call.connection, -1).first->second;
        if (server < 0) server = Connect(call.localPort);
        const std::string record = nfstest::Framed(call.record);
        std::string body;
        if (server < 0 ||
            send(server, record.data(), record.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(record.size()) ||
            !nfstest::ReadRecord(server, body))
            return false;
        const int kind = nfsfuzz::KindOf(call.program, call.version);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (kind >= 0) nfsfuzz::ReplyScript::Append(m_input, static_cast<uint8_t>(kind), body);
        reply = nfstest::Framed(body);
        return true;
    }

    std::map<int, int> m_servers;  // connection -> its connection to the real server
    std::mutex m_mutex;
    std::string m_input;
    std::unique_ptr<nfstest::ScriptedPeer> m_peer;
};

// The fuzz target's two calls, through the relay.
void RunCalls() {
    using namespace nfsclient;
    CallLimits limits;
    limits.stepMs = 2000;
    Call exports("127.0.0.2", AF_INET, limits);
    ReadExports(exports, [](const char*) { return true; });
    Call listing("127.0.0.2", AF_INET, limits);
    listing.profile = exports.profile;
    class Quiet : public EntryReceiver {
        bool OnEntry(const NFSItemInfo&) override { return true; }
        void OnNotice(const std::string&) override {}
    } receiver;
    EntryDelivery delivery(receiver, 1000);
    ListDirectory(listing, {"vol", "vol1", "dir"}, "/vol/vol1/dir", delivery);
    if (!exports.status.Ok() || !listing.status.Ok())
        fprintf(stderr, "record: %s %s\n", exports.status.Text().c_str(),
                listing.status.Text().c_str());
}

std::string Record(bool v4Only) {
    nfstest::NfsTestServer::Options options;
    options.v4Only = v4Only;
    nfstest::NfsTestServer server(options);
    const std::string root = server.AddExport("/vol/vol1");
    server.AddExport("/vol/vol2");
    nfstest::MakeDir(root + "/dir", 1600000000);
    nfstest::MakeFile(root + "/dir/a.txt", 1234, 1600000001);
    nfstest::MakeDir(root + "/dir/sub", 1600000002);
    nfstest::MakeFile(root + "/dir/odd name\xff", 7, 1600000003);
    nfstest::MakeManyFiles(root + "/dir/sub", 3, "x");
    server.Start();
    Relay relay;
    RunCalls();
    return relay.Take();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: record_nfs_replies CORPUS_DIR\n");
        return 2;
    }
    try {
        const std::string dir = argv[1];
        std::ofstream(dir + "/ganesha_v3_v4", std::ios::binary) << Record(false);
        std::ofstream(dir + "/ganesha_v4_only", std::ios::binary) << Record(true);
    } catch (const std::exception& e) {
        fprintf(stderr, "record_nfs_replies: %s\n", e.what());
        return 1;
    }
    return 0;
}
