#include "nfs_client/worker/rpc/PortmapDatagram.h"

#include <sys/socket.h>  // AF_INET

#include <string>  // std::string

#include "nfs_client/Paths.h"                 // PortOfUniversalAddress
#include "nfs_client/worker/rpc/XdrReader.h"  // XdrReader, Put32, PutOpaque

namespace nfsclient {
namespace {

constexpr uint32_t kPmapProgram = 100000;
constexpr uint32_t kGetPort = 3;  // PMAP v2 GETPORT and RPCBIND v3 GETADDR alike
constexpr uint32_t kIpProtoTcp = 6;
constexpr uint32_t kIpProtoUdp = 17;
// A reply larger than this is no portmapper's answer to these questions.
constexpr size_t kMaxReply = 512;
constexpr uint32_t kMaxUniversalAddress = 128;

}  // namespace

PortmapDatagram::PortmapDatagram(const char* address, int family, int port)
    : m_rpc(address, family, port), m_family(family) {}

PortmapDatagram::~PortmapDatagram() = default;

void PortmapDatagram::Ask(uint32_t program, uint32_t version, Transport transport) {
    if (m_asked == kMaxAsked) return;
    std::string arguments;
    Put32(arguments, program);
    Put32(arguments, version);
    if (m_family == AF_INET) {
        Put32(arguments, transport == Transport::Tcp ? kIpProtoTcp : kIpProtoUdp);
        Put32(arguments, 0);
    } else {
        PutOpaque(arguments, transport == Transport::Tcp ? "tcp6" : "udp6");
        PutOpaque(arguments, "");  // address
        PutOpaque(arguments, "");  // owner
    }
    // The calls' indexes are the questions': none is sent once one failed.
    if (m_rpc.Send(kPmapProgram, m_family == AF_INET ? 2 : 3, kGetPort,
                   RpcDatagram::Credential::None, arguments) == static_cast<int>(m_asked))
        ++m_asked;
}

void PortmapDatagram::Service() { m_rpc.Service(kMaxReply, &OnAnswer, this); }

void PortmapDatagram::Take(const char* data, size_t size) {
    if (size <= kMaxReply) m_rpc.Take(data, size, &OnAnswer, this);
}

void PortmapDatagram::OnAnswer(void* arg, size_t i, const char* result, size_t size) {
    auto& self = *static_cast<PortmapDatagram*>(arg);
    if (i >= self.m_asked || self.m_answered[i]) return;
    XdrReader in(result, size);
    int port = 0;
    if (self.m_family == AF_INET) {
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
    self.m_port[i] = port;
    self.m_answered[i] = true;
}

}  // namespace nfsclient
