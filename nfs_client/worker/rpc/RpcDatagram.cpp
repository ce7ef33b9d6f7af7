#include "nfs_client/worker/rpc/RpcDatagram.h"

#include <arpa/inet.h>   // inet_pton, htons
#include <netinet/in.h>  // sockaddr_in, sockaddr_in6
#include <sys/random.h>  // getrandom
#include <sys/socket.h>  // socket, connect, send, recv
#include <unistd.h>      // close, getuid, getgid

#include <algorithm>  // std::min, std::max
#include <cerrno>     // errno
#include <ctime>      // clock_gettime
#include <vector>     // std::vector

#include "nfs_client/worker/rpc/XdrReader.h"  // XdrReader, Put32

namespace nfsclient {
namespace {

constexpr uint32_t kMaxVerifier = 400;  // RFC 5531's bound on an opaque_auth body

uint32_t FirstXid() {
    uint32_t xid = 0;
    if (getrandom(&xid, sizeof xid, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof xid)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        xid = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec << 20);
    }
    return xid;
}

// The socket address of `address` (null: any address) and `port`; false
// when `family` is neither IPv4 nor IPv6 or `address` is not one of it.
bool SocketAddress(int family, const char* address, uint16_t port, sockaddr_storage& out,
                   socklen_t& length) {
    out = sockaddr_storage{};
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        length = sizeof(sockaddr_in);
        return address == nullptr || inet_pton(AF_INET, address, &in->sin_addr) == 1;
    }
    if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
        return address == nullptr || inet_pton(AF_INET6, address, &in6->sin6_addr) == 1;
    }
    return false;
}

// Binds `fd` to a free port below 1024, starting at a random one; leaves it
// unbound when none is free (the kernel then picks an ephemeral port).
void BindReservedPort(int fd, int family) {
    constexpr int kLowest = 512, kPorts = 1024 - kLowest;
    const int start = static_cast<int>(FirstXid() % kPorts);
    for (int i = 0; i < kPorts; ++i) {
        sockaddr_storage local;
        socklen_t length = 0;
        if (!SocketAddress(family, nullptr, static_cast<uint16_t>(kLowest + (start + i) % kPorts),
                           local, length))
            return;
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), length) == 0) return;
        if (errno != EADDRINUSE) return;  // not ours to bind (EACCES): an ephemeral port
    }
}

}  // namespace

RpcDatagram::RpcDatagram(const char* address, int family, int port, bool reservedPort) {
    sockaddr_storage to;
    socklen_t length = 0;
    if (port <= 0 || port > 65535 ||
        !SocketAddress(family, address, static_cast<uint16_t>(port), to, length))
        return;
    m_fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && reservedPort && getuid() == 0) BindReservedPort(m_fd, family);
    // Connected: the kernel drops datagrams from any other sender, and a
    // refusal comes back as ECONNREFUSED.
    if (m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&to), length) != 0) GiveUp();
    if (m_fd >= 0) m_firstXid = FirstXid();
}

RpcDatagram::~RpcDatagram() { GiveUp(); }

uint32_t LeastSince(uint32_t leastUs, std::chrono::steady_clock::time_point sent) {
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - sent)
                             .count();
    const uint32_t took = static_cast<uint32_t>(std::min<long long>(std::max(us, 1LL), UINT32_MAX));
    return leastUs == 0 ? took : std::min(leastUs, took);
}

void RpcDatagram::GiveUp() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

int RpcDatagram::Send(uint32_t program, uint32_t version, uint32_t procedure, Credential credential,
                      const std::string& arguments) {
    if (m_fd < 0 || m_sent == kMaxCalls) return -1;
    const size_t index = m_sent++;
    std::string call;
    call.reserve(64 + arguments.size());
    Put32(call, m_firstXid + static_cast<uint32_t>(index));
    Put32(call, 0);  // CALL
    Put32(call, 2);  // RPC version
    Put32(call, program);
    Put32(call, version);
    Put32(call, procedure);
    if (credential == Credential::Sys) {
        Put32(call, 1);   // AUTH_SYS
        Put32(call, 20);  // its body: stamp, machine name, uid, gid, no more groups
        Put32(call, 0);
        Put32(call, 0);
        Put32(call, static_cast<uint32_t>(getuid()));
        Put32(call, static_cast<uint32_t>(getgid()));
        Put32(call, 0);
    } else {
        Put32(call, 0);  // AUTH_NONE, empty
        Put32(call, 0);
    }
    Put32(call, 0);  // verifier: AUTH_NONE, empty
    Put32(call, 0);
    call += arguments;
    m_sentAt[index] = std::chrono::steady_clock::now();
    if (send(m_fd, call.data(), call.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(call.size())) {
        GiveUp();
        return -1;
    }
    return static_cast<int>(index);
}

void RpcDatagram::Service(size_t maxReply, Taker take, void* arg) {
    if (m_fd < 0) return;
    std::vector<char> buffer(maxReply + 1);
    // A few datagrams at most are expected; more are read on the next poll.
    for (int reads = 0; m_fd >= 0 && reads < 8; ++reads) {
        const ssize_t got = recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) GiveUp();
            return;
        }
        if (static_cast<size_t>(got) <= maxReply)
            Take(buffer.data(), static_cast<size_t>(got), take, arg);
    }
}

void RpcDatagram::Take(const char* data, size_t size, Taker take, void* arg) {
    XdrReader in(data, size);
    uint32_t xid = 0, kind = 0, replyStat = 0, verifierFlavour = 0, acceptStat = 0;
    const char* verifier = nullptr;
    uint32_t verifierLength = 0;
    if (!in.U32(xid) || !in.U32(kind) || kind != 1 || !in.U32(replyStat) || replyStat != 0 ||
        !in.U32(verifierFlavour) || !in.Opaque(verifier, verifierLength, kMaxVerifier) ||
        !in.U32(acceptStat) || acceptStat != 0)
        return;
    const uint32_t index = xid - m_firstXid;  // wraps past 2^32 as the xids do
    if (index >= m_sent) return;
    m_leastReplyUs = LeastSince(m_leastReplyUs, m_sentAt[index]);
    take(arg, index, data + in.At(), size - in.At());
}

}  // namespace nfsclient
