// The portmapper asked over UDP, beside the lookup over TCP (Probe.cpp).
// A datagram needs no connection first, so where the portmapper answers on
// UDP (nearly every NAS does) the ports are known one round trip sooner.
// It only ever adds an answer: a refusal, silence, a reply that does not
// parse or comes from elsewhere change nothing, and TCP decides as before.
#pragma once

#include <cstddef>  // size_t
#include <cstdint>  // uint32_t

#include "nfs_client/worker/rpc/RpcDatagram.h"

namespace nfsclient {

class PortmapDatagram {
public:
    static constexpr size_t kMaxAsked = 3;
    enum class Transport { Tcp, Udp };

    // `address` must have passed ParseNumericAddress (which gave `family`).
    // `port` is the portmapper's (111; another in tests). Without a socket
    // (none could be made or connected) it is given up at once.
    PortmapDatagram(const char* address, int family, int port = 111);
    ~PortmapDatagram();
    PortmapDatagram(const PortmapDatagram&) = delete;
    PortmapDatagram& operator=(const PortmapDatagram&) = delete;

    // Asks for the TCP (or UDP) port of `program` `version`: PMAP GETPORT
    // over IPv4, RPCBIND GETADDR (netid tcp6 or udp6) over IPv6. At most
    // kMaxAsked.
    void Ask(uint32_t program, uint32_t version, Transport transport = Transport::Tcp);
    // The socket to poll for input; -1 once given up.
    int Fd() const { return m_rpc.Fd(); }
    // Reads the datagrams waiting, without blocking. A refusal (the host
    // says nothing listens on the port) gives up.
    void Service();
    // The i-th question's answer is in: Port(i) > 0 is the port, 0 says
    // the program is not registered.
    bool Answered(size_t i) const { return i < m_asked && m_answered[i]; }
    int Port(size_t i) const { return i < m_asked ? m_port[i] : 0; }

    // Reads one reply datagram against the questions (exposed for tests).
    void Take(const char* data, size_t size);

private:
    static void OnAnswer(void* self, size_t index, const char* result, size_t size);

    RpcDatagram m_rpc;
    int m_family;
    size_t m_asked = 0;
    bool m_answered[kMaxAsked] = {};
    int m_port[kMaxAsked] = {};
};

}  // namespace nfsclient
