// RPC calls by datagram (UDP) to one port of a server, sent beside the same
// calls over TCP: a datagram needs no handshake, so where the service
// answers on UDP its answer comes one round trip sooner. It only ever adds
// an answer: a refusal, silence, a datagram larger than the caller takes,
// and anything that is not an accepted, successful reply to one of our own
// calls are dropped, and TCP decides as before.
#pragma once

#include <array>    // std::array
#include <chrono>   // steady_clock
#include <cstddef>  // size_t
#include <cstdint>  // uint32_t
#include <string>   // std::string

namespace nfsclient {

// The least time an answer took: `leastUs` (0 for none yet) or the
// microseconds since `sent` (at least 1), whichever is less.
uint32_t LeastSince(uint32_t leastUs, std::chrono::steady_clock::time_point sent);

class RpcDatagram {
public:
    static constexpr size_t kMaxCalls = 4;

    // `address` must have passed ParseNumericAddress (which gave `family`).
    // Without a socket (none could be made or connected) it is given up at
    // once. The first xid is random, the next ones follow it.
    // `reservedPort`: sent from a port below 1024 when the process may bind
    // one (as root), as libnfs's TCP connections are: a server whose
    // exports are "secure" refuses a MNT from any other port, and logs it.
    RpcDatagram(const char* address, int family, int port, bool reservedPort = false);
    ~RpcDatagram();
    RpcDatagram(const RpcDatagram&) = delete;
    RpcDatagram& operator=(const RpcDatagram&) = delete;

    // The credential of a call: AUTH_NONE, or AUTH_SYS with this process's
    // user and group and an empty machine name (which servers that refuse
    // AUTH_NONE take).
    enum class Credential { None, Sys };
    // Sends one call; its index (0, 1, ...), or -1 when given up or
    // kMaxCalls were sent.
    int Send(uint32_t program, uint32_t version, uint32_t procedure, Credential credential,
             const std::string& arguments);

    // The socket to poll for input; -1 once given up.
    int Fd() const { return m_fd; }
    // Reads the datagrams waiting, without blocking, each of at most
    // `maxReply` bytes (a longer one is dropped). For each accepted,
    // successful reply to a call of ours, calls `take(arg, index, result,
    // size)` with the bytes after the reply header. A refusal (the host says
    // nothing listens on the port) gives up.
    using Taker = void (*)(void* arg, size_t index, const char* result, size_t size);
    void Service(size_t maxReply, Taker take, void* arg);
    // Reads one reply datagram against the calls (exposed for tests).
    void Take(const char* data, size_t size, Taker take, void* arg);
    // The least time an answer took, from its call's send to its reading,
    // in microseconds; 0 before any.
    uint32_t LeastReplyUs() const { return m_leastReplyUs; }

private:
    void GiveUp();

    int m_fd = -1;
    size_t m_sent = 0;
    uint32_t m_firstXid = 0;
    std::array<std::chrono::steady_clock::time_point, kMaxCalls> m_sentAt{};
    uint32_t m_leastReplyUs = 0;
};

}  // namespace nfsclient
