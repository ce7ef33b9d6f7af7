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
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../fuzz/NfsReplyScript.h"
#include "NfsTestServer.h"
#include "nfs_client/worker/Protocol.h"

namespace {

int Socket(const char* address, int port, bool listening) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &sa.sin_addr);
    const int rc = listening
                       ? bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) || listen(fd, 16)
                       : connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One whole record (all its fragments, markers included) from `fd`.
bool ReadRecord(int fd, std::string& record, std::string& body) {
    record.clear();
    body.clear();
    for (;;) {
        uint32_t marker = 0;
        if (recv(fd, &marker, 4, MSG_WAITALL) != 4) return false;
        const uint32_t length = ntohl(marker) & 0x7fffffffu;
        std::string piece(length, '\0');
        if (length > 0 && recv(fd, &piece[0], length, MSG_WAITALL) != static_cast<ssize_t>(length))
            return false;
        record.append(reinterpret_cast<const char*>(&marker), 4);
        record += piece;
        body += piece;
        if (ntohl(marker) & 0x80000000u) return true;
    }
}

class Relay {
public:
    Relay() {
        for (int port : {111, 20048, 2049}) {
            const int fd = Socket("127.0.0.2", port, true);
            if (fd < 0)
                throw std::runtime_error("relay: cannot listen on 127.0.0.2:" +
                                         std::to_string(port));
            m_threads.emplace_back([this, fd, port] { Accept(fd, port); });
            m_listeners.push_back(fd);
        }
    }
    ~Relay() {
        m_stop = true;
        for (int fd : m_listeners) shutdown(fd, SHUT_RDWR);
        for (auto& t : m_threads) t.join();
        for (int fd : m_listeners) close(fd);
    }
    std::string Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string out;
        out.swap(m_input);
        return out;
    }

private:
    void Accept(int listener, int port) {
        std::vector<std::thread> connections;
        while (!m_stop) {
            const int c = accept(listener, nullptr, nullptr);
            if (c < 0) break;
            connections.emplace_back([this, c, port] { Forward(c, port); });
        }
        for (auto& t : connections) t.join();
    }
    // Relays calls and replies one by one, recording each reply by the kind of its call.
    void Forward(int client, int port) {
        const int server = Socket("127.0.0.1", port, false);
        std::string call, callBody, reply, replyBody;
        while (server >= 0 && ReadRecord(client, call, callBody) && callBody.size() >= 24) {
            if (send(server, call.data(), call.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(call.size()))
                break;
            if (!ReadRecord(server, reply, replyBody)) break;
            uint32_t words[6];
            memcpy(words, callBody.data(), sizeof words);
            const int kind = nfsfuzz::KindOf(ntohl(words[3]), ntohl(words[4]));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (kind >= 0)
                    nfsfuzz::ReplyScript::Append(m_input, static_cast<uint8_t>(kind), replyBody);
            }
            if (send(client, reply.data(), reply.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(reply.size()))
                break;
        }
        if (server >= 0) close(server);
        close(client);
    }

    std::atomic<bool> m_stop{false};
    std::vector<int> m_listeners;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::string m_input;
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
