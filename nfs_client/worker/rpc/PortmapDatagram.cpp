#include "nfs_client/worker/rpc/PortmapDatagram.h"

#include <arpa/inet.h>   // inet_pton, htons
#include <netinet/in.h>  // sockaddr_in, sockaddr_in6
#include <sys/random.h>  // getrandom
#include <sys/socket.h>  // socket, connect, send, recv
#include <unistd.h>      // close

#include <cerrno>  // errno
#include <ctime>   // clock_gettime
#include <string>  // std::string

#include "nfs_client/Paths.h"                 // PortOfUniversalAddress
#include "nfs_client/worker/rpc/XdrReader.h"  // XdrReader, Put32, PutOpaque

namespace nfsclient {
namespace {

constexpr uint32_t kPmapProgram = 100000;
constexpr uint32_t kGetPort = 3;  // PMAP v2 GETPORT and RPCBIND v3 GETADDR alike
constexpr uint32_t kIpProtoTcp = 6;
// A reply larger than this is no portmapper's answer to these questions.
constexpr size_t kMaxReply = 512;
constexpr uint32_t kMaxVerifier = 400;  // RFC 5531's bound on an opaque_auth body
constexpr uint32_t kMaxUniversalAddress = 128;

uint32_t FirstXid() {
    uint32_t xid = 0;
    if (getrandom(&xid, sizeof xid, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof xid)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        xid = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec << 20);
    }
    return xid;
}

}  // namespace

PortmapDatagram::PortmapDatagram(const char* address, int family, int port) : m_family(family) {
    sockaddr_storage to{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&to);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, address, &in->sin_addr) != 1) return;
        length = sizeof(sockaddr_in);
    } else if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&to);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, address, &in6->sin6_addr) != 1) return;
        length = sizeof(sockaddr_in6);
    } else {
        return;
    }
    m_fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Connected: the kernel drops datagrams from any other sender, and a
    // refusal comes back as ECONNREFUSED.
    if (m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&to), length) != 0) GiveUp();
    if (m_fd >= 0) m_xid[0] = FirstXid();
}

PortmapDatagram::~PortmapDatagram() { GiveUp(); }

void PortmapDatagram::GiveUp() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

void PortmapDatagram::Ask(uint32_t program, uint32_t version) {
    if (m_fd < 0 || m_asked == kMaxAsked) return;
    const size_t i = m_asked++;
    if (i > 0) m_xid[i] = m_xid[i - 1] + 1;
    std::string call;
    call.reserve(96);
    Put32(call, m_xid[i]);
    Put32(call, 0);  // CALL
    Put32(call, 2);  // RPC version
    Put32(call, kPmapProgram);
    Put32(call, m_family == AF_INET ? 2 : 3);
    Put32(call, kGetPort);
    for (int auth = 0; auth < 2; ++auth) {  // credential and verifier: AUTH_NONE, empty
        Put32(call, 0);
        Put32(call, 0);
    }
    Put32(call, program);
    Put32(call, version);
    if (m_family == AF_INET) {
        Put32(call, kIpProtoTcp);
        Put32(call, 0);
    } else {
        PutOpaque(call, "tcp6");
        PutOpaque(call, "");  // address
        PutOpaque(call, "");  // owner
    }
    if (send(m_fd, call.data(), call.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(call.size()))
        GiveUp();
}

void PortmapDatagram::Service() {
    // A few datagrams at most are expected; more are read on the next poll.
    for (int reads = 0; m_fd >= 0 && reads < 8; ++reads) {
        char buffer[kMaxReply + 1];
        const ssize_t got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) GiveUp();
            return;
        }
        if (static_cast<size_t>(got) <= kMaxReply) Take(buffer, static_cast<size_t>(got));
    }
}

void PortmapDatagram::Take(const char* data, size_t size) {
    XdrReader in(data, size);
    uint32_t xid = 0, kind = 0, replyStat = 0, verifierFlavour = 0, acceptStat = 0;
    const char* verifier = nullptr;
    uint32_t verifierLength = 0;
    if (!in.U32(xid) || !in.U32(kind) || kind != 1 || !in.U32(replyStat) || replyStat != 0 ||
        !in.U32(verifierFlavour) || !in.Opaque(verifier, verifierLength, kMaxVerifier) ||
        !in.U32(acceptStat) || acceptStat != 0)
        return;
    size_t i = 0;
    while (i < m_asked && m_xid[i] != xid) ++i;
    if (i == m_asked || m_answered[i]) return;
    int port = 0;
    if (m_family == AF_INET) {
        uint32_t value = 0;
        if (!in.U32(value) || !in.AtEnd() || value > 65535) return;
        port = static_cast<int>(value);
    } else {
        const char* text = nullptr;
        uint32_t length = 0;
        if (!in.Opaque(text, length, kMaxUniversalAddress) || !in.AtEnd()) return;
        // An empty address says "not registered".
        port = length == 0 ? 0 : PortOfUniversalAddress(std::string(text, length).c_str());
        if (length != 0 && port == 0) return;
    }
    m_port[i] = port;
    m_answered[i] = true;
}

}  // namespace nfsclient
