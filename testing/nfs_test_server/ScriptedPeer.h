// The scripted NFS peer, for faults a real server will not show on demand
// and for the network fuzz target: one thread serves every connection its
// listeners accept, puts each call record together (record marking, every
// fragment) and answers it through a table of services keyed by RPC program
// and version. Its faces: ScriptedNfs3Peer (portmapper, MOUNT and NFSv3 over
// one scripted directory), ScriptedNfs4Peer (NFSv4.0, 4.1 and 4.2 over a
// small tree, with sessions), the fuzz target's peer (the replies of the
// fuzz input) and the fault listeners of NfsTestServer.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nfstest {

// XDR as the peers write it.
inline std::string XdrU32(uint32_t v) {
    const uint32_t be = htonl(v);
    return std::string(reinterpret_cast<const char*>(&be), 4);
}
inline std::string XdrU64(uint64_t v) {
    return XdrU32(static_cast<uint32_t>(v >> 32)) + XdrU32(static_cast<uint32_t>(v));
}
inline std::string XdrOpaque(const std::string& bytes) {
    return XdrU32(static_cast<uint32_t>(bytes.size())) + bytes +
           std::string((4 - bytes.size() % 4) % 4, '\0');
}

// XDR as the peers read it: a short input leaves `ok` false and reads zeros.
struct XdrReader {
    const std::string& in;
    size_t at = 0;
    bool ok = true;
    uint32_t U32() {
        if (at + 4 > in.size()) return Bad();
        uint32_t be;
        memcpy(&be, in.data() + at, 4);
        at += 4;
        return ntohl(be);
    }
    uint64_t U64() {
        const uint64_t high = U32();
        return (high << 32) | U32();
    }
    std::string Fixed(size_t n) {  // n bytes and their padding
        const size_t padded = (n + 3) & ~size_t{3};
        if (n > in.size() || at + padded > in.size()) return Bad(), std::string();
        std::string out = in.substr(at, n);
        at += padded;
        return out;
    }
    std::string Opaque() {  // at most 8 KiB
        const uint32_t n = U32();
        return n > 8192 ? (Bad(), std::string()) : Fixed(n);
    }
    uint32_t Bad() {
        ok = false;
        at = in.size();
        return 0;
    }
};

// One RPC call as the peer got it.
struct RpcCall {
    int connection = 0;  // 1, 2, ...: the connection it came on
    int localPort = 0;   // the port of the listener that took that connection
    std::string record;  // the call without record markers, xid first
    uint32_t program = 0;
    uint32_t version = 0;
    uint32_t procedure = 0;
    size_t argumentsAt = 0;  // where the procedure's arguments start in `record`
    std::string Arguments() const { return record.substr(argumentsAt); }
};

// `bytes` as one record of `fragments` fragments (record marking).
inline std::string Framed(const std::string& bytes, size_t fragments = 1) {
    std::string out;
    const size_t piece = fragments > 1 ? (bytes.size() + fragments - 1) / fragments : bytes.size();
    size_t at = 0;
    do {
        const size_t n = std::min(bytes.size() - at, piece);
        const bool last = at + n >= bytes.size();
        out += XdrU32((last ? 0x80000000u : 0) | static_cast<uint32_t>(n));
        out.append(bytes, at, n);
        at += n;
    } while (at < bytes.size());
    return out;
}

// The whole record of an accepted reply to `call`: xid, REPLY, MSG_ACCEPTED,
// AUTH_NONE verifier, `acceptStat`, then `body`.
inline std::string AcceptedReply(const RpcCall& call, const std::string& body,
                                 uint32_t acceptStat = 0) {
    return Framed(call.record.substr(0, 4) + XdrU32(1) + XdrU32(0) + XdrU32(0) + XdrU32(0) +
                  XdrU32(acceptStat) + body);
}

// The record at the front of `in`: its size with markers, its payload into
// `body`; 0 while it is incomplete, SIZE_MAX when it outgrows 1 MiB.
inline size_t TakeRecord(const std::string& in, std::string& body) {
    body.clear();
    size_t at = 0;
    while (in.size() >= at + 4) {
        uint32_t marker;
        memcpy(&marker, in.data() + at, 4);
        marker = ntohl(marker);
        const size_t length = marker & 0x7fffffffu;
        if (body.size() + length > (size_t{1} << 20)) return SIZE_MAX;
        if (in.size() < at + 4 + length) return 0;
        body.append(in, at + 4, length);
        at += 4 + length;
        if (marker & 0x80000000u) return at;
    }
    return 0;
}

// A whole record from the blocking socket `fd` (payload into `body`).
inline bool ReadRecord(int fd, std::string& body) {
    std::string in;
    char buffer[16384];
    for (;;) {
        const size_t taken = TakeRecord(in, body);
        if (taken == SIZE_MAX) return false;
        if (taken > 0) return taken == in.size();  // one call, one reply
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        in.append(buffer, static_cast<size_t>(n));
    }
}

// A TCP listener on address:port on a descriptor >= 100 (so that a child can
// dup2 it to 3 or 4 without clashing); throws saying where.
inline int Listen(const std::string& address, int port, int backlog = 64) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
        const std::string why = strerror(errno);
        if (fd >= 0) close(fd);
        throw std::runtime_error("listen on " + address + ":" + std::to_string(port) + ": " + why +
                                 " (run inside scripts/netns-run.sh)");
    }
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
    close(fd);
    return high;
}

class ScriptedPeer {
public:
    // Answers one call: `reply` is the whole reply record (markers included;
    // empty: nothing is sent); false closes the connection.
    using Handler = std::function<bool(const RpcCall& call, std::string& reply)>;
    struct Service {
        uint32_t program;  // 0: any
        uint32_t version;  // 0: any
        Handler handler;
    };

    // Takes the listening sockets and closes them when destroyed. The first
    // service that matches a call answers it; a call none takes, or one whose
    // header does not parse, closes its connection.
    ScriptedPeer(std::vector<int> listeners, std::vector<Service> table)
        : m_listeners(std::move(listeners)), m_table(std::move(table)) {
        m_stop = eventfd(0, EFD_CLOEXEC);
        if (m_stop < 0) {
            for (int fd : m_listeners) close(fd);
            throw std::runtime_error(std::string("scripted peer: eventfd: ") + strerror(errno));
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedPeer() {
        const uint64_t one = 1;
        if (write(m_stop, &one, sizeof one) != sizeof one) perror("scripted peer stop");
        m_thread.join();
        for (const auto& c : m_connections) close(c.first);
        for (int fd : m_listeners) close(fd);
        close(m_stop);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

private:
    struct Connection {
        int id = 0;
        int localPort = 0;
        std::string in;  // bytes not yet handled
    };

    void Serve() {
        int next = 0;
        for (;;) {
            std::vector<pollfd> fds{{m_stop, POLLIN, 0}};
            for (int fd : m_listeners) fds.push_back({fd, POLLIN, 0});
            for (const auto& c : m_connections) fds.push_back({c.first, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            if (fds[0].revents != 0) return;
            for (size_t i = 1; i <= m_listeners.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                const int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                sockaddr_in local{};
                socklen_t size = sizeof local;
                if (c < 0) continue;
                getsockname(c, reinterpret_cast<sockaddr*>(&local), &size);
                m_connections[c] = Connection{++next, ntohs(local.sin_port), {}};
            }
            for (size_t i = 1 + m_listeners.size(); i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                const int c = fds[i].fd;
                char buffer[65536];
                const ssize_t n = read(c, buffer, sizeof buffer);
                Connection& connection = m_connections[c];
                if (n > 0) connection.in.append(buffer, static_cast<size_t>(n));
                if (n <= 0 || !HandleComplete(c, connection)) {
                    close(c);
                    m_connections.erase(c);
                }
            }
        }
    }

    // Answers every complete call record at the front of the connection's
    // bytes; false to close it.
    bool HandleComplete(int fd, Connection& connection) {
        for (;;) {
            std::string record, reply;
            const size_t taken = TakeRecord(connection.in, record);
            if (taken == SIZE_MAX) return false;
            if (taken == 0) return true;
            connection.in.erase(0, taken);
            if (!HandleCall(connection, record, reply)) return false;
            for (size_t done = 0; done < reply.size();) {
                const ssize_t n = send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
                if (n <= 0) return false;
                done += static_cast<size_t>(n);
            }
        }
    }

    bool HandleCall(const Connection& connection, const std::string& record, std::string& reply) {
        RpcCall call;
        call.connection = connection.id;
        call.localPort = connection.localPort;
        call.record = record;
        XdrReader in{call.record};
        in.U32();  // xid
        in.U32();  // CALL
        in.U32();  // RPC version
        call.program = in.U32();
        call.version = in.U32();
        call.procedure = in.U32();
        for (int i = 0; i < 2; ++i) {  // credential, verifier
            in.U32();
            in.Opaque();
        }
        if (!in.ok) return false;
        call.argumentsAt = in.at;
        for (const Service& s : m_table)
            if ((s.program == 0 || s.program == call.program) &&
                (s.version == 0 || s.version == call.version))
                return s.handler(call, reply);
        return false;
    }

    std::vector<int> m_listeners;
    std::vector<Service> m_table;
    std::map<int, Connection> m_connections;
    int m_stop = -1;
    std::thread m_thread;
};

}  // namespace nfstest
